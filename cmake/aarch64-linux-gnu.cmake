# Cross build for 64-bit ARM Linux (Debian: g++-aarch64-linux-gnu, with the libraries' arm64
# packages installed beside the machine's own through multiarch). With qemu-user installed,
# the test binaries run on the build machine under qemu-aarch64 (scripts/test-arm64).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
# Multiarch: the arm64 libraries live in /usr/lib/aarch64-linux-gnu, their headers in
# /usr/include; the C library and the C++ run-time in /usr/aarch64-linux-gnu.
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# pkg-config reads the arm64 .pc files only.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
# qemu runs the programs with the loader and C library of the arm64 packages themselves
# (/lib/ld-linux-aarch64.so.1 and /lib/aarch64-linux-gnu, found through the host's loader
# cache), not with -L /usr/aarch64-linux-gnu: the cross compiler's copy of the C library is
# another build than libc6:arm64, and its loader with libc6:arm64's libc.so.6 hangs at the
# first new thread.
find_program(KESTRUNE_QEMU_AARCH64 qemu-aarch64)
if(KESTRUNE_QEMU_AARCH64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KESTRUNE_QEMU_AARCH64})
endif()
