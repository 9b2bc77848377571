# What `cmake --install` puts where. Elsewhere than on Windows: the tool in
# bin, its man page in share/man/man1, the README and the licence in
# share/doc/dorvane. On Windows: the executable with the README and the
# licence beside it.
set(CMAKE_INSTALL_DOCDIR share/doc/dorvane CACHE PATH "Documentation directory")
include(GNUInstallDirs)

configure_file(${PROJECT_SOURCE_DIR}/man/Dorvane.1.in ${PROJECT_BINARY_DIR}/Dorvane.1 @ONLY)
if(WIN32)
  install(TARGETS Dorvane RUNTIME DESTINATION .)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION .)
else()
  install(TARGETS Dorvane RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${PROJECT_BINARY_DIR}/Dorvane.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()
