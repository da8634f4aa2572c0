// Guarded reads and writes on a connection or pipe: wait (at most websrv_wait_seconds) until
// the descriptor is ready, then go through the plug-in's hook, recv()/send() or read()/write().
#include <cerrno>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "io.h"

namespace {

constexpr int wait_limit_ms = websrv_wait_seconds * 1000;

}  // namespace

int websrv_read_handler(int fd, void *buf, size_t len, const websrv_plugin_desc *desc)
{
    // A socket read without a hook first takes what has already arrived (usually the whole
    // request), and waits only when nothing has.
    if (desc != nullptr && desc->on_read == nullptr) {
        const ssize_t got = recv(fd, buf, len, MSG_DONTWAIT);
        if (got >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
            return static_cast<int>(got);
    }
    pollfd source{fd, POLLIN, 0};
    const int ready = poll(&source, 1, wait_limit_ms);
    if (ready == 0) {
        log_msg(WEBSRV_LOG_ERROR, "WebSrv Error: Read Timeout.\n");
        return -1;
    }
    if (desc == nullptr)
        return static_cast<int>(read(fd, buf, len));
    if (desc->on_read == nullptr)
        return static_cast<int>(recv(fd, buf, len, 0));
    return desc->on_read(fd, buf, len);
}

int websrv_write_handler(int fd, const void *buf, int len, const websrv_plugin_desc *desc)
{
    // poll instead of a descriptor set: any descriptor number works. A failing poll lets
    // the write go ahead, which then reports the descriptor's own error.
    pollfd target{fd, POLLOUT, 0};
    if (poll(&target, 1, wait_limit_ms) == 0) {
        log_msg(WEBSRV_LOG_ERROR, "WebSrv Error: Timeout \n");
        return -1;
    }
    const size_t count = len > 0 ? static_cast<size_t>(len) : 0;
    if (desc == nullptr)
        return static_cast<int>(write(fd, buf, count));
    if (desc->on_write != nullptr)
        return desc->on_write(fd, buf, len);
    // MSG_NOSIGNAL: a client that went away makes the write fail, not kill the process.
    return static_cast<int>(send(fd, buf, count, MSG_NOSIGNAL));
}
