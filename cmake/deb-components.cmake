# Read by cpack for each generator. The Debian package installs the build
# twice over: everything `cmake --install` installs, and the service files
# that it leaves out.
if(CPACK_GENERATOR STREQUAL "DEB")
  list(GET CPACK_INSTALL_CMAKE_PROJECTS 0 _lf_build)
  set(CPACK_INSTALL_CMAKE_PROJECTS
      "${_lf_build};logfetch;ALL;/" "${_lf_build};logfetch;service;/")
endif()
