// The end of every process that serves a share of a connection: the session's clean-up, the
// "session over" signal to the main process, and the exit.
#include "end/end.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "end/access_log.h"
#include "wait.h"
#include "share.h"

void websrv_process_exit()
{
    // The process leaves without the C library's exit handlers, which have nothing to do here
    // and cost a dozen page faults per request; sanitizer builds take the full exit so their
    // leak check runs in every process.
#if defined(__SANITIZE_ADDRESS__)
    exit(0);
#else
    fflush(stdout);
    _exit(0);
#endif
}

namespace {

// The most a closing connection reads and drops of what the client still sends, and for how
// long at most.
constexpr size_t drain_limit = 256 * 1024;
constexpr int drain_ms = 1000;

// A client whose request was not read to its end (a header too large for the buffer, a body
// the answer did not need) would get a reset instead of the answer if the socket closed now:
// the kernel resets a connection closed with unread data. So the answer's end is announced
// and what still arrives is read and dropped, for a short while.
void drain_unread(int socket)
{
    char scrap[WEBSRV_BUFFER_SIZE];
    if (recv(socket, scrap, sizeof scrap, MSG_DONTWAIT | MSG_PEEK) <= 0)
        return;
    shutdown(socket, SHUT_WR);
    const long long deadline = websrv_deadline_in(drain_ms);

    for (size_t dropped = 0; dropped < drain_limit && websrv_wait_ready(socket, POLLIN, deadline);) {
        const ssize_t got = recv(socket, scrap, sizeof scrap, MSG_DONTWAIT);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR))
            return;
        dropped += got > 0 ? static_cast<size_t>(got) : 0;
    }
}

// Closes the socket, calls on_session_end and frees the buffer. The record's fields are
// left as they are: the hook sees the closed socket and the still valid buffer.
void clean_session(websrv_connection *c)
{
    if (websrv_mcb.log_level >= WEBSRV_LOG_DETAIL)
        log_msg(WEBSRV_LOG_DETAIL, "Clean Session For PID:%d\n", static_cast<int>(getpid()));
    if (c->drain)
        drain_unread(c->session.socket);
    websrv_share_leave();
    close(c->session.socket);

    const websrv_plugin_desc *desc = websrv_connection_desc(c);
    if (desc->on_session_end != nullptr)
        desc->on_session_end(&c->session);
    websrv_free(c->session.buffer);
}

// Tells the main process that the session is over (once; later calls do nothing), after
// flushing the log so its lines come before the next connection's.
void signal_done(websrv_connection *c)
{
    if (c->done_fd < 0)
        return;
    fflush(stdout);
    (void)!write(c->done_fd, "d", 1);
    websrv_connection_forget_done(c);
}

}  // namespace

void websrv_connection_end(websrv_connection *c, websrv_outcome outcome)
{
    websrv_access_end(&c->session);  // before the close, so the line is there when the client sees the end
    clean_session(c);
    if (outcome == websrv_outcome::logged_failed)
        log_msg(WEBSRV_LOG_ERROR, "Web Server receive packet failed\n");
    signal_done(c);
    websrv_process_exit();
}

void websrv_connection_forget_done(websrv_connection *c)
{
    websrv_access_hand_over();  // the process that signals the end also logs the request
    if (c->done_fd >= 0)
        close(c->done_fd);
    c->done_fd = -1;
}
