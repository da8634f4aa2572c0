// The guarded read of a connection or pipe: wait until the descriptor is readable (or the
// plug-in holds bytes read already), then go through the plug-in's hook, recv() or read().
#include "hooks/hooks.h"
#include "read/io.h"

#include <cerrno>
#include <ctime>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "log.h"
#include "registry.h"

int websrv_read_handler(int fd, void *buf, size_t len, const websrv_plugin_desc *desc)
{
    return websrv_read_until(fd, buf, len, desc, websrv_deadline());
}

bool websrv_read_pending(int fd, const websrv_plugin_desc *desc)
{
    return websrv_call_pending(desc, fd) > 0;
}

int websrv_read_now(int fd, void *buf, size_t len, const websrv_plugin_desc *desc)
{
    if (desc == nullptr)
        return static_cast<int>(read(fd, buf, len));
    if (desc->on_read == nullptr)
        return static_cast<int>(recv(fd, buf, len, MSG_DONTWAIT));
    const int got = websrv_call_read(desc, fd, buf, len);
    if (got > 0 && static_cast<size_t>(got) > len) {
        const websrv_plugin_name name = websrv_name_of(desc);
        websrv_error("Plugin %.*s read hook reported %d bytes of %zu\n",
                name.length, name.text, got, len);
        errno = EIO;
        return -1;
    }
    return got;
}

int websrv_read_until(int fd, void *buf, size_t len, const websrv_plugin_desc *desc, long long deadline)
{
    // A socket read without a hook first takes what has already arrived (usually the whole
    // request), and waits only when nothing has. A plug-in that consented to serve many
    // sessions may hold bytes of its own already, and may say "not yet" (EAGAIN) when what came
    // was not enough for it (a part of a TLS record).
    const bool hook = desc == nullptr || desc->on_read != nullptr;
    const bool patient = !hook || (desc != nullptr && websrv_ext_of(desc) != nullptr);
    for (bool waited = false;; waited = true) {
        if (waited || !hook || websrv_read_pending(fd, desc)) {
            const int got = websrv_read_now(fd, buf, len, desc);
            if (!(got < 0 && patient && websrv_try_again()))
                return got;
        }
        if (!websrv_wait_ready(fd, POLLIN, deadline)) {
            websrv_error("Read Timeout.\n");
            errno = ETIMEDOUT;
            return -1;
        }
    }
}
