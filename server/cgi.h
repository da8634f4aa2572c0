// The CGI gateway: runs a program for a request whose path contains the CGI pattern.
#ifndef WEBSRV_SERVER_CGI_H
#define WEBSRV_SERVER_CGI_H

#include "websrv_plugin.h"

// Runs the program at `path` for the session. In the connection process this returns only
// when the request was refused or the program could not be started; the copy processes it
// forks return when their copy is done. Every process that returns cleans its session up.
void websrv_cgi_run(websrv_session *session, char *path, const websrv_plugin_desc *desc);

#endif
