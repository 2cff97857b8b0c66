# Read by cpack before it packs with each generator (CPACK_PROJECT_CONFIG_FILE, written by
# packaging.cmake with the SARNVELD_* paths of the build).
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()

# Each package carries the changelog: its latest entry is the version that is packed.
file(READ "${SARNVELD_CHANGELOG}" changelog)
string(REGEX MATCH "^[^\n]*" latest "${changelog}")
if(NOT latest MATCHES "^sarnveld2hex \\(${CPACK_PACKAGE_VERSION}\\) ")
  message(FATAL_ERROR "${SARNVELD_CHANGELOG}: its latest entry is not for version "
                      "${CPACK_PACKAGE_VERSION}: ${latest}")
endif()

# libsarnveld0's Depends, from dpkg-shlibdeps as CPack would derive them: CPack's own run
# would also add maintainer scripts that call ldconfig, which the package leaves to the
# ldconfig trigger (debian/triggers).
if(NOT SARNVELD_DPKG_SHLIBDEPS)
  return()
endif()
set(work "${SARNVELD_DEB_DIR}/shlibdeps")
file(REMOVE_RECURSE "${work}")
# dpkg-shlibdeps wants to run at the top of a source package.
file(WRITE "${work}/debian/control" "")
execute_process(
  COMMAND "${SARNVELD_DPKG_SHLIBDEPS}" -O --ignore-missing-info "-e${SARNVELD_SHARED_LIBRARY}"
  WORKING_DIRECTORY "${work}" RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE errors)
file(REMOVE_RECURSE "${work}")
if(NOT result EQUAL 0 OR NOT output MATCHES "shlibs:Depends=([^\n]+)")
  message(FATAL_ERROR "dpkg-shlibdeps on ${SARNVELD_SHARED_LIBRARY} failed (exit ${result}):\n"
                      "${output}${errors}")
endif()
set(CPACK_DEBIAN_LIBRARY_PACKAGE_DEPENDS "${CMAKE_MATCH_1}")
