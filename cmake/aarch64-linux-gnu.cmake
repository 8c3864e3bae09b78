# Cross-compiles for 64-bit ARM Linux with Debian's cross toolchain (g++-aarch64-linux-gnu) against
# the arm64 multiarch -dev packages (zlib1g-dev:arm64, libssl-dev:arm64, libicu-dev:arm64,
# libgtest-dev:arm64). Test programs run under qemu-user (CMake uses it for test discovery too)
# with the loader and C library of the arm64 multiarch packages (libc6:arm64, at /lib). Not with
# `-L /usr/aarch64-linux-gnu`: that loader comes from a different build of glibc than the libc.so
# the multiarch libraries pull in, and a program mixing the two hangs in its first pthread_create.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64)

# Libraries are found in the target's multiarch directories (CMAKE_LIBRARY_ARCHITECTURE), and
# pkg-config, which FindOpenSSL consults, reads the target's .pc files.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)
