# Cross build for Debian's arm64: cmake -S . -B build-arm64 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-aarch64.cmake
# The compiler comes from crossbuild-essential-arm64; the libraries are the arm64 packages installed beside
# the host's by multiarch (dpkg --add-architecture arm64), so there is no separate sysroot: headers are
# shared, libraries and pkg-config files live under the triplet's directories.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
# Only the host's programs run at build time; libraries and headers must be the target's.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
# Test executables (and the test listing at build time) run under qemu-user; the target's dynamic
# loader and libraries are where multiarch put them, which is where qemu looks by default.
find_program(TAMROD_QEMU qemu-aarch64-static qemu-aarch64)
if(TAMROD_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TAMROD_QEMU})
endif()
