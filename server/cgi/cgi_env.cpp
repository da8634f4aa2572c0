// The CGI program's environment, built in two passes over the same list of entries: the first
// measures, the second writes into one block of exactly that size.
#include "cgi/cgi_env.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <strings.h>

#include "log.h"
#include "http_words.h"
#include "paths.h"

namespace {

// Collects entries: counting bytes and entries, or writing them into the block.
class env_builder {
public:
    // Measures when `slots` and `text` are null; writes the entries into `text` and their
    // addresses into `slots` otherwise.
    env_builder(char **slots, char *text) : slots_(slots), text_(text) {}

    void add(const char *format, ...) __attribute__((format(printf, 2, 3)))
    {
        va_list args;
        va_start(args, format);
        char *at = text_ != nullptr ? text_ + bytes_ : nullptr;
        const int length = vsnprintf(at, at != nullptr ? room_ - bytes_ : 0, format, args);
        va_end(args);
        if (length < 0)
            return;
        if (slots_ != nullptr)
            slots_[count_] = at;
        bytes_ += static_cast<size_t>(length) + 1;
        ++count_;
    }
    void set_room(size_t room) { room_ = room; }
    size_t bytes() const { return bytes_; }
    size_t count() const { return count_; }

private:
    char **slots_;
    char *text_;
    size_t room_ = 0;
    size_t bytes_ = 0;
    size_t count_ = 0;
};

// The name a request header has in the environment: "HTTP_" and the name upper-cased, "-"
// as "_". False for names that could not be an environment name, and for the headers the
// environment leaves out: Content-Type and Content-Length (given as CONTENT_*), Authorization
// (the password is never passed on) and Proxy (HTTP_PROXY would set the program's proxy).
bool environment_name(const char *name, size_t length, char (&out)[WEBSRV_BUFFER_SIZE])
{
    // Names held in the table itself: constant data that needs no relocation at start.
    static constexpr char left_out[][16] = {"Content-Type", "Content-Length", "Authorization", "Proxy"};
    for (const char *omitted : left_out) {
        if (strlen(omitted) == length && strncasecmp(name, omitted, length) == 0)
            return false;
    }
    if (length == 0 || length + 6 > sizeof out)
        return false;
    memcpy(out, "HTTP_", 5);
    for (size_t i = 0; i < length; ++i) {
        const char c = name[i];
        const bool word = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!word && c != '-' && c != '_')
            return false;
        out[5 + i] = c == '-' ? '_' : (c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c);
    }
    out[5 + length] = '\0';
    return true;
}

// SERVER_NAME: the Host header's name without its port, or the address the connection came in
// on when the request has no Host header.
void add_server_name(env_builder &env, const websrv_connection *c)
{
    const char *host = c->session.host;
    if (host == nullptr || host[0] == '\0') {
        char local[48];
        websrv_local_host(c->session.socket, local, sizeof local, "");
        env.add("SERVER_NAME=%s", local);
        return;
    }
    const char *end = strchr(host, host[0] == '[' ? ']' : ':');
    const size_t length = end == nullptr ? strlen(host) : static_cast<size_t>(end - host) + (host[0] == '[');
    env.add("SERVER_NAME=%.*s", static_cast<int>(length), host);
}

// Every request header but those left out, as HTTP_*, in the order they came; a header that
// came more than once gets one entry with the values joined (by "; " for Cookie, else ", ").
void add_headers(env_builder &env, const websrv_header_index &headers)
{
    char name[WEBSRV_BUFFER_SIZE];
    for (int i = 0; i < headers.count(); ++i) {
        const std::string_view line = headers.name(i);
        bool first = true;
        for (int earlier = 0; earlier < i && first; ++earlier)
            first = !headers.is(earlier, line);
        if (!first || !environment_name(line.data(), line.size(), name))
            continue;
        const char *separator = strcasecmp(name, "HTTP_COOKIE") == 0 ? "; " : ", ";
        char joined[WEBSRV_BUFFER_SIZE];
        size_t used = 0;
        joined[0] = '\0';
        for (int other = i; other < headers.count() && used < sizeof joined; ++other) {
            if (!headers.is(other, line))
                continue;
            const int wrote = snprintf(joined + used, sizeof joined - used, "%s%s", used > 0 ? separator : "",
                                       headers.value(other));
            used += wrote > 0 ? static_cast<size_t>(wrote) : 0;
        }
        env.add("%s=%s", name, joined);
    }
}

// The whole list, in order; run once to measure and once to write.
void add_entries(env_builder &env, const websrv_connection *c, const websrv_cgi_target &target)
{
    const websrv_session *s = &c->session;
    const websrv_session_info *info = &c->info;
    env.add("SERVER_SOFTWARE=%s", websrv_server_token);
    add_server_name(env, c);
    env.add("GATEWAY_INTERFACE=CGI/1.1");
    env.add("SERVER_PROTOCOL=%s", s->protocol);
    env.add("SERVER_PORT=%d", s->port);
    env.add("REQUEST_METHOD=%s", s->method);
    env.add("SCRIPT_NAME=/%s", target.path);
    env.add("QUERY_STRING=%s", s->query != nullptr ? s->query : "");
    if (s->content_type != nullptr)
        env.add("CONTENT_TYPE=%s", s->content_type);
    if (c->chunked)
        env.add("CONTENT_LENGTH=%lld", c->body_length);  // decoded whole before the program starts
    else if (s->content_length != nullptr)
        env.add("CONTENT_LENGTH=%s", s->content_length);
    env.add("REMOTE_ADDR=%s", info->peer_text);
    env.add("REMOTE_PORT=%u", info->peer_port);
    env.add("REQUEST_URI=%s%s%s", c->request_uri, s->query != nullptr ? "?" : "", s->query != nullptr ? s->query : "");
    env.add("DOCUMENT_ROOT=%s", target.document_root);
    env.add("SCRIPT_FILENAME=%s", target.absolute_path);
    env.add("REDIRECT_STATUS=200");
    if (c->path_info != nullptr) {
        env.add("PATH_INFO=/%s", c->path_info);
        env.add("PATH_TRANSLATED=%s/%s", target.document_root, c->path_info);
    }
    // What a plug-in established: a checked password, a TLS connection.
    if (info->remote_user != nullptr) {
        env.add("AUTH_TYPE=%s", info->auth_type != nullptr ? info->auth_type : "Basic");
        env.add("REMOTE_USER=%s", info->remote_user);
    }
    if (info->tls != 0)
        env.add("HTTPS=on");
    add_headers(env, c->headers);
}

}  // namespace

char **websrv_cgi_environment(const websrv_connection *c, const websrv_cgi_target &target)
{
    env_builder measure(nullptr, nullptr);
    add_entries(measure, c, target);
    const size_t slots = (measure.count() + 1) * sizeof(char *);
    auto *block = static_cast<char *>(websrv_malloc(slots + measure.bytes()));
    if (block == nullptr) {
        websrv_error("Memory Allocation Failure; Env aborted\n");
        return nullptr;
    }
    char **environment = reinterpret_cast<char **>(block);
    env_builder write(environment, block + slots);
    write.set_room(measure.bytes());
    add_entries(write, c, target);
    environment[write.count()] = nullptr;
    return environment;
}
