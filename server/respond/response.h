// Composing and sending responses: error pages and the header block of a success.
#ifndef WEBSRV_SERVER_RESPONSE_H
#define WEBSRV_SERVER_RESPONSE_H

#include <sys/types.h>
#include <time.h>

#include "connection.h"
#include "websrv_plugin.h"

#pragma GCC visibility push(hidden)

// Sends a complete error response with the server's reason phrase for `status`: status line,
// Server, Date, Content-Type, the header lines `extra` (each "Name: value\r\n"; null for
// none), the empty line and the error page. Returns 0 when the write reported no failure, -1
// otherwise (logged).
int websrv_send_error(websrv_connection *c, int status, const char *extra = nullptr);

// Sends the status line (with a file's reason phrase for `status`) and header block of a
// response whose body the caller sends itself. A content_length of 0 writes no Content-Length
// line; a null content_type or last_modified leaves out its line; `extra` lines follow
// "Connection: close". Returns 0 or -1 as websrv_send_error.
int websrv_send_response(websrv_connection *c, int status, off_t content_length, const char *content_type,
                         const time_t *last_modified, const char *extra = nullptr);

// After a plug-in answered the request itself (its on_request or on_route returned 0): the
// connection goes on only when the answer said so ("Connection: keep-alive"), gave its
// length and went out whole, and the request had no body; c->keep follows. Returns the
// outcome: after on_request websrv_outcome::logged_failed, the line every such request has
// always had in the log; after on_route, the newer hook, served (an answered request is no
// failure).
websrv_outcome websrv_plugin_answered(websrv_connection *c, bool routed = false);

// Tells a client that waits before it sends its body to go on: "HTTP/1.1 100 Continue" and an
// empty line. Returns false when the write failed (logged).
bool websrv_send_continue(websrv_connection *c);

// A plug-in's whole answer, composed by the server (the services table's `answer`, whose
// comment in websrv_plugin.h says what goes out). The connection goes on when the request may
// keep it, its body (if any) was read through the services table, the status is no 101 and the
// answer went out whole. Always returns 0.
int websrv_send_answer(websrv_connection *c, int status, const char *content_type, const char *extra,
                       const void *body, size_t length);

#pragma GCC visibility pop

#endif
