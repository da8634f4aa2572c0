// The CGI gateway: the connection's process starts the program in a process of its own, with
// the request body (POST) or an empty input as its standard input and a pipe as its output,
// and answers the client with that output itself (cgi_copy.cpp); for a POST a copy process
// feeds the body into the program.
#include "cgi/cgi.h"

#include "log.h"
#include "keep.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "cgi/cgi_copy.h"
#include "cgi/cgi_env.h"
#include "cgi/program.h"
#include "children.h"
#include "parse/cgi_output.h"
#include "fd_guard.h"
#include "confine.h"
#include "parse/framing.h"
#include "parse/request.h"
#include "read/body.h"
#include "respond/response.h"
#include "http_words.h"
#include "wait.h"

namespace {

constexpr int slots = 20;  // the argument array: the program and up to 18 query words
constexpr size_t scratch_size = WEBSRV_BUFFER_SIZE;  // one entry, cut at 4095 characters

// The argument array for execve: null-terminated, its entries owned (released
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

// Fills the argument array: each entry is formatted into a scratch buffer
// (cut at 4095 characters) and duplicated; duplicates live until execve replaces the image.
class entry_list {
public:
    explicit entry_list(char **array) : array_(array) {}

    // Adds one entry, formatted with "%s", unless the array is full (the last slot stays null).
    void add(const char *text)
    {
        if (count_ >= slots - 1 || scratch_ == nullptr)
            return;
        snprintf(scratch_, scratch_size, "%s", text);
        const size_t size = strlen(scratch_) + 1;
        if (auto *copy = static_cast<char *>(malloc(size)); copy != nullptr)
            array_[count_++] = static_cast<char *>(memcpy(copy, scratch_, size));
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

// Slot 0 is the program; the query's words follow (see websrv_cgi_query_words).
void build_arguments(websrv_session *s, const char *path, char **arguments)
{
    entry_list args(arguments);
    if (!args.open()) {
        websrv_error("Memory Allocation Failure; Arg aborted\n");
        return;
    }
    args.add(path);
    if (s->query != nullptr) {
        char *words[slots - 2];
        const int count = websrv_cgi_query_words(s->query, words, slots - 2);
        for (int i = 0; i < count; ++i)
            args.add(words[i]);
    }
    args.close();
}

// What the client sees when the program cannot be started: the output copy reads this from the
// pipe like any program's output and answers 500 with the error page (written behind it).
constexpr char exec_failure_header[] = "Status: 500\r\nContent-Type: text/html\r\n\r\n";

// Answers a request the gateway cannot serve with an error page.
websrv_outcome refuse(websrv_connection *c, int status)
{
    websrv_send_error(c, status);
    return websrv_outcome::served;
}

// Forks the input copy. Returns its pid in the parent, 0 in the child, -1 (logged) on
// failure. The connection's own process, which answers the client, tells the main process
// when the session is over; the copy does not.
pid_t fork_copy_process(websrv_connection *c)
{
    websrv_log_flush();  // nothing buffered may be printed twice
    const pid_t pid = fork();
    if (pid == 0)
        websrv_connection_forget_done(c);
    if (pid < 0)
        websrv_error_errno("Unable to fork a CGI redirector; Error:%s\n");
    return pid;
}

// Starts the input copy, which copies the request body into the program: `input` becomes the
// read end of the body pipe, and `copying` the read end of a pipe that closes when the copy is
// over. Returns false, with nothing left open, when a pipe or the process cannot be made.
bool start_input_copy(websrv_connection *c, fd_guard &input, fd_guard &copying)
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
        websrv_cgi_copy_input(c, body.write.get());
        body.write.reset();
        copy_over.write.reset();  // tells the output copy that the body copy is over
        c->copy_process = true;   // its share of the session is over: the caller ends it
        return true;
    }
    input.reset(body.read.release());
    copying.reset(copy_over.read.release());
    return true;
}


// On a connection that lasts, the body goes in from this process itself (see
// websrv_body_pump): `input` becomes the read end of its pipe, `feed` the write end.
bool open_body_pipe(fd_guard &input, fd_guard &feed)
{
    pipe_ends body;
    if (!body.open())
        return false;
    fcntl(body.write.get(), F_SETFL, O_NONBLOCK);
    input.reset(body.read.release());
    feed.reset(body.write.release());
    return true;
}

// The program's argument list and environment (one block from websrv_malloc, or null: the
// program then runs without one), where it lives, and what the client gets when it cannot run.
struct program_lists {
    string_array arguments;
    char **environment = nullptr;
    char absolute_path[PATH_MAX + WEBSRV_PATH_MAX];
    char document_root[PATH_MAX];
    char directory[WEBSRV_PATH_MAX];
    char failure[WEBSRV_BUFFER_SIZE];
    size_t failure_length = 0;
    program_lists() = default;
    program_lists(const program_lists &) = delete;
    program_lists &operator=(const program_lists &) = delete;
    ~program_lists() { websrv_free(environment); }
};

// Where the program is, from the root, the directory it runs in (its own, so that it finds the
// files that lie beside it), and the answer the output copy reads in its place when it cannot
// run: a 500 with the error page.
void locate_program(const char *path, program_lists &lists)
{
    if (getcwd(lists.document_root, sizeof lists.document_root) == nullptr)
        lists.document_root[0] = '\0';
    snprintf(lists.absolute_path, sizeof lists.absolute_path, "%s/%s", lists.document_root, path);
    const char *slash = websrv_last_slash(path);
    snprintf(lists.directory, sizeof lists.directory, "%.*s", slash != nullptr ? static_cast<int>(slash - path) : 1,
             slash != nullptr ? path : ".");
    const int length = snprintf(lists.failure, sizeof lists.failure, "%s", exec_failure_header);
    const int page = websrv_error_page(lists.failure + length, sizeof lists.failure - static_cast<size_t>(length),
                                       500, websrv_reason(500, websrv_voice_program));
    lists.failure_length = static_cast<size_t>(length + page) < sizeof lists.failure ? static_cast<size_t>(length + page)
                                                                                     : sizeof lists.failure - 1;
}

// The program's standard input and what goes with it: the read end of a pipe; on a connection
// that lasts, the body's pump that fills it; otherwise, for a POST, the pipe that closes when
// the input copy process is done.
struct program_input {
    fd_guard input;
    fd_guard feed;
    fd_guard copying;
};

// Starts the program in a process of its own, its output into a pipe, and then answers the
// client with that output in this process, the connection's own: the output copy. Returns when
// the answer is complete or given up. A pipe or process that cannot be made is answered 500.
websrv_outcome run_and_answer(websrv_connection *c, const char *path, program_lists &lists, program_input &in)
{
    pipe_ends output;
    if (!output.open())
        return refuse(c, 500);
    static char *const no_environment[] = {nullptr};
    const pid_t program = websrv_program_start({path, lists.absolute_path, lists.directory, lists.arguments.slot,
                                                lists.environment != nullptr ? lists.environment : no_environment,
                                                in.input.get(), output.write.get(), lists.failure,
                                                lists.failure_length});
    if (program < 0) {
        websrv_error_errno("Unable to fork a CGI program; Error:%s\n");
        return refuse(c, 500);
    }
    output.write.reset();
    in.input.reset();  // the program's input is not this process's business
    const bool head_only = websrv_method_of(c->session.method) == websrv_method::head;
    // The pump is turned only with a body to feed in (then there is no input copy process).
    const int feed = in.feed.release();
    websrv_body_pump pump(c, feed);
    websrv_cgi_copy_output(c, {output.read.get(), in.copying.get(), c->session.socket, program, path, head_only,
                               feed >= 0 ? &pump : nullptr});
    pump.finish();
    output.read.reset();
    in.copying.reset();
    // A process that serves one request ends now, and the main process reaps what it leaves;
    // one that serves more reaps its programs itself.
    if (c->lasting != 0)
        websrv_program_settle(program);
    else
        waitpid(program, nullptr, WNOHANG);
    return websrv_outcome::served;
}

// Readies the program's input: a chunked body decoded whole already; the body through a pump of
// this process on a connection that lasts (after "100 Continue" when the client waits for it);
// through an input copy process for a POST otherwise; or an input that ends at once. False when
// a pipe or process cannot be made.
bool prepare_input(websrv_connection *c, websrv_method method, program_input &in)
{
    if (in.input.get() >= 0)
        return true;
    if (websrv_expects_continue(c) && !websrv_send_continue(c))
        return false;
    if (c->lasting != 0) {
        websrv_keep_body_read(c);
        return c->body_length == 0 || open_body_pipe(in.input, in.feed);
    }
    // From here on the copy processes share the socket: none may read what another needs.
    c->drain = false;
    return method != websrv_method::post || start_input_copy(c, in.input, in.copying);
}

// A chunked body is taken whole before the program starts, so that its length can be given in
// CONTENT_LENGTH: `input` becomes the file that holds it. Returns 0, the status that refuses the
// body, or -1 when the client went away without one.
int take_chunked_body(websrv_connection *c, fd_guard &input)
{
    const websrv_spooled_body body = websrv_spool_chunked_body(c);
    if (body.fd < 0)
        return body.refusal != 0 ? body.refusal : -1;
    input.reset(body.fd);
    c->body_length = body.length;
    return 0;
}

}  // namespace

websrv_outcome websrv_cgi_run(websrv_connection *c, char *path)
{
    websrv_session *session = &c->session;
    const websrv_method method = websrv_method_of(session->method);
    if (method == websrv_method::other)
        return refuse(c, 501);
    // A program is run only from inside the working directory: "cgi-bin/../../bin/sh" would
    // otherwise start any program on the device with arguments of the client's choosing.
    bool resolved = true;
    if (!websrv_path_inside_cwd(path, &resolved))
        return refuse(c, 404);
    program_input in;
    if (c->chunked) {
        if (const int refusal = take_chunked_body(c, in.input); refusal != 0)
            return refusal > 0 ? refuse(c, refusal) : websrv_outcome::served;
    }
    program_lists lists;
    locate_program(path, lists);
    lists.environment = websrv_cgi_environment(c, {path, lists.absolute_path, lists.document_root});
    build_arguments(session, path, lists.arguments.slot);

    if (!prepare_input(c, method, in))
        return refuse(c, 500);
    if (c->copy_process)
        return websrv_outcome::copy_over;
    return run_and_answer(c, path, lists, in);
}
