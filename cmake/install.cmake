# The version the programs print, what `cmake --install` puts where, and the
# Debian package (`make package`, or `cmake --build BUILD --target deb`).
# Included by the top-level CMakeLists.txt after every folder is added.
#
# Layout under the prefix (/usr for the package):
#   bin/brenvik, bin/brv, bin/brv-vhandset
#   lib/brenvik/libvhandset.so     private: only brv-vhandset preloads it, found
#                                  as ../lib/brenvik from the launcher's own path
#   lib/udev/rules.d/51-brenvik.rules
#   share/applications/brenvik.desktop, share/icons/hicolor/128x128/apps/brenvik.png
#   share/man/man1/brv.1.gz, brenvik.1.gz, brv-vhandset.1.gz
#   lib/systemd/system/brv-station@.service (ExecStart names bin/brv under the
#                                  prefix the install is made for)
include(GNUInstallDirs)

# One version, project()'s, in every program's --version and in the package.
foreach(program brv brenvik brv-vhandset)
  if(TARGET ${program})
    target_compile_definitions(${program} PRIVATE BRV_VERSION="${PROJECT_VERSION}")
  endif()
endforeach()

# Installing and packaging need the installed programs built, not the tests
# and benchmarks; the "deb" target below depends on exactly those.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

set(BRV_PRIVATE_LIBDIR lib/brenvik)
set(packaging ${CMAKE_SOURCE_DIR}/packaging)

foreach(program brv brenvik brv-vhandset)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()
if(TARGET vhandset)
  install(TARGETS vhandset LIBRARY DESTINATION ${BRV_PRIVATE_LIBDIR})
endif()
install(FILES ${packaging}/51-brenvik.rules DESTINATION lib/udev/rules.d)
install(FILES ${packaging}/brenvik.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${packaging}/brenvik.png DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/128x128/apps)
# The station's unit names brv by its installed path, which is known only when
# installing: `cmake --install --prefix P` and the package's /usr differ.
install(CODE "
  set(BRV_BINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
  configure_file(\"${packaging}/systemd/brv-station@.service\" \"${CMAKE_BINARY_DIR}/systemd/brv-station@.service\" @ONLY)
  file(INSTALL \"${CMAKE_BINARY_DIR}/systemd/brv-station@.service\"
       DESTINATION \"\${CMAKE_INSTALL_PREFIX}/lib/systemd/system\")
")

# Man pages: the version filled in, compressed as Debian keeps them.
find_program(GZIP gzip REQUIRED)
set(man_pages "")
foreach(page brv brenvik brv-vhandset)
  set(text ${CMAKE_BINARY_DIR}/man/${page}.1)
  configure_file(${packaging}/man/${page}.1 ${text} @ONLY)
  add_custom_command(
    OUTPUT ${text}.gz
    COMMAND sh -c "${GZIP} -9nc '${text}' > '${text}.gz'"
    DEPENDS ${text}
    COMMENT "Compressing the ${page}(1) man page"
    VERBATIM)
  list(APPEND man_pages ${text}.gz)
endforeach()
add_custom_target(man_pages ALL DEPENDS ${man_pages})
install(FILES ${man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The installed programs, checked from a scratch prefix: files in place, one
# version everywhere, and the installed launcher and brv flashing the demo.
if(TARGET brv AND TARGET brenvik AND TARGET brv-vhandset AND TARGET demo_package AND "tools" IN_LIST BRV_TEST_DIRS)
  find_program(BRV_DESKTOP_FILE_VALIDATE desktop-file-validate HINTS /usr/bin REQUIRED)
  find_program(BRV_SYSTEMD_ANALYZE systemd-analyze HINTS /usr/bin REQUIRED)
  add_test(NAME install_test
    COMMAND bash ${CMAKE_SOURCE_DIR}/tests/tools/install_test.sh ${CMAKE_BINARY_DIR} ${PROJECT_VERSION}
            ${BRV_DESKTOP_FILE_VALIDATE} ${BRV_SYSTEMD_ANALYZE})
  set_tests_properties(install_test PROPERTIES TIMEOUT 60 LABELS e2e
    ENVIRONMENT "BRV_PROGRAMMER_WAIT_MS=0")
endif()

# The Debian package. Its dependencies come from the binaries (dpkg-shlibdeps);
# nothing links the private libvhandset.so, so it needs no shlibs entry.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME brenvik)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Brenvik")
set(CPACK_PACKAGE_CONTACT "Brenvik maintainers <maintainers@brenvik.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "flash firmware packages onto Qualcomm handsets in emergency-download mode")
set(CPACK_PACKAGE_DESCRIPTION
  "Brenvik writes a complete firmware package (.brp) onto a Qualcomm-based handset
attached in emergency-download mode (USB 05c6:9008): it verifies the package,
uploads its flash programmer (Sahara), writes the partitions and applies the
partition-table patches (Firehose). brenvik is the desktop window, brv the
command line (pack, info, verify, flash, devices), and brv-vhandset runs either
against emulated handsets. A udev rule lets the user at the seat open the handset.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${packaging}/debian/postinst)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The library target is called "package", so CPack's own "package" target
# cannot exist; CMake reserves that name only while the build tree holds a
# CPackConfig.cmake, hence the config's own name and the "deb" target.
set(CPACK_OUTPUT_CONFIG_FILE ${CMAKE_BINARY_DIR}/BrenvikCPackConfig.cmake)
set(CPACK_SOURCE_OUTPUT_CONFIG_FILE ${CMAKE_BINARY_DIR}/BrenvikCPackSourceConfig.cmake)
include(CPack)
add_custom_target(deb
  COMMAND ${CMAKE_CPACK_COMMAND} --config ${CPACK_OUTPUT_CONFIG_FILE}
  WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
  COMMENT "Building the Debian package in ${CMAKE_BINARY_DIR}"
  VERBATIM)
foreach(installed brv brenvik brv-vhandset vhandset man_pages)
  if(TARGET ${installed})
    add_dependencies(deb ${installed})
  endif()
endforeach()
