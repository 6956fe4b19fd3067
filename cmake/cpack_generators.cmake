# What differs between the packages cpack makes (read by cpack, once per generator).
if(CPACK_GENERATOR STREQUAL "DEB")
    # A Debian package lives below /usr, never /usr/local.
    set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
else()
    set(CPACK_PACKAGING_INSTALL_PREFIX "/")
endif()
