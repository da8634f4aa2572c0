// Faults that the test build of the server (websrv-test) makes happen on request, read from
// the environment once at start-up. The shipped server is built without this file.
//
//   WEBSRV_TEST_FAIL_ALLOC=N              in each connection, the N-th allocation through
//                                         websrv_malloc or websrv_realloc fails (N from 1)
//   WEBSRV_TEST_FAIL_ALLOC_CONNECTIONS=K  only in the first K connections (default: all)
//
// Allocations are counted from the moment the main process forks a connection's child; the
// CGI copy processes that child forks go on counting from where it was, each on its own copy.
// The main process itself never fails an allocation. Each refused allocation is reported on
// standard error, so a test knows that its fault really happened:
//   "websrv-test: allocation N (malloc of S bytes) fails in connection C, process P"
#ifndef WEBSRV_TEST_BUILD
#error "the test switches belong in the test build of the server only"
#endif

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <pthread.h>
#include <unistd.h>

#include <string_view>

#include "decimal.h"

// The allocator's hook (plugin/utils.cpp): true makes the allocation at hand fail.
extern bool (*websrv_allocation_fails)(const char *call, size_t size);

namespace {

pid_t main_pid = 0;
long fail_at = 0;           // N: the allocation of a connection that fails
long connection_limit = 0;  // K: connections that get the fault; 0 for all
long connections = 0;       // connections forked so far (kept by the main process)
long connection = 0;        // the connection this process serves; 0 in the main process
long counted = 0;           // allocations this connection's processes made so far
bool armed = false;         // whether this process counts at all

// A positive decimal number of at most six digits, or 0 for anything else.
long switch_value(const char *name)
{
    const char *text = getenv(name);
    if (text == nullptr)
        return 0;
    const std::string_view whole(text);
    long long value = 0;
    const size_t digits = websrv_read_decimal(whole, 999999, &value);
    return digits > 0 && digits <= 6 && digits == whole.size() ? static_cast<long>(value) : 0;
}

void before_fork()
{
    if (getpid() == main_pid)
        ++connections;
}

void in_child()
{
    // A child of the main process serves a new connection; any other child is a copy
    // process of a connection and keeps the count it inherited.
    if (getppid() != main_pid)
        return;
    connection = connections;
    counted = 0;
    armed = connection_limit == 0 || connection <= connection_limit;
}

bool allocation_fails(const char *call, size_t size)
{
    if (!armed || ++counted != fail_at)
        return false;
    char line[160];
    const int length = snprintf(line, sizeof line,
                                "websrv-test: allocation %ld (%s of %zu bytes) fails in connection "
                                "%ld, process %d\n",
                                counted, call, size, connection, static_cast<int>(getpid()));
    if (length > 0)
        (void)!write(2, line, static_cast<size_t>(length) < sizeof line ? static_cast<size_t>(length) : sizeof line - 1);
    errno = ENOMEM;
    return true;
}

__attribute__((constructor)) void read_switches()
{
    fail_at = switch_value("WEBSRV_TEST_FAIL_ALLOC");
    if (fail_at == 0)
        return;
    connection_limit = switch_value("WEBSRV_TEST_FAIL_ALLOC_CONNECTIONS");
    main_pid = getpid();
    if (pthread_atfork(before_fork, nullptr, in_child) != 0)
        return;
    websrv_allocation_fails = allocation_fails;
}

}  // namespace
