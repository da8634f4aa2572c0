// The server's own error lines (not visible to plug-ins).
#ifndef WEBSRV_PLUGIN_LOG_H
#define WEBSRV_PLUGIN_LOG_H

#include "websrv_plugin.h"

#pragma GCC visibility push(hidden)

// Logs "WebSrv Error: " and then the formatted message at level 1 (WEBSRV_LOG_ERROR), as
// log_msg would print the two together. Cannot fail.
void websrv_error(const char *format, ...) WEBSRV_PRINTF(1, 2);

// The system's text for errno as it is now: strerror(errno), in one place for the many log
// lines that end with it. Cannot fail.
const char *websrv_errno_text();

#pragma GCC visibility pop

#endif
