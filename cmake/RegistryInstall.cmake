# Install rules and the Debian package (scripts/package.sh): the programs in
# the library-executables directory, registry-admin with the commands, the
# settings under the system configuration directory, the storage root and
# logs under the state directories (made by the package's postinst, never
# shipped, so nothing deletes them), a lighttpd snippet for conf-available,
# and housekeeping units that are off until enabled.
if(NOT TARGET v2_base OR NOT TARGET registry-admin OR WIN32 OR REGISTRY_FUZZ)
  return()
endif()
include(GNUInstallDirs)

set(REGISTRY_PACKAGE_NAME "registry-cgi" CACHE STRING "Name of the package and of its directories")
set(pkg ${REGISTRY_PACKAGE_NAME})
set(REGISTRY_LIGHTTPD_SNIPPET "50-${pkg}.conf")

# The paths the installed files name, as the installed system sees them.
set(PACKAGE ${pkg})
set(PROGRAM_DIR ${CMAKE_INSTALL_FULL_LIBEXECDIR}/${pkg})
set(BIN_DIR ${CMAKE_INSTALL_FULL_BINDIR})
set(CONFIG_DIR ${CMAKE_INSTALL_FULL_SYSCONFDIR}/${pkg})
set(CONFIG_FILE ${CONFIG_DIR}/config.json)
set(STATE_DIR ${CMAKE_INSTALL_FULL_LOCALSTATEDIR}/lib/${pkg})
set(LOG_DIR ${CMAKE_INSTALL_FULL_LOCALSTATEDIR}/log/${pkg})
set(LIGHTTPD_DIR ${CMAKE_INSTALL_FULL_SYSCONFDIR}/lighttpd)
set(LIGHTTPD_SNIPPET ${LIGHTTPD_DIR}/conf-available/${REGISTRY_LIGHTTPD_SNIPPET})
set(LIGHTTPD_ENABLED ${LIGHTTPD_DIR}/conf-enabled/${REGISTRY_LIGHTTPD_SNIPPET})

# The routes come from the configuration serve.sh uses, so both map the API
# the same way.
file(READ ${PROJECT_SOURCE_DIR}/scripts/lighttpd.conf.in serve_conf)
string(FIND "${serve_conf}" "url.rewrite-once = (\n" routes_start)
if(routes_start LESS 0)
  message(FATAL_ERROR "scripts/lighttpd.conf.in has no url.rewrite-once block")
endif()
string(SUBSTRING "${serve_conf}" ${routes_start} -1 routes)
string(FIND "${routes}" "\n)" routes_end)
string(LENGTH "url.rewrite-once = (\n" routes_skip)
math(EXPR routes_len "${routes_end} - ${routes_skip}")
string(SUBSTRING "${routes}" ${routes_skip} ${routes_len} ROUTES)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${PROJECT_SOURCE_DIR}/scripts/lighttpd.conf.in)

set(src ${PROJECT_SOURCE_DIR}/deploy)
set(gen ${PROJECT_BINARY_DIR}/deploy)
foreach(f lighttpd-registry.conf config.json config.README housekeeping.service
          housekeeping.timer housekeeping.cron debian/postinst debian/postrm)
  if(EXISTS ${src}/${f}.in)
    configure_file(${src}/${f}.in ${gen}/${f} @ONLY)
  else()
    configure_file(${src}/${f} ${gen}/${f} @ONLY)
  endif()
endforeach()

install(TARGETS healthz status token v2_base v2_catalog v2_tags v2_manifests v2_blobs v2_uploads
                v2_referrers
        RUNTIME DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/${pkg})
install(TARGETS registry-admin RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The settings may hold the password's digest (postinst gives the group to
# www-data); their notes are for everyone.
install(FILES ${gen}/config.json DESTINATION ${CONFIG_DIR}
        PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ)
install(FILES ${gen}/config.README DESTINATION ${CONFIG_DIR})
install(FILES ${gen}/lighttpd-registry.conf DESTINATION ${LIGHTTPD_DIR}/conf-available
        RENAME ${REGISTRY_LIGHTTPD_SNIPPET})
install(FILES ${gen}/housekeeping.service DESTINATION lib/systemd/system
        RENAME ${pkg}-housekeeping.service)
install(FILES ${gen}/housekeeping.timer DESTINATION lib/systemd/system
        RENAME ${pkg}-housekeeping.timer)
install(FILES ${gen}/housekeeping.cron DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/cron.d
        RENAME ${pkg})

# Every file under the configuration directory is the operator's to edit:
# dpkg keeps an edited one on upgrade.
file(WRITE ${gen}/debian/conffiles
     "${CONFIG_DIR}/config.json\n${CONFIG_DIR}/config.README\n${LIGHTTPD_SNIPPET}\n"
     "${CMAKE_INSTALL_FULL_SYSCONFDIR}/cron.d/${pkg}\n")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${pkg})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Registry maintainers <registry@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "container-image registry as CGI programs over plain files")
set(CPACK_PACKAGE_DESCRIPTION
    "A self-hosted container-image registry (OCI distribution protocol) run as CGI programs behind lighttpd, storing everything as plain files under one storage root.")
# /etc and /var paths are absolute: staged under DESTDIR.
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
# The libraries the programs link dynamically (none for the fully static
# build; the C library and yyjson for a plain one) become dependencies.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "lighttpd")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "lighttpd-mod-openssl, openssl")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${gen}/debian/postinst ${gen}/debian/postrm ${gen}/debian/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# scripts/package.sh passes REGISTRY_PACKAGE_RELEASE for a rebuild of the
# same version (the package test upgrades with it).
set(CPACK_PROJECT_CONFIG_FILE ${src}/cpack-options.cmake)
include(CPack)
