// Reading the request header from the connection.
#ifndef WEBSRV_SERVER_READ_HEADER_H
#define WEBSRV_SERVER_READ_HEADER_H

#include "connection.h"

// Reads into the session's buffer until the request header is complete. Ends the session when
// it cannot be: the client went quiet past the header deadline or went away (logged for the
// access log as 408 or 499), or the header does not fit the buffer (answered 431).
void websrv_read_header(websrv_connection *c);

#endif
