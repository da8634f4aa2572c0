// The server's whole life, for the executable's entry point.
#ifndef WEBSRV_SERVER_WEB_SERVER_H
#define WEBSRV_SERVER_WEB_SERVER_H

#pragma GCC visibility push(hidden)

// Options, start-up, the accept loop and the stop. Returns 0 after an orderly stop, -1 when
// option parsing or start-up failed.
int websrv_run(int argc, char **argv);

#pragma GCC visibility pop

#endif
