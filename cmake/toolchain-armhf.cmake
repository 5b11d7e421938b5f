# Cross build for Debian's armhf: cmake -S . -B build-armhf -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake
# The compiler comes from crossbuild-essential-armhf; the libraries are the armhf packages installed beside
# the host's by multiarch (dpkg --add-architecture armhf), so there is no separate sysroot: headers are
# shared, libraries and pkg-config files live under the triplet's directories.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
# Only the host's programs run at build time; libraries and headers must be the target's.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
# Test executables (and the test listing at build time) run under qemu-user; the target's dynamic
# loader and libraries are where multiarch put them, which is where qemu looks by default.
find_program(TAMROD_QEMU qemu-arm-static qemu-arm)
if(TAMROD_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TAMROD_QEMU})
endif()
