// The three ends: of a request, of a connection, of a process.
#ifndef WEBSRV_SERVER_END_END_H
#define WEBSRV_SERVER_END_END_H

#include "connection.h"

#pragma GCC visibility push(hidden)

// Ends the request on the connection: its access log line, then, when `closing`, the
// connection's end (see websrv_connection_close) before on_session_end, which sees the socket
// closed as it always has; otherwise on_session_end with the connection still open for the
// next request. Then the memory the session took is released (buffer included when closing).
void websrv_request_end(websrv_connection *c, websrv_outcome outcome, bool closing);

// Closes the connection: reads and drops for a moment what the client still sends (so it gets
// the answer, not a reset), lets the plug-in send its last bytes (on_close), frees the slot for
// the main process's count and closes the socket.
void websrv_connection_close(websrv_connection *c);

// Ends this process's share of the connection at once, from any process that holds one:
// ends its request closing (see above), tells the main process that the slot is free (from
// the connection's own process) and exits with status 0.
[[noreturn]] void websrv_connection_end(websrv_connection *c, websrv_outcome outcome);

// Tells the main process, on the control socket `control`, that this process's slot is free:
// the process is about to end. Flushes the log first, so its lines come before the next
// process's.
void websrv_signal_done(int control);

// Leaves a process of the server's without any clean-up of a session: the log is flushed and
// the process exits with status 0.
[[noreturn]] void websrv_process_exit();


#pragma GCC visibility pop

#endif
