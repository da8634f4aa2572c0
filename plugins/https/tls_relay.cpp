// The TLS relay of https.so's TLS port. The server reads and writes plain bytes on the
// session's socket and waits for that socket itself before each read, so TLS cannot live
// inside its read and write hooks: bytes already decrypted inside the TLS library would wait
// unseen. Instead the socket's descriptor number is given to one end of a socket pair, and the
// relay owns the TLS connection and copies between the client and the other end.
//
// One relay process, the engine, started once at start-up, carries every connection: a
// connection child passes it the client's socket and its end of the pair over a control
// socket. The engine's code and data stay warm, where a process per connection would fault
// OpenSSL's pages in anew each time. Should the engine be gone, the child forks a relay of
// its own for the connection, which runs the same loop with that one connection.
//
// A connection ends when the server has closed its end and everything it wrote has gone out
// (with a close_notify), when the TLS connection fails, when its handshake is not complete
// after 30 seconds, or when no byte has moved either way for 30 seconds. The engine ends once
// the server and all its children are gone (the control socket reads its end) and its last
// connection has ended. Relay processes keep only their own descriptors and the log.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <new>

#include <openssl/err.h>

#include "clock.h"
#include "http_words.h"
#include "stock.h"
#include "tls_parts.h"

namespace {

constexpr int handshake_seconds = websrv_wait_seconds;
constexpr int idle_seconds = websrv_wait_seconds;
// How long a connection waits for the client to close after its close_notify: closing with
// unread bytes from the client would reset the connection and could lose the answer's end.
constexpr int linger_ms = 2000;
constexpr size_t relay_buffer_size = 16384;  // one TLS record's plaintext
// Connections the engine carries at once; one more is refused (its client sees the close).
constexpr int max_connections = 256;
constexpr size_t peer_text_size = 48;

void set_nonblocking(int fd)
{
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

[[noreturn]] void relay_exit()
{
    fflush(stdout);
    // As the server's own processes do: sanitizer builds take the full exit for the leak check.
#if defined(__SANITIZE_ADDRESS__)
    exit(0);
#else
    _exit(0);
#endif
}

// Closes every descriptor but the log (1 and 2) and those in `kept` (ascending).
template <size_t N>
void close_all_but(const int (&kept)[N])
{
    unsigned from = 3;
    for (const int keep : kept) {
        const unsigned fd = static_cast<unsigned>(keep);
        if (fd < from)
            continue;
        if (fd > from)
            close_range(from, fd - 1, 0);
        from = fd + 1;
    }
    close_range(from, ~0U, 0);
    if (kept[0] != 0)
        close(0);
}

// Bytes read from one side and not yet written to the other.
struct relay_buffer {
    char data[relay_buffer_size];
    size_t start = 0;
    size_t end = 0;
    bool empty() const { return start == end; }
    void clear() { start = end = 0; }
};

// One connection's relay: `tls_fd` is the client's TCP connection, `plain_fd` the relay's end
// of the socket pair whose other end the server uses. step() does what can be done without
// waiting; events() and deadline() say what to wait for next.
class relay {
public:
    relay(SSL *ssl, int tls_fd, int plain_fd, const char *peer);
    ~relay();
    relay(const relay &) = delete;
    relay &operator=(const relay &) = delete;

    // Moves what can be moved. False once the connection is over.
    bool step();
    short tls_events() const { return tls_events_; }
    short plain_events() const { return plain_events_; }
    int tls_fd() const { return tls_fd_; }
    int plain_fd() const { return plain_fd_; }
    int64_t deadline() const { return deadline_; }

private:
    enum class phase { handshake, relaying, lingering, over };
    bool shake();
    bool relay_bytes();
    bool linger();
    void note_want(int result);
    bool from_client();
    bool to_server();
    bool from_server();
    bool to_client();

    SSL *ssl_;
    int tls_fd_;
    int plain_fd_;
    char peer_[peer_text_size];
    phase phase_ = phase::handshake;
    int64_t deadline_;
    relay_buffer up_;    // client to server
    relay_buffer down_;  // server to client
    bool client_done_ = false;  // no more bytes from the client
    bool server_done_ = false;  // no more bytes from the server
    bool failed_ = false;       // the TLS connection is broken
    short tls_events_ = 0;
    short plain_events_ = 0;
};

relay::relay(SSL *ssl, int tls_fd, int plain_fd, const char *peer)
    : ssl_(ssl), tls_fd_(tls_fd), plain_fd_(plain_fd), deadline_(websrv_now_ms() + handshake_seconds * 1000)
{
    snprintf(peer_, sizeof peer_, "%s", peer);
    // Records go out as they are made: a small one (a header block) must not wait for the
    // client's acknowledgement of the one before.
    const int on = 1;
    setsockopt(tls_fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    set_nonblocking(tls_fd);
    set_nonblocking(plain_fd);
    if (ssl_ == nullptr || SSL_set_fd(ssl_, tls_fd) != 1) {
        tls_log_error(WEBSRV_LOG_ERROR, "cannot start a TLS connection");
        phase_ = phase::over;
    }
}

relay::~relay()
{
    SSL_free(ssl_);
    close(tls_fd_);
    close(plain_fd_);
}

void relay::note_want(int result)
{
    const int error = SSL_get_error(ssl_, result);
    if (error == SSL_ERROR_WANT_READ)
        tls_events_ |= POLLIN;
    else if (error == SSL_ERROR_WANT_WRITE)
        tls_events_ |= POLLOUT;
}

bool relay::step()
{
    tls_events_ = 0;
    plain_events_ = 0;
    const int64_t now = websrv_now_ms();
    if (phase_ == phase::handshake && now >= deadline_) {
        log_msg(WEBSRV_LOG_ERROR, "%s: TLS handshake with %s not complete after %d s\n", stock_name, peer_,
                handshake_seconds);
        phase_ = phase::over;
    } else if (phase_ == phase::relaying && now >= deadline_) {
        log_msg(WEBSRV_LOG_DETAIL, "%s: TLS connection with %s idle for %d s; closed\n", stock_name, peer_,
                idle_seconds);
        phase_ = phase::over;
    }
    if (phase_ == phase::handshake && shake())
        phase_ = phase::relaying;
    if (phase_ == phase::relaying && !relay_bytes()) {
        phase_ = phase::over;
        if (!failed_) {
            // close_notify, the end of the TCP stream, then a short wait for the client's end.
            if (SSL_shutdown(ssl_) < 0)
                ERR_clear_error();
            shutdown(tls_fd_, SHUT_WR);
            phase_ = phase::lingering;
            deadline_ = now + linger_ms;
        }
    }
    if (phase_ == phase::lingering && (now >= deadline_ || !linger()))
        phase_ = phase::over;
    return phase_ != phase::over;
}

// The handshake: true once it is complete.
bool relay::shake()
{
    const int result = SSL_accept(ssl_);
    if (result == 1) {
        deadline_ = websrv_now_ms() + idle_seconds * 1000;
        return true;
    }
    const int error = SSL_get_error(ssl_, result);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
        note_want(result);
        return false;
    }
    char what[96];
    snprintf(what, sizeof what, "TLS handshake with %s failed", peer_);
    tls_log_error(WEBSRV_LOG_DETAIL, what);
    phase_ = phase::over;
    return false;
}

// Copies both ways until nothing moves. False when the connection is done: the server's
// end closed and its bytes delivered, or the TLS connection broke (failed_).
bool relay::relay_bytes()
{
    for (;;) {
        tls_events_ = 0;
        plain_events_ = 0;
        // Each step is tried whatever the others did: SSL_read may hold decrypted bytes that
        // no poll would report.
        bool moved = from_client();
        moved |= to_server();
        moved |= from_server();
        moved |= to_client();
        if (failed_ || (server_done_ && down_.empty()))
            return false;
        if (!moved)
            return true;
        deadline_ = websrv_now_ms() + idle_seconds * 1000;
    }
}

// Reads and drops what the client still sends. False at its end.
bool relay::linger()
{
    char discard[4096];
    for (;;) {
        const ssize_t got = recv(tls_fd_, discard, sizeof discard, 0);
        if (got > 0)
            continue;
        if (got < 0 && (errno == EAGAIN || errno == EINTR)) {
            tls_events_ = POLLIN;
            return true;
        }
        return false;
    }
}

bool relay::from_client()
{
    if (client_done_ || !up_.empty())
        return false;
    const int got = SSL_read(ssl_, up_.data, sizeof up_.data);
    if (got > 0) {
        up_.start = 0;
        up_.end = static_cast<size_t>(got);
        return true;
    }
    const int error = SSL_get_error(ssl_, got);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
        note_want(got);
        return false;
    }
    // close_notify or the end of the TCP stream (a client that half-closes still gets its
    // answer): the server sees the end. Anything else breaks the connection.
    failed_ = error != SSL_ERROR_ZERO_RETURN;
    ERR_clear_error();
    client_done_ = true;
    shutdown(plain_fd_, SHUT_WR);
    return true;
}

bool relay::to_server()
{
    if (up_.empty())
        return false;
    const ssize_t sent = send(plain_fd_, up_.data + up_.start, up_.end - up_.start, MSG_NOSIGNAL);
    if (sent > 0) {
        up_.start += static_cast<size_t>(sent);
        return true;
    }
    if (sent < 0 && (errno == EAGAIN || errno == EINTR)) {
        plain_events_ |= POLLOUT;
        return false;
    }
    // The server reads no more: what the client still sends goes nowhere.
    up_.clear();
    client_done_ = true;
    return true;
}

bool relay::from_server()
{
    if (server_done_ || !down_.empty())
        return false;
    const ssize_t got = recv(plain_fd_, down_.data, sizeof down_.data, 0);
    if (got > 0) {
        down_.start = 0;
        down_.end = static_cast<size_t>(got);
        return true;
    }
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) {
        plain_events_ |= POLLIN;
        return false;
    }
    server_done_ = true;
    return true;
}

bool relay::to_client()
{
    if (down_.empty())
        return false;
    const int sent = SSL_write(ssl_, down_.data + down_.start, static_cast<int>(down_.end - down_.start));
    if (sent > 0) {
        down_.start += static_cast<size_t>(sent);
        return true;
    }
    const int error = SSL_get_error(ssl_, sent);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
        note_want(sent);
        return false;
    }
    ERR_clear_error();
    failed_ = true;
    return false;
}

// A relay in memory from the shared allocator (the plug-ins use no operator new).
relay *make_relay(SSL_CTX *context, int tls_fd, int plain_fd, const char *peer)
{
    void *memory = websrv_malloc(sizeof(relay));
    if (memory == nullptr) {
        log_msg(WEBSRV_LOG_ERROR, "%s: no memory for a TLS connection\n", stock_name);
        close(tls_fd);
        close(plain_fd);
        return nullptr;
    }
    return ::new (memory) relay(SSL_new(context), tls_fd, plain_fd, peer);
}

void free_relay(relay *r)
{
    r->~relay();
    websrv_free(r);
}

// What a connection child sends the engine along with the two descriptors.
struct handover {
    char peer[peer_text_size];
};

// Takes the next connection from the control socket into `connections`. False when the
// control socket has reached its end (the server and its children are gone).
bool take_connection(int control, SSL_CTX *context, relay **connections, int *count)
{
    handover message{};
    iovec part{&message, sizeof message};
    alignas(cmsghdr) char room[CMSG_SPACE(2 * sizeof(int))];
    msghdr header{};
    header.msg_iov = &part;
    header.msg_iovlen = 1;
    header.msg_control = room;
    header.msg_controllen = sizeof room;
    const ssize_t got = recvmsg(control, &header, MSG_CMSG_CLOEXEC | MSG_DONTWAIT);
    if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR))
        return false;
    const cmsghdr *rights = CMSG_FIRSTHDR(&header);
    if (got < 0 || rights == nullptr || rights->cmsg_type != SCM_RIGHTS || rights->cmsg_len != CMSG_LEN(2 * sizeof(int)))
        return true;
    int fds[2];
    memcpy(fds, CMSG_DATA(rights), sizeof fds);
    message.peer[sizeof message.peer - 1] = '\0';
    if (*count == max_connections) {
        log_msg(WEBSRV_LOG_ERROR, "%s: %d TLS connections at once; refusing %s\n", stock_name, max_connections,
                message.peer);
        close(fds[0]);
        close(fds[1]);
        return true;
    }
    // A pair read again since the engine last looked serves this connection already: the engine
    // may have slept through the reload in its wait.
    tls_pair_follow(context);
    if (relay *r = make_relay(context, fds[0], fds[1], message.peer))
        connections[(*count)++] = r;
    return true;
}

// Runs the connections (and takes new ones from `control` while it is open, -1 for none)
// until none is left and no new one can come.
void relay_loop(int control, SSL_CTX *context, relay **connections, int count)
{
    pollfd wait[1 + 2 * max_connections];
    while (control >= 0 || count > 0) {
        int64_t next = websrv_now_ms() + 24 * 60 * 60 * 1000;
        int watched = 0;
        if (control >= 0)
            wait[watched++] = {control, POLLIN, 0};
        for (int i = 0; i < count;) {
            if (!connections[i]->step()) {
                free_relay(connections[i]);
                connections[i] = connections[--count];
                continue;
            }
            const relay &r = *connections[i++];
            wait[watched++] = {r.tls_fd(), r.tls_events(), 0};
            wait[watched++] = {r.plain_fd(), r.plain_events(), 0};
            next = r.deadline() < next ? r.deadline() : next;
        }
        if (control < 0 && count == 0)
            break;
        const int64_t left = next - websrv_now_ms();
        const int ready = poll(wait, static_cast<nfds_t>(watched), left > 0 ? static_cast<int>(left) : 0);
        if (ready > 0 && control >= 0 && wait[0].revents != 0 &&
            !take_connection(control, context, connections, &count)) {
            close(control);
            control = -1;
        }
    }
}

// The engine's process: the control socket's end, the connections, nothing else.
[[noreturn]] void engine_main(int control, SSL_CTX *context)
{
    const int kept[] = {control};
    close_all_but(kept);
    // The server's signal settings do not apply: a stop signal to the server is not one for
    // the connections still going out, and a client that went away must not end the engine.
    signal(SIGTERM, SIG_DFL);
    signal(SIGHUP, SIG_DFL);
    signal(SIGPIPE, SIG_IGN);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    setvbuf(stdout, nullptr, _IOLBF, 0);  // its lines go to the log whole, among the server's
    static relay *connections[max_connections];
    relay_loop(control, context, connections, 0);
    relay_exit();
}

// The engine's control socket in the server and its children: -1 without an engine.
int engine_control = -1;

// Passes the connection to the engine. False when it cannot (the engine is gone).
bool hand_over(int tls_fd, int plain_fd, const char *peer)
{
    if (engine_control < 0)
        return false;
    handover message{};
    snprintf(message.peer, sizeof message.peer, "%s", peer);
    iovec part{&message, sizeof message};
    alignas(cmsghdr) char room[CMSG_SPACE(2 * sizeof(int))] = {};
    msghdr header{};
    header.msg_iov = &part;
    header.msg_iovlen = 1;
    header.msg_control = room;
    header.msg_controllen = sizeof room;
    cmsghdr *rights = CMSG_FIRSTHDR(&header);
    rights->cmsg_level = SOL_SOCKET;
    rights->cmsg_type = SCM_RIGHTS;
    rights->cmsg_len = CMSG_LEN(2 * sizeof(int));
    const int fds[2] = {tls_fd, plain_fd};
    memcpy(CMSG_DATA(rights), fds, sizeof fds);
    ssize_t sent;
    while ((sent = sendmsg(engine_control, &header, MSG_NOSIGNAL)) < 0 && errno == EINTR) {
    }
    if (sent == static_cast<ssize_t>(sizeof message))
        return true;
    log_msg(WEBSRV_LOG_ERROR, "%s: the TLS engine takes no connection (%s); this one gets a relay of its own\n",
            stock_name, sent < 0 ? strerror(errno) : "short message");
    return false;
}

// Carries one connection in a process of its own, forked from the connection child.
bool fork_relay(SSL_CTX *context, int tls_fd, int plain_fd, const char *peer)
{
    fflush(stdout);  // nothing buffered may be printed twice
    const pid_t pid = fork();
    if (pid < 0) {
        log_msg(WEBSRV_LOG_ERROR, "%s: fork of a TLS relay failed: %s\n", stock_name, strerror(errno));
        return false;
    }
    if (pid > 0)
        return true;
    const int kept[] = {tls_fd < plain_fd ? tls_fd : plain_fd, tls_fd < plain_fd ? plain_fd : tls_fd};
    close_all_but(kept);
    tls_pair_follow(context);  // this process may have been forked before the last reload
    relay *connections[1];
    const int count = (connections[0] = make_relay(context, tls_fd, plain_fd, peer)) != nullptr ? 1 : 0;
    relay_loop(-1, context, connections, count);
    relay_exit();
}

// Gives the server's end of the pair the socket's descriptor number and flags.
bool take_place(int socket, int server_end)
{
    const int fd_flags = fcntl(socket, F_GETFD);
    const int status_flags = fcntl(socket, F_GETFL);
    timeval send_limit{};
    socklen_t limit_size = sizeof send_limit;
    const bool limited = getsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &send_limit, &limit_size) == 0;
    if (fd_flags < 0 || status_flags < 0 || dup2(server_end, socket) < 0)
        return false;
    // dup2 clears close-on-exec; the other flags belong to the open socket, not the number.
    fcntl(socket, F_SETFD, fd_flags);
    fcntl(socket, F_SETFL, status_flags);
    if (limited)
        setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &send_limit, limit_size);
    return true;
}

}  // namespace

int tls_engine_start(SSL_CTX *context)
{
    int control[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, control) != 0) {
        log_msg(WEBSRV_LOG_ERROR, "%s: socketpair for the TLS engine failed: %s\n", stock_name, strerror(errno));
        return -1;
    }
    // Forked twice, so that the engine is not the server's child: the server waits for its
    // children, and the engine lives as long as the server does.
    fflush(stdout);
    const pid_t middle = fork();
    if (middle == 0) {
        close(control[0]);
        const pid_t engine = fork();
        if (engine == 0)
            engine_main(control[1], context);
        if (engine > 0)
            log_msg(WEBSRV_LOG_DETAIL, "%s: TLS engine PID:%d\n", stock_name, static_cast<int>(engine));
        fflush(stdout);
        _exit(engine > 0 ? 0 : 1);
    }
    close(control[1]);
    int status = 1;
    if (middle > 0)
        while (waitpid(middle, &status, 0) < 0 && errno == EINTR) {
        }
    if (middle < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        log_msg(WEBSRV_LOG_ERROR, "%s: cannot start the TLS engine: %s\n", stock_name, strerror(errno));
        close(control[0]);
        return -1;
    }
    engine_control = control[0];
    return 0;
}

int tls_sendfile(int out_fd, int in_fd, off_t *offset, size_t count)
{
    for (;;) {
        const ssize_t sent = sendfile(out_fd, in_fd, offset, count);
        if (sent >= 0 || errno != EAGAIN)
            return static_cast<int>(sent);
        pollfd wait{out_fd, POLLOUT, 0};
        if (poll(&wait, 1, idle_seconds * 1000) == 0) {
            errno = ETIMEDOUT;
            return -1;
        }
    }
}

int tls_relay_start(websrv_session *session, SSL_CTX *context)
{
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        log_msg(WEBSRV_LOG_ERROR, "%s: socketpair for the TLS relay failed: %s\n", stock_name, strerror(errno));
        return -1;
    }
    const websrv_session_info *info = session_info(session);
    const char *peer = info != nullptr ? info->peer_text : "the client";
    const bool carried = hand_over(session->socket, pair[1], peer) ||
                         fork_relay(context, session->socket, pair[1], peer);
    close(pair[1]);
    const bool placed = carried && take_place(session->socket, pair[0]);
    close(pair[0]);
    if (carried && !placed)
        log_msg(WEBSRV_LOG_ERROR, "%s: cannot put the TLS relay in place: %s\n", stock_name, strerror(errno));
    return placed ? 0 : -1;
}
