// Every hook of the plug-ins, called from here and nowhere else: one function per hook, in the
// order they fire (the table WEBSRV_HOOKS in websrv_plugin.h), each doing what the server does
// when the plug-in has no such hook.
#ifndef WEBSRV_SERVER_HOOKS_HOOKS_H
#define WEBSRV_SERVER_HOOKS_HOOKS_H

#include <sys/stat.h>
#include <sys/types.h>

#include "connection.h"

#pragma GCC visibility push(hidden)

// ---- The main process -------------------------------------------------------------------

// on_option: offered argv[*index]. Returns the hook's result (0 taken, 1 not its, -1 refused);
// 1 without the hook.
int websrv_call_option(const websrv_plugin_desc &desc, int *index, char **argv);

// on_counters and on_services: the server's counters and services table, at start-up.
void websrv_call_counters_and_services(const websrv_plugin_desc &desc);

// on_start: the plug-in's socket (or its port's owner's) listens. Below 0 aborts the start; 0
// without the hook.
int websrv_call_start(const websrv_plugin_desc &desc, int listen_fd);

// on_event: WEBSRV_EVENT_*. The hook's result; 0 without the hook.
int websrv_call_event(const websrv_plugin_desc &desc, int event);

// ---- A connection -----------------------------------------------------------------------

// on_open: a connection of a consenting plug-in begins. Below 0 closes it; 0 without the hook.
int websrv_call_open(websrv_connection *c);

// on_session_init: a request begins. Below 0 ends it; 0 without the hook.
int websrv_call_session_init(websrv_connection *c);

// on_pending: the count of bytes of `fd` the plug-in holds read already; 0 without the hook or
// without a descriptor.
int websrv_call_pending(const websrv_plugin_desc *desc, int fd);

// on_read and on_write: the hook's own read or write (the caller checked that it has one).
int websrv_call_read(const websrv_plugin_desc *desc, int fd, void *buf, size_t len);
int websrv_call_write(const websrv_plugin_desc *desc, int fd, const void *buf, size_t len);

// on_route: the route hook of the connection's plug-in, then those of the plug-ins that share
// its port, in registry order. 0 when one answered; 1 otherwise. A hook that changes the
// registry ends the offer (the walk would not be safe).
int websrv_call_route(websrv_connection *c);

// on_request: 0 when the plug-in answered; 1 without the hook.
int websrv_call_request(websrv_connection *c);

// on_directory, or the server's own choice: the path to serve for a directory request into
// `path` (WEBSRV_PATH_MAX bytes), its attributes into *st. False when the session ends here (the
// hook refused, or the file does not exist: then 404 was sent).
bool websrv_call_directory(websrv_connection *c, char *path, struct stat *st);

// on_sendfile: the hook's own send of a file's bytes (the caller checked that it has one).
int websrv_call_sendfile(const websrv_plugin_desc *desc, int out_fd, int in_fd, off_t *offset, size_t count);

// on_session_end: a request has ended (its result is ignored).
void websrv_call_session_end(websrv_connection *c);

// on_close: a consenting plug-in's connection is about to close.
void websrv_call_close(websrv_connection *c);

#pragma GCC visibility pop

#endif
