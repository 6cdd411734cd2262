# The Debian package: `cpack -G DEB` in a build tree makes
# lumidex_VERSION_ARCH.deb. Included by the top CMakeLists.txt after every
# target is defined.
#
# Layout of the package:
#   /usr/lib/lumidex/{bin,cgi-bin,lib}   the plain install's layout under a
#                                        private prefix: the programs and the
#                                        engine library (a private library:
#                                        only these programs load it)
#   /usr/bin/lumidex                     links into that prefix, so each
#   /usr/lib/cgi-bin/lumidex/api_router  program keeps its one run path
#   /usr/lib/cgi-bin/lumidex/api_search  $ORIGIN/../LIBDIR (the loader takes
#                                        $ORIGIN from the program's real path)
#   /etc/lighttpd/conf-available/50-lumidex.conf   (a conffile)
#   /usr/share/doc/lumidex/  README.md, SECURITY.md, copyright, changelog.gz
# The maintainer scripts (packaging/debian) make /var/lib/lumidex owned by
# www-data with mode 0700 on configure and remove it on purge.
#
# Install components: "runtime" (the programs and the library, also what a
# plain `cmake --install` gives), "development" (headers, the library's
# link-time name), "deploy" (the lighttpd template and its renderer) and
# "debian" (the files above outside the prefix). "debian" is left out of a
# plain install; the package holds "runtime" and "debian".

set(LMX_PKG_DIR ${PROJECT_SOURCE_DIR}/packaging/debian)
set(LMX_PKG_BUILD ${PROJECT_BINARY_DIR}/packaging)
set(LMX_PKG_PREFIX /usr/lib/lumidex)
file(MAKE_DIRECTORY ${LMX_PKG_BUILD})

# The links from the public places into the private prefix (relative, as
# Debian wants within /usr).
foreach(link
    "usr-bin-lumidex|../lib/lumidex/bin/lumidex|/usr/bin|lumidex"
    "cgi-api_router|../../lumidex/cgi-bin/api_router|/usr/lib/cgi-bin/lumidex|api_router"
    "cgi-api_search|../../lumidex/cgi-bin/api_search|/usr/lib/cgi-bin/lumidex|api_search")
  string(REPLACE "|" ";" parts "${link}")
  list(GET parts 0 file)
  list(GET parts 1 target)
  list(GET parts 2 destination)
  list(GET parts 3 name)
  file(CREATE_LINK ${target} ${LMX_PKG_BUILD}/${file} SYMBOLIC)
  install(FILES ${LMX_PKG_BUILD}/${file} DESTINATION ${destination}
          RENAME ${name} COMPONENT debian EXCLUDE_FROM_ALL)
endforeach()

install(FILES ${LMX_PKG_DIR}/50-lumidex.conf
        DESTINATION /etc/lighttpd/conf-available
        COMPONENT debian EXCLUDE_FROM_ALL)

# Debian's changelog, compressed as Debian wants it (gzip -9, no name or
# time stamp in the header).
execute_process(
  COMMAND gzip -9 -n -c ${LMX_PKG_DIR}/changelog
  OUTPUT_FILE ${LMX_PKG_BUILD}/changelog.gz
  RESULT_VARIABLE gzip_result)
if(NOT gzip_result EQUAL 0)
  message(WARNING "gzip failed: the Debian package would lack its changelog")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${LMX_PKG_DIR}/changelog)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/SECURITY.md
              ${LMX_PKG_DIR}/copyright ${LMX_PKG_BUILD}/changelog.gz
        DESTINATION /usr/share/doc/lumidex
        PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
        COMPONENT debian EXCLUDE_FROM_ALL)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME lumidex)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR Nolvaris)
set(CPACK_PACKAGE_CONTACT "Lumidex maintainers <lumidex@nolvaris.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "JSON search API served as CGI programs, with its own search engine")
set(CPACK_PACKAGE_DESCRIPTION
    "Lumidex answers searches over JSON documents (relevant, typo-tolerant,
search as you type) from CGI programs that any web server can run, over
a search engine library built on Xapian.

This package holds the CGI programs api_router (the whole API) and
api_search (searches only), the lumidex tool (import, export, backup,
restore), the engine library, a lighttpd snippet serving the API on
127.0.0.1:8088, and the storage directory /var/lib/lumidex.")
set(CPACK_DEBIAN_PACKAGE_SECTION web)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "lighttpd")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${LUMIDEX_LIBRARY_OUTPUT_DIR})
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${LMX_PKG_DIR}/postinst ${LMX_PKG_DIR}/postrm ${LMX_PKG_DIR}/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Installed through DESTDIR into the package's staging root, so the
# absolute destinations above never touch the building machine's own /etc
# or /usr; the prefix under that root is CPACK_INSTALL_PREFIX.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX ${LMX_PKG_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_COMPONENTS_ALL runtime debian)
include(CPack)
