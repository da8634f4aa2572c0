// The services every part of the server and every plug-in share: the log, the allocator and
// the date parser.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "tdate_parse.h"
#include "websrv_plugin.h"

// Set only by the test build of the server (server/test_switches.cpp), to make chosen
// allocations fail on purpose; returns true for an allocation that must fail. The shipped
// server never sets it, so each allocation costs one test of a null pointer.
bool (*websrv_allocation_fails)(const char *call, size_t size) = nullptr;

void log_msg(int level, const char *format, ...)
{
    if (level > websrv_mcb.log_level)
        return;
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
}

void *websrv_malloc(size_t size)
{
    if (websrv_allocation_fails != nullptr && websrv_allocation_fails("malloc", size))
        return nullptr;
    return malloc(size);
}

// A refused reallocation leaves the old block as it was, as realloc does when out of memory.
void *websrv_realloc(void *pointer, size_t size)
{
    if (websrv_allocation_fails != nullptr && websrv_allocation_fails("realloc", size))
        return nullptr;
    return realloc(pointer, size);
}

void websrv_free(void *pointer) { free(pointer); }

time_t tdate_parse(const char *text) { return websrv_date_parse(text); }
