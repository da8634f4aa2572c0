// https.so's TLS ports: "-tls-port N" (8443 by default), "-cert FILE" and "-key FILE" (made on
// first boot when both are missing), and "-redirect", which makes the plain port of "-port N"
// answer every request with 301 to the same path on the TLS port. The TLS context is made
// once in the main process, so every connection child shares its session ticket key.
#include <arpa/inet.h>
#include <cerrno>
#include <link.h>
#include <sys/mman.h>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>

#include "stock.h"
#include "tls_parts.h"

const char stock_name[] = "https";

namespace {

constexpr int default_tls_port = 8443;
constexpr int default_https_port = 443;
// Protocols and TLS 1.2 suites: forward-secret key exchange and AEAD ciphers only (TLS 1.3's
// suites all are).
constexpr char tls12_ciphers[] = "ECDHE+AESGCM:ECDHE+CHACHA20";
constexpr char key_groups[] = "X25519:P-256:P-384";
constexpr char host_chars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-";

websrv_plugin_desc tls_desc;
char cert_path[stock_path_size] = WEBSRV_TLS_DIR "/https.crt";
char key_path[stock_path_size] = WEBSRV_TLS_DIR "/https.key";
bool redirect = false;
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

// Whether `path` lies in the working directory, which the server serves to anyone.
bool is_served(const char *path)
{
    char root[PATH_MAX];
    char real[PATH_MAX];
    if (getcwd(root, sizeof root) == nullptr || realpath(path, real) == nullptr)
        return false;
    const size_t length = strlen(root);
    return strcmp(root, "/") == 0 || (strncmp(real, root, length) == 0 && real[length] == '/');
}

// Whether the page range [start, end) meets a writable segment of the object.
bool meets_writable(const dl_phdr_info *object, uintptr_t start, uintptr_t end, uintptr_t page)
{
    for (int i = 0; i < object->dlpi_phnum; ++i) {
        const ElfW(Phdr) &segment = object->dlpi_phdr[i];
        if ((segment.p_type != PT_LOAD || (segment.p_flags & PF_W) == 0) && segment.p_type != PT_GNU_RELRO)
            continue;
        const uintptr_t low = (object->dlpi_addr + segment.p_vaddr) & ~(page - 1);
        const uintptr_t high = object->dlpi_addr + segment.p_vaddr + segment.p_memsz;
        if (low < end && start < high)
            return true;
    }
    return false;
}

// Gives back the pages of OpenSSL's code and read-only data that start-up touched. The main
// process runs none of that code again; the connection children map those pages afresh from
// the page cache when they need them (a fork copies no mapping of them either way). Only
// segments that are never written are released, so nothing the loader relocated is lost.
int release_pages(dl_phdr_info *object, size_t, void *)
{
    if (strstr(object->dlpi_name, "/libssl.so") == nullptr && strstr(object->dlpi_name, "/libcrypto.so") == nullptr)
        return 0;
    const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    for (int i = 0; i < object->dlpi_phnum; ++i) {
        const ElfW(Phdr) &segment = object->dlpi_phdr[i];
        if (segment.p_type != PT_LOAD || (segment.p_flags & PF_W) != 0)
            continue;
        const uintptr_t start = (object->dlpi_addr + segment.p_vaddr) & ~(page - 1);
        const uintptr_t end = (object->dlpi_addr + segment.p_vaddr + segment.p_memsz + page - 1) & ~(page - 1);
        if (!meets_writable(object, start, end, page))
            madvise(reinterpret_cast<void *>(start), end - start, MADV_DONTNEED);
    }
    return 0;
}

// ---- the plain port's redirect ----------------------------------------------------------

// The request as it arrives on the plain port, until its header is complete.
char request[WEBSRV_BUFFER_SIZE];
size_t request_length = 0;

// Copies the Host header's name (without its port) into `host`; false when there is none or
// it holds anything but a name or an address.
bool host_name(const char *text, char (&host)[256])
{
    for (const char *line = strchr(text, '\n'); line != nullptr; line = strchr(line + 1, '\n')) {
        if (strncasecmp(line + 1, "Host:", 5) != 0)
            continue;
        const char *value = line + 6 + strspn(line + 6, " \t");
        size_t length = value[0] == '[' ? strspn(value + 1, "0123456789abcdefABCDEF:.") + 2
                                        : strspn(value, host_chars);
        if (value[0] == '[' && value[length - 1] != ']')
            return false;
        const char end = value[length];
        if (length == 0 || length >= sizeof host || (end != ':' && end != '\r' && end != '\n' && end != ' '))
            return false;
        memcpy(host, value, length);
        host[length] = '\0';
        return true;
    }
    return false;
}

// The address the client reached us on, as a URL host.
void local_host(int fd, char (&host)[256])
{
    sockaddr_storage local{};
    socklen_t size = sizeof local;
    char text[INET6_ADDRSTRLEN] = "localhost";
    bool bracketed = false;
    if (getsockname(fd, reinterpret_cast<sockaddr *>(&local), &size) == 0) {
        const in6_addr &v6 = reinterpret_cast<sockaddr_in6 &>(local).sin6_addr;
        if (local.ss_family == AF_INET6 && IN6_IS_ADDR_V4MAPPED(&v6)) {
            inet_ntop(AF_INET, &v6.s6_addr[12], text, sizeof text);  // an IPv4 client on an IPv6 socket
        } else if (local.ss_family == AF_INET6) {
            inet_ntop(AF_INET6, &v6, text, sizeof text);
            bracketed = true;
        } else {
            inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in &>(local).sin_addr, text, sizeof text);
        }
    }
    snprintf(host, sizeof host, bracketed ? "[%s]" : "%s", text);

}

// Answers the request in `request` with 301 to the same target on the TLS port.
void send_redirect(int fd)
{
    // The target: the second word of the request line; of an absolute URL, its path.
    const char *target = strchr(request, ' ');
    target = target != nullptr ? target + 1 : "/";
    if (strncasecmp(target, "http://", 7) == 0 || strncasecmp(target, "https://", 8) == 0) {
        target = strchr(strstr(target, "//") + 2, '/');
        target = target != nullptr ? target : "/";
    }
    char path[WEBSRV_BUFFER_SIZE];
    const size_t path_length = strcspn(target, " \r\n");
    snprintf(path, sizeof path, "%.*s", static_cast<int>(path_length), target[0] == '/' ? target : "/");
    char host[256];
    if (!host_name(request, host))
        local_host(fd, host);
    char location[2 * WEBSRV_BUFFER_SIZE];
    size_t length = static_cast<size_t>(snprintf(location, sizeof location, "Location: https://%s", host));
    if (tls_desc.port != default_https_port)
        length += static_cast<size_t>(snprintf(location + length, sizeof location - length, ":%d", tls_desc.port));
    if (!append_url_text(location, sizeof location - 2, &length, path, true))
        append_url_text(location, sizeof location - 2, &length, "/", true);
    memcpy(location + length, "\r\n", 3);
    answer_send(fd, 301, "Moved Permanently", location);
}

// The plain port's read hook in https.so. Without "-redirect" it reads as the server would;
// with it, it collects the request header and, once it is complete, answers 301 and reports
// the end of the stream, so the server answers nothing itself.
int redirect_read(int fd, void *buf, size_t len)
{
    const ssize_t got = recv(fd, buf, len, 0);
    if (!redirect || got <= 0)
        return static_cast<int>(got);
    const size_t room = sizeof request - 1 - request_length;
    const size_t kept = static_cast<size_t>(got) < room ? static_cast<size_t>(got) : room;
    memcpy(request + request_length, buf, kept);
    request_length += kept;
    request[request_length] = '\0';
    if (strstr(request, "\r\n\r\n") == nullptr && strstr(request, "\n\n") == nullptr && kept == static_cast<size_t>(got))
        return static_cast<int>(got);
    send_redirect(fd);
    return 0;
}

}  // namespace

int tls_register(websrv_plugin_desc *plain)
{
    tls_desc = *plain;
    strcpy(tls_desc.name, "https");
    tls_desc.port = default_tls_port;
    tls_desc.on_sendfile = tls_sendfile;
    plain->on_read = redirect_read;
    return websrv_register_plugin(&tls_desc) < 0 ? -1 : 1;
}

int tls_option(int *index, char **argv)
{
    const char *option = argv[*index];
    if (strcmp(option, "-tls-port") == 0)
        return option_move_to_port(&tls_desc, index, argv);
    if (strcmp(option, "-redirect") == 0) {
        redirect = true;
        *index += 1;
        return option_taken;
    }
    char *path = strcmp(option, "-cert") == 0 ? cert_path : strcmp(option, "-key") == 0 ? key_path : nullptr;
    if (path == nullptr)
        return option_not_ours;
    const char *value = option_value(*index, argv);
    char absolute[stock_path_size];
    if (value == nullptr || !option_path(option, value, absolute))
        return option_rejected;
    memcpy(path, absolute, sizeof absolute);
    *index += 2;
    return option_taken;
}

int tls_start()
{
    // The system's OpenSSL configuration is not read: what the server offers is set here.
    OPENSSL_init_ssl(OPENSSL_INIT_NO_LOAD_CONFIG | OPENSSL_INIT_NO_LOAD_SSL_STRINGS |
                         OPENSSL_INIT_NO_LOAD_CRYPTO_STRINGS,
                     nullptr);
    if (!tls_make_pair_if_missing(cert_path, key_path))
        return -1;
    if (is_served(key_path)) {
        log_msg(WEBSRV_LOG_ERROR, "%s: the key %s lies in the served directory; move it out\n", stock_name, key_path);
        return -1;
    }
    context = make_context();
    if (context == nullptr) {
        tls_log_error(WEBSRV_LOG_ERROR, "cannot make the TLS context");
        return -1;
    }
    if (!tls_load_pair(context, cert_path, key_path)) {
        SSL_CTX_free(context);
        context = nullptr;
        return -1;
    }
    log_msg(WEBSRV_LOG_DETAIL, "%s: TLS on port %d with %s\n", stock_name, tls_desc.port, cert_path);
    if (tls_engine_start(context) < 0)
        return -1;
    dl_iterate_phdr(release_pages, nullptr);
    return 0;
}

int tls_session_init(websrv_session *session)
{
    if (session->port != tls_desc.port || context == nullptr)
        return 0;
    if (websrv_session_info *info = session_info(session))
        info->tls = 1;
    return tls_relay_start(session, context);
}
