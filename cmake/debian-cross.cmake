# Shared part of the Debian cross toolchain files: the including file sets
# VELMORA_TRIPLET, CMAKE_SYSTEM_PROCESSOR, VELMORA_DEBIAN_ARCH and VELMORA_QEMU.
# The target's headers and libraries come from a sysroot of its own
# (scripts/sysroot.sh ARCH makes it), never from the build machine's dpkg.
set(CMAKE_SYSTEM_NAME Linux)

set(CMAKE_C_COMPILER ${VELMORA_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${VELMORA_TRIPLET}-g++)

# Where scripts/sysroot.sh keeps it, unless given.
if(NOT VELMORA_SYSROOT)
  if(DEFINED ENV{VELMORA_SYSROOT_CACHE})
    set(cache "$ENV{VELMORA_SYSROOT_CACHE}")
  elseif(DEFINED ENV{XDG_CACHE_HOME})
    set(cache "$ENV{XDG_CACHE_HOME}/velmora")
  else()
    set(cache "$ENV{HOME}/.cache/velmora")
  endif()
  set(VELMORA_SYSROOT "${cache}/sysroot-${VELMORA_DEBIAN_ARCH}")
endif()
set(VELMORA_SYSROOT "${VELMORA_SYSROOT}" CACHE PATH "Root of the target's headers and libraries")
# try_compile's projects read this file again: they need the same root.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VELMORA_SYSROOT)
if(NOT EXISTS "${VELMORA_SYSROOT}/usr/lib/${VELMORA_TRIPLET}")
  message(FATAL_ERROR "No ${VELMORA_DEBIAN_ARCH} sysroot at ${VELMORA_SYSROOT}: "
                      "scripts/sysroot.sh ${VELMORA_DEBIAN_ARCH} makes it")
endif()
# The emulator's command line is split at blanks by what reads it back.
if(VELMORA_SYSROOT MATCHES "[ \t]")
  message(FATAL_ERROR "The sysroot's path must not contain blanks: ${VELMORA_SYSROOT}")
endif()

set(CMAKE_SYSROOT "${VELMORA_SYSROOT}")
# Multiarch inside the sysroot: libraries in /usr/lib/<triplet>, headers
# mostly in the shared /usr/include.
set(CMAKE_LIBRARY_ARCHITECTURE ${VELMORA_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Packages also outside it: one installed into a prefix of the user's.
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# pkg-config must only see the target's .pc files, with their paths inside
# the sysroot.
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${VELMORA_SYSROOT}")
set(ENV{PKG_CONFIG_LIBDIR} "${VELMORA_SYSROOT}/usr/lib/${VELMORA_TRIPLET}/pkgconfig:${VELMORA_SYSROOT}/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

# No binfmt_misc here: tests, and the programs they start, run through
# qemu-user with the sysroot as the guest's /, whose loader and libraries
# are one release (qemu falls back to the host's files for paths the
# sysroot lacks). ctest and whatever reads CMakeCache.txt run this.
set(CMAKE_CROSSCOMPILING_EMULATOR ${VELMORA_QEMU} -L ${VELMORA_SYSROOT} CACHE STRING
    "Runs the target's programs on the build machine" FORCE)

# For packaging rules: the Debian architecture of what this builds.
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${VELMORA_DEBIAN_ARCH} CACHE STRING "Debian architecture of the packages")

# Debian's multiarch library directory, as GNUInstallDirs gives natively but
# not when cross compiling; the -dev package's pkg-config file goes there.
set(CMAKE_INSTALL_LIBDIR lib/${VELMORA_TRIPLET} CACHE PATH "Object code libraries (lib/TRIPLET)")
