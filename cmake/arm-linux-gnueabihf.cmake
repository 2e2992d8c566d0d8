# Cross build for 32-bit ARM (hard float) with Debian's cross toolchain
# (crossbuild-essential-armhf) and an armhf sysroot.
set(VELMORA_TRIPLET arm-linux-gnueabihf)
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(VELMORA_DEBIAN_ARCH armhf)
set(VELMORA_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
