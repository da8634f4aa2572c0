// Where a request ends and whether its connection may carry the next: the body's length, read
// strictly (a kept connection must know where the next request starts), and the client's
// wish to keep the connection.
#ifndef WEBSRV_SERVER_PARSE_FRAMING_H
#define WEBSRV_SERVER_PARSE_FRAMING_H

#include "connection.h"

#pragma GCC visibility push(hidden)

// After parsing: checks how the request frames its body: Content-Length lines (each one run of
// decimal digits that the server can count, trailing blanks allowed, all the same, none with a
// blank before its colon), or one Transfer-Encoding line, chunked, without a Content-Length
// (c->chunked). Sets the body's length and what of it is still to come, and whether the request
// asks to keep the connection and may (c->may_keep; c->keep starts the same; never for a chunked
// body). Returns 0, or the status that refuses a request whose framing cannot be trusted (400)
// or whose transfer coding the server does not know (501); logged, its connection closes.
int websrv_frame_request(websrv_connection *c);

// Whether the client asked to be told to go on before it sends its body ("Expect:
// 100-continue" in an HTTP/1.1 request), and the body has not all come yet (or is chunked).
bool websrv_expects_continue(const websrv_connection *c);

#pragma GCC visibility pop

#endif
