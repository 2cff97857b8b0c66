# Cross-compiles the device reader and its test firmware for a Cortex-M3 (the MPS2-AN385 board,
# emulated by qemu-system-arm) with Debian's gcc-arm-none-eabi and its newlib.
set(CMAKE_SYSTEM_NAME Generic)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(CMAKE_C_COMPILER arm-none-eabi-gcc)
set(CMAKE_CXX_COMPILER arm-none-eabi-g++)
set(CMAKE_ASM_COMPILER arm-none-eabi-gcc)
set(CMAKE_OBJCOPY arm-none-eabi-objcopy CACHE FILEPATH "")
set(CMAKE_SIZE arm-none-eabi-size CACHE FILEPATH "")

# No operating system to link a test program against: the compiler checks build a library.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

set(CMAKE_C_FLAGS_INIT "-mthumb -mcpu=cortex-m3")
set(CMAKE_CXX_FLAGS_INIT "-mthumb -mcpu=cortex-m3")
set(CMAKE_ASM_FLAGS_INIT "-mthumb -mcpu=cortex-m3")

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
