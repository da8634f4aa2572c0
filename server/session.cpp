// The connection's own process: the request's whole way, stage by stage, from the accept to the
// end. Three ends are kept apart: a request's (access log line, on_session_end), a connection's
// (the close) and the process's (its exit). A plug-in that did not consent to more gets what
// it always got: one request per connection, one connection per process, the process ending
// with status 0 through the session's clean-up.
#include "session.h"
#include "control.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "log.h"
#include "keep.h"
#include "accept/accept.h"
#include "cgi/cgi.h"
#include "children.h"
#include "clock.h"
#include "counters.h"
#include "observe/access_log.h"
#include "end/end.h"
#include "hooks/hooks.h"
#include "memory.h"
#include "parse/framing.h"
#include "parse/request.h"
#include "read/body.h"
#include "read/header.h"
#include "read/io.h"
#include "registry.h"
#include "respond/foreign.h"
#include "respond/response.h"
#include "route/route.h"
#include "settings.h"
#include "static/static_file.h"
#include "slots/slots.h"
#include "wait.h"

namespace {

// How long a kept connection's slot stays its own after an answer before a waiting connection
// may ask for it.
constexpr long long keep_alive_grace_ms = 50;

// The stages after the header is read, up to the answer: the route, then the part that answers
// what is left (a program, a file, or 501 for a method a file has no answer for). Returns how
// the request ended.
websrv_outcome answer_request(websrv_connection *c)
{
    websrv_route_target target;
    websrv_route_request(c, &target);
    switch (target.what) {
    case websrv_route_target::kind::program:
        return websrv_cgi_run(c, target.path);
    case websrv_route_target::kind::file:
        websrv_serve_static(c, target.path, &target.st, websrv_method_of(c->session.method) == websrv_method::head);
        return websrv_outcome::served;
    case websrv_route_target::kind::refused:
        websrv_send_error(c, 501);
        return websrv_outcome::served;
    case websrv_route_target::kind::answered:
        break;
    }
    return target.outcome;
}

// One request on the connection, from on_session_init to the answer.
websrv_outcome serve_request(websrv_connection *c)
{
    if (c->lasting != 0) {
        websrv_memory_session(true);
        websrv_programs_reap();  // where the kernel gives no descriptor to wait for their end
    }
    websrv_access_begin(&c->session, &c->info, &c->headers);
    websrv_foreign_begin(c->session.socket);
    // The hook may unregister the plug-in, which frees its node: its name is kept for the log.
    const websrv_plugin_desc accepted = c->desc;
    if (websrv_call_session_init(c) < 0) {
        websrv_log(WEBSRV_LOG_ERROR, "Web Srv Error: Plugin Initialization for %.*s Failed\n",
                websrv_name_length(&accepted), accepted.name);
        return websrv_outcome::logged_failed;
    }
    switch (websrv_read_header(c)) {
    case websrv_header_end::whole: {
        websrv_count(&websrv_server_counters::requests);
        websrv_count(&websrv_server_counters::active);
        const websrv_outcome outcome = answer_request(c);
        websrv_count(&websrv_server_counters::active, -1);
        return outcome;
    }
    case websrv_header_end::given_up:
        return websrv_outcome::served;  // no request came: nothing to log as failed
    case websrv_header_end::crowded:
        websrv_count(&websrv_server_counters::refused);
        websrv_send_error(c, 503, WEBSRV_RETRY_LATER_LINE);
        break;
    case websrv_header_end::malformed:
        websrv_send_error(c, 400);
        break;
    case websrv_header_end::too_large:
        websrv_send_error(c, 431);
        break;
    case websrv_header_end::cut:
        break;
    }
    return websrv_outcome::logged_failed;
}

// Readies a kept connection for its next request: the bytes behind the one that ended (sent
// right behind it) move to the start of the buffer, and the record starts afresh.
void next_request(websrv_connection *c)
{
    websrv_session &s = c->session;
    const int used = s.header_length + static_cast<int>(c->body_length);
    const int behind = s.received > used ? s.received - used : 0;
    memmove(s.buffer, s.buffer + s.received - behind, static_cast<size_t>(behind));
    memset(s.buffer + behind, 0, static_cast<size_t>(WEBSRV_BUFFER_SIZE - behind));
    websrv_session next{};
    next.buffer = s.buffer;
    next.cursor = s.buffer;
    next.socket = s.socket;
    next.port = s.port;
    next.client_addr = s.client_addr;
    next.reserved = s.reserved;
    next.received = behind;
    s = next;
    c->info.remote_user = c->info.auth_type = nullptr;
    websrv_keep_reset(c);
    c->chunked = c->says_close = c->body_taken = c->answered = false;
    c->body_left = c->body_length = 0;
    c->path_info = nullptr;
    c->request_uri = "";
}

// Waits, no longer than the keep-alive time, for the next request on a kept connection, and
// reads its first bytes (before its session begins: so the client's end between requests is no
// request). False when the connection is to close: the client said nothing in time or went
// away, its slot goes elsewhere, or the server stops.
bool await_next_request(websrv_connection *c)
{
    websrv_session &s = c->session;
    if (s.received > 0)
        return true;  // it came behind the last one
    // A client that keeps its connection mostly sends its next request at once: the slot is
    // not offered to a waiting connection for a moment, or that request would meet a close.
    const long long now = websrv_now_ms();
    const long long deadline = now + websrv_config.keep_alive_seconds * 1000LL;
    long long until = now + keep_alive_grace_ms < deadline ? now + keep_alive_grace_ms : deadline;
    for (;;) {
        const websrv_wait_end waited = websrv_wait_for_bytes(c, until, false);
        if (waited == websrv_wait_end::timeout && until < deadline) {
            websrv_slot_set_state(websrv_slot_state::idle);
            websrv_waits_now(c);
            until = deadline;
            continue;
        }
        if (waited != websrv_wait_end::ready)
            return false;
        const int got = websrv_read_now(s.socket, s.buffer, websrv_request_capacity, websrv_connection_desc(c));
        if (got > 0) {
            websrv_log(WEBSRV_LOG_DETAIL, "Received %d/%d bytes.\n", got, WEBSRV_BUFFER_SIZE);
            s.received = got < websrv_request_capacity ? got : websrv_request_capacity;
            return true;
        }
        if (got == 0 || !websrv_try_again())
            return false;
    }
}

// Serves the connection taken: its requests, as many as it may carry, then its close.
void serve_connection(websrv_connection *c)
{
    websrv_current_connection = c;
    for (;;) {
        ++c->requests;
        const websrv_outcome outcome = serve_request(c);
        if (outcome == websrv_outcome::copy_over)
            websrv_connection_end(c, websrv_outcome::served);
        const bool closing = !c->keep || websrv_stopping() || !websrv_consume_body(c);
        websrv_request_end(c, outcome, closing);
        if (closing)
            return;
        next_request(c);
        c->header_deadline = websrv_deadline();
        if (!await_next_request(c)) {
            websrv_connection_close(c);
            websrv_free(c->session.buffer);
            return;
        }
        c->header_deadline = websrv_deadline();
    }
}

// What this connection may have of a process that lasts: keep-alive when "-k" is set, more
// connections after it when "-r" is above 1, both only when the plug-in consents.
unsigned lasting_for(websrv_connection *c, bool more_connections)
{
    if (!websrv_connection_consents(c))
        return 0;
    return (websrv_config.keep_alive_seconds > 0 ? WEBSRV_LASTING_KEEP_ALIVE : 0u) |
           (more_connections ? WEBSRV_LASTING_PROCESS : 0u);
}

// Opens the connection record for what was accepted and tells the plug-in. False when its
// on_open refused the connection (then closed).
bool open_connection(websrv_connection *c, const websrv_accepted &taken, int control, bool more_connections)
{
    c->done_fd = control;
    if (!websrv_open_connection(c, taken))
        websrv_process_exit();
    c->lasting = lasting_for(c, more_connections);
    if (c->lasting == 0)
        return true;
    if (websrv_call_open(c) >= 0)
        return true;
    websrv_connection_close(c);
    websrv_free(c->session.buffer);
    return false;
}

}  // namespace

void websrv_serve_next(int control, int slot)
{
    websrv_slot_enter(slot);
    const pid_t main_pid = getppid();
    const int limit = websrv_config.connections_per_process;
    for (int served = 1;; ++served) {
        const websrv_accepted taken = websrv_wait_for_connection(control);
        if (taken.fd < 0)
            websrv_process_exit();  // the server stops, or accepting failed
        websrv_count(&websrv_server_counters::connections);
        // A session under way is served to its end even when the main process is killed.
        prctl(PR_SET_PDEATHSIG, 0);
        const websrv_arrival arrival = websrv_first_bytes(taken.fd, &taken.node->desc);
        websrv_slot_arrived(taken.peer, arrival);
        // The main process learns that this process took a connection: with slots to spare it
        // forks the next waiting child now, and with none it looks after the waiting ones.
        if (served == 1)
            websrv_control_say(control, websrv_word_taken, true);
        websrv_log(WEBSRV_LOG_DETAIL, "Incoming request handled by PID:%d\n", static_cast<int>(getpid()));
        websrv_connection c{};
        const bool opened = open_connection(&c, taken, control, served < limit);
        // A connection that only waits, taken while every slot is busy: the main process looks at
        // the listening sockets again at once, and asks the session that waited longest to give
        // its slot to the next connection waiting there (which may wait behind many such ones).
        if (arrival != websrv_arrival::whole)
            websrv_waits_now(&c);
        if ((c.lasting & WEBSRV_LASTING_PROCESS) == 0)
            websrv_close_listeners();
        if (opened)
            serve_connection(&c);
        websrv_current_connection = nullptr;
        if ((c.lasting & WEBSRV_LASTING_PROCESS) == 0 || websrv_stopping() || !websrv_wait_again(control, main_pid))
            break;
    }
    websrv_signal_done(control);
    websrv_process_exit();
}
