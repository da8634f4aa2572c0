// What the files of https.so's TLS part offer each other.
#ifndef WEBSRV_STOCK_TLS_PARTS_H
#define WEBSRV_STOCK_TLS_PARTS_H

#include <openssl/ssl.h>

#include "websrv_plugin.h"

// Logs `what` with the reasons OpenSSL queued (and clears its queue).
void tls_log_error(int level, const char *what);

// tls_cert.cpp: makes a self-signed P-256 key and certificate for this host, valid ten years,
// when neither file exists (a device's first boot). False after logging.
bool tls_make_pair_if_missing(const char *cert_path, const char *key_path);
// tls_pair.cpp: the pair in use, shared by every process of the server.
// Reads the certificate (chain) and key files and loads them into `trial`, checking that they
// belong together. False after logging which file is unreadable, malformed or does not match.
bool tls_pair_check(SSL_CTX *trial, const char *cert_path, const char *key_path);
// Main process: the same, and when the pair is sound it becomes the one every process serves
// (through tls_pair_follow). The first call, at start-up, makes the memory the processes share.
bool tls_pair_read(SSL_CTX *trial, const char *cert_path, const char *key_path);
// Any process: loads the pair published last (on SIGUSR1) into `in_use` when it is not the one
// this process loaded last; the ticket key stays, so sessions still resume in every process.
// True when it loaded one.
bool tls_pair_follow(SSL_CTX *in_use);

// tls_relay.cpp, main process once start-up is over: starts the engine, the process that carries the
// TLS connections, with `context`. 0, or -1 (logged).
int tls_engine_start(SSL_CTX *context);
// Child: puts a socket pair in place of the session's socket and has the engine (or, when it
// is gone, a relay process of the connection's own) carry the connection over TLS. 0, or -1
// (logged) with the session's socket as it was.
int tls_relay_start(websrv_session *session, SSL_CTX *context);
// Child, on_sendfile of the TLS port: sendfile() into the socket pair, waiting (30 seconds at
// most each time) while the pair is full. The server opens files non-blocking, and the
// kernel then makes sendfile into a local socket return EAGAIN as soon as the pair is full
// instead of waiting, which would cut a large file short.
int tls_sendfile(int out_fd, int in_fd, off_t *offset, size_t count);


// tls_inside.cpp: TLS in the connection's own process, on a connection that lasts. tls_open
// (on_open of the TLS port, with its context) starts one when `lasting` is not 0; tls_close
// (on_close) sends its close_notify and ends it; tls_inside tells whether `fd` has one. The
// read, write and file hooks of the TLS port go through it, or pass the relay's plain bytes.
int tls_open(int fd, unsigned lasting, SSL_CTX *context);
int tls_close(int fd);
int tls_pending(int fd);
bool tls_inside(int fd);
int tls_read(int fd, void *buf, size_t len);
int tls_write(int fd, const void *buf, int len);
int tls_send_file(int out_fd, int in_fd, off_t *offset, size_t count);

// redirect.cpp: "-redirect" (redirect_option, an option setter); the TLS port the answers
// name, set before the server serves.
int redirect_option(char **values);
void redirect_to_port(int port);

// pages.cpp, main process once start-up is done: gives back the pages of OpenSSL's code and
// read-only data that start-up touched.
void tls_release_pages();

#endif
