# Install rules and packages. `cmake --install` puts both programs, and outside Windows their
# man pages, under the prefix (the C library's rules are in library.cmake); `cpack` makes
# .debs on Linux (sarnveld2hex, libsarnveld0, libsarnveld-dev, python3-sarnveld) and a .zip on
# Windows.
include(GNUInstallDirs)

if(WIN32)
  # The zip holds the two programs, the DLL, a README and the licence at its top level: unpack
  # and run. The headers and what links the library are in include/ and lib/.
  install(TARGETS sarnveld2hex hex2plain RUNTIME DESTINATION .)
  # Notepad of old shows a bare LF as nothing: the text files get CR LF.
  file(READ ${CMAKE_CURRENT_LIST_DIR}/windows-readme.txt readme)
  string(CONFIGURE "${readme}" readme @ONLY)
  file(READ ${PROJECT_SOURCE_DIR}/LICENSE licence)
  # What the binaries link in statically and whose licence asks for its notice.
  file(READ ${CMAKE_CURRENT_LIST_DIR}/windows-notices.txt notices)
  string(APPEND licence "${notices}")
  foreach(text readme licence)
    string(REPLACE "\n" "\r\n" ${text} "${${text}}")
  endforeach()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
               ${CMAKE_CURRENT_LIST_DIR}/windows-readme.txt ${CMAKE_CURRENT_LIST_DIR}/windows-notices.txt
               ${PROJECT_SOURCE_DIR}/LICENSE)
  file(WRITE ${CMAKE_BINARY_DIR}/README.txt "${readme}")
  file(WRITE ${CMAKE_BINARY_DIR}/LICENSE.txt "${licence}")
  install(FILES ${CMAKE_BINARY_DIR}/README.txt ${CMAKE_BINARY_DIR}/LICENSE.txt DESTINATION .)
else()
  install(TARGETS sarnveld2hex hex2plain RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
          COMPONENT programs)
  set(man_pages ${PROJECT_SOURCE_DIR}/man/sarnveld2hex.1 ${PROJECT_SOURCE_DIR}/man/hex2plain.1)
  # A plain install keeps the man pages as they are (component prefix, which no package
  # takes); the package has them compressed, as Debian's man pages are.
  install(FILES ${man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT prefix)

  # What only the packages hold, left out of a plain install: the man pages and the changelog
  # compressed (without a name or time stamp, so that the packages are the same from build to
  # build), and in each package the changelog and the licence as Debian's copyright file.
  find_program(SARNVELD_GZIP gzip REQUIRED)
  set(deb_dir ${CMAKE_BINARY_DIR}/deb)
  set(gzipped "")
  foreach(file IN LISTS man_pages ITEMS ${PROJECT_SOURCE_DIR}/cmake/debian/changelog)
    get_filename_component(name ${file} NAME)
    add_custom_command(OUTPUT ${deb_dir}/${name}.gz
      COMMAND ${CMAKE_COMMAND} -E copy ${file} ${deb_dir}/${name}
      COMMAND ${SARNVELD_GZIP} -9 -n -f ${deb_dir}/${name}
      DEPENDS ${file} VERBATIM)
    list(APPEND gzipped ${deb_dir}/${name}.gz)
  endforeach()
  add_custom_target(deb_files ALL DEPENDS ${gzipped})
  install(FILES ${deb_dir}/sarnveld2hex.1.gz ${deb_dir}/hex2plain.1.gz
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT programs EXCLUDE_FROM_ALL)
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
  set(CPACK_DEBIAN_PROGRAMS_PACKAGE_NAME sarnveld2hex)
  set(CPACK_DEBIAN_LIBRARY_PACKAGE_NAME libsarnveld${PROJECT_VERSION_MAJOR})
  set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libsarnveld-dev)
  set(CPACK_COMPONENTS_ALL programs library development)
  if(TARGET sarnveld_python)
    # A package of its own, as Debian names them: the module is tied to one python3 (its ABI
    # tag), which the programs and the C library need not pull in; the library is linked in.
    list(APPEND CPACK_COMPONENTS_ALL python)
    set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-sarnveld)
    set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
    set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS ${SARNVELD_PYTHON_DEPENDS})
    set(CPACK_DEBIAN_PYTHON_DESCRIPTION
        "The Python module sarnveld packs and unpacks Sarnveld containers, as the
programs sarnveld2hex and hex2plain do.")
  endif()
  # All four come from one source, and carry its licence and changelog.
  set(CPACK_DEBIAN_PACKAGE_SOURCE sarnveld2hex)
  foreach(component IN LISTS CPACK_COMPONENTS_ALL)
    string(TOUPPER ${component} upper)
    install(FILES ${PROJECT_SOURCE_DIR}/cmake/debian/copyright ${deb_dir}/changelog.gz
            DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_DEBIAN_${upper}_PACKAGE_NAME}
            COMPONENT ${component} EXCLUDE_FROM_ALL)
  endforeach()

  set(CPACK_DEBIAN_LIBRARY_PACKAGE_SECTION libs)
  set(CPACK_DEBIAN_LIBRARY_DESCRIPTION
      "The C library libsarnveld packs and unpacks Sarnveld containers, as the
programs sarnveld2hex and hex2plain do.")
  # The library's own shlibs file and an ldconfig trigger, and no maintainer scripts: the
  # trigger runs ldconfig once after dpkg has installed or removed every package.
  configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/shlibs.in ${deb_dir}/shlibs @ONLY)
  set(CPACK_DEBIAN_LIBRARY_PACKAGE_CONTROL_EXTRA
      ${deb_dir}/shlibs ${PROJECT_SOURCE_DIR}/cmake/debian/triggers)
  set(CPACK_DEBIAN_LIBRARY_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
  set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS
      "libsarnveld${PROJECT_VERSION_MAJOR} (= ${PROJECT_VERSION})")
  set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION
      "The headers, the static library, the CMake package and the pkg-config file
of libsarnveld.")
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
  # CPack would also give libsarnveld0 maintainer scripts that call ldconfig: that package's
  # Depends come from dpkg-shlibdeps run by cmake/debian/cpack.cmake instead.
  find_program(SARNVELD_DPKG_SHLIBDEPS dpkg-shlibdeps)
  find_program(SARNVELD_FILE_COMMAND file)
  set(CPACK_DEBIAN_LIBRARY_PACKAGE_DEPENDS "libc6, libgcc-s1, libstdc++6")
  set(CPACK_DEBIAN_LIBRARY_PACKAGE_SHLIBDEPS OFF)
  if(SARNVELD_DPKG_SHLIBDEPS AND SARNVELD_FILE_COMMAND)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libgcc-s1, libstdc++6")
    set(CPACK_DEBIAN_PROGRAMS_PACKAGE_DEPENDS "libc6")
  endif()
  set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_BINARY_DIR}/CPackProjectConfig.cmake)
  file(GENERATE OUTPUT ${CPACK_PROJECT_CONFIG_FILE} CONTENT "\
set(SARNVELD_CHANGELOG [[${PROJECT_SOURCE_DIR}/cmake/debian/changelog]])
set(SARNVELD_DEB_DIR [[${deb_dir}]])
set(SARNVELD_DPKG_SHLIBDEPS [[${SARNVELD_DPKG_SHLIBDEPS}]])
set(SARNVELD_SHARED_LIBRARY [[$<TARGET_FILE:sarnveld>]])
include([[${PROJECT_SOURCE_DIR}/cmake/debian/cpack.cmake]])
")
endif()
include(CPack)
