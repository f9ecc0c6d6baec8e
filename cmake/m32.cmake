# The PC build as 32-bit x86 code: int, long and pointers are 32 bits wide, as on the board.
# As a toolchain file the flag is in place before CMake probes the compiler, so the probe reports
# 4-byte pointers and the 32-bit library directories, and no 64-bit library is picked up.
set(CMAKE_C_FLAGS_INIT "-m32")
set(CMAKE_CXX_FLAGS_INIT "-m32")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-m32")

# pkg-config would otherwise offer the 64-bit libraries' .pc files.
set(ENV{PKG_CONFIG_LIBDIR}
    "/usr/lib32/pkgconfig:/usr/lib/i386-linux-gnu/pkgconfig:/usr/share/pkgconfig")
