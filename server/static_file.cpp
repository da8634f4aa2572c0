// Static file delivery: the content type, conditional requests and the transmission of the
// file with sendfile, for a path confined to the working directory.
#include "static_file.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/sendfile.h>
#include <unistd.h>

#include "fd_guard.h"
#include "path.h"
#include "registry.h"
#include "response.h"
#include "tdate_parse.h"

namespace {

// The most one transmission call is asked to move: what Linux's sendfile moves at most per
// call (2 GiB less a page). The rest of a larger file must not go into the size_t count whole:
// on 32-bit devices that keeps only its low 32 bits, and a file of 4 GiB and more would end
// early. The limit also keeps every count within the int that the plug-in's hook returns.
constexpr off_t max_transmit_chunk = 0x7ffff000;

// Sends the whole file: sendfile (or the plug-in's replacement) moves what it can per call,
// and the next call continues from the offset until the file is sent or a call fails.
// Returns the bytes sent, or -1 with errno set when nothing more could be sent.
long long transmit_file(websrv_connection *c, int fd, off_t size)
{
    const websrv_plugin_desc *desc = websrv_connection_desc(c);
    const int socket = c->session.socket;
    off_t offset = 0;
    while (offset < size) {
        const off_t remaining = size - offset;
        const size_t count =
            static_cast<size_t>(remaining < max_transmit_chunk ? remaining : max_transmit_chunk);
        const off_t before = offset;
        const long long sent =
            desc->on_sendfile != nullptr
                ? desc->on_sendfile(socket, fd, &offset, count)
                : static_cast<long long>(sendfile(socket, fd, &offset, count));
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent < 0)
            return -1;
        if (sent == 0)
            break;  // the file shrank since it was looked at: send no more than it has
        if (offset == before)
            offset += static_cast<off_t>(sent);  // a hook that reports but does not advance
    }
    return static_cast<long long>(offset);
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
    log_msg(WEBSRV_LOG_DETAIL, "Extension found: %s\n", ext);
    const char *type = websrv_find_mime(ext);
    return type != nullptr ? type : "text/plain";
}

void websrv_serve_static(websrv_connection *c, const char *path, const struct stat *st)
{
    websrv_session *session = &c->session;
    bool resolved = true;
    if (!websrv_path_inside_cwd(path, &resolved)) {
        // A directory that cannot be resolved gets no answer; one outside gets 404.
        if (resolved)
            websrv_send_error(c, 404, "Not Found");
        return;
    }
    const char *type = websrv_content_type(path);
    // Non-blocking, so a FIFO in the tree cannot stall the server; regular files ignore it.
    fd_guard file(open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (file.get() < 0) {
        log_msg(WEBSRV_LOG_ERROR, "Filename %s does not exist\n", path);
        websrv_send_error(c, 404, "Not Found");
        return;
    }
    if (session->if_modified_since != nullptr &&
        websrv_date_parse(session->if_modified_since) >= st->st_mtime) {
        websrv_send_response(c, 304, "Not Modified", 0, type, &st->st_mtime);
        return;
    }
    // Corked, the header block and the start of the body leave in one segment; closing the
    // connection releases whatever is held.
    if (st->st_size > 0) {
        const int on = 1;
        setsockopt(session->socket, IPPROTO_TCP, TCP_CORK, &on, sizeof on);
    }
    // A body without its header block would reach the client as a malformed response: when
    // the header could not be composed or sent (already logged), the file is not sent either.
    // "Ok" with a lower-case k is this server's reason phrase for a file; clients compare
    // status numbers, and the CGI gateway's "OK" comes from its own table.
    if (websrv_send_response(c, 200, "Ok", st->st_size, type, &st->st_mtime) < 0 ||
        st->st_size == 0)
        return;
    const long long sent = transmit_file(c, file.get(), st->st_size);
    if (sent < 0)
        log_msg(WEBSRV_LOG_ERROR, "Error: Unable to send file; Error:%s\n", strerror(errno));
    else
        log_msg(WEBSRV_LOG_DETAIL, "Succesfully transmitted file of %lld bytes File was %lld bytes long\n", sent,
                static_cast<long long>(st->st_size));
}
