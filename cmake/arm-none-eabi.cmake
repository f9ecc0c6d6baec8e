# Cross toolchain for the STM32F411 (Cortex-M4F): Debian's arm-none-eabi-gcc with picolibc.
set(CMAKE_SYSTEM_NAME Generic)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(CMAKE_C_COMPILER arm-none-eabi-gcc)
set(CMAKE_CXX_COMPILER arm-none-eabi-g++)
set(CMAKE_ASM_COMPILER arm-none-eabi-gcc)
set(CMAKE_OBJCOPY arm-none-eabi-objcopy CACHE FILEPATH "objcopy for the target")
set(CMAKE_SIZE arm-none-eabi-size CACHE FILEPATH "size for the target")

# Compiler checks build a library only: linking needs the image's own start-up and linker script.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

set(ARM_CPU_FLAGS "-mcpu=cortex-m4 -mthumb -mfpu=fpv4-sp-d16 -mfloat-abi=hard")
# picolibc with its integer-only printf/scanf: the firmware formats no floating point.
set(ARM_LIBC_FLAGS "--specs=picolibc.specs -DPICOLIBC_INTEGER_PRINTF_SCANF")
set(CMAKE_C_FLAGS_INIT "${ARM_CPU_FLAGS} ${ARM_LIBC_FLAGS} -ffunction-sections -fdata-sections")
set(CMAKE_CXX_FLAGS_INIT "${CMAKE_C_FLAGS_INIT} -fno-threadsafe-statics")
set(CMAKE_ASM_FLAGS_INIT "${ARM_CPU_FLAGS}")
# The compile flags reach the link too (CPU, picolibc's GCC driver file; the
# PICOLIBC_INTEGER_PRINTF_SCANF definition makes it pick the integer-only vfprintf/vfscanf). The
# start-up code is ours.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-nostartfiles -Wl,--gc-sections")

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
