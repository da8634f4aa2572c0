// The response writer: every response is composed in one 4096-byte buffer and sent with a
// single guarded write; the writer tells the access log the status and the body length.
#include "respond/response.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "clock.h"
#include "observe/access_log.h"
#include "http_words.h"
#include "log.h"
#include "keep.h"
#include "parse/request.h"
#include "respond/foreign.h"
#include "respond/write.h"
#include "settings.h"

namespace {

constexpr size_t response_size = WEBSRV_BUFFER_SIZE;

// Appends formatted text to a fixed buffer, never past its end. A piece that does not fit
// is cut; `length` stays the count of bytes really in the buffer.
class composer {
public:
    composer(char *data, size_t size) : data_(data), size_(size) {}

    void append(const char *format, ...) __attribute__((format(printf, 2, 3)))
    {
        if (length_ + 1 >= size_)
            return;
        va_list args;
        va_start(args, format);
        const int wanted = vsnprintf(data_ + length_, size_ - length_, format, args);
        va_end(args);
        grow(wanted);
    }
    // Appends the error page for `status` and `reason`.
    void append_page(int status, const char *reason)
    {
        if (length_ + 1 < size_)
            grow(websrv_error_page(data_ + length_, size_ - length_, status, reason));
    }
    size_t length() const { return length_; }
    const char *data() const { return data_; }

private:
    // Counts what a formatting call wrote: `wanted` bytes, or what fitted of them.
    void grow(int wanted)
    {
        if (wanted > 0)
            length_ += static_cast<size_t>(wanted) < size_ - length_ ? static_cast<size_t>(wanted)
                                                                      : size_ - length_ - 1;
    }

    char *data_;
    size_t size_;
    size_t length_ = 0;
};

// A zeroed response buffer from the shared allocator, released on every path.
class response_buffer {
public:
    response_buffer() : data_(static_cast<char *>(websrv_malloc(response_size)))
    {
        if (data_ != nullptr)
            memset(data_, 0, response_size);
    }
    ~response_buffer() { websrv_free(data_); }
    response_buffer(const response_buffer &) = delete;
    response_buffer &operator=(const response_buffer &) = delete;
    char *data() const { return data_; }

private:
    char *data_;
};

void append_head(composer &out, const websrv_session *session, int status, const char *reason)
{
    out.append("%s %d %s\r\n", websrv_session_version(session), status, reason);
    out.append("Server: %s\r\n", websrv_server_token);
    char date[websrv_date_size];
    websrv_http_date(websrv_calendar_now(), date);
    out.append("Date: %s\r\n", date);
}

// Ends a header block: the caller's own extra lines (each "Name: value\r\n"; null for none),
// the lines a plug-in asked to have in every header block of the connection, then the empty
// line.
void end_header(composer &out, const websrv_connection *c, const char *extra)
{
    if (extra != nullptr)
        out.append("%s", extra);
    if (c->info.header_lines != nullptr)
        out.append("%s", c->info.header_lines);
    out.append("\r\n");
}

// Writes the composed response and logs the outcome; `body` of its bytes are the page behind
// the header block. Returns 0 or -1.
int transmit(websrv_connection *c, const composer &out, size_t body, const char *success_format)
{
    const int length = static_cast<int>(out.length());
    const bool failed = websrv_write_all(c->session.socket, out.data(), out.length(), websrv_connection_desc(c)) < 0;
    websrv_access_body(failed ? 0 : static_cast<long long>(body), failed);
    if (failed) {
        websrv_keep_lost(c);
        websrv_log_errno("Sending the response failed: %s\n");
        return -1;
    }
    websrv_log(WEBSRV_LOG_DETAIL, success_format, length);
    return 0;
}

// What a header block holds besides its status line and the Server and Date lines.
struct block_fields {
    off_t content_length;         // 0: no Content-Length line
    const char *content_type;     // null: no Content-Type line
    const time_t *last_modified;  // null: no Last-Modified line
    const char *extra;            // the caller's own header lines, or null
    bool error_page;              // the error page follows, and no Connection line unless kept;
                                  // the server's wording of the reason, else a file's
};

// The lines that say how the connection goes on: it closes, as it always has, or it waits for
// the next request on a kept connection (then the body's length is always said, 0 included,
// for it is where the next request starts; a 304 has no body).
void append_connection(composer &out, const websrv_connection *c, int status, off_t content_length, bool error_page)
{
    if (!c->keep) {
        if (!error_page)
            out.append(WEBSRV_CLOSE_LINE);
        return;
    }
    if (content_length == 0 && status != 304)
        out.append("Content-Length: 0\r\n");
    out.append(WEBSRV_KEEP_ALIVE_LINES, websrv_config.keep_alive_seconds);
}

// Composes a response in a fresh buffer (the status line, the Server and Date lines, then
// `fields`) and sends it. Returns 0, or -1 when no buffer could be had or the write failed
// (both logged).
int compose_and_send(websrv_connection *c, int status, const block_fields &fields)
{
    const char *reason = websrv_reason(status, fields.error_page ? websrv_voice_server : websrv_voice_file);
    response_buffer buffer;
    if (buffer.data() == nullptr) {
        websrv_log(WEBSRV_LOG_ERROR, "WebSrv Memory Allocation Failure\n");
        return -1;
    }
    composer out(buffer.data(), response_size);
    websrv_access_status(status);
    append_head(out, &c->session, status, reason);
    if (fields.last_modified != nullptr) {
        char date[websrv_date_size];
        websrv_http_date(*fields.last_modified, date);
        out.append("Last-Modified: %s\r\n", date);
    }
    if (fields.content_type != nullptr)
        out.append("Content-Type: %s\r\n", fields.content_type);
    // An error page's length is said only where the connection is kept: it always ended with
    // the connection.
    const off_t length = fields.error_page && c->keep ? websrv_error_page(nullptr, 0, status, reason)
                                                      : fields.content_length;
    if (length != 0)
        out.append("Content-Length: %lld\r\n", static_cast<long long>(length));
    append_connection(out, c, status, length, fields.error_page);
    end_header(out, c, fields.extra);
    const size_t header = out.length();
    if (fields.error_page)
        out.append_page(status, reason);
    return transmit(c, out, out.length() - header,
                    fields.error_page ? "Succesfully transmitted error response packet of %d bytes\n"
                                      : "Succesfully transmitted response packet of %d bytes\n");
}

}  // namespace

bool websrv_send_continue(websrv_connection *c)
{
    static constexpr char go_on[] = WEBSRV_CONTINUE;
    if (websrv_write_all(c->session.socket, go_on, sizeof go_on - 1, websrv_connection_desc(c)) == 0)
        return true;
    websrv_log_errno("Sending the response failed: %s\n");
    return false;
}

websrv_outcome websrv_plugin_answered(websrv_connection *c, bool routed)
{
    const websrv_foreign_answer &answer = websrv_foreign();
    // A body the plug-in may have read itself cannot be told from the next request: closed. An
    // answer the server composed for the plug-in has decided already.
    if (!c->answered)
        websrv_keep_answer(c, answer.header_done && answer.keep_alive && answer.length == answer.body && !answer.failed);
    return routed ? websrv_outcome::served : websrv_outcome::logged_failed;
}

namespace {

// The head of a plug-in's answer: status line, Server and Date, then its own lines and the
// connection's, and how the connection goes on.
void compose_answer_head(composer &out, const websrv_connection *c, int status, const char *content_type,
                         const char *extra, size_t length)
{
    append_head(out, &c->session, status, websrv_reason(status, websrv_voice_answer));
    if (content_type != nullptr)
        out.append("Content-Type: %s\r\n", content_type);
    const bool bodiless = status < 200 || status == 204 || status == 304;
    if (!bodiless)
        out.append("Content-Length: %zu\r\n", length);
    if (extra != nullptr)
        out.append("%s", extra);
    if (c->info.header_lines != nullptr)
        out.append("%s", c->info.header_lines);
    if (status != 101)
        out.append("Connection: %s\r\n", c->keep ? "keep-alive" : "close");
    out.append("\r\n");
}

}  // namespace

int websrv_send_answer(websrv_connection *c, int status, const char *content_type, const char *extra,
                       const void *body, size_t length)
{
    c->answered = true;
    websrv_keep_answer(c, status != 101);
    char head[response_size];
    composer out(head, sizeof head);
    compose_answer_head(out, c, status, content_type, extra, length);
    websrv_access_status(status);
    const websrv_plugin_desc *desc = websrv_connection_desc(c);
    const bool head_only = websrv_method_of(c->session.method) == websrv_method::head;
    if (out.length() + 1 >= sizeof head) {
        websrv_error("A plug-in's answer has more header lines than fit in %zu bytes\n", sizeof head);
        websrv_keep_lost(c);
        websrv_send_error(c, 500);
        return 0;
    }
    const bool sent = websrv_write_all(c->session.socket, out.data(), out.length(), desc) == 0 &&
                      (head_only || length == 0 || websrv_write_all(c->session.socket, body, length, desc) == 0);
    websrv_access_body(sent && !head_only ? static_cast<long long>(length) : 0, !sent);
    websrv_keep_if(c, sent);
    return 0;
}

int websrv_send_error(websrv_connection *c, int status, const char *extra)
{
    return compose_and_send(c, status, {0, "text/html", nullptr, extra, true});
}

int websrv_send_response(websrv_connection *c, int status, off_t content_length, const char *content_type,
                         const time_t *last_modified, const char *extra)
{
    return compose_and_send(c, status, {content_length, content_type, last_modified, extra, false});
}
