# Debian packages of the server: `cpack -G DEB` in the build directory makes
#
#   websrv      the server, the stock plug-ins, websrv(8), the systemd unit and its tmpfiles.d
#               file, the System V init script, /etc/default/websrv, the logrotate file and a
#               first page
#   websrv-dev  the plug-in headers, the pkg-config files, websrv-plugin(7) and the LED example
#
# for /usr, from the files of packaging/ (the service files are the ones the Buildroot and
# Yocto packages install too). Nothing here changes `cmake --install`: the files only the
# packages carry belong to components that are left out of a plain installation.
#
# install.cmake puts every file in the default component; the packages split them by group:
# that component and "service" make websrv, "dev" makes websrv-dev, and the script
# packaging-stage.cmake moves the plug-in author's files from the one to the other.

set(WEBSRV_PACKAGE_MAINTAINER "websrv maintainers <maintainers@users.noreply.c-seed-0f6b7419.example>"
    CACHE STRING "Name and mail address of the Debian packages' maintainer")
set(WEBSRV_DEB_RELEASE 1)
set(WEBSRV_DEB_VERSION ${PROJECT_VERSION}-${WEBSRV_DEB_RELEASE})
set(websrv_packaging_dir ${PROJECT_SOURCE_DIR}/packaging)
set(websrv_deb_work ${PROJECT_BINARY_DIR}/packaging)

# The service files name the server and the plug-ins where a system puts them, /usr/sbin and
# /usr/lib/websrv; the packaged copies name the directories this build installs them to.
set(websrv_deb_prefix /usr)
function(websrv_deb_file source target)
  file(READ ${source} text)
  string(REPLACE "/usr/sbin/websrv" "${websrv_deb_prefix}/${CMAKE_INSTALL_SBINDIR}/websrv" text "${text}")
  string(REPLACE "/usr/lib/websrv" "${websrv_deb_prefix}/${WEBSRV_PLUGIN_INSTALL_DIR}" text "${text}")
  file(GENERATE OUTPUT ${websrv_deb_work}/${target} CONTENT "${text}")
  set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
endfunction()
websrv_deb_file(${websrv_packaging_dir}/common/websrv.init websrv.init)
websrv_deb_file(${websrv_packaging_dir}/common/websrv.service websrv.service)
websrv_deb_file(${websrv_packaging_dir}/common/websrv.default websrv.default)

string(TIMESTAMP WEBSRV_DEB_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${websrv_packaging_dir}/debian/changelog.in ${websrv_deb_work}/changelog.Debian @ONLY)

# The files of the websrv package besides install.cmake's. Absolute destinations: /etc and
# /lib are not under the package's prefix.
set(websrv_service_rule COMPONENT service EXCLUDE_FROM_ALL)
install(PROGRAMS ${websrv_deb_work}/websrv.init DESTINATION /etc/init.d RENAME websrv ${websrv_service_rule})
install(FILES ${websrv_deb_work}/websrv.default DESTINATION /etc/default RENAME websrv ${websrv_service_rule})
install(FILES ${websrv_deb_work}/websrv.service DESTINATION /lib/systemd/system ${websrv_service_rule})
install(FILES ${websrv_packaging_dir}/common/websrv.tmpfiles DESTINATION /usr/lib/tmpfiles.d RENAME websrv.conf
        ${websrv_service_rule})
install(FILES ${websrv_packaging_dir}/debian/websrv.logrotate DESTINATION /etc/logrotate.d
        RENAME websrv ${websrv_service_rule})
install(FILES ${websrv_packaging_dir}/common/index.html DESTINATION share/websrv ${websrv_service_rule})
# https.so's certificate and key are made in this directory on the first start.
if(TARGET https)
  install(DIRECTORY DESTINATION ${WEBSRV_TLS_DIR} ${websrv_service_rule})
endif()
# Each package carries its copyright file and changelog (compressed when staged).
set(websrv_deb_packages websrv websrv-dev)
set(websrv_deb_components service dev)
foreach(package component IN ZIP_LISTS websrv_deb_packages websrv_deb_components)
  install(FILES ${websrv_packaging_dir}/debian/copyright ${websrv_deb_work}/changelog.Debian
          DESTINATION share/doc/${package} COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()

# Maintainer scripts and the configuration files dpkg keeps an administrator's changes of.
file(WRITE ${websrv_deb_work}/conffiles "/etc/default/websrv\n/etc/init.d/websrv\n/etc/logrotate.d/websrv\n")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME websrv)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${WEBSRV_PACKAGE_MAINTAINER})
set(CPACK_PACKAGING_INSTALL_PREFIX ${websrv_deb_prefix})
# The pkg-config file is written from the install prefix at install time: staged through
# DESTDIR, it names /usr, not the staging directory.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX ${websrv_deb_prefix})
set(CPACK_STRIP_FILES ON)
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/packaging-stage.cmake)
# The paths fixed in the server, and the tree packaging-stage.cmake does not let them lie in.
set(CPACK_WEBSRV_FIXED_PATHS ${WEBSRV_PORT_FILE} ${WEBSRV_TLS_DIR})
set(CPACK_WEBSRV_TREES ${PROJECT_BINARY_DIR})
# What packaging-stage.cmake moves to websrv-dev, relative to the staging root.
string(REGEX REPLACE "^/" "" websrv_deb_root_prefix ${websrv_deb_prefix})
set(CPACK_WEBSRV_DEV_PATHS
    ${websrv_deb_root_prefix}/${CMAKE_INSTALL_INCLUDEDIR}/websrv
    ${websrv_deb_root_prefix}/${CMAKE_INSTALL_LIBDIR}/pkgconfig
    ${websrv_deb_root_prefix}/${CMAKE_INSTALL_MANDIR}/man7
    ${websrv_deb_root_prefix}/${CMAKE_INSTALL_LIBDIR}/websrv/examples
    ${websrv_deb_root_prefix}/${CMAKE_INSTALL_DATADIR}/websrv/examples)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ONE_PER_GROUP)
set(CPACK_COMPONENTS_ALL Unspecified service dev)
set(CPACK_COMPONENT_UNSPECIFIED_GROUP server)
set(CPACK_COMPONENT_SERVICE_GROUP server)
set(CPACK_COMPONENT_DEV_GROUP devel)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${WEBSRV_DEB_RELEASE})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${WEBSRV_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION httpd)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_SERVER_PACKAGE_NAME websrv)
set(CPACK_DEBIAN_SERVER_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_SERVER_DESCRIPTION "small HTTP/1.0 web server for embedded devices
websrv serves a device's web pages: static files, CGI programs and whatever
its plug-ins answer. Every port belongs to a plug-in: http.so serves plain
HTTP, https.so adds TLS. The server runs as a system service as the user
websrv; its command line is in /etc/default/websrv.")
set(CPACK_DEBIAN_SERVER_PACKAGE_CONTROL_EXTRA
    ${websrv_packaging_dir}/debian/postinst ${websrv_packaging_dir}/debian/prerm
    ${websrv_packaging_dir}/debian/postrm ${websrv_deb_work}/conffiles)

set(CPACK_DEBIAN_DEVEL_PACKAGE_NAME websrv-dev)
set(CPACK_DEBIAN_DEVEL_PACKAGE_DEPENDS "websrv (= ${WEBSRV_DEB_VERSION})")
set(CPACK_DEBIAN_DEVEL_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_DEVEL_DESCRIPTION "websrv plug-in development files
The headers plug-ins for the websrv web server are built against
(websrv_plugin.h, websrv_answer.h for answers of their own and
websrv_words.h, the HTTP words the server uses), its
pkg-config file (pkg-config --cflags websrv-plugin) and the manual page
websrv-plugin(7).")

include(CPack)
