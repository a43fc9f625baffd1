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

# The scheduled service of the Debian package: units, their command, the
# options file and the sample site file. Only the package takes these (see
# deb-components.cmake): `cmake --install` into a prefix leaves /etc alone.
if(NOT WIN32)
  set(_lf_pkg ${PROJECT_SOURCE_DIR}/packaging)
  install(FILES ${_lf_pkg}/logfetch.service ${_lf_pkg}/logfetch.timer
          DESTINATION lib/systemd/system COMPONENT service EXCLUDE_FROM_ALL)
  install(PROGRAMS ${_lf_pkg}/logfetch-service
          DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/logfetch COMPONENT service EXCLUDE_FROM_ALL)
  install(FILES ${_lf_pkg}/default DESTINATION /etc/default RENAME logfetch
          COMPONENT service EXCLUDE_FROM_ALL)
  # It holds passwords once filled in; postinst gives it to the user logfetch.
  install(FILES ${_lf_pkg}/site.toml DESTINATION /etc/logfetch
          PERMISSIONS OWNER_READ OWNER_WRITE COMPONENT service EXCLUDE_FROM_ALL)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
      ${_lf_pkg}/conffiles ${_lf_pkg}/postinst ${_lf_pkg}/prerm ${_lf_pkg}/postrm)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
  # postinst makes the user; setfacl opens the node exporter's folder to it.
  # logfetch pushes to stores through libcurl and compresses remote write with snappy.
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser, libcurl4, libsnappy1v5")
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "acl")
  set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/deb-components.cmake)
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
