// The plug-in's session hooks, called where the request meets them.
#ifndef WEBSRV_SERVER_HOOKS_HOOKS_H
#define WEBSRV_SERVER_HOOKS_HOOKS_H

#include <sys/stat.h>

#include "connection.h"

#pragma GCC visibility push(hidden)

// Calls the plug-in's hook `hook` with the session, if it has one. Returns its result, or
// `absent` when it has none.
int websrv_call_session_hook(websrv_connection *c, int (*websrv_plugin_desc::*hook)(websrv_session *), int absent);

// Picks the path to serve for a directory request into `path` (WEBSRV_PATH_MAX bytes): what the
// plug-in's on_directory writes there, or the index file of the working directory; its
// attributes go into *st. Returns false when the session ends here (the hook refused, or the
// file does not exist: then 404 was sent).
bool websrv_directory_path(websrv_connection *c, char *path, struct stat *st);

#pragma GCC visibility pop

#endif
