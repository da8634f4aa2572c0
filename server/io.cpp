// Guarded writes to a connection or pipe: wait (at most 30 seconds) until the descriptor
// can take data, then write through the plug-in's hook, send() or write().
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "websrv_plugin.h"

namespace {

constexpr int wait_limit_ms = 30 * 1000;

}  // namespace

int websrv_write_handler(int fd, const void *buf, int len, const websrv_plugin_desc *desc)
{
    // poll instead of a descriptor set: any descriptor number works. A failing poll lets
    // the write go ahead, which then reports the descriptor's own error.
    pollfd target{fd, POLLOUT, 0};
    if (poll(&target, 1, wait_limit_ms) == 0) {
        log_msg(1, "WebSrv Error: Timeout \n");
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
