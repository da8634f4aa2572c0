// Password-protected paths: "-auth PREFIX FILE" puts every request whose path lies under
// PREFIX behind HTTP Basic authentication with the users of FILE; "-realm TEXT" names the
// realm. A request is under PREFIX when its path, percent-decoded with "." and ".." resolved,
// starts with PREFIX's whole components, or when the file it reaches (links followed, as the
// server follows them) lies there. Verified credentials are remembered for a minute in memory
// all connection children share; ten failures from one address in a minute earn it a minute
// of 429.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include "auth_shared.h"
#include "http_words.h"
#include "passwords.h"
#include "paths.h"
#include "sha256.h"
#include "stock.h"

namespace {

constexpr int max_protections = 16;
constexpr size_t realm_size = 256;
// Longest "user:password" a client may send, decoded.
constexpr size_t credentials_size = 512;

struct protection {
    char prefix[stock_path_size];    // as given, "." and ".." resolved: "/admin"
    char absolute[stock_path_size];  // the same inside the working directory, from start-up
    char file[stock_path_size];      // the password file, an absolute path
};

protection protections[max_protections];
int protection_count = 0;
char realm[realm_size];
char working_directory[stock_path_size];
uint8_t cache_secret[sha256_size];  // keys the credential cache; made at start-up

// Resolves "." and ".." and repeated "/" in the absolute path `in`, into `out` (size bytes).
// A ".." at the root stays at the root. False when the result does not fit.
bool normalize(const char *in, char *out, size_t size)
{
    size_t length = 0;
    for (const char *at = in; *at != '\0';) {
        while (*at == '/')
            ++at;
        const size_t part = strcspn(at, "/");
        if (part == 0 || (part == 1 && at[0] == '.')) {
            at += part;
            continue;
        }
        if (part == 2 && at[0] == '.' && at[1] == '.') {
            while (length > 0 && out[--length] != '/') {
            }
        } else {
            if (length + 1 + part >= size)
                return false;
            out[length++] = '/';
            memcpy(out + length, at, part);
            length += part;
        }
        at += part;
    }
    if (length == 0)
        out[length++] = '/';
    out[length] = '\0';
    return true;
}

// Joins `a` and `b` with a "/" into `out` (size bytes); false when it does not fit.
bool join(const char *a, const char *b, char *out, size_t size)
{
    const int length = snprintf(out, size, "%s/%s", a, b);
    return length > 0 && static_cast<size_t>(length) < size;
}

// What a request path is known as: its lexical form inside the working directory, the file it
// reaches with links followed, and for a directory the index file it would be served as.
// find_paths fills every field.
struct request_paths {
    bool lexical_known;  // false: too long to resolve; every protection covers it
    char lexical[2 * PATH_MAX];
    char real[PATH_MAX];        // "" when the path cannot be resolved
    char real_index[PATH_MAX];  // "" when it is no directory or has no index
};

void find_paths(const char *uri, request_paths *paths)
{
    char joined[2 * PATH_MAX];
    // The server strips one "/": a path that still starts with one ("//x") is absolute.
    paths->lexical_known = uri[0] == '/' ? normalize(uri, paths->lexical, sizeof paths->lexical)
                                         : join(working_directory, uri, joined, sizeof joined) &&
                                               normalize(joined, paths->lexical, sizeof paths->lexical);
    if (realpath(uri, paths->real) == nullptr)
        paths->real[0] = '\0';
    struct stat st;
    char index[PATH_MAX];
    paths->real_index[0] = '\0';
    if (stat(uri, &st) == 0 && S_ISDIR(st.st_mode) && join(uri, websrv_index_file, index, sizeof index) &&
        realpath(index, paths->real_index) == nullptr)
        paths->real_index[0] = '\0';
}

// Whether the protection covers the request.
bool covers(const protection &p, const request_paths &paths)
{
    if (!paths.lexical_known || websrv_path_under(paths.lexical, p.absolute))
        return true;
    char real_prefix[PATH_MAX];
    if (realpath(p.absolute, real_prefix) == nullptr)
        return false;
    return (paths.real[0] != '\0' && websrv_path_under(paths.real, real_prefix)) ||
           (paths.real_index[0] != '\0' && websrv_path_under(paths.real_index, real_prefix));
}

// The protection of the request: of all that cover it, the one with the longest prefix.
const protection *protection_for(const char *uri)
{
    request_paths paths;
    find_paths(uri, &paths);
    const protection *best = nullptr;
    for (int i = 0; i < protection_count; ++i) {
        const protection &p = protections[i];
        if (covers(p, paths) && (best == nullptr || strlen(p.prefix) > strlen(best->prefix)))
            best = &p;
    }
    return best;
}

int base64_value(char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    return c == '+' ? 62 : c == '/' ? 63 : -1;
}

// Decodes padded base64 `in` (up to a blank or the end) into `out` as a zero-terminated text.
// False for anything that is not base64 or does not fit.
bool base64_decode(const char *in, char (&out)[credentials_size])
{
    const size_t length = strcspn(in, " \t");
    if (length == 0 || length % 4 != 0)
        return false;
    size_t produced = 0;
    for (size_t i = 0; i < length; i += 4) {
        int values[4];
        int padding = 0;
        for (int k = 0; k < 4; ++k) {
            const char c = in[i + k];
            values[k] = c == '=' && i + 4 == length && k >= 2 ? 0 : base64_value(c);
            padding += c == '=';
            if (values[k] < 0 || (padding > 0 && c != '='))
                return false;
        }
        const uint32_t group = static_cast<uint32_t>(values[0] << 18 | values[1] << 12 | values[2] << 6 | values[3]);
        const int bytes = 3 - padding;
        if (produced + static_cast<size_t>(bytes) >= sizeof out)
            return false;
        for (int k = 0; k < bytes; ++k)
            out[produced++] = static_cast<char>(group >> (16 - 8 * k));
    }
    out[produced] = '\0';
    return strlen(out) == produced;  // no NUL inside
}

// The user and password of a "Basic" Authorization value, split in place in `text`.
struct credentials {
    char text[credentials_size];
    const char *user = nullptr;
    const char *password = nullptr;
    ~credentials() { explicit_bzero(text, sizeof text); }
};

bool parse_basic(const char *authorization, credentials *c)
{
    constexpr char scheme[] = "Basic ";
    if (authorization == nullptr || strncasecmp(authorization, scheme, sizeof scheme - 1) != 0)
        return false;
    const char *token = authorization + sizeof scheme - 1;
    token += strspn(token, " ");
    if (!base64_decode(token, c->text))
        return false;
    char *colon = strchr(c->text, ':');
    if (colon == nullptr || colon == c->text)
        return false;
    *colon = '\0';
    c->user = c->text;
    c->password = colon + 1;
    return true;
}

// The client's address as 16 bytes: IPv6, or IPv4 mapped (::ffff:a.b.c.d).
void client_of(websrv_session *session, client_address &out)
{
    memset(out, 0, sizeof out);
    const websrv_session_info *info = session_info(session);
    if (info != nullptr && info->peer.ss_family == AF_INET6) {
        memcpy(out, &reinterpret_cast<const sockaddr_in6 &>(info->peer).sin6_addr, sizeof out);
        return;
    }
    out[10] = out[11] = 0xff;
    const in_addr v4 = info != nullptr ? reinterpret_cast<const sockaddr_in &>(info->peer).sin_addr
                                       : session->client_addr;
    memcpy(out + 12, &v4, sizeof v4);
}

// The cache's name for these credentials against this protection's file as it is now: a
// change of the file (or of the credentials) gives another key.
bool credential_key_of(const protection &p, int index, const credentials &c, credential_key &key)
{
    struct stat st;
    if (stat(p.file, &st) != 0)
        return false;
    const long long stamp[] = {static_cast<long long>(st.st_dev),        static_cast<long long>(st.st_ino),
                               static_cast<long long>(st.st_size),       static_cast<long long>(st.st_mtim.tv_sec),
                               static_cast<long long>(st.st_mtim.tv_nsec), static_cast<long long>(st.st_ctim.tv_sec),
                               static_cast<long long>(st.st_ctim.tv_nsec), index};
    hmac_sha256 mac(cache_secret);
    mac.add(reinterpret_cast<const char *>(stamp), sizeof stamp);
    mac.add(c.user, strlen(c.user) + 1);
    mac.add(c.password, strlen(c.password));
    mac.finish(key);
    return true;
}

// Checks the credentials against the protection's file, through the cache.
password_verdict check(const protection &p, const credentials &c)
{
    credential_key key;
    const bool keyed = credential_key_of(p, static_cast<int>(&p - protections), c, key);
    if (keyed && shared_verified(key))
        return password_verdict::accepted;
    const password_verdict verdict = passwords_verify(p.file, c.user, c.password);
    if (verdict == password_verdict::accepted && keyed)
        shared_remember(key);
    return verdict;
}

int challenge(websrv_session *session)
{
    char line[realm_size + 64];
    snprintf(line, sizeof line, "WWW-Authenticate: Basic realm=\"%s\", charset=\"UTF-8\"\r\n", realm);
    return answer_send(session, 401, line);
}

// Takes "-realm TEXT": a quoted string's content without quotes, backslashes or controls.
int set_realm(char **values)
{
    const char *value = values[0];
    const size_t length = strlen(value);
    bool sound = length > 0 && length < sizeof realm;
    for (const char *c = value; *c != '\0'; ++c)
        sound &= *c != '"' && *c != '\\' && static_cast<unsigned char>(*c) >= 0x20 && *c != 0x7f;
    if (!sound) {
        log_msg(WEBSRV_LOG_ERROR, "%s: -realm needs 1 to %d characters without quotes, backslashes or controls\n",
                stock_name, static_cast<int>(sizeof realm) - 1);
        return -1;
    }
    memcpy(realm, value, length + 1);
    return 0;
}

// Takes "-auth PREFIX FILE": the file is read and checked now, so that a refused line stops
// the server from starting.
int add_protection(char **values)
{
    const char *prefix = values[0];
    const char *file = values[1];
    if (protection_count == max_protections) {
        log_msg(WEBSRV_LOG_ERROR, "%s: at most %d -auth options\n", stock_name, max_protections);
        return -1;
    }
    protection &p = protections[protection_count];
    if (prefix[0] != '/' || !normalize(prefix, p.prefix, sizeof p.prefix)) {
        log_msg(WEBSRV_LOG_ERROR, "%s: -auth needs a path that starts with \"/\", not \"%s\"\n", stock_name, prefix);
        return -1;
    }
    if (!option_path("-auth", file, p.file) || !passwords_load_crypt() || !passwords_check_file(p.file))
        return -1;
    ++protection_count;
    return 0;
}

constexpr stock_option options[] = {
    {"-auth", 2, "prefix file", false, add_protection},
    {"-realm", 1, "text", false, set_realm},
};

}  // namespace

std::span<const stock_option> auth_options()
{
    return options;
}

int auth_start()
{
    if (protection_count == 0)
        return 0;
    if (getcwd(working_directory, sizeof working_directory) == nullptr) {
        log_msg(WEBSRV_LOG_ERROR, "%s: getcwd failed: %s\n", stock_name, strerror(errno));
        return -1;
    }
    char real_root[PATH_MAX];
    if (realpath(working_directory, real_root) == nullptr)
        real_root[0] = '\0';
    for (int i = 0; i < protection_count; ++i) {
        protection &p = protections[i];
        char joined[stock_path_size];
        if (!join(working_directory, p.prefix, joined, sizeof joined) ||
            !normalize(joined, p.absolute, sizeof p.absolute)) {
            log_msg(WEBSRV_LOG_ERROR, "%s: -auth %s: the path is too long\n", stock_name, p.prefix);
            return -1;
        }
        // A password file the server would hand out gives every hash away.
        char real_file[PATH_MAX];
        if (realpath(p.file, real_file) != nullptr && real_root[0] != '\0' && websrv_path_under(real_file, real_root)) {
            log_msg(WEBSRV_LOG_ERROR, "%s: password file %s lies in the served directory %s; move it out\n",
                    stock_name, p.file, real_root);
            return -1;
        }
    }
    if (realm[0] == '\0' && gethostname(realm, sizeof realm - 1) != 0)
        strcpy(realm, "websrv");
    for (char &c : realm) {
        if (c == '"' || c == '\\')
            c = '_';
    }
    if (getrandom(cache_secret, sizeof cache_secret, 0) != static_cast<ssize_t>(sizeof cache_secret)) {
        log_msg(WEBSRV_LOG_ERROR, "%s: getrandom failed: %s\n", stock_name, strerror(errno));
        return -1;
    }
    return shared_open() ? 0 : -1;
}

int auth_request(websrv_session *session)
{
    if (protection_count == 0)
        return 1;
    const protection *p = protection_for(session->uri);
    if (p == nullptr)
        return 1;
    client_address client;
    client_of(session, client);
    if (const int seconds = shared_blocked_seconds(client); seconds > 0) {
        char line[64];
        snprintf(line, sizeof line, "Retry-After: %d\r\n", seconds);
        return answer_send(session, 429, line);
    }
    credentials c;
    if (!parse_basic(session->authorization, &c))
        return challenge(session);
    const password_verdict verdict = check(*p, c);
    if (verdict == password_verdict::file_fault)
        return answer_send(session, 500, "");
    if (verdict == password_verdict::refused) {
        log_msg(WEBSRV_LOG_DETAIL, "%s: wrong password for \"%s\"\n", stock_name, c.user);
        shared_failure(client);
        return challenge(session);
    }
    // The name must outlive this call: the server reads it when it starts a CGI program.
    static char user[credentials_size];
    snprintf(user, sizeof user, "%s", c.user);
    if (websrv_session_info *info = session_info(session)) {
        info->remote_user = user;
        info->auth_type = "Basic";
    }
    return 1;
}
