// TLS inside the connection's own process, on a connection that lasts ("-k" or "-r"): the
// handshake and every record are made by the process that serves the connection, through the
// read, write and file hooks of the TLS port; no hop through another process. On a connection
// of one request in a process of its own, the TLS engine carries it as before (tls_relay.cpp),
// and these hooks pass the plain bytes of its socket pair through.
//
// A TLS connection belongs to its socket from on_open to on_close. The server waits for the
// socket before each read, and asks on_pending first: bytes decrypted already (or a record
// read whole) are there without the socket being readable.
#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>

#include "stock.h"
#include "tls_parts.h"

namespace {

// The TLS connection of each socket, by descriptor number; the server's descriptors of a
// connection process stay far below the size of a descriptor set.
SSL *connections[FD_SETSIZE];

// A file's body goes through TLS in pieces of one record's plaintext.
constexpr size_t record_size = 16384;

SSL *connection_of(int fd)
{
    return fd >= 0 && fd < FD_SETSIZE ? connections[fd] : nullptr;
}

// The result of a TLS call that did not move bytes, as a hook reports it: "not yet" (EAGAIN)
// when TLS waits for the socket, 0 at the client's orderly end, else a failure (EIO).
int not_moved(SSL *ssl, int result)
{
    const int error = SSL_get_error(ssl, result);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
        errno = EAGAIN;
        return -1;
    }
    ERR_clear_error();
    if (error == SSL_ERROR_ZERO_RETURN)
        return 0;
    errno = EIO;
    return -1;
}

}  // namespace

int tls_open(int fd, unsigned lasting, SSL_CTX *context)
{
    if (lasting == 0 || context == nullptr || fd >= FD_SETSIZE)
        return 0;
    SSL *ssl = SSL_new(context);
    if (ssl == nullptr || SSL_set_fd(ssl, fd) != 1) {
        tls_log_error(WEBSRV_LOG_ERROR, "cannot start a TLS connection");
        SSL_free(ssl);
        return -1;
    }
    SSL_set_accept_state(ssl);
    // Records go out as they are made: a small one (a header block) must not wait for the
    // client's acknowledgement of the one before.
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    connections[fd] = ssl;
    return 0;
}

bool tls_inside(int fd)
{
    return connection_of(fd) != nullptr;
}

int tls_close(int fd)
{
    SSL *ssl = connection_of(fd);
    if (ssl == nullptr)
        return 0;
    // close_notify, if the socket takes it now; the server closes the socket behind it.
    if (SSL_is_init_finished(ssl) && SSL_shutdown(ssl) < 0)
        ERR_clear_error();
    SSL_free(ssl);
    connections[fd] = nullptr;
    return 0;
}

int tls_pending(int fd)
{
    SSL *ssl = connection_of(fd);
    return ssl != nullptr && (SSL_pending(ssl) > 0 || SSL_has_pending(ssl)) ? 1 : 0;
}

int tls_read(int fd, void *buf, size_t len)
{
    SSL *ssl = connection_of(fd);
    if (ssl == nullptr)
        return static_cast<int>(recv(fd, buf, len, MSG_DONTWAIT));
    const int got = SSL_read(ssl, buf, static_cast<int>(len));
    return got > 0 ? got : not_moved(ssl, got);
}

int tls_write(int fd, const void *buf, int len)
{
    SSL *ssl = connection_of(fd);
    if (ssl == nullptr)
        return static_cast<int>(send(fd, buf, static_cast<size_t>(len), MSG_NOSIGNAL | MSG_DONTWAIT));
    const int sent = SSL_write(ssl, buf, len);
    return sent > 0 ? sent : not_moved(ssl, sent);
}

int tls_send_file(int out_fd, int in_fd, off_t *offset, size_t count)
{
    SSL *ssl = connection_of(out_fd);
    if (ssl == nullptr)
        return tls_sendfile(out_fd, in_fd, offset, count);
    // One record's plaintext from the file; TLS takes it whole or not at all (the same
    // bytes are offered again when it said "not yet").
    char piece[record_size];
    const ssize_t got = pread(in_fd, piece, count < sizeof piece ? count : sizeof piece, *offset);
    if (got <= 0)
        return static_cast<int>(got);
    const int sent = SSL_write(ssl, piece, static_cast<int>(got));
    if (sent <= 0)
        return not_moved(ssl, sent);
    *offset += sent;
    return sent;
}
