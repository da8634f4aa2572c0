// Static file delivery: the working-directory confinement, the content type, conditional
// requests and the transmission of the file with sendfile.
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

#include "cgi.h"
#include "fd_guard.h"
#include "registry.h"
#include "tdate_parse.h"
#include "response.h"

namespace {

// Whether `dir` is `root` or lies below it, comparing whole path components.
bool is_within(const char *dir, const char *root)
{
    const size_t length = strlen(root);
    if (length == 1 && root[0] == '/')
        return true;
    return strncmp(dir, root, length) == 0 && (dir[length] == '\0' || dir[length] == '/');
}

// The most one transmission call is asked to move: what Linux's sendfile moves at most per
// call (2 GiB less a page). The rest of a larger file must not go into the size_t count whole:
// on 32-bit devices that keeps only its low 32 bits, and a file of 4 GiB and more would end
// early. The limit also keeps every count within the int that the plug-in's hook returns.
constexpr off_t max_transmit_chunk = 0x7ffff000;

// Sends the whole file: sendfile (or the plug-in's replacement) moves what it can per call,
// and the next call continues from the offset until the file is sent or a call fails.
// Returns the bytes sent, or -1 with errno set when nothing more could be sent.
long long transmit_file(const websrv_session *session, int fd, off_t size,
                        const websrv_plugin_desc *desc)
{
    off_t offset = 0;
    while (offset < size) {
        const off_t remaining = size - offset;
        const size_t count =
            static_cast<size_t>(remaining < max_transmit_chunk ? remaining : max_transmit_chunk);
        const off_t before = offset;
        const long long sent =
            desc->on_sendfile != nullptr
                ? desc->on_sendfile(session->socket, fd, &offset, count)
                : static_cast<long long>(sendfile(session->socket, fd, &offset, count));
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

bool websrv_path_inside_cwd(const char *path, bool *resolved)
{
    *resolved = true;
    const char *slash = strrchr(path, '/');
    if (slash == nullptr)
        return true;
    char cwd[PATH_MAX];
    char dir[PATH_MAX];
    char real_dir[PATH_MAX];
    const size_t dir_length = static_cast<size_t>(slash - path);
    if (dir_length >= sizeof dir || getcwd(cwd, sizeof cwd) == nullptr) {
        *resolved = false;
        return false;
    }
    // "/x" names the root directory's x.
    memcpy(dir, path, dir_length);
    dir[dir_length] = '\0';
    if (realpath(dir_length == 0 ? "/" : dir, real_dir) == nullptr) {
        *resolved = false;
        return false;
    }
    return is_within(real_dir, cwd);
}

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

void websrv_process_file(websrv_session *session, char *path, const struct stat *st,
                         const websrv_plugin_desc *desc)
{
    if (websrv_mcb.cgi_pattern[0] != '\0' && strstr(path, websrv_mcb.cgi_pattern) != nullptr) {
        websrv_cgi_run(session, path, desc);
        return;
    }
    bool resolved = true;
    if (!websrv_path_inside_cwd(path, &resolved)) {
        // A directory that cannot be resolved gets no answer; one outside gets 404.
        if (resolved)
            websrv_send_error(session, 404, "Not Found");
        return;
    }
    const char *type = websrv_content_type(path);
    // Non-blocking, so a FIFO in the tree cannot stall the server; regular files ignore it.
    fd_guard file(open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (file.get() < 0) {
        log_msg(WEBSRV_LOG_ERROR, "Filename %s does not exist\n", path);
        websrv_send_error(session, 404, "Not Found");
        return;
    }
    if (session->if_modified_since != nullptr &&
        websrv_date_parse(session->if_modified_since) >= st->st_mtime) {
        websrv_send_response(session, 304, "Not Modified", 0, type, &st->st_mtime);
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
    if (websrv_send_response(session, 200, "Ok", st->st_size, type, &st->st_mtime) < 0 ||
        st->st_size == 0)
        return;
    const long long sent = transmit_file(session, file.get(), st->st_size, desc);
    if (sent < 0)
        log_msg(WEBSRV_LOG_ERROR, "Error: Unable to send file; Error:%s\n", strerror(errno));
    else
        log_msg(WEBSRV_LOG_DETAIL, "Succesfully transmitted file of %lld bytes File was %lld bytes long\n", sent,
                static_cast<long long>(st->st_size));
}
