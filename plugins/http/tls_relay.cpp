// The TLS relay of one connection on https.so's TLS port. The server reads and writes plain
// bytes on the session's socket and waits for that socket itself before each read, so TLS
// cannot live inside its read and write hooks: bytes already decrypted inside the TLS library
// would wait unseen. Instead the socket's descriptor number is given to one end of a socket
// pair, and a process forked here owns the TLS connection and copies between the two.
//
// The relay ends when the server has closed its end and everything it wrote has gone out
// (with a close_notify), when the TLS connection fails, when the handshake is not complete
// after 30 seconds, or when no byte has moved either way for 30 seconds. It keeps only its
// two descriptors and the log.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>

#include "stock.h"
#include "tls_parts.h"

namespace {

constexpr int handshake_seconds = 30;
constexpr int idle_seconds = 30;
// How long the relay waits for the client to close after its close_notify: closing with
// unread bytes from the client would reset the connection and could lose the answer's end.
constexpr int linger_ms = 2000;
constexpr size_t relay_buffer_size = 16384;  // one TLS record's plaintext

// Bytes read from one side and not yet written to the other.
struct relay_buffer {
    char data[relay_buffer_size];
    size_t start = 0;
    size_t end = 0;
    bool empty() const { return start == end; }
    void clear() { start = end = 0; }
};

[[noreturn]] void relay_exit()
{
    // As the server's own processes do: sanitizer builds take the full exit for the leak check.
#if defined(__SANITIZE_ADDRESS__)
    exit(0);
#else
    _exit(0);
#endif
}

int64_t now_ms()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void set_nonblocking(int fd)
{
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

// Closes every descriptor but the log (1 and 2) and the relay's two.
void close_inherited(int a, int b)
{
    const unsigned kept[] = {static_cast<unsigned>(a < b ? a : b), static_cast<unsigned>(a < b ? b : a)};
    unsigned from = 3;
    for (const unsigned keep : kept) {
        if (keep < from)
            continue;
        if (keep > from)
            close_range(from, keep - 1, 0);
        from = keep + 1;
    }
    close_range(from, ~0U, 0);
    if (a != 0 && b != 0)
        close(0);
}

// One connection's TLS relay: `tls_fd` is the client's TCP connection, `plain_fd` the
// relay's end of the socket pair whose other end the server uses.
class relay {
public:
    relay(SSL *ssl, int tls_fd, int plain_fd) : ssl_(ssl), tls_fd_(tls_fd), plain_fd_(plain_fd) {}
    bool handshake(const char *peer);
    void run();

private:
    // What a TLS call that could not finish waits for.
    void note_want(int result);
    bool from_client();
    bool to_server();
    bool from_server();
    bool to_client();
    void finish();

    SSL *ssl_;
    int tls_fd_;
    int plain_fd_;
    relay_buffer up_;    // client to server
    relay_buffer down_;  // server to client
    bool client_done_ = false;  // no more bytes from the client
    bool server_done_ = false;  // no more bytes from the server
    bool failed_ = false;       // the TLS connection is broken
    short tls_events_ = 0;
    short plain_events_ = 0;
};

void relay::note_want(int result)
{
    const int error = SSL_get_error(ssl_, result);
    if (error == SSL_ERROR_WANT_READ)
        tls_events_ |= POLLIN;
    else if (error == SSL_ERROR_WANT_WRITE)
        tls_events_ |= POLLOUT;
}

bool relay::handshake(const char *peer)
{
    const int64_t deadline = now_ms() + handshake_seconds * 1000;
    for (;;) {
        const int result = SSL_accept(ssl_);
        if (result == 1)
            return true;
        const int error = SSL_get_error(ssl_, result);
        if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) {
            char what[96];
            snprintf(what, sizeof what, "TLS handshake with %s failed", peer);
            tls_log_error(WEBSRV_LOG_DETAIL, what);
            return false;
        }
        pollfd wait{tls_fd_, static_cast<short>(error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT), 0};
        const int64_t left = deadline - now_ms();
        if (left <= 0 || poll(&wait, 1, static_cast<int>(left)) == 0) {
            log_msg(WEBSRV_LOG_ERROR, "%s: TLS handshake with %s not complete after %d s\n", stock_name, peer,
                    handshake_seconds);
            return false;
        }
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
    failed_ = true;
    return false;
}

// The server is done and all it wrote has gone out: close_notify, then the end of the TCP
// stream, then a short wait for the client's own end.
void relay::finish()
{
    if (SSL_shutdown(ssl_) < 0)
        ERR_clear_error();
    shutdown(tls_fd_, SHUT_WR);
    const int64_t deadline = now_ms() + linger_ms;
    char discard[relay_buffer_size];
    for (int64_t left = linger_ms; left > 0; left = deadline - now_ms()) {
        pollfd wait{tls_fd_, POLLIN, 0};
        if (poll(&wait, 1, static_cast<int>(left)) <= 0)
            return;
        const ssize_t got = recv(tls_fd_, discard, sizeof discard, 0);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR))
            return;
    }
}

void relay::run()
{
    for (;;) {
        tls_events_ = 0;
        plain_events_ = 0;
        bool moved = false;
        // Each step is tried whatever the others did: SSL_read may hold decrypted bytes that
        // no poll would report.
        moved |= from_client();
        moved |= to_server();
        moved |= from_server();
        moved |= to_client();
        if (failed_)
            return;
        if (server_done_ && down_.empty()) {
            finish();
            return;
        }
        if (moved)
            continue;
        pollfd wait[2] = {{tls_fd_, tls_events_, 0}, {plain_fd_, plain_events_, 0}};
        const int ready = poll(wait, 2, idle_seconds * 1000);
        if (ready == 0) {
            log_msg(WEBSRV_LOG_DETAIL, "%s: TLS connection idle for %d s; closed\n", stock_name, idle_seconds);
            return;
        }
        if (ready < 0 && errno != EINTR)
            return;
    }
}

// The relay process: never returns.
[[noreturn]] void relay_main(SSL_CTX *context, int tls_fd, int plain_fd, const char *peer)
{
    close_inherited(tls_fd, plain_fd);
    set_nonblocking(tls_fd);
    set_nonblocking(plain_fd);
    SSL *ssl = SSL_new(context);
    if (ssl == nullptr || SSL_set_fd(ssl, tls_fd) != 1) {
        tls_log_error(WEBSRV_LOG_ERROR, "cannot start a TLS connection");
    } else {
        relay session(ssl, tls_fd, plain_fd);
        if (session.handshake(peer))
            session.run();
    }
    SSL_free(ssl);
    fflush(stdout);
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

int tls_relay_start(websrv_session *session, SSL_CTX *context)
{
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        log_msg(WEBSRV_LOG_ERROR, "%s: socketpair for the TLS relay failed: %s\n", stock_name, strerror(errno));
        return -1;
    }
    const websrv_session_info *info = session_info(session);
    const char *peer = info != nullptr ? info->peer_text : "the client";
    fflush(stdout);  // nothing buffered may be printed twice
    const pid_t pid = fork();
    if (pid == 0)
        relay_main(context, session->socket, pair[1], peer);
    close(pair[1]);
    if (pid < 0) {
        log_msg(WEBSRV_LOG_ERROR, "%s: fork of the TLS relay failed: %s\n", stock_name, strerror(errno));
        close(pair[0]);
        return -1;
    }
    const bool placed = take_place(session->socket, pair[0]);
    close(pair[0]);
    if (!placed) {
        log_msg(WEBSRV_LOG_ERROR, "%s: cannot put the TLS relay in place: %s\n", stock_name, strerror(errno));
        return -1;
    }
    return 0;
}
