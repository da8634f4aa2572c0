// The end of a process's share of a connection, and of a process of the server's.
#ifndef WEBSRV_SERVER_END_END_H
#define WEBSRV_SERVER_END_END_H

#include "connection.h"

// How a process's share of a session ended. `logged_failed` adds the level-1 line "Web Server
// receive packet failed\n": it marks every session the server did not answer in full itself,
// one that a plug-in's on_request answered included.
enum class websrv_outcome { served, logged_failed };

// Ends this process's share of the connection: closes its socket, calls on_session_end, frees
// the buffer, tells the main process that the session is over (from the connection's own
// process) and exits with status 0.
[[noreturn]] void websrv_connection_end(websrv_connection *c, websrv_outcome outcome);

// Leaves a process of the server's without any clean-up of a session: the log is flushed and
// the process exits with status 0.
[[noreturn]] void websrv_process_exit();

// In a process forked from the connection's own (a CGI copy process): drops the "session
// over" signal, which only the connection's own process gives.
void websrv_connection_forget_done(websrv_connection *c);

#endif
