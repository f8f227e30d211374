# Installation and the Debian package.
#
#   cmake --install <build> [--prefix <prefix>]   (undone by the uninstall target)
#     <prefix>/bin/kovix-mcp-server
#     <prefix>/share/man/man1/kovix-mcp-server.1.gz
#     <prefix>/share/doc/kovix-mcp-server/examples/agent-claude-template.md
#     <prefix>/share/doc/kovix-mcp-server/copyright, changelog.gz
#   cpack -G DEB (run in <build>; scripts/package does both in one step)
#     kovix-mcp-server_<version>_<arch>.deb with the same files under /usr
#
# The program looks for its template in <prefix>/Resources, which is no place
# for a distribution package to write to. The package therefore ships the
# template only as an example, and the program falls back to its built-in copy
# of the same text; KOVIX_TEMPLATE_PATH selects another.

include(GNUInstallDirs)

install(TARGETS kovix-mcp-server RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The manual page is compressed at build time, without a name or a time stamp
# in the gzip header, so that two builds of one source give the same bytes.
find_program(KOVIX_GZIP gzip REQUIRED)
set(_kovix_man_source ${CMAKE_CURRENT_SOURCE_DIR}/doc/kovix-mcp-server.1)
set(_kovix_man_dir ${CMAKE_CURRENT_BINARY_DIR}/man)
set(_kovix_man_page ${_kovix_man_dir}/kovix-mcp-server.1.gz)
add_custom_command(
  OUTPUT ${_kovix_man_page}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${_kovix_man_dir}
  COMMAND ${CMAKE_COMMAND} -E copy ${_kovix_man_source} ${_kovix_man_dir}/kovix-mcp-server.1
  COMMAND ${KOVIX_GZIP} -9nf ${_kovix_man_dir}/kovix-mcp-server.1
  DEPENDS ${_kovix_man_source}
  COMMENT "Compressing the manual page"
  VERBATIM)
add_custom_target(kovix_man_page ALL DEPENDS ${_kovix_man_page})
install(FILES ${_kovix_man_page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/doc/agent-claude-template.md
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

# The one place the maintainer is named: the package's Maintainer field, the
# copyright file's contact and the changelog's sign-off all come from here.
set(KOVIX_PACKAGE_MAINTAINER "Kovix maintainers <maintainers@kovix.invalid>"
    CACHE STRING "Maintainer field of the Debian package")

# The copyright file (machine-readable format) and the changelog, which a
# native Debian package keeps as changelog.gz. The changelog names its own
# version; scripts/package-test checks that it is the project's.
set(_kovix_doc_dir ${CMAKE_CURRENT_BINARY_DIR}/packaging)
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/doc/copyright.in ${_kovix_doc_dir}/copyright @ONLY)
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/doc/changelog.in ${_kovix_doc_dir}/changelog @ONLY)
add_custom_command(
  OUTPUT ${_kovix_doc_dir}/changelog.gz
  COMMAND ${KOVIX_GZIP} -9nkf ${_kovix_doc_dir}/changelog
  DEPENDS ${_kovix_doc_dir}/changelog
  COMMENT "Compressing the changelog"
  VERBATIM)
add_custom_target(kovix_changelog ALL DEPENDS ${_kovix_doc_dir}/changelog.gz)
install(FILES ${_kovix_doc_dir}/copyright ${_kovix_doc_dir}/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})

# cmake --build <build> --target uninstall removes what cmake --install put
# in place from that build directory, by its install_manifest.txt.
if(NOT TARGET uninstall)
  add_custom_target(uninstall
    COMMAND ${CMAKE_COMMAND} -P ${CMAKE_CURRENT_SOURCE_DIR}/cmake/Uninstall.cmake
    WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
    COMMENT "Removing the installed files listed in install_manifest.txt"
    VERBATIM)
endif()

# Lintian overrides, shipped only when there is one.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/doc/lintian-overrides)
file(STRINGS ${CMAKE_CURRENT_SOURCE_DIR}/doc/lintian-overrides _kovix_overrides REGEX "^[^#]")
if(_kovix_overrides)
  install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/doc/lintian-overrides
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME kovix-mcp-server)
endif()

# --- Debian package ------------------------------------------------------

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kovix-mcp-server)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR Kovix)
set(CPACK_PACKAGE_CONTACT ${KOVIX_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "MCP server for the agents and tasks of the Kovix scheduler")
set(CPACK_PACKAGE_DESCRIPTION
    "kovix-mcp-server lets an AI assistant read and create one user's Kovix agents,\n\
tasks and manual runs in the scheduler's shared SQLite database, over the Model\n\
Context Protocol on standard input and output. It also keeps each agent's\n\
working directory and its CLAUDE.md briefing.")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)

set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${KOVIX_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Depends comes from the libraries the binary links (libsqlite3-0, libc6,
# libstdc++6, libgcc-s1), as dpkg-shlibdeps finds them on the build machine.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# kovix-mcp-server_0.2.0_amd64.deb
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)

include(CPack)
