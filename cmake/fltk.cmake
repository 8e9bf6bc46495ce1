# FLTK through its own fltk-config script. Debian's CMake package config for
# FLTK imports the `fluid` designer program and fails when that separate package
# is absent; fltk-config ships with the library's -dev package itself and is the
# toolkit's documented way to build against it.
#
# Links the shared libraries (libfltk1.3 at run time, which brings its own X11
# dependencies). Defines the imported targets `fltk` (the core library)
# and `fltk_images` (image formats, PNG among them, plus the core).
find_program(FLTK_CONFIG fltk-config REQUIRED)

function(brv_fltk_config out)
  execute_process(COMMAND ${FLTK_CONFIG} ${ARGN}
                  OUTPUT_VARIABLE text RESULT_VARIABLE status OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "fltk-config ${ARGN} failed (${status})")
  endif()
  separate_arguments(words UNIX_COMMAND "${text}")
  set(${out} ${words} PARENT_SCOPE)
endfunction()

brv_fltk_config(FLTK_VERSION --version)
if(FLTK_VERSION VERSION_LESS 1.3 OR NOT FLTK_VERSION VERSION_LESS 1.4)
  message(FATAL_ERROR "FLTK 1.3 is needed, fltk-config reports ${FLTK_VERSION}")
endif()
brv_fltk_config(fltk_core_link --ldflags)
brv_fltk_config(fltk_images_link --use-images --ldflags)
brv_fltk_config(fltk_flags --use-images --cxxflags)

set(FLTK_INCLUDE_DIRS "")
foreach(flag ${fltk_flags})
  # Only what exists: the flags also name optional cairo directories.
  if(flag MATCHES "^-I(.+)")
    set(dir ${CMAKE_MATCH_1})
    if(EXISTS "${dir}")
      list(APPEND FLTK_INCLUDE_DIRS ${dir})
    endif()
  endif()
endforeach()
list(REMOVE_DUPLICATES FLTK_INCLUDE_DIRS)

add_library(fltk INTERFACE IMPORTED GLOBAL)
set_target_properties(fltk PROPERTIES
  INTERFACE_INCLUDE_DIRECTORIES "${FLTK_INCLUDE_DIRS}"
  INTERFACE_LINK_LIBRARIES "${fltk_core_link}")
add_library(fltk_images INTERFACE IMPORTED GLOBAL)
set_target_properties(fltk_images PROPERTIES
  INTERFACE_INCLUDE_DIRECTORIES "${FLTK_INCLUDE_DIRS}"
  INTERFACE_LINK_LIBRARIES "${fltk_images_link}")
message(STATUS "FLTK ${FLTK_VERSION} from ${FLTK_CONFIG}")
