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
// Loads the certificate (chain) and key into `context` and checks that they belong together.
// False after logging which file is unreadable, malformed or does not match.
bool tls_load_pair(SSL_CTX *context, const char *cert_path, const char *key_path);

// tls_relay.cpp: puts a socket pair in place of the session's socket and forks the process
// that carries the connection over TLS, with a fresh SSL from `context`. 0, or -1 (logged)
// with the session's socket as it was.
int tls_relay_start(websrv_session *session, SSL_CTX *context);

#endif
