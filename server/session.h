// The connection's own process: the request's whole way from accept to the end.
#ifndef WEBSRV_SERVER_SESSION_H
#define WEBSRV_SERVER_SESSION_H

#include "websrv_plugin.h"

#pragma GCC visibility push(hidden)

// The life of a child of the main process, forked before its connection arrives: it waits,
// using no CPU, for a client on any plug-in's listening socket, takes the connection and
// serves it (read, parse, the plug-in's hooks, the route to static delivery or the CGI
// gateway, the end). `control` is its end of the socket to the main process: it says 'a' there
// when it has taken a connection (when several sessions may run at once), 'd' when the
// session is over, and ends without a connection when the main process says anything. `slot`
// is its session slot. Never returns: every path ends the process with status 0.
[[noreturn]] void websrv_serve_next(int control, int slot);

#pragma GCC visibility pop

#endif
