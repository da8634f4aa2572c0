// The end of every session.
#ifndef WEBSRV_SERVER_SESSION_H
#define WEBSRV_SERVER_SESSION_H

#include <cstddef>

#include "websrv_plugin.h"

// Ends a session: closes its socket, calls the plug-in's on_session_end and frees the
// buffer. Runs once in every process that ends its share of a connection.
void websrv_clean_session(websrv_session *session);

#endif
