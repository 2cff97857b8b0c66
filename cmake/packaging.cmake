# Install rules and packages. `cmake --install` puts both programs, and outside Windows their
# man pages, under the prefix; `cpack` makes a .deb on Linux and a .zip on Windows.
include(GNUInstallDirs)

if(WIN32)
  # The zip holds the two programs and a README at its top level: unpack and run.
  install(TARGETS sarnveld2hex hex2plain RUNTIME DESTINATION .)
  # Notepad of old shows a bare LF as nothing: the README gets CR LF.
  file(READ ${CMAKE_CURRENT_LIST_DIR}/windows-readme.txt readme)
  string(CONFIGURE "${readme}" readme @ONLY)
  string(REPLACE "\n" "\r\n" readme "${readme}")
  file(WRITE ${CMAKE_BINARY_DIR}/README.txt "${readme}")
  install(FILES ${CMAKE_BINARY_DIR}/README.txt DESTINATION .)
else()
  install(TARGETS sarnveld2hex hex2plain RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${PROJECT_SOURCE_DIR}/man/sarnveld2hex.1 ${PROJECT_SOURCE_DIR}/man/hex2plain.1
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

set(SARNVELD_PACKAGE_MAINTAINER "sarnveld2hex maintainers <maintainers@sarnveld2hex.invalid>"
    CACHE STRING "Maintainer named in the packages")

set(CPACK_PACKAGE_NAME sarnveld2hex)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR Sarnveld)
set(CPACK_PACKAGE_CONTACT ${SARNVELD_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "packs raw memory images into labelled Huffman-coded containers")
set(CPACK_STRIP_FILES ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
  set(CPACK_PACKAGE_FILE_NAME ${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-windows-x86_64)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${SARNVELD_PACKAGE_MAINTAINER})
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # CPack puts the summary above this as the synopsis line.
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
      "sarnveld2hex packs a raw memory image (any file, taken byte by byte) into a
container: a 40-byte header that holds two short names, the payload's size and
its checksum, then the image coded with a static Huffman code.
hex2plain checks such a container from end to end, describes it and unpacks
the memory image.")
  # dpkg-shlibdeps (package dpkg-dev) derives the versions the programs need, and CPack needs
  # `file` to find them; without the two the libraries they link are named plainly.
  find_program(SARNVELD_DPKG_SHLIBDEPS dpkg-shlibdeps)
  find_program(SARNVELD_FILE_COMMAND file)
  if(SARNVELD_DPKG_SHLIBDEPS AND SARNVELD_FILE_COMMAND)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libgcc-s1, libstdc++6")
  endif()
endif()
include(CPack)
