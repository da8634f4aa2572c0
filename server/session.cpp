// The connection child: accepts the connection, reads and parses the request, offers it to
// the plug-in's hooks and hands it to static delivery or CGI. Every path ends the process
// with status 0, through the session's clean-up once its buffer exists.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "registry.h"
#include "request.h"
#include "response.h"
#include "server.h"
#include "io.h"
#include "session.h"
#include "static_file.h"

namespace {


// Ends the connection child. The log is flushed and the process leaves without the C
// library's exit handlers, which have nothing to do here and cost a dozen page faults per
// request; sanitizer builds take the full exit so their leak check runs in every child.
[[noreturn]] void leave()
{
#if defined(__SANITIZE_ADDRESS__)
    exit(0);
#else
    fflush(stdout);
    _exit(0);
#endif
}

[[noreturn]] void end_normally(websrv_session *session)
{
    websrv_clean_session(session);
    websrv_session_done();
    leave();
}

[[noreturn]] void end_failed(websrv_session *session)
{
    websrv_clean_session(session);
    log_msg(WEBSRV_LOG_ERROR, "Web Server receive packet failed\n");
    websrv_session_done();
    leave();
}

// Reads until the header is complete. Returns false when the session must end as failed.
bool read_header(websrv_session *session, const websrv_plugin_desc *desc)
{
    for (;;) {
        const int got = websrv_read_handler(session->socket, session->buffer + session->received,
                                            static_cast<size_t>(websrv_request_capacity - session->received), desc);
        if (got <= 0)
            return false;
        log_msg(WEBSRV_LOG_DETAIL, "Received %d/%d bytes.\n", got, WEBSRV_BUFFER_SIZE);
        // A hook that claims more than it was allowed cannot push the count past the buffer.
        session->received += got < websrv_request_capacity - session->received
                                 ? got
                                 : websrv_request_capacity - session->received;
        if (websrv_header_complete(session->buffer))
            return true;
        if (session->received >= websrv_request_capacity) {
            log_msg(WEBSRV_LOG_ERROR, "Error: HTTP header cannot be read; buffer exceeds.\n");
            return false;
        }
    }
}

// Picks the path to serve for a directory request into `path`. Returns false when the
// session ends here (the hook refused, or the file does not exist: then 404 was sent).
bool directory_path(websrv_session *session, const websrv_plugin_desc *desc, char *path,
                    struct stat *st)
{
    if (desc->on_directory != nullptr) {
        if (desc->on_directory(session, path) < 0)
            return false;
        path[WEBSRV_PATH_MAX - 1] = '\0';  // whatever the hook wrote, the text ends in the buffer
    } else {
        strcpy(path, "index.html");
    }
    if (stat(path, st) != 0) {
        websrv_send_error(session, 404, "Not Found");
        return false;
    }
    return true;
}

}  // namespace

int websrv_session_done_fd = -1;

void websrv_session_done()
{
    if (websrv_session_done_fd < 0)
        return;
    fflush(stdout);
    (void)!write(websrv_session_done_fd, "d", 1);
    websrv_session_done_forget();
}

void websrv_session_done_forget()
{
    if (websrv_session_done_fd >= 0)
        close(websrv_session_done_fd);
    websrv_session_done_fd = -1;
}

void websrv_clean_session(websrv_session *session)
{
    if (websrv_mcb.log_level >= WEBSRV_LOG_DETAIL)
        log_msg(WEBSRV_LOG_DETAIL, "Clean Session For PID:%d\n", static_cast<int>(getpid()));
    close(session->socket);
    const websrv_plugin_node *node = websrv_find_plugin(session->port);
    if (node != nullptr && node->desc.on_session_end != nullptr)
        node->desc.on_session_end(session);
    websrv_free(session->buffer);
}

void websrv_serve_connection(const websrv_plugin_node *node)
{
    // The session keeps its own copy of the descriptor: a hook may unregister the plug-in,
    // which frees the registry node and the copy in it.
    const websrv_plugin_desc session_desc = node->desc;
    const websrv_plugin_desc *desc = &session_desc;
    if (websrv_mcb.log_level >= WEBSRV_LOG_DETAIL)
        log_msg(WEBSRV_LOG_DETAIL, "Incoming request handled by PID:%d\n", static_cast<int>(getpid()));

    sockaddr_in peer{};
    socklen_t peer_length = sizeof peer;
    const int fd = accept(node->listen_fd, reinterpret_cast<sockaddr *>(&peer), &peer_length);
    if (fd < 0) {
        log_msg(WEBSRV_LOG_ERROR, "Error: Unable to accept socket; Error:%s\n", strerror(errno));
        log_msg(WEBSRV_LOG_ERROR, "Web Server receive packet failed\n");
        leave();
    }
    websrv_session session{};
    session.buffer = static_cast<char *>(websrv_malloc(WEBSRV_BUFFER_SIZE));
    if (session.buffer == nullptr) {
        log_msg(WEBSRV_LOG_ERROR, "Error: Memory allocation error\n");
        log_msg(WEBSRV_LOG_ERROR, "Web Server receive packet failed\n");
        leave();
    }
    memset(session.buffer, 0, WEBSRV_BUFFER_SIZE);
    session.cursor = session.buffer;
    session.socket = fd;
    session.port = desc->port;
    session.client_addr = peer.sin_addr;

    if (desc->on_session_init != nullptr && desc->on_session_init(&session) < 0) {
        log_msg(WEBSRV_LOG_ERROR, "Web Srv Error: Plugin Initialization for %.*s Failed\n",
                websrv_name_length(desc), desc->name);
        end_failed(&session);
    }
    if (!read_header(&session, desc))
        end_failed(&session);
    if (websrv_parse_request(&session) != request_error::none) {
        websrv_send_error(&session, 400, "Bad Request");
        end_failed(&session);
    }
    websrv_prepare_path(&session);

    struct stat st;
    if (stat(session.uri, &st) != 0) {
        websrv_send_error(&session, 404, "Not Found");
        end_failed(&session);
    }
    if (desc->on_request != nullptr && desc->on_request(&session) == 0)
        end_failed(&session);

    char directory[WEBSRV_PATH_MAX];
    char *path = session.uri;
    if (S_ISDIR(st.st_mode)) {
        if (!directory_path(&session, desc, directory, &st))
            end_failed(&session);
        path = directory;
    }
    websrv_process_file(&session, path, &st, desc);
    end_normally(&session);
}
