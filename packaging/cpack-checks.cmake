# Read by cpack for each generator. Configured for another prefix, the
# packages would put the libraries and the pkg-config file outside Debian's
# multiarch directory and call ldconfig for a directory it never searches.
if(CPACK_GENERATOR STREQUAL "DEB" AND NOT CPACK_VELMORA_CONFIGURED_PREFIX STREQUAL "/usr")
  message(FATAL_ERROR "velmora: Debian packages need a build configured with "
          "-DCMAKE_INSTALL_PREFIX=/usr; this one has ${CPACK_VELMORA_CONFIGURED_PREFIX}")
endif()
