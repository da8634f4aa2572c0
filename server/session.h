// The connection's own process: the request's whole way from accept to the end.
#ifndef WEBSRV_SERVER_SESSION_H
#define WEBSRV_SERVER_SESSION_H

#include "websrv_plugin.h"

// Serves one connection of the plug-in `node` in a child of the main process: accept, read,
// parse, the plug-in's hooks, then the route to static delivery or the CGI gateway, and the
// end. `done_fd` is the pipe end on which the session's end is reported to the main process
// (-1 for none). Never returns: every path ends the process with status 0.
[[noreturn]] void websrv_serve_connection(const websrv_plugin_node *node, int done_fd);

#endif
