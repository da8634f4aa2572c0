// The guarded write of a connection or pipe: wait until the descriptor can take data, then go
// through the plug-in's hook, send() or write(), until every byte is out; a write that moves
// nothing for websrv_wait_seconds fails.
#include "hooks/hooks.h"
#include "respond/write.h"

#include <cerrno>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "log.h"
#include "counters.h"
#include "respond/foreign.h"
#include "registry.h"
#include "wait.h"

namespace {

// One write of up to `count` bytes: the hook, a send that never blocks, or a plain write.
ssize_t write_once(int fd, const char *data, size_t count, const websrv_plugin_desc *desc)
{
    if (desc == nullptr)
        return write(fd, data, count);
    if (desc->on_write != nullptr)
        return websrv_call_write(desc, fd, data, count);
    // MSG_NOSIGNAL: a client that went away makes the write fail, not kill the process.
    return send(fd, data, count, MSG_NOSIGNAL | MSG_DONTWAIT);
}

// Writes all `total` bytes of `data`, counting in `done` what went out. Returns 0, or -1 with
// errno set (logged where the reason is the server's to tell).
int write_all(int fd, const char *data, size_t total, const websrv_plugin_desc *desc, size_t &done)
{
    long long deadline = websrv_deadline();
    // A send that never blocks is tried at once (a socket mostly has room) and waits only
    // when it took nothing; a hook or a pipe may block, so they wait for room first. One that
    // says "again" although there was room is paused for before the next try.
    const bool never_blocks = desc != nullptr && desc->on_write == nullptr;
    bool wait = !never_blocks;
    do {
        if (wait && !websrv_wait_ready(fd, POLLOUT, deadline)) {
            websrv_error("Timeout \n");
            errno = ETIMEDOUT;
            return -1;
        }
        const ssize_t put = write_once(fd, data + done, total - done, desc);
        if (put < 0 && websrv_try_again()) {
            if (wait)
                websrv_pause_before_retry();
            wait = true;
            continue;
        }
        wait = !never_blocks;
        if (put < 0)
            return -1;
        if (static_cast<size_t>(put) > total - done || (put == 0 && total > 0)) {
            // A hook that claims more than it was given, or keeps taking nothing, would have
            // the response reported sent when it is not.
            const websrv_plugin_name name = websrv_name_of(desc);
            websrv_error("Plugin %.*s write hook reported %zd bytes of %zu\n",
                    name.length, name.text, put, total - done);
            errno = EIO;
            return -1;
        }
        done += static_cast<size_t>(put);
        if (desc != nullptr)  // a socket (without a descriptor: a program's pipe)
            websrv_count(&websrv_server_counters::bytes_sent, static_cast<unsigned long long>(put));
        deadline = websrv_deadline();
    } while (done < total);
    return 0;
}

}  // namespace

int websrv_write_all(int fd, const void *buf, size_t len, const websrv_plugin_desc *desc)
{
    size_t done = 0;
    return write_all(fd, static_cast<const char *>(buf), len, desc, done);
}

int websrv_write_handler(int fd, const void *buf, int len, const websrv_plugin_desc *desc)
{
    const char *data = static_cast<const char *>(buf);
    const size_t total = len > 0 ? static_cast<size_t>(len) : 0;
    size_t done = 0;
    const int result = write_all(fd, data, total, desc, done);
    // A plug-in's own answer: the server learns its status and length from its bytes.
    websrv_foreign_sent(fd, data, done, result < 0);
    return result < 0 ? -1 : static_cast<int>(total);
}
