// The services table: each entry hands the plug-in's session to the part of the server that
// does the work for a request of its own.
#include "services.h"

#include <cstring>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include "cgi/cgi_env.h"
#include "cgi/program.h"
#include "children.h"
#include "connection.h"
#include "confine.h"
#include "fd_guard.h"
#include "log.h"
#include "memory.h"
#include "read/body.h"
#include "read/io.h"
#include "respond/write.h"
#include "respond/response.h"

namespace {

const char *header(const websrv_session *session, const char *name, int *count)
{
    return websrv_connection_of(const_cast<websrv_session *>(session))->headers.find(name, count);
}

long read_body(websrv_session *session, void *buf, size_t size)
{
    return websrv_read_body(websrv_connection_of(session), buf, size);
}

int answer(websrv_session *session, int status, const char *content_type, const char *extra_lines, const void *body,
           size_t length)
{
    return websrv_send_answer(websrv_connection_of(session), status, content_type, extra_lines, body, length);
}

// Whether `fd` is the socket of the connection this process serves, whose plug-in holds bytes of
// it already: then it counts as readable whatever poll says.
bool held(const pollfd &watched)
{
    websrv_connection *c = websrv_current_connection;
    return c != nullptr && watched.fd == c->session.socket && (watched.events & POLLIN) != 0 &&
           websrv_read_pending(watched.fd, websrv_connection_desc(c));
}

int wait(pollfd *fds, unsigned count, int timeout_ms)
{
    bool any_held = false;
    for (unsigned i = 0; i < count; ++i)
        any_held = any_held || held(fds[i]);
    int ready;
    while ((ready = poll(fds, count, any_held ? 0 : timeout_ms)) < 0 && errno == EINTR) {
    }
    for (unsigned i = 0; any_held && ready >= 0 && i < count; ++i) {
        if (held(fds[i])) {
            ready += fds[i].revents == 0;
            fds[i].revents |= POLLIN;
        }
    }
    return ready;
}

long receive(websrv_session *session, void *buf, size_t size)
{
    websrv_connection *c = websrv_connection_of(session);
    return websrv_read_now(c->session.socket, buf, size, websrv_connection_desc(c));
}

int send(websrv_session *session, const void *buf, size_t size)
{
    websrv_connection *c = websrv_connection_of(session);
    return websrv_write_all(c->session.socket, buf, size, websrv_connection_desc(c));
}

// The environment a program started for the session gets: a CGI program's, for the script
// `script_name` (its leading "/" aside), with what the request's path has behind it as
// PATH_INFO. Returns the block (websrv_free), or nullptr.
char **environment_for(websrv_connection *c, const char *program, const char *script_name)
{
    const char *script = script_name[0] == '/' ? script_name + 1 : script_name;
    const size_t length = strlen(script);
    const char *uri = c->session.uri != nullptr ? c->session.uri : "";
    const char *kept_path_info = c->path_info;
    c->path_info = strncmp(uri, script, length) == 0 && uri[length] == '/' ? uri + length + 1 : nullptr;
    char document_root[PATH_MAX];
    if (getcwd(document_root, sizeof document_root) == nullptr)
        document_root[0] = '\0';
    char **environment = websrv_cgi_environment(c, {script, program, document_root});
    c->path_info = kept_path_info;
    return environment;
}

pid_t program_start(websrv_session *session, const char *program, const char *script_name, int *input, int *output)
{
    websrv_connection *c = websrv_connection_of(session);
    pipe_ends in;
    pipe_ends out;
    if (!in.open() || !out.open()) {
        websrv_error_errno("Unable to make a pipe for %s; Error: %s\n", program);
        return -1;
    }
    char directory[PATH_MAX];
    const char *slash = websrv_last_slash(program);
    snprintf(directory, sizeof directory, "%.*s", slash != nullptr ? static_cast<int>(slash - program) : 0, program);
    char **environment = environment_for(c, program, script_name);
    static char *const none[] = {nullptr};
    char *const arguments[] = {const_cast<char *>(program), nullptr};
    const pid_t pid = websrv_program_start({program, program, directory, arguments,
                                            environment != nullptr ? environment : none, in.read.get(),
                                            out.write.get(), nullptr, 0});
    websrv_free(environment);
    if (pid < 0) {
        websrv_error_errno("Unable to start %s; Error: %s\n", program);
        return -1;
    }
    fcntl(in.write.get(), F_SETFL, O_NONBLOCK);
    fcntl(out.read.get(), F_SETFL, O_NONBLOCK);
    *input = in.write.release();
    *output = out.read.release();
    return pid;
}

void program_end(pid_t pid, int leave)
{
    if (leave != 0)
        websrv_program_settle(pid);
    else
        websrv_program_stop(pid);
}

constexpr websrv_services table = {
    .size = sizeof(websrv_services),
    .version = WEBSRV_SERVICES_VERSION,
    .header = header,
    .read_body = read_body,
    .answer = answer,
    .wait = wait,
    .receive = receive,
    .send = send,
    .program_start = program_start,
    .program_end = program_end,
};

}  // namespace

const websrv_services *websrv_services_table()
{
    return &table;
}
