# Where `cmake --install` (and so cpack) puts each part. The Windows zip keeps
# everything in one folder; elsewhere the usual tree: programs in bin/, the
# sample boxes and documents under share/, manual pages in share/man/man1.
if(WIN32)
  set(LF_INSTALL_BINDIR .)
  set(LF_INSTALL_DOCDIR .)
  set(LF_INSTALL_EXAMPLESDIR examples)
else()
  include(GNUInstallDirs)
  set(LF_INSTALL_BINDIR ${CMAKE_INSTALL_BINDIR})
  set(LF_INSTALL_DOCDIR ${CMAKE_INSTALL_DATADIR}/doc/${PROJECT_NAME})
  set(LF_INSTALL_EXAMPLESDIR ${CMAKE_INSTALL_DATADIR}/${PROJECT_NAME}/examples)
  set(LF_INSTALL_MANDIR ${CMAKE_INSTALL_MANDIR}/man1)
endif()
