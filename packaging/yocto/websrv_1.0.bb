SUMMARY = "Small HTTP/1.0 web server for embedded Linux, extended by plug-ins"
DESCRIPTION = "websrv serves a device's web pages: static files, CGI programs and \
whatever its plug-ins answer. http.so serves plain HTTP; https.so adds TLS."
SECTION = "net"
# The project has published no licence.
LICENSE = "CLOSED"

# The release archive, made from the release tag with
#   git archive --format=tar.gz --prefix=websrv-1.0/ -o websrv-1.0.tar.gz v1.0
# and put where the build can fetch it, with its sha256 below.
SRC_URI = "https://downloads.example.com/websrv/websrv-${PV}.tar.gz"
SRC_URI[sha256sum] = "REPLACE-WITH-THE-SHA256-OF-THE-RELEASE-ARCHIVE"
# The archive's top directory is websrv-${PV}, the default S.

inherit cmake pkgconfig systemd update-rc.d useradd

# The port file and https.so's certificate directory are fixed at build time.
EXTRA_OECMAKE = "-DWEBSRV_TESTS=OFF -DWEBSRV_PORT_FILE=/var/webport \
                 -DWEBSRV_TLS_DIR=${sysconfdir}/websrv"

PACKAGECONFIG ??= "tls"
PACKAGECONFIG[tls] = "-DWEBSRV_TLS=ON,-DWEBSRV_TLS=OFF,openssl"

# The service files name /usr/sbin and /usr/lib; they get this distribution's directories.
websrv_install_service_file() {
    install -D -m $1 ${S}/packaging/common/$2 $3
    sed -i -e 's,/usr/sbin/websrv,${sbindir}/websrv,g' \
           -e 's,/usr/lib/websrv,${libdir}/websrv,g' $3
}

do_install:append() {
    websrv_install_service_file 0644 websrv.default ${D}${sysconfdir}/default/websrv
    install -D -m 0644 ${S}/packaging/common/index.html ${D}${localstatedir}/www/websrv/index.html
    install -d -m 0755 ${D}${sysconfdir}/websrv
    if ${@bb.utils.contains('DISTRO_FEATURES', 'sysvinit', 'true', 'false', d)}; then
        websrv_install_service_file 0755 websrv.init ${D}${sysconfdir}/init.d/websrv
    fi
    if ${@bb.utils.contains('DISTRO_FEATURES', 'systemd', 'true', 'false', d)}; then
        websrv_install_service_file 0644 websrv.service ${D}${systemd_system_unitdir}/websrv.service
        # The access log's directory, the server's user's, made at every boot.
        install -D -m 0644 ${S}/packaging/common/websrv.tmpfiles ${D}${nonarch_libdir}/tmpfiles.d/websrv.conf
    fi
}

# https.so in a package of its own: the only part that needs OpenSSL.
PACKAGES =+ "${PN}-plugin-https"
FILES:${PN}-plugin-https = "${libdir}/websrv/https.so"
RDEPENDS:${PN}-plugin-https = "${PN}"
FILES:${PN} += "${libdir}/websrv/http.so ${localstatedir}/www/websrv ${nonarch_libdir}/tmpfiles.d"

SYSTEMD_SERVICE:${PN} = "websrv.service"
INITSCRIPT_NAME = "websrv"
INITSCRIPT_PARAMS = "defaults 70"
CONFFILES:${PN} = "${sysconfdir}/default/websrv"

# The server drops to this user (-u websrv in /etc/default/websrv) once its ports are open.
USERADD_PACKAGES = "${PN}"
USERADD_PARAM:${PN} = "--system --no-create-home --home-dir /nonexistent \
                       --shell /bin/false --user-group websrv"
