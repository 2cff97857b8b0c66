# Installs the build into a fresh prefix, then checks that exactly the expected files are there,
# that the installed programs pack and unpack a real image, that every error kind the programs
# can report is documented, and, where groff is present, that each man page renders without
# warnings. Run by CTest as `cmake -D... -P install_test.cmake`.
#
#   BUILD_DIR     the build tree to install
#   PREFIX        the prefix to install into (emptied first)
#   SOURCE_DIR    the source tree, for the example image and the error kinds
#   EXPECTED      the files the prefix must hold, relative to it, separated by |
#   PACKER        the installed packer, relative to the prefix; UNPACKER likewise
#   EMULATOR      what runs a cross-compiled program, separated by | (empty on the host)
#   GROFF         groff, or empty to skip the rendering check
#   PYTHON        the python3 the module is for, and PYTHON_MODULE the module, relative to the
#                 prefix; empty when it is not built

string(REPLACE "|" ";" EXPECTED "${EXPECTED}")
string(REPLACE "|" ";" EMULATOR "${EMULATOR}")

file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}"
                RESULT_VARIABLE result OUTPUT_QUIET)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${result}")
endif()

file(GLOB_RECURSE installed RELATIVE "${PREFIX}" "${PREFIX}/*")
list(SORT installed)
list(SORT EXPECTED)
if(NOT installed STREQUAL EXPECTED)
  message(FATAL_ERROR "the prefix holds\n  ${installed}\nbut should hold\n  ${EXPECTED}")
endif()

# Runs an installed program in the prefix, with relative names, which mean the same to a
# program under wine, and checks its exit code and that its console output holds each of the
# given lines, CR LF included. The output is compared in hex: execute_process and file(READ)
# would both drop the CR.
function(expect_run program code lines)
  execute_process(COMMAND ${EMULATOR} "${PREFIX}/${program}" ${ARGN}
                  WORKING_DIRECTORY "${PREFIX}" RESULT_VARIABLE result
                  OUTPUT_FILE "${PREFIX}/console.txt" ERROR_QUIET)
  file(READ "${PREFIX}/console.txt" output_hex HEX)
  file(READ "${PREFIX}/console.txt" output)
  file(REMOVE "${PREFIX}/console.txt")
  foreach(line IN LISTS lines)
    string(HEX "${line}\r\n" line_hex)
    string(FIND "${output_hex}" "${line_hex}" at)
    if(at EQUAL -1 OR NOT result EQUAL code)
      message(FATAL_ERROR "${program} ${ARGN}: exit ${result}, expected ${code} and the line "
                          "\"${line}\" with CR LF in:\n${output}")
    endif()
  endforeach()
endfunction()

expect_run("${PACKER}" 0 "Usage: sarnveld2hex plainfile hexfile NameID Manufacturer")
file(COPY "${SOURCE_DIR}/examples/blinky.bin" DESTINATION "${PREFIX}")
expect_run("${PACKER}" 0 "Ok" blinky.bin blinky.hex BLINKY-12 -)
expect_run("${UNPACKER}" 0 "NameID: BLINKY-12;Image size: 4096 bytes;Ok" blinky.hex blinky.out)
execute_process(COMMAND "${CMAKE_COMMAND}" -E compare_files "${PREFIX}/blinky.bin"
                        "${PREFIX}/blinky.out" RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "the image unpacked by the installed programs differs from the one packed")
endif()

# The installed module, found as the README says, makes the programs' container.
if(PYTHON)
  get_filename_component(python_path "${PREFIX}/${PYTHON_MODULE}" DIRECTORY)
  execute_process(COMMAND "${CMAKE_COMMAND}" -E env "PYTHONPATH=${python_path}" "${PYTHON}" -c
    "import sarnveld; assert sarnveld.pack(open('blinky.bin', 'rb').read(), 'BLINKY-12') == open('blinky.hex', 'rb').read()"
    WORKING_DIRECTORY "${PREFIX}" RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "the installed Python module failed: ${result}")
  endif()
endif()

file(GLOB pages "${PREFIX}/*/man/man1/*.1")
if(NOT pages)
  return()  # Windows: no man pages
endif()

# Every error kind the sources declare, and the two the entry point names itself.
file(READ "${SOURCE_DIR}/HuffFuncs/base/errors.h" declared)
file(READ "${SOURCE_DIR}/app/process.h" console_layer)
string(REGEX MATCHALL "EError\\(\"E[A-Za-z]+\"" kinds "${declared}${console_layer}")
list(TRANSFORM kinds REPLACE "EError\\(\"(E[A-Za-z]+)\"" "\\1")
list(APPEND kinds EError EOutOfMemory)
set(documented "")
foreach(page IN LISTS pages)
  file(READ "${page}" text)
  string(APPEND documented "${text}")
endforeach()
foreach(kind IN LISTS kinds)
  if(NOT documented MATCHES "\n\\.B ${kind}\n")
    message(FATAL_ERROR "no man page lists the error kind ${kind} in its DIAGNOSTICS")
  endif()
endforeach()

if(NOT GROFF)
  message(STATUS "groff not found: the man pages' rendering is not checked")
  return()
endif()
foreach(page IN LISTS pages)
  execute_process(COMMAND "${GROFF}" -man -Tutf8 -ww -z "${page}" RESULT_VARIABLE result
                  ERROR_VARIABLE warnings)
  if(NOT result EQUAL 0 OR NOT warnings STREQUAL "")
    message(FATAL_ERROR "groff on ${page}: exit ${result}\n${warnings}")
  endif()
endforeach()
