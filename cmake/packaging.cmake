# `cpack -G ZIP` in a build folder: the programs, the README, the simulated
# box's guide and the sample box files. On the Windows build this is the zip
# users download, all in one folder.
# `cpack -G DEB` on Linux: a Debian package of the same tree under /usr, with
# the manual pages.
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${LF_INSTALL_DOCDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/ DESTINATION ${LF_INSTALL_EXAMPLESDIR})
if(WIN32)
  install(FILES ${PROJECT_SOURCE_DIR}/docs/boxsim.md DESTINATION docs)
else()
  install(FILES ${PROJECT_SOURCE_DIR}/docs/boxsim.md DESTINATION ${LF_INSTALL_DOCDIR})
  install(FILES ${PROJECT_SOURCE_DIR}/docs/logfetch.1 ${PROJECT_SOURCE_DIR}/docs/boxsim.1
          DESTINATION ${LF_INSTALL_MANDIR})
endif()

set(CPACK_PACKAGE_NAME logfetch)
set(CPACK_PACKAGE_VENDOR logfetch)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Downloads the data loggers of a Vellorix box")
set(CPACK_GENERATOR ZIP)
set(CPACK_STRIP_FILES TRUE)  # the packages ship the programs without their debug information
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "logfetch developers <logfetch@localhost>")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)  # the C and C++ runtimes, as dpkg-shlibdeps finds them
set(CPACK_PACKAGE_DESCRIPTION
    "logfetch saves one text report per sensor of a networked Vellorix environmental monitoring box. boxsim plays such a box from a text file, for trying and rehearsing without hardware.")
include(CPack)
