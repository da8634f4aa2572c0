// Reading a request body that comes in the chunked transfer coding: it is taken whole, within
// a bound, before anything answers it, so that its length is known.
#ifndef WEBSRV_SERVER_READ_BODY_H
#define WEBSRV_SERVER_READ_BODY_H

#include "connection.h"

#pragma GCC visibility push(hidden)

// Reads and drops the rest of a request body the answer did not need, so that the connection
// can carry the next request. Returns false when it could not (too much, too slow, or the
// client went away): the connection is then to close.
bool websrv_consume_body(websrv_connection *c);

// The most of a chunked body the server takes; a longer one is refused (413).
inline constexpr long long websrv_chunked_body_limit = 8LL * 1024 * 1024;

// A body taken whole: an unnamed temporary file positioned at its start, and its length.
struct websrv_spooled_body {
    int fd;            // -1 when the body was not taken
    long long length;  // the decoded body's bytes
    int refusal;       // with fd -1: the status to answer (400 for a coding that is none, 413 past
                       // the bound, 500 without a file), or 0 when the client went away or stalled
};

// Reads the request's body into buf[0..size) for a plug-in (the services table's read_body, whose
// comment in websrv_plugin.h says what it returns). A body read whole this way lets the
// connection go on (c->body_taken).
long websrv_read_body(websrv_connection *c, void *buf, size_t size);

// Reads the connection's chunked body (what came behind the header first, then the socket,
// each read waiting at most websrv_wait_seconds; a client that waits for "100 Continue" is told
// to go on) and decodes it into a temporary file. Logs why a body was not taken. The caller
// owns the file.
websrv_spooled_body websrv_spool_chunked_body(websrv_connection *c);

#pragma GCC visibility pop

#endif
