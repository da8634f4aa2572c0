// The only way the server writes to a connection or a pipe.
#ifndef WEBSRV_SERVER_RESPOND_WRITE_H
#define WEBSRV_SERVER_RESPOND_WRITE_H

#include <cstddef>

#include "websrv_plugin.h"

#pragma GCC visibility push(hidden)

// Writes all `len` bytes of `buf` to fd, waiting for writability before each piece: through
// desc->on_write when set, send() when desc is given without the hook, write() when desc is
// NULL. Gives up when no byte has moved for websrv_wait_seconds (logged, errno ETIMEDOUT) or a
// write fails (errno set). Returns 0, or -1. The server's own answers go out this way; the
// plug-in interface's websrv_write_handler (websrv_plugin.h) is the same write, with the access
// log reading the bytes it carries.
int websrv_write_all(int fd, const void *buf, size_t len, const websrv_plugin_desc *desc);

#pragma GCC visibility pop

#endif
