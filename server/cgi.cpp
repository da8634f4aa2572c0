// The CGI gateway: the connection process becomes the program, with the request body (POST)
// or the socket as its standard input and a pipe as its output. Two copy processes do the
// I/O: the input redirector feeds the body into the program, the output redirector writes
// the server's status line and then the program's output to the client.
#include "cgi.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <strings.h>
#include <unistd.h>

#include <string_view>

#include "cgi_output.h"
#include "decimal.h"
#include "fd_guard.h"
#include "io.h"
#include "path.h"
#include "response.h"
#include "version.h"

namespace {

constexpr int slots = 20;  // argument and environment arrays: room for 18 words or 11 entries
constexpr size_t scratch_size = WEBSRV_BUFFER_SIZE;  // one entry, cut at 4095 characters
constexpr size_t copy_size = WEBSRV_BUFFER_SIZE;     // one piece of a body or of the output
// A body length beyond any real upload: larger announced lengths are held at it, so the
// copy reads until the client closes.
constexpr long long longest_body = 1LL << 50;
// How much lower than the server's the program's scheduling priority is.
constexpr int program_niceness = 10;

// An argument or environment array for execve: null-terminated, its entries owned (released
// when the array goes out of scope; a process that becomes the program or exits keeps them).
struct string_array {
    char *slot[slots] = {};
    string_array() = default;
    string_array(const string_array &) = delete;
    string_array &operator=(const string_array &) = delete;
    ~string_array()
    {
        for (char *entry : slot)
            free(entry);
    }
};

// Fills an argument or environment array: each entry is formatted into a scratch buffer
// (cut at 4095 characters) and duplicated; duplicates live until execve replaces the image.
class entry_list {
public:
    explicit entry_list(char **array) : array_(array) {}

    // Adds one formatted entry unless the array is full (the last slot stays null).
    void add(const char *format, ...) __attribute__((format(printf, 2, 3)))
    {
        if (count_ >= slots - 1 || scratch_ == nullptr)
            return;
        va_list args;
        va_start(args, format);
        vsnprintf(scratch_, scratch_size, format, args);
        va_end(args);
        if (char *copy = strdup(scratch_); copy != nullptr)
            array_[count_++] = copy;
    }
    bool open() { return (scratch_ = static_cast<char *>(websrv_malloc(scratch_size))) != nullptr; }
    void close()
    {
        websrv_free(scratch_);
        scratch_ = nullptr;
    }

private:
    char **array_;
    char *scratch_ = nullptr;
    int count_ = 0;
};

void build_environment(const websrv_connection *c, char **environment)
{
    const websrv_session *s = &c->session;
    const websrv_session_info *info = &c->info;

    entry_list env(environment);
    if (!env.open()) {
        log_msg(WEBSRV_LOG_ERROR, "WebSrv Error: Memory Allocation Failure; Env aborted\n");
        return;
    }
    env.add("SERVER_SOFTWARE=TAVRIX/%s", websrv_version_text);
    if (s->host != nullptr)
        env.add("SERVER_NAME=%s", s->host);
    env.add("GATEWAY_INTERFACE=CGI/1.1");
    env.add("SERVER_PROTOCOL=%s", s->protocol);
    env.add("SERVER_PORT=%d", s->port);
    env.add("REQUEST_METHOD=%s", s->method);
    env.add("SCRIPT_NAME=%s", s->uri);
    if (s->query != nullptr)
        env.add("QUERY_STRING=%s", s->query);
    if (s->content_type != nullptr)
        env.add("CONTENT_TYPE=%s", s->content_type);
    if (s->content_length != nullptr)
        env.add("CONTENT_LENGTH=%s", s->content_length);
    env.add("REMOTE_ADDR=%s", info->peer_text);
    // What a plug-in established: a checked password, a TLS connection.
    if (info->remote_user != nullptr) {
        env.add("AUTH_TYPE=%s", info->auth_type != nullptr ? info->auth_type : "Basic");
        env.add("REMOTE_USER=%s", info->remote_user);
    }
    if (info->tls != 0)
        env.add("HTTPS=on");

    env.close();
}

// Slot 0 is the program; the query's words follow (see websrv_cgi_query_words).
void build_arguments(websrv_session *s, const char *path, char **arguments)
{
    entry_list args(arguments);
    if (!args.open()) {
        log_msg(WEBSRV_LOG_ERROR, "WebSrv Error: Memory Allocation Failure; Arg aborted\n");
        return;
    }
    args.add("%s", path);
    if (s->query != nullptr) {
        char *words[slots - 2];
        const int count = websrv_cgi_query_words(s->query, words, slots - 2);
        for (int i = 0; i < count; ++i)
            args.add("%s", words[i]);
    }
    args.close();
}

// The announced body length: a plain decimal number, or -1 when the header is missing,
// negative or not a number (then nothing beyond what already arrived is read).
long long announced_length(const char *text)
{
    if (text == nullptr)
        return -1;
    std::string_view rest(text);
    rest.remove_prefix(websrv_blanks(rest));
    long long value = 0;
    const size_t digits = websrv_read_decimal(rest, longest_body, &value);
    if (digits == 0)
        return -1;
    rest.remove_prefix(digits);
    rest.remove_prefix(websrv_blanks(rest));
    return rest.empty() ? value : -1;
}

// Writes all of data to the pipe through the guarded write. Returns false after logging.
bool to_pipe(int fd, const char *data, long long count)
{
    const int written = websrv_write_handler(fd, data, static_cast<int>(count), nullptr);
    if (written != count) {
        log_msg(WEBSRV_LOG_ERROR, "WebSrv Error: Write to PIPE failed errno:%d\n", errno);
        return false;
    }
    return true;
}

// The input redirector: copies the request body from the client into the program.
void redirect_input(websrv_connection *c, int pipe_write)
{
    websrv_session *session = &c->session;
    log_msg(WEBSRV_LOG_DETAIL, "Starting the Input Redirector PID:%d\n", static_cast<int>(getpid()));
    const long long announced = announced_length(session->content_length);
    long long arrived = session->received - session->header_length;
    // Bytes behind the body (a pipelined request, say) are not the program's input.
    if (announced >= 0 && arrived > announced)
        arrived = announced;
    if (arrived > 0 && !to_pipe(pipe_write, session->cursor, arrived))
        return;
    long long remaining = announced >= 0 ? announced - arrived : 0;
    char buffer[copy_size];
    while (remaining > 0) {
        const int got = websrv_read_handler(session->socket, buffer, sizeof buffer, websrv_connection_desc(c));
        if (got < 0) {
            log_msg(WEBSRV_LOG_ERROR, "WebSrv Error: In redirect input Error:%s\n", strerror(errno));
            return;
        }
        if (got == 0)
            return;
        const long long useful = got < remaining ? got : remaining;
        if (!to_pipe(pipe_write, buffer, useful))
            return;
        remaining -= useful;
    }
}

// Waits, without a limit of its own, until the program has written something (or ended) or
// the input redirector has stopped copying the body, whichever comes first. A program that
// reads its whole input before it answers is rightly silent while the body still arrives:
// the wait for its output is counted from the end of the copy, or an upload that takes
// longer than one read wait would lose its answer. The copy itself cannot last longer than
// the client keeps sending, since each of its reads and writes waits at most 30 seconds.
void wait_for_body_copy(int pipe_read, int copying)
{
    if (copying < 0)
        return;
    pollfd watched[2] = {{pipe_read, POLLIN, 0}, {copying, POLLIN, 0}};
    while (poll(watched, 2, -1) < 0 && errno == EINTR) {
    }
}

// The server's status line for the program's answer, followed by the header lines a plug-in
// asked for on this connection. Returns its length (cut to the buffer).
int compose_status_line(char (&line)[copy_size], const websrv_connection *c, int status)
{
    const char *extra = c->info.header_lines != nullptr ? c->info.header_lines : "";
    const int wanted = snprintf(line, sizeof line, "%s %d %s\r\n%s", websrv_status_version(&c->session),
                                status, websrv_cgi_reason(status), extra);
    return wanted < static_cast<int>(sizeof line) ? wanted : static_cast<int>(sizeof line) - 1;
}

// The output redirector: the server's status line, then the program's output. `copying` is
// the read end of a pipe whose write end the input redirector holds while it copies the
// body (-1 without an input redirector).
void redirect_output(websrv_connection *c, int pipe_read, int copying)
{
    websrv_session *session = &c->session;
    const websrv_plugin_desc *desc = websrv_connection_desc(c);
    log_msg(WEBSRV_LOG_DETAIL, "Starting the Output Redirector PID:%d\n", static_cast<int>(getpid()));
    wait_for_body_copy(pipe_read, copying);
    char chunk[copy_size];
    int got = websrv_read_handler(pipe_read, chunk, sizeof chunk, nullptr);
    if (got < 0) {
        log_msg(WEBSRV_LOG_ERROR, "Redirect Output Failed Error:%s\n", strerror(errno));
        return;
    }
    if (got == 0) {
        log_msg(WEBSRV_LOG_ERROR, "No header information\n");
        return;
    }
    if (memchr(chunk, '\n', static_cast<size_t>(got)) == nullptr) {
        log_msg(WEBSRV_LOG_ERROR, "Unable to get the end of the header after %d bytes\n", static_cast<int>(copy_size));
        return;
    }
    const cgi_header header = websrv_cgi_scan_header(chunk, static_cast<size_t>(got));
    if (header.has_location)
        log_msg(WEBSRV_LOG_ERROR, "TODO: Handling of the redirect command.\n");
    log_msg(WEBSRV_LOG_DETAIL, "CGI Header Length is %d bytes\n", static_cast<int>(header.status_line_length));

    char status_line[copy_size];
    const int status_length = compose_status_line(status_line, c, header.status);
    if (websrv_write_handler(session->socket, status_line, status_length, desc) < 0) {
        log_msg(WEBSRV_LOG_ERROR, "Writing status output of CGI bin failed Error: %s\n", strerror(errno));
        return;
    }
    // The program's own Status line is replaced by ours: forward everything else.
    const size_t forward = websrv_cgi_drop_status_line(chunk, static_cast<size_t>(got), header);
    if (forward > 0 && websrv_write_handler(session->socket, chunk, static_cast<int>(forward), desc) < 0) {
        log_msg(WEBSRV_LOG_ERROR, "WebSrv Error: Write to SOCKET failed %s\n", strerror(errno));
        return;
    }
    for (;;) {
        got = websrv_read_handler(pipe_read, chunk, sizeof chunk, nullptr);
        if (got < 0) {
            log_msg(WEBSRV_LOG_ERROR, "Redirect Output Failed Error:%s\n", strerror(errno));
            return;
        }
        if (got == 0) {
            log_msg(WEBSRV_LOG_DETAIL, "Finishing the Output redirector\n");
            return;
        }
        if (websrv_write_handler(session->socket, chunk, got, desc) != got) {
            log_msg(WEBSRV_LOG_ERROR, "WebSrv Error: Write to SOCKET failed\n");
            return;
        }
    }
}

// What the client sees when the program cannot be started: the output redirector reads this
// from the pipe like any program's output and answers 500 with it.
constexpr char exec_failure_answer[] =
    "Status: 500\r\n"
    "Content-Type: text/html\r\n"
    "\r\n"
    "<HTML>\n<HEAD><TITLE>500 Internal Error</TITLE></HEAD>\n</HTML>";

// Ends a request the gateway cannot serve with an error page.
[[noreturn]] void refuse(websrv_connection *c, int status, const char *reason)
{
    websrv_send_error(c, status, reason);
    websrv_connection_end(c, websrv_outcome::served);
}

[[noreturn]] void fail(websrv_connection *c)
{
    refuse(c, 500, "Internal Server Error");
}

// A pipe whose two ends (read, write) close themselves; both are close-on-exec.
struct pipe_ends {
    fd_guard read;
    fd_guard write;
    bool open()
    {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0)
            return false;
        read.reset(fds[0]);
        write.reset(fds[1]);
        return true;
    }
};

// Forks a copy process. Returns its pid in the parent, 0 in the child, -1 (logged) on failure.
pid_t fork_copy_process(websrv_connection *c)
{
    fflush(stdout);  // nothing buffered may be printed twice
    const pid_t pid = fork();
    if (pid == 0)
        websrv_connection_forget_done(c);  // the connection's process (the program) ends the session
    if (pid < 0)
        log_msg(WEBSRV_LOG_ERROR, "WebSrv Error: Unable to fork a CGI redirector; Error:%s\n", strerror(errno));
    return pid;
}

// Starts the input redirector, which copies the request body into the program: standard input
// becomes the body pipe, and `copying` the read end of a pipe that closes when the copy is
// over. Returns false, with nothing left open, when a pipe or the process cannot be made.
bool start_input_copy(websrv_connection *c, fd_guard &copying)
{
    pipe_ends body;
    pipe_ends copy_over;
    if (!body.open() || !copy_over.open())
        return false;
    const pid_t pid = fork_copy_process(c);
    if (pid < 0)
        return false;
    if (pid == 0) {
        body.read.reset();
        copy_over.read.reset();
        // Written without blocking, so the copy's own time limit holds against a program that
        // reads nothing.
        fcntl(body.write.get(), F_SETFL, O_NONBLOCK);

        redirect_input(c, body.write.get());
        body.write.reset();
        copy_over.write.reset();  // tells the output redirector that the copy is over
        websrv_connection_end(c, websrv_outcome::served);
    }
    dup2(body.read.get(), 0);
    copying.reset(copy_over.read.release());
    return true;
}

// Starts the output redirector, which answers the client with the program's output: on
// success `program_output` holds the pipe's write end for the program. Returns false, with
// nothing left open, when the pipe or the process cannot be made.
bool start_output_copy(websrv_connection *c, fd_guard &copying, fd_guard &program_output)
{
    pipe_ends output;
    if (!output.open())
        return false;
    const pid_t pid = fork_copy_process(c);
    if (pid < 0)
        return false;
    if (pid == 0) {
        output.write.reset();
        close(0);  // the program's input is not this process's business
        redirect_output(c, output.read.get(), copying.get());
        output.read.reset();
        copying.reset();
        websrv_connection_end(c, websrv_outcome::served);
    }
    copying.reset();
    program_output.reset(output.write.release());
    return true;
}

// The program's argument list and environment.
struct program_lists {
    string_array arguments;
    string_array environment;
};

// Replaces the connection's process with the program, its output and error going into
// `output`. Only when that fails does it go on: the client gets a 500 through the output
// redirector, the log the reason, and the session ends here.
[[noreturn]] void become_program(websrv_connection *c, const char *path, program_lists &lists,
                                 fd_guard &output)
{
    // The log stays reachable through a saved copy in case the program cannot be started.
    fflush(stdout);
    const int log_fd = fcntl(1, F_DUPFD_CLOEXEC, 3);
    dup2(output.get(), 1);
    dup2(output.get(), 2);
    output.reset();
    [[maybe_unused]] const int niceness = nice(program_niceness);
    signal(SIGPIPE, SIG_DFL);  // the program starts with the default dispositions
    execve(path, lists.arguments.slot, lists.environment.slot);

    const int error = errno;
    signal(SIGPIPE, SIG_IGN);
    (void)!write(1, exec_failure_answer, sizeof exec_failure_answer - 1);
    if (log_fd >= 0) {
        dup2(log_fd, 1);
        close(log_fd);
    }
    // The first line is the one the log has always carried, without a line end of its own;
    // the second completes it with what went wrong.
    log_msg(WEBSRV_LOG_ERROR, "Internal Web server error");
    log_msg(WEBSRV_LOG_ERROR, ": %s: %s\n", path, strerror(error));
    websrv_connection_end(c, websrv_outcome::served);
}

// Whether the gateway runs programs for this method: GET and POST, in any letter case.
bool accepted_method(const char *method)
{
    return strcasecmp(method, "GET") == 0 || strcasecmp(method, "POST") == 0;
}

}  // namespace

void websrv_cgi_run(websrv_connection *c, char *path)
{
    websrv_session *session = &c->session;
    if (!accepted_method(session->method))
        refuse(c, 501, "Not Implemented");
    // A program is run only from inside the working directory: "cgi-bin/../../bin/sh" would
    // otherwise start any program on the device with arguments of the client's choosing.
    bool resolved = true;
    if (!websrv_path_inside_cwd(path, &resolved))
        refuse(c, 404, "Not Found");
    program_lists lists;
    build_environment(c, lists.environment.slot);
    build_arguments(session, path, lists.arguments.slot);

    // Only an exact "POST" gets the body copied; any other accepted method reads the socket.
    fd_guard copying;
    if (strcmp(session->method, "POST") == 0) {
        if (!start_input_copy(c, copying))
            fail(c);
    } else {
        dup2(session->socket, 0);
    }
    fd_guard program_output;
    if (!start_output_copy(c, copying, program_output))
        fail(c);
    become_program(c, path, lists, program_output);
}
