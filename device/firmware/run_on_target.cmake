# Runs the test firmware on the emulated MPS2-AN385 board and keeps its report in LOG.
# -icount shift=0: each instruction takes 1 ns of virtual time, which the firmware counts.
#   cmake -DQEMU=qemu-system-arm -DFIRMWARE=device_firmware.elf -DLOG=on-target.log -P ...
execute_process(
  COMMAND ${QEMU} -M mps2-an385 -nographic -semihosting -icount shift=0 -kernel ${FIRMWARE}
  OUTPUT_VARIABLE output ERROR_VARIABLE output RESULT_VARIABLE result TIMEOUT 240)
file(WRITE ${LOG} "${output}")
message("${output}")
if(NOT result EQUAL 0)
  message(FATAL_ERROR "the firmware failed on the board: ${result}")
endif()
