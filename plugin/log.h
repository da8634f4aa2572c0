// The server's own error lines (not visible to plug-ins).
#ifndef WEBSRV_PLUGIN_LOG_H
#define WEBSRV_PLUGIN_LOG_H

#include "websrv_plugin.h"

#pragma GCC visibility push(hidden)

// log_msg as the server's own code calls it: the same function under a name that is not
// exported, so that each call is a direct one (log_msg itself is declared for plug-ins, and a
// call to it goes through the GOT).
void websrv_log(int level, const char *format, ...) WEBSRV_PRINTF(2, 3);

// Logs "WebSrv Error: " and then the formatted message at level 1 (WEBSRV_LOG_ERROR), as
// log_msg would print the two together. Cannot fail.
void websrv_error(const char *format, ...) WEBSRV_PRINTF(1, 2);

// Writes out the log lines standard output still holds in its buffer: before a fork, so that
// nothing is printed twice, and where lines must go out now. Cannot fail.
void websrv_log_flush();

// The system's text for errno as it is now: strerror(errno), in one place for the many log
// lines that end with it. Cannot fail.
const char *websrv_errno_text();

// The lines that end with the text of errno, for their many callers: websrv_error (with the
// prefix) or log_msg at WEBSRV_LOG_ERROR (without it) given `format`, `subject` when it is not
// null, and websrv_errno_text(). `format` has one "%s" for the text of errno, after one "%s"
// for `subject` when there is one. Cannot fail.
void websrv_error_errno(const char *format, const char *subject = nullptr);
void websrv_log_errno(const char *format, const char *subject = nullptr);

#pragma GCC visibility pop

#endif
