// Reading from a connection, and the end of every session.
#ifndef WEBSRV_SERVER_SESSION_H
#define WEBSRV_SERVER_SESSION_H

#include <cstddef>

#include "websrv_plugin.h"

// Reads up to len bytes from fd once it is readable (waiting at most 30 seconds): through
// desc->on_read when set, recv() when desc is given without the hook, read() when desc is
// NULL. Returns the count, 0 at end of stream, or below 0 on failure or time-out (logged).
int websrv_read_handler(int fd, void *buf, size_t len, const websrv_plugin_desc *desc);

// Ends a session: closes its socket, calls the plug-in's on_session_end and frees the
// buffer. Runs once in every process that ends its share of a connection.
void websrv_clean_session(websrv_session *session);

#endif
