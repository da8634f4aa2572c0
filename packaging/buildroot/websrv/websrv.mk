################################################################################
#
# websrv
#
################################################################################

WEBSRV_VERSION = 1.0
# The release archive, made from the release tag with
#   git archive --format=tar.gz --prefix=websrv-1.0/ -o websrv-1.0.tar.gz v1.0
# and put where the build can fetch it; websrv.hash holds its sha256.
WEBSRV_SOURCE = websrv-$(WEBSRV_VERSION).tar.gz
WEBSRV_SITE = https://downloads.example.com/websrv
# The project has published no licence: the sources are not redistributed with the image.
WEBSRV_LICENSE = PROPRIETARY
WEBSRV_REDISTRIBUTE = NO
# The header and pkg-config file, for plug-ins built by other packages.
WEBSRV_INSTALL_STAGING = YES

# The port file and https.so's certificate directory are fixed at build time.
WEBSRV_CONF_OPTS = \
	-DWEBSRV_TESTS=OFF \
	-DWEBSRV_PORT_FILE=/var/webport \
	-DWEBSRV_TLS_DIR=/etc/websrv

ifeq ($(BR2_PACKAGE_WEBSRV_TLS),y)
WEBSRV_CONF_OPTS += -DWEBSRV_TLS=ON
WEBSRV_DEPENDENCIES += openssl
else
WEBSRV_CONF_OPTS += -DWEBSRV_TLS=OFF
endif

# The server drops to this user (-u websrv in /etc/default/websrv) once its ports are open.
define WEBSRV_USERS
	websrv -1 websrv -1 * - - - websrv web server
endef

# The command line, a first page, and the directory of https.so's certificate and key.
define WEBSRV_INSTALL_SETTINGS
	$(INSTALL) -D -m 0644 $(@D)/packaging/common/websrv.default \
		$(TARGET_DIR)/etc/default/websrv
	$(INSTALL) -D -m 0644 $(@D)/packaging/common/index.html \
		$(TARGET_DIR)/var/www/websrv/index.html
	$(INSTALL) -d -m 0755 $(TARGET_DIR)/etc/websrv
endef
WEBSRV_POST_INSTALL_TARGET_HOOKS += WEBSRV_INSTALL_SETTINGS

# The init script is the project's own, which works with BusyBox's start-stop-daemon and
# sends the server's log to syslog.
define WEBSRV_INSTALL_INIT_SYSV
	$(INSTALL) -D -m 0755 $(@D)/packaging/common/websrv.init \
		$(TARGET_DIR)/etc/init.d/S50websrv
endef

# The access log's directory, the server's user's, is made at every boot by systemd-tmpfiles
# (the init script makes it itself).
define WEBSRV_INSTALL_INIT_SYSTEMD
	$(INSTALL) -D -m 0644 $(@D)/packaging/common/websrv.service \
		$(TARGET_DIR)/usr/lib/systemd/system/websrv.service
	$(INSTALL) -D -m 0644 $(@D)/packaging/common/websrv.tmpfiles \
		$(TARGET_DIR)/usr/lib/tmpfiles.d/websrv.conf
endef

$(eval $(cmake-package))
