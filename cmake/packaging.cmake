# `cpack -G ZIP` in a build folder: the program, the README and the sample box
# files, all in one folder of the zip. On the Windows build this is the zip
# users download.
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION .)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/ DESTINATION examples)

set(CPACK_PACKAGE_NAME logfetch)
set(CPACK_PACKAGE_VENDOR logfetch)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Downloads the data loggers of a Vellorix box")
set(CPACK_GENERATOR ZIP)
set(CPACK_STRIP_FILES TRUE)  # the zip ships the program without its debug information
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
include(CPack)
