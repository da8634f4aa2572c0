// The services the server offers its plug-ins (websrv_services in websrv_plugin.h): the
// request's header lines, its body, whole answers, waits, and programs started as CGI programs
// are, so that a plug-in never reads the request buffer's layout or the socket itself.
#ifndef WEBSRV_SERVER_SERVICES_H
#define WEBSRV_SERVER_SERVICES_H

#include "websrv_plugin.h"

#pragma GCC visibility push(hidden)

// The table, filled once; it lives as long as the process.
const websrv_services *websrv_services_table();

#pragma GCC visibility pop

#endif
