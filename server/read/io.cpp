// Waiting for a descriptor, and the guarded read of a connection or pipe: wait until the
// descriptor is readable, then go through the plug-in's hook, recv() or read().
#include "read/io.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "clock.h"

namespace {

constexpr long long wait_limit_ms = websrv_wait_seconds * 1000LL;

}  // namespace

long long websrv_deadline()
{
    return websrv_deadline_in(wait_limit_ms);
}

long long websrv_deadline_in(long long ms)
{
    return websrv_now_ms() + ms;
}

bool websrv_wait_ready(int fd, short events, long long deadline)
{
    for (;;) {
        const long long left = deadline - websrv_now_ms();
        if (left <= 0)
            return false;
        pollfd target{fd, events, 0};
        const int ready = poll(&target, 1, static_cast<int>(left));
        if (ready > 0 || (ready < 0 && errno != EINTR))
            return true;
    }
}

void websrv_pause_before_retry()
{
    websrv_pause_ms(1);
}

void websrv_pause_ms(int ms)
{
    const timespec pause{ms / 1000, (ms % 1000) * 1000L * 1000L};
    nanosleep(&pause, nullptr);
}

websrv_plugin_name websrv_name_of(const websrv_plugin_desc *desc)
{
    if (desc == nullptr)
        return {6, "(none)"};
    return {static_cast<int>(strnlen(desc->name, sizeof desc->name)), desc->name};
}

int websrv_read_handler(int fd, void *buf, size_t len, const websrv_plugin_desc *desc)
{
    return websrv_read_until(fd, buf, len, desc, websrv_deadline());
}

int websrv_read_until(int fd, void *buf, size_t len, const websrv_plugin_desc *desc, long long deadline)
{
    // A socket read without a hook first takes what has already arrived (usually the whole
    // request), and waits only when nothing has.
    if (desc != nullptr && desc->on_read == nullptr) {
        const ssize_t got = recv(fd, buf, len, MSG_DONTWAIT);
        if (got >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
            return static_cast<int>(got);
    }
    if (!websrv_wait_ready(fd, POLLIN, deadline)) {

        log_msg(WEBSRV_LOG_ERROR, "WebSrv Error: Read Timeout.\n");
        errno = ETIMEDOUT;
        return -1;
    }
    if (desc == nullptr)
        return static_cast<int>(read(fd, buf, len));
    if (desc->on_read == nullptr)
        return static_cast<int>(recv(fd, buf, len, 0));
    const int got = desc->on_read(fd, buf, len);
    if (got > 0 && static_cast<size_t>(got) > len) {
        const websrv_plugin_name name = websrv_name_of(desc);
        log_msg(WEBSRV_LOG_ERROR, "WebSrv Error: Plugin %.*s read hook reported %d bytes of %zu\n",
                name.length, name.text, got, len);
        errno = EIO;
        return -1;
    }
    return got;
}

