// The only ways the server reads from and writes to a connection or a pipe.
#ifndef WEBSRV_SERVER_IO_H
#define WEBSRV_SERVER_IO_H

#include <cstddef>

#include "websrv_plugin.h"

// How long the server waits for a descriptor to become ready for one read or write, and how
// long one send on a connection may block.
constexpr int websrv_wait_seconds = 30;

// Reads up to len bytes from fd once it is readable (waiting at most websrv_wait_seconds):
// through desc->on_read when set, recv() when desc is given without the hook, read() when desc
// is NULL. Returns the count, 0 at end of stream, or below 0 on failure or time-out (logged).
int websrv_read_handler(int fd, void *buf, size_t len, const websrv_plugin_desc *desc);

// websrv_write_handler, the write side, is part of the plug-in interface (websrv_plugin.h).

#endif
