// The only way the server reads from a connection or a pipe.
#ifndef WEBSRV_SERVER_IO_H
#define WEBSRV_SERVER_IO_H

#include <cstddef>

#include "http_words.h"
#include "wait.h"
#include "websrv_plugin.h"

#pragma GCC visibility push(hidden)

// Reads up to len bytes from fd once it is readable (waiting at most websrv_wait_seconds):
// through desc->on_read when set, recv() when desc is given without the hook, read() when desc
// is NULL. Returns the count, 0 at end of stream, or below 0 on failure or time-out (logged).
// A hook that reports more bytes than it was asked for is a failure (logged, errno EIO).
int websrv_read_handler(int fd, void *buf, size_t len, const websrv_plugin_desc *desc);

// The same, waiting for readability at most until `deadline` (see websrv_deadline). A
// consenting plug-in's read hook may answer EAGAIN ("not yet"): the wait goes on.
int websrv_read_until(int fd, void *buf, size_t len, const websrv_plugin_desc *desc, long long deadline);

// One read without a wait of its own (for a caller that waited already): the hook, recv()
// without blocking, or read(). Returns as websrv_read_handler; EAGAIN when nothing is there.
int websrv_read_now(int fd, void *buf, size_t len, const websrv_plugin_desc *desc);

// Whether the plug-in holds bytes of fd already (its on_pending), which a read then returns
// without the socket being readable.
bool websrv_read_pending(int fd, const websrv_plugin_desc *desc);

#pragma GCC visibility pop

#endif
