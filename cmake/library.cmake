# Install rules of the library (api/): the headers (sarnveld.hpp, the C++ face, is for the
# static library), the static library and the shared one (on Windows the DLL, beside the
# programs, and its import library), with what finds them: a CMake package
# (find_package(Sarnveld), target Sarnveld::sarnveld, or Sarnveld::sarnveld_static) and,
# outside Windows, a pkg-config file.
include(CMakePackageConfigHelpers)

write_basic_package_version_file(${CMAKE_BINARY_DIR}/SarnveldConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)

# One layout of the library under the prefix: the shared library in the component
# library_component, everything that builds against it in development_component, the
# libraries and their CMake and pkg-config files in libdir. ARGN: EXCLUDE_FROM_ALL for a
# layout that only a package takes.
function(sarnveld_install_library shared libdir library_component development_component)
  set(cmake_dir ${libdir}/cmake/Sarnveld)
  set(export Sarnveld_${development_component})
  install(TARGETS ${shared} EXPORT ${export}
    RUNTIME DESTINATION . COMPONENT ${library_component} ${ARGN}
    LIBRARY DESTINATION ${libdir} COMPONENT ${library_component}
      NAMELINK_COMPONENT ${development_component} ${ARGN}
    ARCHIVE DESTINATION ${libdir} COMPONENT ${development_component} ${ARGN})
  install(TARGETS sarnveld_static EXPORT ${export}
    ARCHIVE DESTINATION ${libdir} COMPONENT ${development_component} ${ARGN})
  install(FILES ${PROJECT_SOURCE_DIR}/include/sarnveld.h ${PROJECT_SOURCE_DIR}/include/sarnveld.hpp
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT ${development_component} ${ARGN})
  install(EXPORT ${export} NAMESPACE Sarnveld:: FILE SarnveldTargets.cmake
    DESTINATION ${cmake_dir} COMPONENT ${development_component} ${ARGN})
  install(FILES ${PROJECT_SOURCE_DIR}/cmake/SarnveldConfig.cmake
    ${CMAKE_BINARY_DIR}/SarnveldConfigVersion.cmake
    DESTINATION ${cmake_dir} COMPONENT ${development_component} ${ARGN})
  if(WIN32)
    return()
  endif()

  # The .pc file finds the prefix from where it lies, so that a --prefix install or a package
  # that moves the tree still leads to the library.
  set(pkgconfig_dir ${libdir}/pkgconfig)
  file(RELATIVE_PATH SARNVELD_PC_TO_PREFIX /prefix/${pkgconfig_dir} /prefix)
  string(REGEX REPLACE "/$" "" SARNVELD_PC_TO_PREFIX "${SARNVELD_PC_TO_PREFIX}")
  set(SARNVELD_PC_LIBDIR ${libdir})
  set(pc_file ${CMAKE_BINARY_DIR}/${development_component}/sarnveld.pc)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/sarnveld.pc.in ${pc_file} @ONLY)
  install(FILES ${pc_file} DESTINATION ${pkgconfig_dir} COMPONENT ${development_component}
          ${ARGN})
endfunction()

if(WIN32)
  # The zip is the whole install: one layout.
  sarnveld_install_library(sarnveld_dll ${CMAKE_INSTALL_LIBDIR} library development)
  return()
endif()
# Two layouts. A plain install (`cmake --install`, any prefix) puts the libraries into
# CMAKE_INSTALL_LIBDIR, lib; the packages libsarnveld0 and libsarnveld-dev put them into the
# multiarch directory, /usr/lib/x86_64-linux-gnu, where Debian's tools look for them (its
# pkg-config wrappers for cross builds search only there). The packages' components are left
# out of a plain install, and the plain layout's go into the component prefix, which no
# package takes.
set(SARNVELD_MULTIARCH_LIBDIR lib)
if(CMAKE_LIBRARY_ARCHITECTURE)
  set(SARNVELD_MULTIARCH_LIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE})
endif()
sarnveld_install_library(sarnveld ${CMAKE_INSTALL_LIBDIR} prefix prefix)
sarnveld_install_library(sarnveld ${SARNVELD_MULTIARCH_LIBDIR} library development
                         EXCLUDE_FROM_ALL)
