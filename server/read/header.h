// Reading the request header from the connection, and waiting for it.
#ifndef WEBSRV_SERVER_READ_HEADER_H
#define WEBSRV_SERVER_READ_HEADER_H

#include "connection.h"
#include "slots/slots.h"

#pragma GCC visibility push(hidden)

// What a wait for the client's bytes came to.
enum class websrv_wait_end {
    ready,    // bytes are there to read
    timeout,  // the deadline passed first
    yield,    // the main process asked this session to give its slot up, and it may
    stop,     // the main process stops the server (or is gone) and the session has no request under way
};

// Waits, at most until `deadline`, for the connection's next bytes (the plug-in may hold some
// already), while listening to the main process's control socket. `started`: part of a request
// has arrived (its session gives its slot up only after a second of it, and goes on when the
// server stops); otherwise the connection is idle (it gives its slot up at once, and ends when
// the server stops).
websrv_wait_end websrv_wait_for_bytes(websrv_connection *c, long long deadline, bool started);

// Whether the main process said that the server stops (or is gone), while this process waited
// for bytes: no connection is kept for a next request, and none is taken after this one.
bool websrv_stopping();

// Tells the main process, when every slot is busy, that this session has come to only wait (a
// connection waiting for a slot gets this one now, not at the main process's next look).
void websrv_waits_now(websrv_connection *c);

// How reading a request header ended: whole; cut (the client went away or quiet, or its slot
// went elsewhere: noted for the access log, nothing sent); given up (the slot went elsewhere, or
// the server stops, before a byte came: no request was made); or refused for one of the reasons
// below, which the caller answers (logged). A request that was cut or refused ends as failed.
enum class websrv_header_end {
    whole,
    cut,
    given_up,
    crowded,    // refused: the client holds more connections than it uses (answer 503)
    malformed,  // refused: a NUL before the header's end (answer 400)
    too_large,  // refused: the header does not fit the buffer (answer 431)
};

// What has come of a connection taken, looked at before any hook reads it. The kernel hands a
// connection over once its first bytes have come, or after a second without any. A part is
// told from a whole only on a consenting plug-in's port (`desc`), whose bytes are HTTP or TLS.
websrv_arrival websrv_first_bytes(int fd, const websrv_plugin_desc *desc);

// Reads into the session's buffer, behind what it holds already, until the request header is
// complete, within the header deadline.
websrv_header_end websrv_read_header(websrv_connection *c);

#pragma GCC visibility pop

#endif
