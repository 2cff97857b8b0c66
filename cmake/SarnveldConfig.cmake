# find_package(Sarnveld): Sarnveld::sarnveld, the shared library, and Sarnveld::sarnveld_static.
include(CMakeFindDependencyMacro)
find_dependency(Threads)
include(${CMAKE_CURRENT_LIST_DIR}/SarnveldTargets.cmake)
