# Installation and packages.
#
# `cmake --install` puts the programs, libkeldrin.so, its header, the man pages and the
# bash completion where the Filesystem Hierarchy Standard (and so Debian) expects them,
# below CMAKE_INSTALL_PREFIX. `cpack` (run in the build directory) makes the Debian
# package keldrin_<version>_<arch>.deb, installed below /usr, and
# keldrin-<version>-Linux.tar.gz with the same tree below its top directory. The Windows
# zip comes from scripts/package, as before.
if(WIN32)
    return()
endif()

install(TARGETS keldrin keldrin-pbl RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARGET keldrin_shared)
    install(TARGETS keldrin_shared LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
    install(FILES ${PROJECT_SOURCE_DIR}/include/keldrin/export.h
            DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/keldrin)
endif()

# Debian keeps man pages compressed; gzip -n leaves out the time, so a rebuild makes the
# same bytes.
find_program(KELDRIN_GZIP gzip)
foreach(page keldrin.1 keldrin-pbl.1)
    set(source ${PROJECT_SOURCE_DIR}/docs/man/${page})
    if(KELDRIN_GZIP)
        set(packed ${CMAKE_CURRENT_BINARY_DIR}/man/${page}.gz)
        add_custom_command(OUTPUT ${packed}
            COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/man
            COMMAND ${KELDRIN_GZIP} -9 -n -c ${source} > ${packed}
            DEPENDS ${source} VERBATIM)
        list(APPEND KELDRIN_MAN_PAGES ${packed})
    else()
        list(APPEND KELDRIN_MAN_PAGES ${source})
    endif()
endforeach()
add_custom_target(keldrin_man_pages ALL DEPENDS ${KELDRIN_MAN_PAGES})
install(FILES ${KELDRIN_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# bash-completion loads a command's completion from a file named after the command; one
# file serves both programs.
set(completion ${PROJECT_SOURCE_DIR}/docs/completion/keldrin-pbl.bash)
install(FILES ${completion} DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
        RENAME keldrin-pbl)
install(FILES ${completion} DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
        RENAME keldrin)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/docs/keldrin-pbl.md
              ${PROJECT_SOURCE_DIR}/docs/converter.md
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_PACKAGE_NAME keldrin)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Keldrin")
set(CPACK_PACKAGE_CONTACT "Keldrin maintainers <keldrin@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "PowerBuilder report to library converter and library toolkit")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "keldrin converts PowerBuilder saved reports (PSR) into PowerBuilder libraries (PBL).\n"
    "keldrin-pbl inspects, searches, compares and changes PowerBuilder libraries.")
set(CPACK_GENERATOR "DEB;TGZ")
set(CPACK_STRIP_FILES ON)
set(CPACK_SOURCE_GENERATOR "")
# The tar.gz unpacks into one directory, with the tree that /usr holds inside it.
set(CPACK_PACKAGE_FILE_NAME "keldrin-${PROJECT_VERSION}-${CMAKE_SYSTEM_NAME}")
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/cpack_generators.cmake)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://localhost/keldrin")
# dpkg-shlibdeps names the C and C++ runtimes and libpcre2-8-0 with their versions.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)
include(CPack)
