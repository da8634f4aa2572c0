// The services every part of the server and every plug-in share: the log and the allocator.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "websrv_plugin.h"

void log_msg(int level, const char *format, ...)
{
    if (level > websrv_mcb.log_level)
        return;
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
}

void *websrv_malloc(size_t size) { return malloc(size); }

void *websrv_realloc(void *pointer, size_t size) { return realloc(pointer, size); }

void websrv_free(void *pointer) { free(pointer); }
