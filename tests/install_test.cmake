# Installs BUILD_DIR into PREFIX, emptied first, and checks that exactly the EXPECTED files are
# there, that the installed PACKER and UNPACKER pack and unpack a real image (through EMULATOR
# where cross-compiled) and the PYTHON_MODULE packs alike, that every error kind is documented,
# and, with GROFF, that each man page renders without warnings. Lists are separated by |.

string(REPLACE "|" ";" EXPECTED "${EXPECTED}")
string(REPLACE "|" ";" EMULATOR "${EMULATOR}")

file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}"
                OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)

file(GLOB_RECURSE installed RELATIVE "${PREFIX}" "${PREFIX}/*")
list(SORT installed)
list(SORT EXPECTED)
if(NOT installed STREQUAL EXPECTED)
  message(FATAL_ERROR "the prefix holds\n  ${installed}\nbut should hold\n  ${EXPECTED}")
endif()

# Runs an installed program in the prefix on relative names (the same under wine), and checks
# its exit code and that its output holds each line with CR LF, in hex: file(READ) drops the CR.
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
                        "${PREFIX}/blinky.out" COMMAND_ERROR_IS_FATAL ANY)

if(PYTHON)
  get_filename_component(python_path "${PREFIX}/${PYTHON_MODULE}" DIRECTORY)
  get_filename_component(python_path "${python_path}" DIRECTORY)
  execute_process(COMMAND "${CMAKE_COMMAND}" -E env "PYTHONPATH=${python_path}" "${PYTHON}" -c
    "import sarnveld; assert sarnveld.pack(open('blinky.bin', 'rb').read(), 'BLINKY-12') == open('blinky.hex', 'rb').read()"
    WORKING_DIRECTORY "${PREFIX}" COMMAND_ERROR_IS_FATAL ANY)
endif()

file(GLOB pages "${PREFIX}/*/man/man1/*.1")
if(NOT pages)
  return()  # Windows: no man pages
endif()

# Every error kind the sources declare, and the two the entry point names itself.
file(READ "${SOURCE_DIR}/HuffFuncs/base/errors.h" declared)
file(READ "${SOURCE_DIR}/app/console.h" console_layer)
string(REGEX MATCHALL "\"E[A-Z][A-Za-z]+\"|HUFF_ERROR_KIND\\(E[A-Za-z]+" kinds
       "${declared}${console_layer}")
list(TRANSFORM kinds REPLACE "^HUFF_ERROR_KIND\\(|\"" "")
list(REMOVE_DUPLICATES kinds)
# Only the memory functions raise EBufferTooSmall: docs/api.md has it.
list(REMOVE_ITEM kinds EBufferTooSmall)
list(APPEND kinds EError EOutOfMemory)
list(LENGTH kinds count)
if(count LESS 10)
  message(FATAL_ERROR "the error kinds were not found in the sources: ${kinds}")
endif()
# Each page renders without warnings, where groff is there.
set(documented "")
foreach(page IN LISTS pages)
  file(READ "${page}" text)
  string(APPEND documented "${text}")
  if(GROFF)
    execute_process(COMMAND "${GROFF}" -man -Tutf8 -ww -z "${page}" RESULT_VARIABLE result
                    ERROR_VARIABLE warnings)
    if(NOT result EQUAL 0 OR NOT warnings STREQUAL "")
      message(FATAL_ERROR "groff on ${page}: exit ${result}\n${warnings}")
    endif()
  endif()
endforeach()
foreach(kind IN LISTS kinds)
  if(NOT documented MATCHES "\n\\.B ${kind}\n")
    message(FATAL_ERROR "no man page lists the error kind ${kind} in its DIAGNOSTICS")
  endif()
endforeach()
