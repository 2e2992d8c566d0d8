# Shared part of the Debian cross toolchain files: the including file sets
# VELMORA_TRIPLET, CMAKE_SYSTEM_PROCESSOR, VELMORA_DEBIAN_ARCH and VELMORA_QEMU.
set(CMAKE_SYSTEM_NAME Linux)

set(CMAKE_C_COMPILER ${VELMORA_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${VELMORA_TRIPLET}-g++)
# Multiarch: the target's libraries live in /usr/lib/<triplet>, its headers
# mostly in the shared /usr/include.
set(CMAKE_LIBRARY_ARCHITECTURE ${VELMORA_TRIPLET})
set(CMAKE_FIND_ROOT_PATH /usr/${VELMORA_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# pkg-config must only see the target's .pc files, never the host's.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/${VELMORA_TRIPLET}/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

# No binfmt_misc here: tests (and the programs they start) run through
# qemu-user. Without -L: the target's loader and libraries come from the
# multiarch packages (libc6:ARCH, pulled in by the -dev packages), which are
# one release. The cross toolchain's own copy under /usr/TRIPLET is often
# an older build, and its loader with the newer libc.so found through
# ld.so.cache hangs the first thread a program starts.
set(CMAKE_CROSSCOMPILING_EMULATOR ${VELMORA_QEMU} CACHE STRING
    "Runs the target's programs on the build machine")

# For packaging rules: the Debian architecture of what this builds.
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${VELMORA_DEBIAN_ARCH} CACHE STRING "Debian architecture of the packages")

# Debian's multiarch library directory, as GNUInstallDirs gives natively but
# not when cross compiling; the -dev package's pkg-config file goes there.
set(CMAKE_INSTALL_LIBDIR lib/${VELMORA_TRIPLET} CACHE PATH "Object code libraries (lib/TRIPLET)")
