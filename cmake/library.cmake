# Install rules of the library (api/): the headers (sarnveld.hpp, the C++ face, is for the
# static library), the static library and, outside Windows, the shared one, with what finds
# them: a CMake package (find_package(Sarnveld), target Sarnveld::sarnveld, or
# Sarnveld::sarnveld_static) and a pkg-config file. The Windows zip holds the programs alone.
if(WIN32)
  return()
endif()
include(CMakePackageConfigHelpers)

set(SARNVELD_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Sarnveld)
install(TARGETS sarnveld EXPORT SarnveldTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT library NAMELINK_COMPONENT development)
install(TARGETS sarnveld_static EXPORT SarnveldTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development)
install(FILES ${PROJECT_SOURCE_DIR}/include/sarnveld.h ${PROJECT_SOURCE_DIR}/include/sarnveld.hpp
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)
install(EXPORT SarnveldTargets NAMESPACE Sarnveld:: DESTINATION ${SARNVELD_CMAKE_DIR}
  COMPONENT development)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/SarnveldConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_SOURCE_DIR}/cmake/SarnveldConfig.cmake
  ${CMAKE_BINARY_DIR}/SarnveldConfigVersion.cmake
  DESTINATION ${SARNVELD_CMAKE_DIR} COMPONENT development)

# The .pc file finds the prefix from where it lies, so that a --prefix install or a package
# that moves the tree still leads to the library.
set(pkgconfig_dir ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
file(RELATIVE_PATH SARNVELD_PC_TO_PREFIX /prefix/${pkgconfig_dir} /prefix)
string(REGEX REPLACE "/$" "" SARNVELD_PC_TO_PREFIX "${SARNVELD_PC_TO_PREFIX}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/sarnveld.pc.in ${CMAKE_BINARY_DIR}/sarnveld.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/sarnveld.pc DESTINATION ${pkgconfig_dir}
  COMPONENT development)
