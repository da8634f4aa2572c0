// Whether a connection carries the next request after this answer. This is the one place that
// decides: the framed request opens the chance, and each answer can only close it again.
#ifndef WEBSRV_SERVER_KEEP_H
#define WEBSRV_SERVER_KEEP_H

#include "connection.h"

#pragma GCC visibility push(hidden)

// The most of a body the server reads and drops to keep a connection; beyond it, it closes.
inline constexpr long long websrv_most_dropped = 64 * 1024;

// Before a request: nothing decided yet (the connection closes unless a request opens it).
void websrv_keep_reset(websrv_connection *c);

// Once the request is framed: whether it may keep the connection (c->may_keep: the client
// `asks` for it, its plug-in lets connections last, the connection has carried fewer requests
// than its limit, and the body is not chunked) and whether the answer keeps it unless it says
// otherwise (c->keep: a body left unread is short enough to drop and the client does not
// `waits_to_send` it).
void websrv_keep_from_request(websrv_connection *c, bool asks, bool waits_to_send);

// The request's body is read whole by the server for a program, whatever its length.
void websrv_keep_body_read(websrv_connection *c);

// An answer goes out: the connection goes on only when the client can find its end (`framed`)
// and the request's body is gone from the socket or never was. Returns whether it goes on.
bool websrv_keep_answer(websrv_connection *c, bool framed);

// The connection cannot carry another request: a write failed, an answer was cut or framed by
// its closing, the request body is left in the socket.
void websrv_keep_lost(websrv_connection *c);

// websrv_keep_lost unless `fine`; returns `fine`.
bool websrv_keep_if(websrv_connection *c, bool fine);

#pragma GCC visibility pop

#endif
