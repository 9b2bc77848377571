# Packages that `cpack` makes in a build directory: a Debian package
# (`cpack -G DEB`), or for the Windows build a zip of Dorvane.exe with the
# README and the licence (`cpack -G ZIP`). Both carry the project's version.
set(DORVANE_MAINTAINER "Dorvane maintainers <maintainers@users.noreply.c-seed-47adb167.example>"
    CACHE STRING "The packages' maintainer: Name <address>")

set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The Dorvane developers")
set(CPACK_PACKAGE_CONTACT ${DORVANE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Quillmere: gives DLLs consecutive, non-overlapping preferred load addresses")
set(CPACK_PACKAGE_DESCRIPTION [[
Dorvane reads the paths of Windows DLLs from standard input and rebases
each file in place onto consecutive addresses, keeping the file's times;
with /CHECK it reports the images still at the default base. It brings its
own PE image rebaser, and leaves a file that it refuses unchanged.]])
set(CPACK_STRIP_FILES ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
else()
  set(CPACK_GENERATOR DEB)
endif()

if(NOT WIN32)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/changelog.in ${PROJECT_BINARY_DIR}/changelog @ONLY)
  file(ARCHIVE_CREATE OUTPUT ${PROJECT_BINARY_DIR}/changelog.gz PATHS ${PROJECT_BINARY_DIR}/changelog
       FORMAT raw COMPRESSION GZip COMPRESSION_LEVEL 9 MTIME 0)
  install(FILES ${PROJECT_BINARY_DIR}/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

set(CPACK_DEBIAN_PACKAGE_NAME dorvane)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
if(CMAKE_CROSSCOMPILING AND NOT WIN32)
  # cpack names the build machine's architecture; a cross build's package
  # holds the target's programs (i386 for 32-bit x86).
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -dumpmachine OUTPUT_VARIABLE target OUTPUT_STRIP_TRAILING_WHITESPACE)
  execute_process(COMMAND dpkg-architecture -t ${target} -qDEB_HOST_ARCH
                  OUTPUT_VARIABLE CPACK_DEBIAN_PACKAGE_ARCHITECTURE OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()

include(CPack)
