# Debian packages, one per install component:
#   cpack --config BUILD/CPackConfig.cmake -G DEB
# Configure with -DCMAKE_INSTALL_PREFIX=/usr so that the library directory
# is Debian's multiarch one; cpack refuses another prefix (see below).
set(CPACK_PACKAGE_NAME velmora)
set(CPACK_PACKAGE_VENDOR "velmora team")
# The Maintainer: the team's list, a role address.
set(CPACK_PACKAGE_CONTACT "velmora team <velmora-team@lists.velmora.org>")
# No CPACK_PACKAGE_DESCRIPTION_SUMMARY: CPack would put it before each
# package's own synopsis (the first line of its description below).
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL tools platform dev)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SOURCE velmora)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# filter needs the display library, which velmora-platform ships in its
# private directory; dpkg-shlibdeps finds it there in the staging tree.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/lib)
# A cross build's libraries are in its sysroot, whose dpkg database
# (DPKG_ADMINDIR) says which packages they come from.
if(CMAKE_SYSROOT)
  list(APPEND CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
       ${CMAKE_SYSROOT}/lib/${CMAKE_LIBRARY_ARCHITECTURE} ${CMAKE_SYSROOT}/usr/lib/${CMAKE_LIBRARY_ARCHITECTURE})
endif()

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME velmora-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "velmora-platform (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_TOOLS_DESCRIPTION
"diagnostic tools for the velmora device platform
Four command-line tools: agent (a Bluetooth pairing agent), service (lists,
checks and calls the platform's IPC services), filter (draws a texture
through EGL and OpenGL ES 1.x in six pixel formats) and refresh (sets a
framebuffer to 16 bpp and measures its refresh rate).
.
They are installed in /usr/libexec/velmora, where the velmora command
(from velmora-platform) runs them, and velmora-sandbox runs them by their
own names.")

set(CPACK_DEBIAN_PLATFORM_PACKAGE_NAME velmora-platform)
set(CPACK_DEBIAN_PLATFORM_PACKAGE_SECTION misc)
# What velmora-sandbox starts: a private bus for bluetooth-sim and an X
# server drawn by Mesa's software renderer (its DRI drivers) for filter.
# The rest it uses (bash, setsid and setpriv, coreutils) is essential.
set(CPACK_DEBIAN_PLATFORM_PACKAGE_DEPENDS "dbus-daemon, xvfb, libgl1-mesa-dri")
# The sandbox's shell loads it before the tools' completions.
set(CPACK_DEBIAN_PLATFORM_PACKAGE_RECOMMENDS bash-completion)
set(CPACK_DEBIAN_PLATFORM_DESCRIPTION
"stand-ins for the velmora device platform
The pieces of the platform that a plain Linux machine lacks, so that the
velmora tools run there: a simulated Bluetooth daemon (bluetooth-sim) with
its bus configuration, the IPC service manager (servicemanager) with a demo
service host (demo-services), the display library and an emulated
framebuffer device to preload (libfbdev-emu.so).
.
velmora-sandbox starts them all on private addresses and opens a shell in
which the tools run by their own names; elsewhere the velmora command runs
them from /usr/libexec/velmora.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME velmora-ipc-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_SUGGESTS velmora-platform)
set(CPACK_DEBIAN_DEV_DESCRIPTION
"velmora platform IPC library - development files
Headers and static library of the velmora IPC layer (strings, parcels,
binder objects and the service manager client), with a pkg-config file
(velmora-ipc) and a CMake package: find_package(VelmoraIPC) gives the
target VelmoraIPC::velmora_ipc.")

# Every package carries its copyright file and the changelog, compressed
# the way Debian wants it (no name or time stamp in the gzip header).
set(changelog_gz ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz)
add_custom_command(OUTPUT ${changelog_gz}
  COMMAND gzip -9nc ${CMAKE_CURRENT_SOURCE_DIR}/packaging/changelog > ${changelog_gz}
  DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/packaging/changelog)
add_custom_target(velmora-changelog ALL DEPENDS ${changelog_gz})
foreach(component tools platform dev)
  string(TOUPPER ${component} upper)
  install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/packaging/copyright ${changelog_gz}
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${CPACK_DEBIAN_${upper}_PACKAGE_NAME}
          COMPONENT ${component})
endforeach()

# cpack checks the prefix the build was configured with, which decides the
# library directory: /usr gives the multiarch one that Debian wants.
set(CPACK_VELMORA_CONFIGURED_PREFIX "${CMAKE_INSTALL_PREFIX}")
set(CPACK_PROJECT_CONFIG_FILE "${CMAKE_CURRENT_SOURCE_DIR}/packaging/cpack-checks.cmake")

include(CPack)
