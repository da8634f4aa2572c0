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

// The connection child's side of the "session over" signal to the main process: a pipe end
// (close-on-exec) that the child writes one byte to once its session has ended, or -1.
// Processes forked from the child (CGI copy processes) drop it with websrv_session_done_forget.
extern int websrv_session_done_fd;

// Tells the main process that this process's session has ended (once; later calls do
// nothing), after flushing the log so its lines come before the next connection's.
void websrv_session_done();

// Drops this process's copy of the signal without using it.
void websrv_session_done_forget();

#endif
