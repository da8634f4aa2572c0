// The listening sockets: one per registered plug-in.
#ifndef WEBSRV_SERVER_LISTENER_H
#define WEBSRV_SERVER_LISTENER_H

#pragma GCC visibility push(hidden)

// Creates, binds, records and opens for listening one socket per registered plug-in, in
// registry order, and calls each plug-in's on_start. Returns 0, or -1 at the first failure
// (already logged where there is something specific to say).
int websrv_open_listeners();

#pragma GCC visibility pop

#endif
