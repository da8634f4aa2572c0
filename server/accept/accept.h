// Taking a connection: a connection process waits for a client on every plug-in's listening
// socket, accepts it and builds the connection's record.
#ifndef WEBSRV_SERVER_ACCEPT_ACCEPT_H
#define WEBSRV_SERVER_ACCEPT_ACCEPT_H

#include <sys/socket.h>
#include <sys/types.h>

#include "connection.h"
#include "websrv_plugin.h"

#pragma GCC visibility push(hidden)

// A connection taken from a listening socket, with the plug-in whose socket it was.
struct websrv_accepted {
    const websrv_plugin_node *node;
    int fd;
    sockaddr_storage peer;
};

// Waits, using no CPU, until a client connects to any plug-in's listening socket, and takes
// the connection. Returns one with `fd` -1 when the main process said anything on `control`
// (the server stops) or a failed accept other than a lost race (logged): the process is to end.
websrv_accepted websrv_wait_for_connection(int control);

// Builds the record of an accepted connection: buffer, socket, port, peer, local address and
// descriptor, and the deadline of the request header. False (logged) when no buffer can be had:
// the process is to end, without a session to clean up.
bool websrv_open_connection(websrv_connection *c, const websrv_accepted &taken);

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
