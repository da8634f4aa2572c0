// The copy processes of a CGI request. The input copy feeds the request body into the program;
// the output copy collects the program's header, writes the server's status line and then the
// program's output to the client.
#include "cgi/cgi_copy.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <sys/wait.h>

#include <unistd.h>

#include <string_view>

#include "end/access_log.h"
#include "cgi/cgi_output.h"
#include "decimal.h"
#include "http_words.h"
#include "read/io.h"
#include "wait.h"
#include "respond/write.h"
#include "respond/response.h"
#include "settings.h"

namespace {

constexpr size_t copy_size = websrv_cgi_copy_size;
// A body length beyond any real upload: larger announced lengths are held at it, so the
// copy reads until the client closes.
constexpr long long longest_body = 1LL << 50;
// How long a program that never answered gets to end after SIGTERM before SIGKILL follows.
constexpr int term_grace_ms = 1000;

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
    if (websrv_write_all(fd, data, static_cast<size_t>(count), nullptr) < 0) {
        log_msg(WEBSRV_LOG_ERROR, "WebSrv Error: Write to PIPE failed errno:%d\n", errno);
        return false;
    }
    return true;
}

// Waits, without a limit of its own, until the program has written something (or ended) or
// the input copy has stopped copying the body, whichever comes first. A program that reads
// its whole input before it answers is rightly silent while the body still arrives: the wait
// for its output is counted from the end of the copy, or an upload that takes longer than
// one read wait would lose its answer. The copy itself cannot last longer than the client
// keeps sending, since each of its reads and writes waits at most websrv_wait_seconds.
void wait_for_body_copy(int pipe_read, int copying)
{
    if (copying < 0)
        return;
    pollfd watched[2] = {{pipe_read, POLLIN, 0}, {copying, POLLIN, 0}};
    while (poll(watched, 2, -1) < 0 && errno == EINTR) {
    }
}

// Waits (at most until `deadline`) until the client has sent more of the body or the program
// has closed its input; true for the latter: the copy has no reader left and ends at once, so
// the client's connection is not held open for a program that is gone.
bool program_gone(int socket, int pipe_write, long long deadline)
{
    pollfd watched[2] = {{socket, POLLIN, 0}, {pipe_write, 0, 0}};
    for (;;) {

        const long long left = deadline - websrv_deadline_in(0);
        if (left <= 0)
            return false;  // the read that follows reports the time-out
        const int ready = poll(watched, 2, static_cast<int>(left));
        if (ready < 0 && errno == EINTR)
            continue;
        return ready > 0 && (watched[1].revents & (POLLERR | POLLHUP)) != 0;
    }
}

// The end of the wait for the program's next output: it may stay silent that long (-t).
long long silence_deadline()
{
    return websrv_deadline_in(websrv_config.cgi_silence_seconds * 1000LL);
}

// Whether the program's header, collected so far, has reached its empty line.

bool header_ended(const char *chunk, size_t length)
{
    const std::string_view text(chunk, length);
    return text.find("\n\n") != std::string_view::npos || text.find("\n\r\n") != std::string_view::npos;
}

// Reads the program's output into `chunk` until its header has ended, the chunk is full or
// the program has closed its output: a header may come in several writes. Returns the bytes
// read; -1 when the program answered nothing and the read failed or timed out.
int collect_header(int pipe_read, char (&chunk)[copy_size])
{
    size_t got = 0;
    while (got < sizeof chunk && !header_ended(chunk, got)) {
        const int read = websrv_read_until(pipe_read, chunk + got, sizeof chunk - got, nullptr, silence_deadline());
        if (read < 0 && got == 0)
            return -1;
        if (read <= 0)
            break;  // what came is all the header there is
        got += static_cast<size_t>(read);
    }
    return static_cast<int>(got);
}

// Whether the program, a child of this process, still runs (one that has ended is reaped, so
// its number is never signalled after it could have gone to another process).
bool still_running(pid_t program)
{
    return program > 0 && waitpid(program, nullptr, WNOHANG) == 0;
}

// Ends a program that never answered, with the processes it started (it leads a process group
// of its own): SIGTERM, then SIGKILL if it is still there a moment later.
void end_silent_program(pid_t program, const char *path)
{
    if (!still_running(program))
        return;
    log_msg(WEBSRV_LOG_ERROR, "WebSrv Error: CGI program %s gave no answer in %d s; ending it\n", path,
            websrv_config.cgi_silence_seconds);
    kill(-program, SIGTERM);
    for (int waited = 0; waited < term_grace_ms && still_running(program); waited += 10)
        websrv_pause_ms(10);
    if (still_running(program))
        kill(-program, SIGKILL);
}

// The server's status line for the program's answer, followed by the header lines a plug-in
// asked for on this connection. The reason phrase is the server's own for the codes it knows,
// else the program's (as in "Status: 201 Created"). Returns its length (cut to the buffer).
int compose_status_line(char (&line)[copy_size], const websrv_connection *c, const char *chunk,
                        const cgi_header &header)
{
    const char *extra = c->info.header_lines != nullptr ? c->info.header_lines : "";
    const char *known = websrv_known_reason(header.status, websrv_voice_program);
    const bool own = known == nullptr && header.reason_length > 0;
    const int reason_length = own ? static_cast<int>(header.reason_length) : -1;
    const int wanted = snprintf(line, sizeof line, "%s %d %.*s\r\n%s", websrv_status_version(&c->session),
                                header.status, reason_length, own ? chunk + header.reason_start : websrv_reason(header.status, websrv_voice_program),
                                extra);
    return wanted < static_cast<int>(sizeof line) ? wanted : static_cast<int>(sizeof line) - 1;
}

// What the program's header allows: an answer, nothing (no line feed at all: the client gets
// nothing, as it always has), or the server's 500 (a status HTTP does not have: the program
// failed). Logs why not an answer.
enum class header_verdict { answer, nothing, failed_program };

header_verdict judge_header(const char *chunk, int got, const cgi_header &header, const char *path)
{
    if (memchr(chunk, '\n', static_cast<size_t>(got)) == nullptr) {
        log_msg(WEBSRV_LOG_ERROR, "Unable to get the end of the header after %d bytes\n", static_cast<int>(copy_size));
        return header_verdict::nothing;
    }
    if (header.status < 100 || header.status > 599) {
        log_msg(WEBSRV_LOG_ERROR, "WebSrv Error: CGI program %s sent a status outside 100 to 599\n", path);
        return header_verdict::failed_program;
    }
    return header_verdict::answer;
}

// Writes the status line and the collected chunk (without the program's own Status line; only
// up to the header's end for HEAD). Returns false after logging a failed write.
bool answer_header(websrv_connection *c, char (&chunk)[copy_size], int got, const cgi_header &header,
                   bool head_only)
{
    const websrv_plugin_desc *desc = websrv_connection_desc(c);
    char status_line[copy_size];
    const int status_length = compose_status_line(status_line, c, chunk, header);
    websrv_access_status(header.status);
    if (websrv_write_all(c->session.socket, status_line, static_cast<size_t>(status_length), desc) < 0) {
        websrv_access_body(0, true);
        log_msg(WEBSRV_LOG_ERROR, "Writing status output of CGI bin failed Error: %s\n", strerror(errno));
        return false;
    }
    // The chunk holds the program's header block (without its Status line), then the body's start.
    const size_t header_part = header.header_end - header.status_line_length;
    size_t forward = websrv_cgi_drop_status_line(chunk, static_cast<size_t>(got), header);
    if (head_only)
        forward = header_part;
    const bool failed = forward > 0 && websrv_write_all(c->session.socket, chunk, forward, desc) < 0;
    websrv_access_body(failed ? 0 : static_cast<long long>(forward - header_part), failed);
    if (failed) {
        log_msg(WEBSRV_LOG_ERROR, "WebSrv Error: Write to SOCKET failed %s\n", strerror(errno));
        return false;
    }
    return true;
}

// Writes a piece of the program's output to the client. `whole` output is a response the program
// composed itself, status line included: the access log reads its status and length from it.
bool forward_piece(websrv_connection *c, const char *piece, int length, bool whole)
{
    const websrv_plugin_desc *desc = websrv_connection_desc(c);
    if (whole)
        return websrv_write_handler(c->session.socket, piece, length, desc) == length;
    const bool sent = websrv_write_all(c->session.socket, piece, static_cast<size_t>(length), desc) == 0;
    websrv_access_body(sent ? length : 0, !sent);
    return sent;
}

// Copies the rest of the program's output to the client until the program closes it, or stays
// silent past its limit (then the answer ends there and the program is left alone). `whole`:
// as forward_piece.
void copy_rest(websrv_connection *c, int pipe_read, char (&chunk)[copy_size], const char *path, bool whole)
{
    for (;;) {
        const int got = websrv_read_until(pipe_read, chunk, sizeof chunk, nullptr, silence_deadline());
        if (got < 0) {
            log_msg(WEBSRV_LOG_ERROR, "Redirect Output Failed Error:%s\n", strerror(errno));
            if (errno == ETIMEDOUT)
                log_msg(WEBSRV_LOG_ERROR, "WebSrv Error: CGI program %s was silent for %d s; its answer ends here\n",
                        path, websrv_config.cgi_silence_seconds);
            return;
        }
        if (got == 0) {
            log_msg(WEBSRV_LOG_DETAIL, "Finishing the Output redirector\n");
            return;
        }
        if (!forward_piece(c, chunk, got, whole)) {
            log_msg(WEBSRV_LOG_ERROR, "WebSrv Error: Write to SOCKET failed\n");
            return;
        }
    }
}

// Whether the program writes the whole response itself, status line included: its file name
// starts with "nph-". Its output goes to the client untouched.
bool is_nph(const char *path)
{
    const char *slash = strrchr(path, '/');
    return strncmp(slash != nullptr ? slash + 1 : path, "nph-", 4) == 0;
}

}  // namespace

void websrv_cgi_copy_input(websrv_connection *c, int pipe_write)
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
        const long long deadline = websrv_deadline();
        if (program_gone(session->socket, pipe_write, deadline))
            return;
        const int got = websrv_read_until(session->socket, buffer, sizeof buffer, websrv_connection_desc(c), deadline);
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

void websrv_cgi_copy_output(websrv_connection *c, const websrv_cgi_answer &answer)
{
    log_msg(WEBSRV_LOG_DETAIL, "Starting the Output Redirector PID:%d\n", static_cast<int>(getpid()));
    wait_for_body_copy(answer.pipe_read, answer.copying);
    char chunk[copy_size];
    if (is_nph(answer.path)) {
        copy_rest(c, answer.pipe_read, chunk, answer.path, true);
        return;
    }
    const int got = collect_header(answer.pipe_read, chunk);
    if (got < 0) {
        log_msg(WEBSRV_LOG_ERROR, "Redirect Output Failed Error:%s\n", strerror(errno));
        end_silent_program(answer.program, answer.path);
        return;
    }
    if (got == 0) {
        log_msg(WEBSRV_LOG_ERROR, "No header information\n");
        return;
    }
    const cgi_header header = websrv_cgi_scan_header(chunk, static_cast<size_t>(got));
    const header_verdict verdict = judge_header(chunk, got, header, answer.path);
    if (verdict == header_verdict::failed_program)
        websrv_send_error(c, 500);
    if (verdict != header_verdict::answer)
        return;
    if (header.has_location)
        log_msg(WEBSRV_LOG_ERROR, "TODO: Handling of the redirect command.\n");
    log_msg(WEBSRV_LOG_DETAIL, "CGI Header Length is %d bytes\n", static_cast<int>(header.status_line_length));
    if (answer_header(c, chunk, got, header, answer.head_only) && !answer.head_only)
        copy_rest(c, answer.pipe_read, chunk, answer.path, false);
}
