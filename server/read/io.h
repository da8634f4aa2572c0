// The only way the server reads from a connection or a pipe, and the waits every transfer uses.
#ifndef WEBSRV_SERVER_IO_H
#define WEBSRV_SERVER_IO_H

#include <cstddef>

#include "http_words.h"
#include "websrv_plugin.h"


// Reads up to len bytes from fd once it is readable (waiting at most websrv_wait_seconds):
// through desc->on_read when set, recv() when desc is given without the hook, read() when desc
// is NULL. Returns the count, 0 at end of stream, or below 0 on failure or time-out (logged).
// A hook that reports more bytes than it was asked for is a failure (logged, errno EIO).
int websrv_read_handler(int fd, void *buf, size_t len, const websrv_plugin_desc *desc);

// The same, waiting for readability at most until `deadline` (see websrv_deadline).
int websrv_read_until(int fd, void *buf, size_t len, const websrv_plugin_desc *desc, long long deadline);

// A point in time websrv_wait_seconds (or `ms` milliseconds) from now, on the monotonic
// clock, in milliseconds.
long long websrv_deadline();
long long websrv_deadline_in(long long ms);

// Waits until fd is ready for `events` (POLLIN or POLLOUT), at most until `deadline`. Returns
// false when the deadline passed first; true when ready, or when the wait itself failed (the
// I/O call that follows then reports the descriptor's own error).
bool websrv_wait_ready(int fd, short events, long long deadline);

// Pauses for a moment: a call that said "try again" although its descriptor was ready is not
// retried in a busy loop.
void websrv_pause_before_retry();

// Pauses for `ms` milliseconds (less when a signal comes).
void websrv_pause_ms(int ms);

// Name of a descriptor's plug-in for messages ("(none)" for a null descriptor), and its length.
struct websrv_plugin_name {
    int length;
    const char *text;
};
websrv_plugin_name websrv_name_of(const websrv_plugin_desc *desc);

#endif
