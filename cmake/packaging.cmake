# Install rules and packages. `cmake --install` puts both programs, and outside Windows their
# man pages, under the prefix (the C library's rules are in library.cmake); `cpack` makes
# .debs on Linux (sarnveld2hex, libsarnveld0, libsarnveld-dev) and a .zip on Windows.
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
  install(TARGETS sarnveld2hex hex2plain RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
          COMPONENT programs)
  install(FILES ${PROJECT_SOURCE_DIR}/man/sarnveld2hex.1 ${PROJECT_SOURCE_DIR}/man/hex2plain.1
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT programs)
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
  # One package per component: the programs keep the name sarnveld2hex; the shared library
  # and what builds against it go where Debian puts them.
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_ALL programs library development)
  if(TARGET sarnveld_python)
    # A package of its own, as Debian names them: the module is tied to one python3 (its ABI
    # tag), which the programs and the C library need not pull in; the library is linked in.
    list(APPEND CPACK_COMPONENTS_ALL python)
    set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-sarnveld)
    set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
    set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS ${SARNVELD_PYTHON_DEPENDS})
    set(CPACK_DEBIAN_PYTHON_DESCRIPTION
        "Python module that packs and unpacks Sarnveld containers, as sarnveld2hex and hex2plain do")
  endif()
  set(CPACK_DEBIAN_PROGRAMS_PACKAGE_NAME sarnveld2hex)
  set(CPACK_DEBIAN_LIBRARY_PACKAGE_NAME libsarnveld${PROJECT_VERSION_MAJOR})
  set(CPACK_DEBIAN_LIBRARY_PACKAGE_SECTION libs)
  set(CPACK_DEBIAN_LIBRARY_DESCRIPTION
      "C library that packs and unpacks Sarnveld containers, as sarnveld2hex and hex2plain do")
  set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libsarnveld-dev)
  set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
  set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS
      "libsarnveld${PROJECT_VERSION_MAJOR} (= ${PROJECT_VERSION})")
  set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION
      "header, static library, CMake package and pkg-config file of libsarnveld")
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
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
  # `file` to find them; without the two the libraries they link are named plainly. The
  # programs carry the C++ runtime (app/CMakeLists.txt): they need the C library alone.
  find_program(SARNVELD_DPKG_SHLIBDEPS dpkg-shlibdeps)
  find_program(SARNVELD_FILE_COMMAND file)
  if(SARNVELD_DPKG_SHLIBDEPS AND SARNVELD_FILE_COMMAND)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libgcc-s1, libstdc++6")
    set(CPACK_DEBIAN_PROGRAMS_PACKAGE_DEPENDS "libc6")
  endif()
endif()
include(CPack)
