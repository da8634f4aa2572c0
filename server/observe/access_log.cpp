// The access log: what one request asked and how its answer went, followed in the process that
// serves the connection and written as one line when that process's share of the session ends.
#include "observe/access_log.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>

#include "clock.h"
#include "counters.h"
#include "log.h"
#include "settings.h"

namespace {

// The status logged for a session that ended with no answer sent: nothing on the wire said
// one, and the connection was closed.
constexpr int closed_unanswered = 444;
// The status logged for a request whose client went away before it had the whole answer (or
// had sent the whole request header): the status the server meant to send would claim too
// much.
constexpr int client_gone = 499;
constexpr int header_timed_out = 408;

// Room for one text field, escaped; longer texts are cut. The four fields and the fixed parts
// always fit the line, so a line is never cut before its line end.
constexpr size_t field_size = 2048;
constexpr int field_count = 4;
constexpr size_t line_size = field_count * field_size + 256;

// What this process knows of the request it serves. Zero is the start of every field.
struct access_record {
    const websrv_session *session;    // null: no line to write here
    const websrv_session_info *info;  // the session's peer and checked user
    const websrv_header_index *headers;  // the request's header lines
    bool owner;                       // this process writes the line
    bool cut;                         // a write of the answer failed
    int status;                       // 0 until known
    long long body;
    time_t accepted;
    char request[field_size];         // the request line as sent; empty until kept
};

access_record record;

// Copies `text` (null: "-") into `out` as a log field that cannot split or forge a line:
// control characters, bytes above 0x7e and, unless `quoted`, the blank become \xHH; '"' and
// '\' become \" and \\. Cut where the longest form would no longer fit.
void escape_field(const char *text, char (&out)[field_size], bool quoted)
{
    size_t at = 0;
    for (const char *next = text != nullptr ? text : "-"; *next != '\0' && at + 4 < sizeof out; ++next) {
        const unsigned char c = static_cast<unsigned char>(*next);
        if (c == '"' || c == '\\')
            out[at++] = '\\';
        if (c < (quoted ? ' ' : '!') || c > '~')
            at += static_cast<size_t>(snprintf(out + at, 5, "\\x%02x", c));
        else
            out[at++] = static_cast<char>(c);
    }
    out[at] = '\0';
}

// Appends a line to the log whole, or not at all: a write cut short (a full disk) is tried on
// to learn why, and what went in of the line is taken back, so that the next line starts on a
// line of its own. Logs the failure with its cause.
void write_line(const char *line, size_t length)
{
    websrv_access_follow();
    const int fd = websrv_config.access_log_fd;
    size_t done = 0;
    ssize_t put = 0;
    while (done < length && (put = write(fd, line + done, length - done)) > 0)
        done += static_cast<size_t>(put);
    if (done == length)
        return;
    const int error = put == 0 ? ENOSPC : errno;
    // The log is appended to: what went in of the line is the file's end.
    struct stat st;
    if (done > 0 && fstat(fd, &st) == 0)
        (void)!ftruncate(fd, st.st_size - static_cast<off_t>(done));
    websrv_error("Unable to write the access log; Error: %s\n", strerror(error));
}

}  // namespace

int websrv_access_log_open(const char *path)
{
    const int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0640);
    if (fd < 0)
        websrv_error_errno("Unable to open the access log %s; Error: %s\n", path);
    return fd;
}

void websrv_access_follow()
{
    static int seen_reloads = 0;
    const int reloads = __atomic_load_n(&websrv_counters->reloads, __ATOMIC_RELAXED);
    if (reloads == seen_reloads || websrv_config.access_log_fd < 0)
        return;
    seen_reloads = reloads;
    const int fd = websrv_access_log_open(websrv_config.access_log_path);
    if (fd < 0)
        return;
    // The same descriptor number: processes forked from here on inherit the new file.
    dup2(fd, websrv_config.access_log_fd);
    fcntl(websrv_config.access_log_fd, F_SETFD, FD_CLOEXEC);
    close(fd);
}

void websrv_access_begin(const websrv_session *session, const websrv_session_info *info,
                         const websrv_header_index *headers)
{
    if (websrv_config.access_log_fd < 0)
        return;
    record = access_record{};  // a kept connection's next request starts afresh
    record.session = session;
    record.info = info;
    record.headers = headers;
    record.owner = true;
    record.accepted = websrv_calendar_now();
}

void websrv_access_request(const char *buffer)
{
    if (record.session == nullptr || record.request[0] != '\0')
        return;
    while (*buffer == '\r' || *buffer == '\n')
        ++buffer;  // empty lines before the request are skipped, as parsing does
    size_t length = strcspn(buffer, "\n");
    if (length > 0 && buffer[length - 1] == '\r')
        --length;
    snprintf(record.request, sizeof record.request, "%.*s", static_cast<int>(length), buffer);
}

void websrv_access_read_failed(bool timed_out)
{
    if (record.session == nullptr)
        return;
    if (timed_out)
        record.status = header_timed_out;
    else if (record.session->received > 0)
        record.cut = true;
}

void websrv_access_status(int status)
{
    record.status = status;
}

void websrv_access_body(long long bytes, bool failed)
{
    record.body += bytes;
    record.cut = record.cut || failed;
}

void websrv_access_hand_over()
{
    record.owner = false;
}

void websrv_access_composed_elsewhere(int status, long long body, bool failed)
{
    record.status = record.status != 0 ? record.status : status;
    record.body += body;
    record.cut = record.cut || failed;
}

void websrv_access_end(const websrv_session *ended)
{
    if (record.session != ended || !record.owner)
        return;
    record.owner = false;
    const websrv_session &session = *ended;
    const websrv_session_info &info = *record.info;
    if (session.received == 0 && record.status == 0 && !record.cut)
        return;  // the client sent nothing: no request, no line
    websrv_access_request(session.buffer);
    // The user (unquoted), the request line, Referer and User-Agent.
    const char *texts[field_count] = {info.remote_user, record.request[0] != '\0' ? record.request : nullptr,
                                      record.headers != nullptr ? record.headers->find("Referer") : nullptr, session.user_agent};
    char fields[field_count][field_size];
    for (int i = 0; i < field_count; ++i)
        escape_field(texts[i], fields[i], i > 0);
    char when[40];
    struct tm parts;
    if (localtime_r(&record.accepted, &parts) == nullptr ||
        strftime(when, sizeof when, "%d/%b/%Y:%H:%M:%S %z", &parts) == 0)
        when[0] = '\0';
    const int status = record.cut ? client_gone : record.status != 0 ? record.status : closed_unanswered;
    char line[line_size];
    const int length = snprintf(line, sizeof line, "%s - %s [%s] \"%s\" %d %lld \"%s\" \"%s\"\n",
                                info.peer_text[0] != '\0' ? info.peer_text : "-", fields[0], when,
                                fields[1], status, record.body, fields[2], fields[3]);
    write_line(line, static_cast<size_t>(length));
}
