// The server core's internal entry points, shared by the files of server/.
#ifndef WEBSRV_SERVER_SERVER_H
#define WEBSRV_SERVER_SERVER_H

#include "websrv_plugin.h"

// The whole life of the server: options, start-up, the accept loop and the stop.
// Returns 0 after an orderly stop, -1 when option parsing or start-up failed.
int websrv_run(int argc, char **argv);

// Creates, binds, records and opens for listening one socket per registered plug-in, in
// registry order, and calls each plug-in's on_start. Returns 0, or -1 at the first failure
// (already logged where there is something specific to say).
int websrv_open_listeners();

// The connection child's whole work for the plug-in `node`: accept, serve, clean up.
// Never returns: the process exits with status 0.
[[noreturn]] void websrv_serve_connection(const websrv_plugin_node *node);

#endif
