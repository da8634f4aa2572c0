// The server's own error lines: "WebSrv Error: " and the message, and the text of errno for
// the many lines that end with it. Kept apart from log_msg (utils.cpp), which plug-ins call and
// may hand a double: this file is built with -mgeneral-regs-only where the compiler has it.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "log.h"

void websrv_error(const char *format, ...)
{
    // The prefix every one of these lines has, printed once here rather than kept in each.
    websrv_log(WEBSRV_LOG_ERROR, "WebSrv Error: ");
    if (WEBSRV_LOG_ERROR > websrv_mcb.log_level)
        return;
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
}

void websrv_log_flush()
{
    fflush(stdout);
}

const char *websrv_errno_text()
{
    return strerror(errno);
}

// A format without a subject has one conversion: the second text it is given goes unused.
void websrv_error_errno(const char *format, const char *subject)
{
    const char *why = websrv_errno_text();
    websrv_error(format, subject != nullptr ? subject : why, why);
}

void websrv_log_errno(const char *format, const char *subject)
{
    const char *why = websrv_errno_text();
    websrv_log(WEBSRV_LOG_ERROR, format, subject != nullptr ? subject : why, why);
}
