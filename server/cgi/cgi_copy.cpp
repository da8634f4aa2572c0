// The output copy of a CGI request: it collects the program's header, writes the server's status
// line and then the program's output to the client (turning the body's pump meanwhile on a
// connection that lasts).
#include "cgi/cgi_copy.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <sys/wait.h>

#include <unistd.h>

#include <string_view>

#include "log.h"
#include "keep.h"
#include "children.h"
#include "cgi/cgi_input.h"
#include "parse/cgi_output.h"
#include "parse/request.h"
#include "observe/access_log.h"
#include "clock.h"
#include "confine.h"
#include "decimal.h"
#include "http_words.h"
#include "read/io.h"
#include "wait.h"
#include "respond/write.h"
#include "respond/response.h"
#include "settings.h"

namespace {

constexpr size_t copy_size = websrv_cgi_copy_size;
// How long the output of a program whose client has gone is still read (and its write to the
// client tried) before the program counts as silent and is ended.
constexpr int gone_grace_ms = 500;

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

// The end of the wait for the program's next output: it may stay silent that long (-t).
long long silence_deadline()
{
    return websrv_deadline_in(websrv_config.cgi_silence_seconds * 1000LL);
}

// Sends the client of an event stream that closed its side a comment line, between two events
// (at a line's end): one that left answers it with a reset. False when the write failed.
bool probe_client(websrv_connection *c, websrv_cgi_client &client)
{
    if (client.probed || !client.line_ended)
        return true;
    client.probed = true;
    return websrv_write_all(c->session.socket, ":\n", 2, websrv_connection_desc(c)) == 0;
}

// Reads the program's output, waiting at most its silence limit for it. While the body still
// goes in through the pump, the pump is turned and the program's silence not counted: a program
// that reads its whole input before it answers is rightly silent meanwhile. The client's
// connection is watched meanwhile: a reset or an error ends the wait (ECONNRESET) at once; a
// closed sending side only has the client of an event stream found out (probe_client).
int read_output(websrv_connection *c, const websrv_cgi_answer &answer, char *buffer, size_t length)
{
    websrv_body_pump *pump = answer.pump;
    while (pump != nullptr && !pump->over()) {
        pollfd watched[3] = {{answer.pipe_read, POLLIN, 0}, {}, {}};
        pump->wait_on(&watched[1], &watched[2]);
        if (poll(watched, 3, pump->left_ms()) > 0 && watched[0].revents != 0)
            break;  // the program has something to say
        pump->heard(watched[1], watched[2]);
        pump->expire();
    }
    websrv_cgi_client &client = *answer.client_state;
    const long long deadline = silence_deadline();
    for (;;) {
        if (client.closed_side && !probe_client(c, client)) {
            errno = ECONNRESET;
            return -1;
        }
        const bool watch_side = client.event_stream && !client.closed_side;
        pollfd watched[2] = {{answer.pipe_read, POLLIN, 0}, {answer.client, static_cast<short>(watch_side ? POLLRDHUP : 0), 0}};
        const long long left = deadline - websrv_now_ms();
        const int ready = poll(watched, 2, static_cast<int>(left > 0 ? left : 0));
        if (ready < 0 && errno == EINTR)
            continue;  // the program's end, say (SIGCHLD)
        if (ready <= 0 || watched[0].revents != 0)
            break;
        if ((watched[1].revents & (POLLERR | POLLHUP)) != 0) {
            // Gone: what the program writes a moment longer goes to the client (and fails
            // there); a program that stays silent is ended at once.
            if (!websrv_wait_ready(answer.pipe_read, POLLIN, websrv_deadline_in(gone_grace_ms))) {
                errno = ECONNRESET;
                return -1;
            }
            break;
        }
        client.closed_side = true;
    }
    return websrv_read_until(answer.pipe_read, buffer, length, nullptr, deadline);
}

// Whether the program's header, collected so far, has reached its empty line.

bool header_ended(const char *chunk, size_t length)
{
    // An empty line: a line feed, perhaps a CR, then a line feed.
    for (size_t i = 0; i + 1 < length; ++i) {
        if (chunk[i] == '\n' && (chunk[i + 1] == '\n' || (chunk[i + 1] == '\r' && i + 2 < length && chunk[i + 2] == '\n')))
            return true;
    }
    return false;
}

// Reads the program's output into `chunk` until its header has ended, the chunk is full or
// the program has closed its output: a header may come in several writes. Returns the bytes
// read; -1 when a read failed or timed out (errno ETIMEDOUT) before the header ended.
int collect_header(websrv_connection *c, const websrv_cgi_answer &answer, char (&chunk)[copy_size])
{
    size_t got = 0;
    while (got < sizeof chunk && !header_ended(chunk, got)) {
        const int read = read_output(c, answer, chunk + got, sizeof chunk - got);
        if (read < 0)
            return -1;
        if (read == 0)
            break;  // what came is all the header there is
        got += static_cast<size_t>(read);
    }
    return static_cast<int>(got);
}

// Ends a program that never answered, or whose client went away (`gone`) while its output was
// open, with the processes it started (it leads a process group of its own): SIGTERM, then
// SIGKILL if it is still there a moment later.
void end_program(pid_t program, const char *path, bool gone)
{
    if (!websrv_program_running(program))
        return;
    if (gone)
        websrv_error("CGI program %s lost its client; ending it\n", path);
    else
        websrv_error("CGI program %s gave no answer in %d s; ending it\n", path,
                websrv_config.cgi_silence_seconds);
    websrv_program_stop(program);
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
    // How the connection goes on, unless the program said so itself: kept, or closed where the
    // client asked for that or could have expected otherwise.
    char kept[64];
    kept[0] = '\0';
    const bool program_says = header.says_close || header.says_keep_alive;
    if (c->keep && !program_says)
        snprintf(kept, sizeof kept, WEBSRV_KEEP_ALIVE_LINES, websrv_config.keep_alive_seconds);
    else if (!program_says && (c->says_close || c->may_keep))
        snprintf(kept, sizeof kept, WEBSRV_CLOSE_LINE);
    const int wanted = snprintf(line, sizeof line, "%s %d %.*s\r\n%s%s", websrv_session_version(&c->session),
                                header.status, reason_length, own ? chunk + header.reason_start : websrv_reason(header.status, websrv_voice_program),
                                kept, extra);
    return wanted < static_cast<int>(sizeof line) ? wanted : static_cast<int>(sizeof line) - 1;
}

// The status the server answers in the program's place, or 0 when the program's header makes
// an answer: 502 for a header block that is missing, cut or has a malformed line, 500 for a
// status HTTP does not have (the program failed). Logs why not the program's answer.
int judge_header(const char *chunk, int got, const cgi_header &header, const char *path)
{
    if (memchr(chunk, '\n', static_cast<size_t>(got)) == nullptr)
        websrv_log(WEBSRV_LOG_ERROR, "Unable to get the end of the header after %d bytes\n", static_cast<int>(copy_size));
    if (header.bad_line != 0) {
        websrv_error("CGI program %s sent a malformed header at line %d\n", path, header.bad_line);
        return 502;
    }
    if (header.status < 100 || header.status > 599) {
        websrv_error("CGI program %s sent a status outside 100 to 599\n", path);
        return 500;
    }
    return 0;
}

// Writes the status line and the collected chunk (without the program's own Status line; only
// up to the header's end for HEAD). Returns false after logging a failed write.
bool answer_header(websrv_connection *c, char (&chunk)[copy_size], int got, const cgi_header &header,
                   const websrv_cgi_answer &answer)
{
    const bool head_only = answer.head_only;
    const websrv_plugin_desc *desc = websrv_connection_desc(c);
    char status_line[copy_size];
    const int status_length = compose_status_line(status_line, c, chunk, header);
    websrv_access_status(header.status);
    if (websrv_write_all(c->session.socket, status_line, static_cast<size_t>(status_length), desc) < 0) {
        websrv_access_body(0, true);
        websrv_log_errno("Writing status output of CGI bin failed Error: %s\n");
        return false;
    }
    // The chunk holds the program's header block (without its Status line), then the body's start.
    const size_t header_part = header.header_end - header.status_line_length;
    size_t forward = websrv_cgi_drop_status_line(chunk, static_cast<size_t>(got), header);
    if (head_only)
        forward = header_part;
    // On a kept connection no more than the body's length goes out: the next answer follows.
    if (c->keep && forward - header_part > static_cast<size_t>(header.content_length)) {
        forward = header_part + static_cast<size_t>(header.content_length);
        websrv_keep_lost(c);
    }
    const bool failed = forward > 0 && websrv_write_all(c->session.socket, chunk, forward, desc) < 0;
    websrv_access_body(failed ? 0 : static_cast<long long>(forward - header_part), failed);
    answer.client_state->line_ended = forward == 0 || chunk[forward - 1] == '\n';
    if (failed) {
        websrv_error_errno("Write to SOCKET failed %s\n");
        return false;
    }
    return true;
}

// Writes a piece of the program's output to the client. `whole` output is a response the program
// composed itself, status line included: the access log reads its status and length from it.
bool forward_piece(websrv_connection *c, const char *piece, int length, bool whole)
{
    const websrv_plugin_desc *desc = websrv_connection_desc(c);
    const bool sent = whole ? websrv_write_handler(c->session.socket, piece, length, desc) == length
                            : websrv_write_all(c->session.socket, piece, static_cast<size_t>(length), desc) == 0;
    if (!whole)
        websrv_access_body(sent ? length : 0, !sent);
    websrv_keep_if(c, sent);
    return sent;
}

// Copies the rest of the program's output to the client until the program closes it, or stays
// silent past its limit (then the answer ends there and the program is left alone). `whole`:
// as forward_piece.
// `left`: the body bytes still to go on a kept connection (-1: as many as the program writes).
void copy_rest(websrv_connection *c, const websrv_cgi_answer &answer, char (&chunk)[copy_size], bool whole, long long left)
{
    const char *path = answer.path;
    for (;;) {
        int got = read_output(c, answer, chunk, sizeof chunk);
        if (got < 0 && errno == ECONNRESET) {
            websrv_access_body(0, true);
            break;
        }
        if (got < 0) {
            websrv_keep_lost(c);
            websrv_log_errno("Redirect Output Failed Error:%s\n");
            if (errno == ETIMEDOUT)
                websrv_error("CGI program %s was silent for %d s; its answer ends here\n",
                        path, websrv_config.cgi_silence_seconds);
            return;
        }
        if (got == 0) {
            websrv_log(WEBSRV_LOG_DETAIL, "Finishing the Output redirector\n");
            websrv_keep_if(c, left <= 0);  // all of the length the program gave went out
            return;
        }
        if (left >= 0 && got > left) {
            got = static_cast<int>(left);  // more than the program said: the connection ends there
            websrv_keep_lost(c);
        }
        left -= left >= 0 ? got : 0;
        if (got > 0 && !forward_piece(c, chunk, got, whole)) {
            websrv_error("Write to SOCKET failed\n");
            break;
        }
        answer.client_state->line_ended = got == 0 || chunk[got - 1] == '\n';
    }
    websrv_keep_lost(c);
    end_program(answer.program, answer.path, true);  // the client is gone, the output still open
}

// Whether the program writes the whole response itself, status line included: its file name
// starts with "nph-". Its output goes to the client untouched.
bool is_nph(const char *path)
{
    const char *slash = websrv_last_slash(path);
    return strncmp(slash != nullptr ? slash + 1 : path, "nph-", 4) == 0;
}

}  // namespace

namespace {

// Answers with what the program's header asks for (collected whole in `chunk`, `got` bytes),
// and then the rest of its output.
void answer_program(websrv_connection *c, const websrv_cgi_answer &answer, char (&chunk)[copy_size], int got)
{
    const cgi_header header = websrv_cgi_scan_header(chunk, static_cast<size_t>(got));
    const int refusal = judge_header(chunk, got, header, answer.path);
    // The connection goes on only behind an answer whose length the program gave.
    websrv_keep_if(c, refusal == 0 && header.content_length >= 0 && !header.says_close);
    if (refusal != 0) {
        websrv_send_error(c, refusal);
        return;
    }
    answer.client_state->event_stream = header.event_stream;
    if (header.has_location)
        websrv_log(WEBSRV_LOG_ERROR, "TODO: Handling of the redirect command.\n");
    websrv_log(WEBSRV_LOG_DETAIL, "CGI Header Length is %d bytes\n", static_cast<int>(header.status_line_length));
    const bool kept = c->keep;
    if (!answer_header(c, chunk, got, header, answer)) {
        websrv_keep_lost(c);
        end_program(answer.program, answer.path, true);
        return;
    }
    if (kept != c->keep)
        return;  // cut at the length the program gave: nothing more goes out
    if (!answer.head_only) {
        const long long sent = static_cast<long long>(got) - static_cast<long long>(header.header_end);
        copy_rest(c, answer, chunk, false, c->keep ? header.content_length - sent : -1);
    }
}

}  // namespace

void websrv_cgi_copy_output(websrv_connection *c, const websrv_cgi_answer &given)
{
    websrv_log(WEBSRV_LOG_DETAIL, "Starting the Output Redirector PID:%d\n", static_cast<int>(getpid()));
    websrv_cgi_client client;
    websrv_cgi_answer answer = given;
    answer.client_state = &client;
    wait_for_body_copy(answer.pipe_read, answer.copying);
    char chunk[copy_size];
    if (is_nph(answer.path)) {
        websrv_keep_lost(c);  // the program frames its answer itself
        copy_rest(c, answer, chunk, true, -1);
        return;
    }
    // Whatever the server answers in the program's place closes the connection: the program
    // may still be writing.
    const int got = collect_header(c, answer, chunk);
    if (got > 0) {
        answer_program(c, answer, chunk, got);
        return;
    }
    websrv_keep_lost(c);
    const bool gone = got < 0 && errno == ECONNRESET;
    const bool silent = got < 0 && errno == ETIMEDOUT;
    if (gone)
        websrv_access_body(0, true);
    else if (got < 0)
        websrv_log_errno("Redirect Output Failed Error:%s\n");
    else
        websrv_log(WEBSRV_LOG_ERROR, "No header information\n");
    if (!gone)
        websrv_send_error(c, silent ? 504 : 502);
    end_program(answer.program, answer.path, gone);
}
