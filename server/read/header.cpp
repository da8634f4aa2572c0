// Reading the request header: piece by piece until its empty line, within the header deadline,
// giving the slot up when asked to while the client is slow.
#include "read/header.h"
#include "control.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "log.h"
#include "clock.h"
#include "children.h"
#include "observe/access_log.h"
#include "parse/request.h"
#include "read/io.h"
#include "registry.h"
#include "slots/slots.h"

namespace {

// The server stops (or its main process is gone): no connection is kept or taken any more.
bool stopping = false;

// The most listening sockets a session that lasts looks at, and how long it leaves them alone
// after finding that another session should give its slot up first.
constexpr nfds_t max_listeners = 8;
constexpr int programs_watched = 16;
constexpr long long listeners_quiet_ms = 250;

// Reads the main process's words. Returns what they ask of this session, or `ready` for
// nothing. A control socket that has reached its end (the main process is gone) is no longer
// listened to on this connection. A session with part of a request goes on either way; an idle one ends.
websrv_wait_end hear_main(websrv_connection *c, bool started)
{
    char words[16];
    const ssize_t got = recv(c->done_fd, words, sizeof words, MSG_DONTWAIT);
    if (got == 0) {
        c->done_fd = -1;  // not closed: the process's own control socket, whose end it is
        stopping = true;
    }
    bool yield = false;
    for (ssize_t i = 0; i < got; ++i) {
        stopping = stopping || words[i] == websrv_word_stop;
        yield = yield || words[i] == websrv_word_yield;
    }
    if (stopping && !started)
        return websrv_wait_end::stop;
    return yield && websrv_slot_should_yield() ? websrv_wait_end::yield : websrv_wait_end::ready;
}

}  // namespace

bool websrv_stopping()
{
    return stopping;
}

websrv_wait_end websrv_wait_for_bytes(websrv_connection *c, long long deadline, bool started)
{
    const int socket = c->session.socket;
    // A process that lasts holds the listening sockets too (it goes back to them): a
    // connection that waits there while every slot is busy may ask for this session's slot.
    // When another session has waited longer, they are not looked at for a moment.
    const bool lasts = (c->lasting & WEBSRV_LASTING_PROCESS) != 0;
    long long listeners_quiet_until = 0;
    for (;;) {
        if (websrv_read_pending(socket, websrv_connection_desc(c)))
            return websrv_wait_end::ready;
        const long long now = websrv_now_ms();
        if (deadline <= now)
            return websrv_wait_end::timeout;
        pollfd watched[2 + max_listeners + programs_watched];  // the first `count` of them are waited on
        watched[0] = {socket, POLLIN, 0};
        watched[1] = {c->done_fd, POLLIN, 0};
        nfds_t count = 2;
        for (const websrv_plugin_node *node : websrv_plugins()) {
            if (lasts && now >= listeners_quiet_until && node->listen_fd >= 0 && count < 2 + max_listeners)
                watched[count++] = {node->listen_fd, POLLIN, 0};
        }
        // The end of a program an earlier request left working: reaped while the session waits.
        const nfds_t listening = count;
        count += static_cast<nfds_t>(websrv_programs_watch(watched + count, programs_watched));
        // Listening sockets left alone for a moment are looked at again once it is over.
        const bool quiet = lasts && now < listeners_quiet_until;
        const long long until = quiet && listeners_quiet_until < deadline ? listeners_quiet_until : deadline;
        const int ready = poll(watched, count, static_cast<int>(until - now));
        if (ready > 0 && count > listening)
            websrv_programs_reap();
        if (ready < 0 && errno != EINTR)
            return websrv_wait_end::ready;  // the read that follows reports the socket's own error
        if (ready > 0 && watched[0].revents != 0)
            return websrv_wait_end::ready;
        if (ready > 0 && watched[1].revents != 0) {
            if (const websrv_wait_end asked = hear_main(c, started); asked != websrv_wait_end::ready)
                return asked;
        }
        for (nfds_t i = 2; i < listening; ++i) {
            if (watched[i].revents != 0 && websrv_slot_should_yield())
                return websrv_wait_end::yield;
            if (watched[i].revents != 0)
                listeners_quiet_until = now + listeners_quiet_ms;
        }
    }
}

void websrv_waits_now(websrv_connection *c)
{
    if (c->done_fd >= 0 && !websrv_slot_any_free())
        websrv_control_say(c->done_fd, websrv_word_waits, false);
}

namespace {

// Waits for the next bytes of the header. Returns `whole` when they are there (or the read
// that follows reports the socket's end); otherwise how the request ends: the client went
// quiet past the deadline, or the slot goes elsewhere (noted for the access log).
websrv_header_end await_header(websrv_connection *c)
{
    const bool started = c->session.received > 0;
    const websrv_wait_end waited = websrv_wait_for_bytes(c, c->header_deadline, started);
    if (waited == websrv_wait_end::ready)
        return websrv_header_end::whole;
    if (waited != websrv_wait_end::timeout && !started)
        return websrv_header_end::given_up;
    if (waited == websrv_wait_end::timeout)
        websrv_error("Read Timeout.\n");
    if (waited == websrv_wait_end::yield && started)
        websrv_error("%s was slow with its header; its slot went to another\n",
                c->info.peer_text);
    websrv_access_read_failed(true);  // timed out, or cut for slowness: 408
    return websrv_header_end::cut;
}

// Reads what has arrived: the socket is read at once (without a hook: usually the whole request
// is there already), a hook only once the socket is readable or the plug-in holds bytes.
// Returns the count, 0 at the end of the stream, -1 with errno EAGAIN for nothing yet.
int read_piece(websrv_connection *c, int room, bool *waited)
{
    websrv_session &session = c->session;
    const websrv_plugin_desc *desc = websrv_connection_desc(c);
    if (desc->on_read != nullptr && !*waited && !websrv_read_pending(session.socket, desc)) {
        errno = EAGAIN;
        return -1;
    }
    *waited = false;
    const int got = websrv_read_now(session.socket, session.buffer + session.received, static_cast<size_t>(room), desc);
    // A consenting plug-in's hook may say "not yet" (a part of a TLS record came); a plain
    // socket says so when nothing came.
    const bool not_yet = websrv_try_again();
    if (got < 0 && not_yet && desc->on_read != nullptr && websrv_ext_of(desc) == nullptr)
        errno = EIO;  // a hook of old may not say "not yet": its session fails, as it always has
    return got;
}

}  // namespace

websrv_header_end websrv_read_header(websrv_connection *c)
{
    websrv_session &session = c->session;
    bool taken = false;  // the slot has been taken for this request
    for (bool waited = false;;) {
        // What is in the buffer already may be the whole header (a request sent right behind
        // the one before on a kept connection).
        if (session.received > 0) {
            if (!taken && !(taken = websrv_slot_take(c->info.peer))) {
                websrv_error("%s holds more connections than it uses; answered 503\n",
                        c->info.peer_text);
                return websrv_header_end::crowded;
            }
            if (websrv_header_complete(session.buffer))
                return websrv_header_end::whole;
            // A NUL before the header's end hides the rest of it from every text search: the
            // header would never be seen whole.
            if (static_cast<const char *>(memchr(session.buffer, '\0', static_cast<size_t>(session.received))) != nullptr) {
                websrv_log(WEBSRV_LOG_ERROR, "Error: Control character in the request header\n");
                return websrv_header_end::malformed;
            }
            if (session.received >= websrv_request_capacity) {
                websrv_log(WEBSRV_LOG_ERROR, "Error: HTTP header cannot be read; buffer exceeds.\n");
                return websrv_header_end::too_large;
            }
            // A header that comes a few bytes at a time gives its slot up first.
            if (websrv_came_dripping(session.socket, session.received) && websrv_slot_slow())
                websrv_waits_now(c);
        }
        const int room = websrv_request_capacity - session.received;
        const int got = read_piece(c, room, &waited);
        if (got < 0 && websrv_try_again()) {
            if (const websrv_header_end ended = await_header(c); ended != websrv_header_end::whole)
                return ended;
            waited = true;
            continue;
        }
        if (got <= 0) {
            websrv_access_read_failed(false);
            return websrv_header_end::cut;
        }
        websrv_log(WEBSRV_LOG_DETAIL, "Received %d/%d bytes.\n", got, WEBSRV_BUFFER_SIZE);
        // A hook that claims more than it was allowed cannot push the count past the buffer.
        session.received += got < room ? got : room;
    }
}

websrv_arrival websrv_first_bytes(int fd, const websrv_plugin_desc *desc)
{
    constexpr char tls_handshake = 0x16;
    constexpr ssize_t tls_record_header = 5;
    char first[websrv_slot_burst + 1];
    const ssize_t got = recv(fd, first, websrv_slot_burst, MSG_PEEK | MSG_DONTWAIT);
    if (got <= 0)
        return websrv_arrival::none;
    const websrv_plugin_ext *ext = websrv_ext_of(desc);
    if (got == websrv_slot_burst || ext == nullptr || (ext->flags & WEBSRV_EXT_MANY_SESSIONS) == 0)
        return websrv_arrival::whole;
    first[got] = '\0';
    // A TLS hello comes in one flight: a part of a small one is a drip however it came.
    const auto *bytes = reinterpret_cast<const unsigned char *>(first);
    if (first[0] == tls_handshake)
        return got >= tls_record_header && got >= tls_record_header + (bytes[3] << 8 | bytes[4])
            ? websrv_arrival::whole : websrv_arrival::part;
    // An honest client's first segment holds its request line whole at least.
    const bool line_whole = strchr(first, '\n') != nullptr;
    return websrv_header_complete(first) || (line_whole && !websrv_came_dripping(fd, got))
        ? websrv_arrival::whole : websrv_arrival::part;
}
