# What `cmake --install` puts where. Elsewhere than on Windows: the tool in
# bin, its man page in share/man/man1, the README, the licence (as
# copyright) and the changelog in share/doc/dorvane. On Windows: the executable with the README and the
# licence beside it.
set(CMAKE_INSTALL_DOCDIR share/doc/dorvane CACHE PATH "Documentation directory")
include(GNUInstallDirs)

configure_file(${PROJECT_SOURCE_DIR}/man/Dorvane.1.in ${PROJECT_BINARY_DIR}/Dorvane.1 @ONLY)
if(WIN32)
  install(TARGETS Dorvane RUNTIME DESTINATION .)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION .)
else()
  # As Debian lays a package out: the man page compressed, the licence as
  # the package's copyright file.
  file(ARCHIVE_CREATE OUTPUT ${PROJECT_BINARY_DIR}/Dorvane.1.gz PATHS ${PROJECT_BINARY_DIR}/Dorvane.1
       FORMAT raw COMPRESSION GZip COMPRESSION_LEVEL 9 MTIME 0)
  install(TARGETS Dorvane RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${PROJECT_BINARY_DIR}/Dorvane.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
  install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} RENAME copyright)
endif()
