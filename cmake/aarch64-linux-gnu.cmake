# Cross build for 64-bit ARM with Debian's cross toolchain
# (crossbuild-essential-arm64) and an arm64 sysroot.
set(VELMORA_TRIPLET aarch64-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(VELMORA_DEBIAN_ARCH arm64)
set(VELMORA_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
