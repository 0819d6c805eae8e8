# packaging.cmake: where `cmake --install` puts the tool, its manual page and
# its copyright and changelog, and the packages CPack makes from that: a
# Debian package and a .tar.gz on Linux, a .zip on Windows (a mingw-w64 cross
# build).
include(GNUInstallDirs)

set(FLATCULL_MAINTAINER "flatcull maintainers <maintainers@flatcull.invalid>"
    CACHE STRING "Name and address written as the packages' maintainer")

if(WIN32)
  # A folder to unzip anywhere: the exe at its top, so that maps can be
  # dropped onto it, and a read-me with Windows line ends beside it.
  file(READ packaging/README-windows.txt readme_text)
  string(REPLACE "\n" "\r\n" readme_text "${readme_text}")
  file(WRITE ${PROJECT_BINARY_DIR}/README.txt "${readme_text}")
  install(TARGETS flatcull RUNTIME DESTINATION .)
  install(FILES ${PROJECT_BINARY_DIR}/README.txt DESTINATION .)
else()
  # Compressed as Debian wants them: gzip -9n, no name or time in the
  # header, so that two builds give the same bytes.
  find_program(GZIP_PROGRAM gzip REQUIRED)
  foreach(doc flatcull.1 changelog)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/packaging/${doc})
    execute_process(COMMAND ${GZIP_PROGRAM} -9n -c ${PROJECT_SOURCE_DIR}/packaging/${doc}
                    OUTPUT_FILE ${PROJECT_BINARY_DIR}/${doc}.gz COMMAND_ERROR_IS_FATAL ANY)
  endforeach()
  install(TARGETS flatcull RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${PROJECT_BINARY_DIR}/flatcull.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES packaging/copyright ${PROJECT_BINARY_DIR}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/flatcull)
endif()

set(CPACK_PACKAGE_NAME flatcull)
set(CPACK_PACKAGE_VENDOR "flatcull maintainers")
set(CPACK_PACKAGE_CONTACT "${FLATCULL_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "drop unused planes from version-29 and version-30 BSP map files")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
  "flatcull prints how full each lump of a version-29 or version-30 BSP map\n"
  "is, drops every plane that no face, node or clipnode refers to, renumbers\n"
  "the rest and saves the map safely: a complete new file renamed over it,\n"
  "or, where a rename would lose the map's owner or other names, a write in\n"
  "place behind a journal that the next run finishes from. Every other lump\n"
  "is kept byte for byte, and a damaged map is refused and left untouched.")
# Release packages carry no debug information.
set(CPACK_STRIP_FILES TRUE)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
else()
  set(CPACK_GENERATOR DEB TGZ)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # The run-time libraries the binary links, as the system names them;
  # without the helper that finds them, the ones a g++ build always needs
  # (glibc alone when the C++ runtime is linked in).
  find_program(DPKG_SHLIBDEPS dpkg-shlibdeps)
  if(DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  elseif(FLATCULL_STATIC_RUNTIME)
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6")
  else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libgcc-s1, libstdc++6")
  endif()
endif()

include(CPack)

if(BUILD_TESTING AND NOT CMAKE_CROSSCOMPILING)
  find_program(BASH_PROGRAM bash REQUIRED)
  # The manual renders without warnings, and the documents state the table's
  # maxima and the writing order the built tool shows on the sample map.
  add_test(NAME docs_manual_and_limits
           COMMAND ${BASH_PROGRAM} ${PROJECT_SOURCE_DIR}/tests/docs_test.sh ${PROJECT_SOURCE_DIR} ${PROJECT_VERSION}
                   $<TARGET_FILE:flatcull> $<TARGET_FILE:makemap>)
  # The installed and the packaged tool behave exactly as the built one.
  add_test(NAME install_into_any_prefix
           COMMAND ${BASH_PROGRAM} ${PROJECT_SOURCE_DIR}/tests/install_test.sh
                   ${PROJECT_BINARY_DIR} ${PROJECT_SOURCE_DIR} $<TARGET_FILE:makemap>)
  add_test(NAME packages_deb_and_tgz
           COMMAND ${BASH_PROGRAM} ${PROJECT_SOURCE_DIR}/tests/package_test.sh
                   ${PROJECT_BINARY_DIR} ${PROJECT_SOURCE_DIR} $<TARGET_FILE:makemap> ${PROJECT_VERSION}
                   $<BOOL:${FLATCULL_STATIC_RUNTIME}>)
  # Both read the build tree's install rules, and CPack builds in it first.
  set_tests_properties(install_into_any_prefix packages_deb_and_tgz PROPERTIES RESOURCE_LOCK build_tree)
endif()
