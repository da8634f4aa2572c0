// https.so's TLS port: "-tls-port N" (8443 by default), "-cert FILE" and "-key FILE" (made on
// first boot when both are missing). The TLS context is made once in the main process, so
// every connection child shares its session ticket key. "-redirect" (redirect.cpp) makes the
// plain port of "-port N" send every request here.
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include <openssl/err.h>

#include "paths.h"
#include "stock.h"
#include "tls_parts.h"

const char stock_name[] = "https";

namespace {

constexpr int default_tls_port = 8443;
// Protocols and TLS 1.2 suites: forward-secret key exchange and AEAD ciphers only (TLS 1.3's
// suites all are).
constexpr char tls12_ciphers[] = "ECDHE+AESGCM:ECDHE+CHACHA20";
constexpr char key_groups[] = "X25519:P-256:P-384";

websrv_plugin_desc tls_desc;
char cert_path[stock_path_size] = WEBSRV_TLS_DIR "/https.crt";
char key_path[stock_path_size] = WEBSRV_TLS_DIR "/https.key";
SSL_CTX *context = nullptr;

// A passphrase is never asked for: a server has nobody to type it.
int no_passphrase(char *, int, int, void *)
{
    return 0;
}

SSL_CTX *make_context()
{
    SSL_CTX *made = SSL_CTX_new(TLS_server_method());
    if (made == nullptr)
        return nullptr;
    // The end of the TCP stream without close_notify counts as the client's end, so a client
    // that half-closes after its request still gets its answer.
    SSL_CTX_set_options(made, SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_COMPRESSION | SSL_OP_CIPHER_SERVER_PREFERENCE |
                                  SSL_OP_IGNORE_UNEXPECTED_EOF);
    // Resumption by session tickets only: a server-side cache would live in one connection
    // child and die with it.
    SSL_CTX_set_session_cache_mode(made, SSL_SESS_CACHE_OFF);
    SSL_CTX_set_mode(made, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_CTX_set_default_passwd_cb(made, no_passphrase);
    if (SSL_CTX_set_min_proto_version(made, TLS1_2_VERSION) != 1 ||
        SSL_CTX_set_max_proto_version(made, TLS1_3_VERSION) != 1 ||
        SSL_CTX_set_cipher_list(made, tls12_ciphers) != 1 || SSL_CTX_set1_groups_list(made, key_groups) != 1) {
        SSL_CTX_free(made);
        return nullptr;
    }
    return made;
}

// Whether the absolute `path` lies in the working directory, which the server serves to anyone.
// A file that does not exist yet (a key the first start would make) lies where its directory is.
bool is_served(const char *path)
{
    char root[PATH_MAX];
    char real[PATH_MAX];
    if (getcwd(root, sizeof root) == nullptr)
        return false;
    if (realpath(path, real) != nullptr)
        return websrv_path_under(real, root);
    char directory[stock_path_size];
    const char *slash = strrchr(path, '/');
    snprintf(directory, sizeof directory, "%.*s", slash > path ? static_cast<int>(slash - path) : 1, path);
    return realpath(directory, real) != nullptr && websrv_path_under(real, root);
}

// Whether the key stays out of the served directory (it would be handed out), logged when it
// does not. Asked before a first start makes a key, so that none is ever written there.
bool key_kept_apart()
{
    if (!is_served(key_path))
        return true;
    log_msg(WEBSRV_LOG_ERROR, "%s: the key %s lies in the served directory; move it out\n", stock_name, key_path);
    return false;
}

int set_tls_port(char **values)
{
    return option_move_to_port(&tls_desc, values[-1], values[0]);
}

// "-cert FILE" and "-key FILE": the path from the working directory in force now; a refused
// one leaves the path as it was.
int set_file(char (&path)[stock_path_size], char **values)
{
    char absolute[stock_path_size];
    if (!option_path(values[-1], values[0], absolute))
        return -1;
    memcpy(path, absolute, sizeof absolute);
    return 0;
}

int set_cert(char **values)
{
    return set_file(cert_path, values);
}

int set_key(char **values)
{
    return set_file(key_path, values);
}

constexpr stock_option options[] = {
    {"-tls-port", 1, "n", true, set_tls_port},
    {"-cert", 1, "file", false, set_cert},
    {"-key", 1, "file", false, set_key},
    {"-redirect", 0, "", false, redirect_option},
};

}  // namespace

namespace {

// on_open of both ports: a connection that lasts on the TLS port carries its TLS here.
int open_connection(int fd, int port, unsigned lasting)
{
    if (port != tls_desc.port)
        return 0;
    tls_pair_follow(context);
    return tls_open(fd, lasting, context);
}

}  // namespace

int tls_register(websrv_plugin_desc *plain)
{
    // Both ports share the extension record: a connection that lasts gets its TLS from it.
    auto *ext = static_cast<websrv_plugin_ext *>(plain->reserved);
    ext->on_open = open_connection;
    ext->on_close = tls_close;
    ext->on_pending = tls_pending;
    tls_desc = *plain;
    strcpy(tls_desc.name, "https");
    tls_desc.port = default_tls_port;
    tls_desc.on_read = tls_read;
    tls_desc.on_write = tls_write;
    tls_desc.on_sendfile = tls_send_file;
    return websrv_register_plugin(&tls_desc) < 0 ? -1 : 1;
}

std::span<const stock_option> tls_options()
{
    return options;
}

int tls_start()
{
    // The system's OpenSSL configuration is not read: what the server offers is set here.
    OPENSSL_init_ssl(OPENSSL_INIT_NO_LOAD_CONFIG | OPENSSL_INIT_NO_LOAD_SSL_STRINGS |
                         OPENSSL_INIT_NO_LOAD_CRYPTO_STRINGS,
                     nullptr);
    redirect_to_port(tls_desc.port);
    if (!key_kept_apart() || !tls_make_pair_if_missing(cert_path, key_path))
        return -1;
    context = make_context();
    SSL_CTX *trial = make_context();
    if (context == nullptr || trial == nullptr) {
        tls_log_error(WEBSRV_LOG_ERROR, "cannot make the TLS context");
        return -1;
    }
    // Read now, before the server may drop to a user who cannot read the key.
    const bool sound = tls_pair_read(trial, cert_path, key_path);
    SSL_CTX_free(trial);
    if (!sound || !tls_pair_follow(context)) {
        SSL_CTX_free(context);
        context = nullptr;
        return -1;
    }
    log_msg(WEBSRV_LOG_DETAIL, "%s: TLS on port %d with %s\n", stock_name, tls_desc.port, cert_path);
    return 0;
}

namespace {

// -check: the key is not served (nor would be, made on the first start), and the pair would
// load (or would be made).
int check_pair()
{
    OPENSSL_init_ssl(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr);
    if (!key_kept_apart())
        return -1;
    if (access(cert_path, F_OK) != 0 && access(key_path, F_OK) != 0) {
        log_msg(WEBSRV_LOG_ERROR, "%s: no %s and %s yet: the first start makes them\n", stock_name, cert_path, key_path);
        return 0;
    }
    SSL_CTX *trial = make_context();
    const bool sound = trial != nullptr && tls_pair_check(trial, cert_path, key_path);
    SSL_CTX_free(trial);
    return sound ? 0 : -1;
}

// Main process, SIGUSR1: reads the pair again; a sound one is served by every process from its
// next connection on, a bad or unreadable one leaves the pair in use everywhere.
void reread_pair()
{
    SSL_CTX *trial = make_context();
    const bool sound = trial != nullptr && tls_pair_read(trial, cert_path, key_path);
    SSL_CTX_free(trial);
    if (sound && tls_pair_follow(context))
        log_msg(WEBSRV_LOG_DETAIL, "%s: read %s and %s again\n", stock_name, cert_path, key_path);
    else
        log_msg(WEBSRV_LOG_ERROR, "%s: the certificate in use stays\n", stock_name);
}

}  // namespace

int tls_event(int event)
{
    if (event == WEBSRV_EVENT_CHECK)
        return check_pair();
    if (event == WEBSRV_EVENT_RELOAD && context != nullptr)
        reread_pair();
    // Once privileges are dropped: the engine runs as the server's user, not as root.
    if (event != WEBSRV_EVENT_READY || context == nullptr || tls_engine_start(context) < 0)
        return 0;
    tls_release_pages();
    return 0;
}

int tls_session_init(websrv_session *session)
{
    if (session->port != tls_desc.port || context == nullptr)
        return 0;
    if (websrv_session_info *info = session_info(session))
        info->tls = 1;
    // A connection that lasts carries its TLS itself; one of one request goes to the engine.
    return tls_inside(session->socket) ? 0 : tls_relay_start(session, context);
}
