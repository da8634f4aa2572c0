// The ends of a request, of a connection and of a process: the session's clean-up, the "slot
// free" word to the main process, and the exit.
#include "end/end.h"
#include "control.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "observe/access_log.h"
#include "hooks/hooks.h"
#include "respond/foreign.h"
#include "log.h"
#include "memory.h"
#include "registry.h"
#include "slots/slots.h"
#include "wait.h"

void websrv_process_exit()
{
    // The process leaves without the C library's exit handlers, which have nothing to do here
    // and cost a dozen page faults per request; sanitizer builds take the full exit so their
    // leak check runs in every process.
#if defined(__SANITIZE_ADDRESS__)
    exit(0);
#else
    websrv_log_flush();
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
        if (got == 0 || (got < 0 && !websrv_try_again()))
            return;
        dropped += got > 0 ? static_cast<size_t>(got) : 0;
    }
}

}  // namespace

void websrv_connection_close(websrv_connection *c)
{
    if (c->drain)
        drain_unread(c->session.socket);
    if (c->lasting != 0)
        websrv_call_close(c);
    websrv_slot_set_state(websrv_slot_state::accepting);
    close(c->session.socket);
}

void websrv_request_end(websrv_connection *c, websrv_outcome outcome, bool closing)
{
    const websrv_foreign_answer &foreign = websrv_foreign();
    websrv_access_composed_elsewhere(foreign.status, foreign.body, foreign.failed);
    websrv_access_end(&c->session);  // before the close, so the line is there when the client sees the end
    websrv_log(WEBSRV_LOG_DETAIL, "Clean Session For PID:%d\n", static_cast<int>(getpid()));
    if (closing)
        websrv_connection_close(c);
    // The record's fields are left as they are: the hook sees the still valid buffer.
    websrv_call_session_end(c);
    if (c->lasting != 0)
        websrv_memory_session(false);
    if (closing) {
        websrv_free(c->session.buffer);
        c->session.buffer = nullptr;
    }
    if (outcome == websrv_outcome::logged_failed)
        websrv_log(WEBSRV_LOG_ERROR, "Web Server receive packet failed\n");
    if (c->lasting != 0)
        websrv_log_flush();  // a process that lasts writes its log lines out request by request
}

void websrv_signal_done(int control)
{
    if (control < 0)
        return;
    websrv_log_flush();
    websrv_control_say(control, websrv_word_done, true);
}

void websrv_connection_end(websrv_connection *c, websrv_outcome outcome)
{
    websrv_request_end(c, outcome, true);
    websrv_signal_done(c->done_fd);
    websrv_process_exit();
}
