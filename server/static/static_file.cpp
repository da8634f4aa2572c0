// Static file delivery: the content type, the file or its gzip copy, and the transmission of
// the whole file or one range of it with sendfile, for a path confined to the working
// directory. What the request asks beyond its path is read in negotiate.cpp.
#include "hooks/hooks.h"
#include "static/static_file.h"

#include <cerrno>
#include <cstdio>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>

#include <sys/socket.h>
#include <linux/magic.h>
#include <sys/sendfile.h>
#include <sys/vfs.h>

#include <unistd.h>

#include "log.h"
#include "keep.h"
#include "counters.h"
#include "observe/access_log.h"
#include "fd_guard.h"
#include "wait.h"
#include "static/negotiate.h"
#include "confine.h"
#include "registry.h"
#include "respond/response.h"

namespace {

// The most one transmission call is asked to move: what Linux's sendfile moves at most per
// call (2 GiB less a page). The rest of a larger file must not go into the size_t count whole:
// on 32-bit devices that keeps only its low 32 bits, and a file of 4 GiB and more would end
// early. The limit also keeps every count within the int that the plug-in's hook returns.
constexpr off_t max_transmit_chunk = 0x7ffff000;

// One transmission call: the plug-in's replacement for sendfile, or sendfile itself.
long long send_piece(const websrv_plugin_desc *desc, int socket, int fd, off_t *offset, size_t count)
{
    if (desc->on_sendfile != nullptr)
        return websrv_call_sendfile(desc, socket, fd, offset, count);
    return static_cast<long long>(sendfile(socket, fd, offset, count));
}

// Whether a hook's transmission call did what it reported: moved `sent` bytes (at most the
// `count` asked for) and left the offset where they end, or left it alone for the caller to
// move. Anything else would send the file out of order, or for ever.
bool piece_plausible(long long sent, size_t count, off_t before, off_t after)
{
    return sent >= 0 && static_cast<unsigned long long>(sent) <= count &&
           (after == before || after == before + static_cast<off_t>(sent));
}

// Sends `length` bytes of the file from `start` on: sendfile (or the plug-in's replacement)
// moves what it can per call on the socket, made non-blocking for the transfer, and the next
// call continues from the offset. Returns the bytes sent, or -1 with errno set when nothing
// more could be sent: a call failed, none moved a byte for websrv_wait_seconds (ETIMEDOUT), or

// the plug-in's hook reported what it did not do (EIO, logged).
long long transmit_file(websrv_connection *c, int fd, off_t start, off_t length)
{
    const websrv_plugin_desc *desc = websrv_connection_desc(c);
    const int socket = c->session.socket;
    if (!c->nonblocking)
        fcntl(socket, F_SETFL, fcntl(socket, F_GETFL) | O_NONBLOCK);
    c->nonblocking = true;
    const off_t end = start + length;
    off_t offset = start;
    long long deadline = websrv_deadline();
    // Without a hook the send is tried at once and waits for room only when it took nothing.
    const bool never_blocks = desc->on_sendfile == nullptr;
    bool wait = !never_blocks;
    while (offset < end) {
        if (wait && !websrv_wait_ready(socket, POLLOUT, deadline)) {
            errno = ETIMEDOUT;
            return -1;
        }
        const off_t remaining = end - offset;
        const size_t count =
            static_cast<size_t>(remaining < max_transmit_chunk ? remaining : max_transmit_chunk);
        const off_t before = offset;
        const long long sent = send_piece(desc, socket, fd, &offset, count);
        if (sent < 0 && websrv_try_again()) {
            if (wait)
                websrv_pause_before_retry();
            wait = true;
            continue;
        }
        wait = !never_blocks;
        if (sent < 0)
            return -1;
        if (!piece_plausible(sent, count, before, offset)) {
            const websrv_plugin_name name = websrv_name_of(desc);
            websrv_error("Plugin %.*s sendfile hook reported %lld bytes of %zu\n",
                    name.length, name.text, sent, count);
            errno = EIO;
            return -1;
        }
        if (sent == 0)
            break;  // the file shrank since it was looked at: send no more than it has
        websrv_access_body(sent, false);
        websrv_count(&websrv_server_counters::bytes_sent, static_cast<unsigned long long>(sent));
        offset = before + static_cast<off_t>(sent);
        deadline = websrv_deadline();
    }
    return static_cast<long long>(offset - start);
}

// File systems whose files claim a size they do not have: their content is made up on each
// read, so the length announced would not be the length sent.
bool is_pseudo_file_system(int fd)
{
    struct statfs fs;
    if (fstatfs(fd, &fs) != 0)
        return true;
    // The magic numbers are 32-bit values, some above INT_MAX; f_type is a long on 64-bit
    // hosts and an int on 32-bit ARM, so it is compared as the unsigned 32-bit value it holds.
    static constexpr uint32_t pseudo[] = {PROC_SUPER_MAGIC, SYSFS_MAGIC,        DEBUGFS_MAGIC,
                                          TRACEFS_MAGIC,    SECURITYFS_MAGIC,   CGROUP_SUPER_MAGIC,
                                          CGROUP2_SUPER_MAGIC, BPF_FS_MAGIC,    DEVPTS_SUPER_MAGIC,
                                          PSTOREFS_MAGIC,   EFIVARFS_MAGIC};
    for (const uint32_t magic : pseudo) {
        if (static_cast<uint32_t>(fs.f_type) == magic)
            return true;
    }
    return false;
}

// Opens `path` for sending when it is a regular file with real content, and fills *opened
// from the descriptor itself. Returns the descriptor, or -1 for anything else: a device (its
// open alone may act on the device, so it is never opened), a FIFO, a socket, a directory, a
// file of a pseudo file system, a file that cannot be opened.
int open_regular_file(const char *path, const struct stat *looked_up, struct stat *opened)
{
    if (!S_ISREG(looked_up->st_mode))
        return -1;
    // Non-blocking, so a FIFO put in the file's place meanwhile cannot stall the server.
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -1;
    if (fstat(fd, opened) != 0 || !S_ISREG(opened->st_mode) || is_pseudo_file_system(fd)) {
        close(fd);
        return -1;
    }
    return fd;
}

// Sends `range` of the open file `fd` (`size` bytes in all) behind its header block.
void send_body(websrv_connection *c, int fd, const websrv_byte_range &range, off_t size)
{
    const long long sent = transmit_file(c, fd, range.start, range.length);
    websrv_keep_if(c, sent == range.length);  // a client waiting for the rest cannot go on
    if (sent < 0) {
        websrv_access_body(0, true);
        websrv_log_errno("Error: Unable to send file; Error:%s\n");
    } else {
        websrv_log(WEBSRV_LOG_DETAIL, "Succesfully transmitted file of %lld bytes File was %lld bytes long\n", sent,
                static_cast<long long>(size));
    }
}

}  // namespace

const char *websrv_content_type(const char *path)
{
    const size_t length = strlen(path);
    size_t dot = length;
    while (dot > 1 && path[dot - 1] != '.')
        --dot;
    if (dot <= 1)
        return "text/plain";
    const char *ext = path + dot;
    websrv_log(WEBSRV_LOG_DETAIL, "Extension found: %s\n", ext);
    const char *type = websrv_find_mime(ext);
    return type != nullptr ? type : "text/plain";
}

void websrv_serve_static(websrv_connection *c, const char *path, const struct stat *looked_up, bool head_only)
{
    websrv_session *session = &c->session;
    bool resolved = true;
    if (!websrv_path_inside_cwd(path, &resolved)) {
        // A directory that cannot be resolved gets no answer; one outside gets 404.
        if (resolved)
            websrv_send_error(c, 404);
        return;
    }
    const char *type = websrv_content_type(path);
    // The gzip copy lies in the same directory as the file: confinement holds for both.
    char gzip_path[WEBSRV_PATH_MAX];
    struct stat chosen = *looked_up;
    const char *sent_path = websrv_gzip_copy(c->headers, path, gzip_path, &chosen);
    struct stat opened;
    fd_guard file(open_regular_file(sent_path, &chosen, &opened));
    if (file.get() < 0) {
        websrv_log(WEBSRV_LOG_ERROR, "Filename %s does not exist\n", path);
        websrv_send_error(c, 404);
        return;
    }
    websrv_file_answer answer;
    websrv_decide_file_answer(session, c->headers, opened, sent_path != path, &answer);
    if (answer.status == 416) {
        websrv_send_error(c, answer.status, answer.lines);
        return;
    }
    // Corked, the header block and the start of the body leave in one segment; closing the
    // connection releases whatever is held, and a kept connection is uncorked at once.
    const websrv_byte_range &range = answer.range;
    const int corked = range.length > 0 ? 1 : 0;
    if (corked != 0)
        setsockopt(session->socket, IPPROTO_TCP, TCP_CORK, &corked, sizeof corked);
    // A body without its header block would reach the client as a malformed response: when
    // the header could not be composed or sent (already logged), the file is not sent either.
    if (websrv_send_response(c, answer.status, range.length, type, &opened.st_mtime, answer.lines) == 0 &&
        range.length != 0 && !head_only)
        send_body(c, file.get(), range, opened.st_size);
    if (corked != 0 && c->keep) {
        const int off = 0;
        setsockopt(session->socket, IPPROTO_TCP, TCP_CORK, &off, sizeof off);
    }
}
