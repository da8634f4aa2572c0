// The guarded read of a connection or pipe: wait until the descriptor is readable, then go
// through the plug-in's hook, recv() or read().
#include "read/io.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "registry.h"

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

