// Taking a connection: a connection process waits for a client on every plug-in's listening
// socket, accepts it and builds the connection's record.
#ifndef WEBSRV_SERVER_ACCEPT_ACCEPT_H
#define WEBSRV_SERVER_ACCEPT_ACCEPT_H

#include <sys/socket.h>
#include <sys/types.h>

#include "connection.h"
#include "share.h"
#include "websrv_plugin.h"

#pragma GCC visibility push(hidden)

// A connection taken from a listening socket, with the plug-in whose socket it was.
struct websrv_accepted {
    const websrv_plugin_node *node;
    int fd;
    sockaddr_storage peer;
};

// Waits, using no CPU, until a client connects to any plug-in's listening socket, and takes
// the connection; or until the main process says anything on `control` (the server stops):
// then the process ends without a connection. A failed accept other than a lost race ends the
// process too (logged).
websrv_accepted websrv_wait_for_connection(int control);

// What has come of the connection taken, looked at before any hook reads it. The kernel hands
// a connection over once its first bytes have come, or after a second without any. A part
// is told from a whole only on a consenting plug-in's port, whose bytes are HTTP or TLS.
websrv_arrival websrv_first_bytes(const websrv_accepted &taken);

// Whether `received` bytes of a request header, not whole yet, are fewer than any honest
// client sends at once and came in three TCP segments or more on socket `fd`. False where the
// kernel does not count segments (or `fd` is no TCP socket).
bool websrv_came_dripping(int fd, long received);

// Builds the record of an accepted connection: buffer, socket, port, peer, local address and
// descriptor, and the deadline of the request header. Ends the process (without a session to
// clean up) when no buffer can be had.
void websrv_open_connection(websrv_connection *c, const websrv_accepted &taken);

// Closes every listening socket of this process: the main process at its stop, so new clients
// are refused at once; a connection's process once it has its connection, so the sockets do
// not outlive the server in it.
void websrv_close_listeners();

// After a connection, in a process that serves more: readies it to wait for the next one (it is
// killed with the main process, `main_pid`, again while it waits). False when the main process
// is gone.
bool websrv_wait_again(int control, pid_t main_pid);

// The process name of a child while it waits for its connection (a process listing tells it
// from the processes of sessions by it).
inline constexpr char websrv_waiting_name[] = "websrv-waiting";

#pragma GCC visibility pop

#endif
