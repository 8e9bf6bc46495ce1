# brv_add_test(NAME name SOURCES ... LIBS ... [LABELS ...] [TIMEOUT s] [XVFB])
# Builds one GoogleTest executable into build/tests and registers it with CTest.
# Label "unit" marks tests that also run in the sanitizer build.
function(brv_add_test)
  cmake_parse_arguments(T "XVFB" "NAME;TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  set_target_properties(${T_NAME} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  if(T_XVFB)
    add_test(NAME ${T_NAME} COMMAND xvfb-run -a -s "-screen 0 1280x1024x24" $<TARGET_FILE:${T_NAME}>)
  else()
    add_test(NAME ${T_NAME} COMMAND ${T_NAME})
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set_tests_properties(${T_NAME} PROPERTIES TIMEOUT ${T_TIMEOUT} LABELS "${T_LABELS}"
    ENVIRONMENT "BRV_SOURCE_DIR=${CMAKE_SOURCE_DIR};BRV_BINARY_DIR=${CMAKE_BINARY_DIR}")
endfunction()
