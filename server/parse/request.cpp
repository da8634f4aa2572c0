// In-place parsing of a request: the request line, the header fields and the path.
#include "parse/request.h"

#include <cstddef>
#include <cstring>
#include <strings.h>

#include "http_words.h"
#include "log.h"

namespace {

// The header fields the server keeps in the session record. A prefix includes its colon and
// is compared ignoring case; other fields are only indexed. The prefix is held in the entry
// itself and the slot is the byte offset of the session's field, so the table is plain
// constant data of 20 bytes an entry that a position-independent executable need not relocate.
struct header_field {
    char prefix[19];     // "If-Modified-Since:", the longest, and its zero
    unsigned char slot;  // offsetof the session's field
};

#define WEBSRV_SLOT(field) static_cast<unsigned char>(offsetof(websrv_session, field))
constexpr header_field header_fields[] = {
    {"Authorization:", WEBSRV_SLOT(authorization)},
    {"If-Modified-Since:", WEBSRV_SLOT(if_modified_since)},
    {"User-Agent:", WEBSRV_SLOT(user_agent)},
    {"Host:", WEBSRV_SLOT(host)},
    {"Content-Length:", WEBSRV_SLOT(content_length)},
    {"Content-Type:", WEBSRV_SLOT(content_type)},
};
#undef WEBSRV_SLOT
static_assert(sizeof(websrv_session) <= 256, "every slot fits a byte");

// Takes the next token from *next the way strtok does: delimiters before it are skipped, the
// delimiter after it becomes NUL, and *next moves behind it. nullptr when no token is left.
char *next_token(char **next, const char *delimiters)
{
    char *start = *next + strspn(*next, delimiters);
    if (*start == '\0') {
        *next = start;
        return nullptr;
    }
    char *end = start + strcspn(start, delimiters);
    if (*end != '\0')
        *end++ = '\0';
    *next = end;
    return start;
}

void store_field(websrv_session *session, char *line)
{
    for (const header_field &field : header_fields) {
        const size_t length = strlen(field.prefix);
        if (strncasecmp(line, field.prefix, length) != 0)
            continue;
        char *value = line + length + strspn(line + length, " \t");
        *reinterpret_cast<char **>(reinterpret_cast<char *>(session) + field.slot) = value;
        // "Host is ==>..." : the field's name without its colon.
        websrv_log(WEBSRV_LOG_DETAIL, "%.*s is ==>%s\n", static_cast<int>(length - 1), field.prefix, value);
        return;
    }
}

// Adds a header line (NUL-terminated) to the index: its name is the text before its first
// colon, its value what follows without leading blanks. A line without a name is not indexed.
void index_line(websrv_header_index *headers, const char *line)
{
    const char *colon = strchr(line, ':');
    if (headers == nullptr || colon == nullptr || colon == line)
        return;
    headers->add(line, static_cast<size_t>(colon - line), colon + 1 + strspn(colon + 1, " \t"));
}

// Cuts the blanks off the end of a header line (NUL-terminated): they are not part of its value.
void trim_line(char *line, char *end)
{
    while (end > line && (end[-1] == ' ' || end[-1] == '\t'))
        *--end = '\0';
}

// Walks the header lines behind the request line (which ends at `line`) up to the empty
// line, storing the known fields and indexing every line; leaves cursor behind the header.
void parse_fields(websrv_session *session, char *line, websrv_header_index *headers)
{
    session->cursor = line;
    for (;;) {
        char *end = strstr(session->cursor, "\r\n");
        if (end == nullptr)
            break;
        *end = '\0';
        char *current = session->cursor;
        session->cursor = end + 2;
        if (current == end)
            break;  // the empty line ends the header
        trim_line(current, end);
        store_field(session, current);
        index_line(headers, current);
    }
    session->header_length = static_cast<int>(session->cursor - session->buffer);
    websrv_log(WEBSRV_LOG_DETAIL, "HTTP header length ==>%d\n", session->header_length);
}

// What makes the header lines from `start` (behind the request line) up to the empty line
// unfit to be read at all, before any is: a line that begins with a blank (it folds onto the
// line before, which readers take apart in different ways), a blank between a name and its
// colon, and Host lines other than one (none is allowed before HTTP/1.1).
request_error header_fault(const char *start, bool http11)
{
    int hosts = 0;
    for (const char *line = start;;) {
        const char *end = strstr(line, "\r\n");
        if (end == nullptr || end == line)
            break;
        if (*line == ' ' || *line == '\t')
            return request_error::folded_line;
        const size_t name = strcspn(line, ":\r");
        if (line[name] == ':' && name > 0 && (line[name - 1] == ' ' || line[name - 1] == '\t'))
            return request_error::blank_name;
        hosts += name == 4 && line[name] == ':' && strncasecmp(line, "Host", 4) == 0;
        line = end + 2;
    }
    return hosts > 1 || (hosts == 0 && http11) ? request_error::host_count : request_error::none;
}

// Whether a line that parsing takes in (each line up to a CR LF, up to the empty line) holds
// a control character other than a tab: a CR or LF that does not end the line included. Such
// bytes in a field would reach the log and CGI programs as forged lines.
bool has_control_character(const char *start)
{
    for (const char *line = start;;) {
        const char *end = strstr(line, "\r\n");
        if (end == nullptr || end == line)
            return false;  // what follows the last CR LF, or the empty line, is never parsed
        for (const char *p = line; p < end; ++p) {
            const unsigned char c = static_cast<unsigned char>(*p);
            if ((c < 0x20 && c != '\t') || c == 0x7f)
                return true;
        }
        line = end + 2;
    }
}

// The request may be preceded by empty lines, which clients send now and then between
// requests: they are skipped when a request follows them (empty lines alone are a request
// without a request line, refused as such). Out of line: its two callers share it.
[[gnu::noinline]] char *skip_empty_lines(char *text)
{
    char *start = text;
    while (*start == '\r' || *start == '\n')
        ++start;
    return *start != '\0' ? start : text;
}

// Splits the request line at `start` into method, uri (with the query split off) and
// protocol. Logs and returns what is missing; a protocol that begins only behind the line's
// end (`line_end`: the method or uri ran over it) is none.
request_error split_request_line(websrv_session *session, char *start, const char *line_end)
{
    char *next = start;
    session->method = next_token(&next, " ");
    session->uri = next_token(&next, " ");
    if (session->uri == nullptr) {
        websrv_log(WEBSRV_LOG_ERROR, "Error: No Space seperation for Request URI\n");
        return request_error::no_uri;
    }
    if (char *mark = strchr(session->uri, '?'); mark != nullptr) {
        *mark = '\0';
        session->query = mark + 1;
    }
    session->protocol = next_token(&next, "\r\n");
    if (session->protocol == nullptr || session->protocol > line_end) {
        session->protocol = nullptr;
        websrv_log(WEBSRV_LOG_ERROR, "Error: No Space seperation for HTTP Version\n");
        return request_error::no_protocol;
    }
    return request_error::none;
}

// A target in absolute form, "http://host/path", as HTTP/1.1 clients may send it to any
// server: the path is its path, and its host stands in place of any Host header.
void take_absolute_target(websrv_session *session)
{
    char *host = strstr(session->uri, "://");
    const size_t scheme = host != nullptr ? static_cast<size_t>(host - session->uri) : 0;
    if (scheme < 4 || strncasecmp(session->uri, "https", scheme) != 0)
        return;  // no "http://" or "https://", in any letter case
    host += 3;
    char *path = host + strcspn(host, "/");
    for (const char *c = host; c < path; ++c) {
        if (static_cast<unsigned char>(*c) <= ' ' || *c == 0x7f)
            return;  // no host has a blank or control character: the target is no absolute one
    }
    if (*path != '\0') {
        // The host moves one place left, onto the second "/" of "//", to end it with a NUL.
        memmove(host - 1, host, static_cast<size_t>(path - host));
        path[-1] = '\0';
        --host;
    }
    session->host = host;
    session->uri = path;  // "" without a path: the root
}

// The checks of a request line that has been split, and of the header lines behind it
// (`after_line`) before they are read. Logs what is wrong.
request_error check_request_line(const websrv_session *session, bool controlled, const char *after_line)
{
    // "%00" would end the decoded path early: "/s.css%00.html" would serve s.css.
    if (controlled || strstr(session->uri, "%00") != nullptr) {
        websrv_log(WEBSRV_LOG_ERROR, "Error: Control character in the request header\n");
        return request_error::control_character;
    }
    if (!websrv_is_http_version(session->protocol)) {
        websrv_log(WEBSRV_LOG_ERROR, "Error: Malformed HTTP Version\n");
        return request_error::bad_version;
    }
    if (session->protocol[5] != '1') {
        websrv_log(WEBSRV_LOG_ERROR, "Error: HTTP Version %s is not supported\n", session->protocol);
        return request_error::unsupported_version;
    }
    static constexpr const char *faults[] = {
        "Error: Folded line in the request header\n",
        "Error: Blank before the colon of a request header line\n",
        "Error: Request without exactly one Host line\n",
    };
    const request_error fault = header_fault(after_line, session->protocol[7] != '0');
    if (fault != request_error::none)
        websrv_log(WEBSRV_LOG_ERROR, "%s", faults[static_cast<int>(fault) - static_cast<int>(request_error::folded_line)]);
    return fault;
}

}  // namespace

bool websrv_header_complete(const char *buffer)
{
    const char *start = skip_empty_lines(const_cast<char *>(buffer));
    return strstr(start, "\r\n\r\n") != nullptr || strstr(start, "\n\n") != nullptr;
}

request_error websrv_parse_request(websrv_session *session, const char *peer, websrv_header_index *headers)
{
    if (headers != nullptr)
        headers->clear(session->buffer);
    char *start = skip_empty_lines(session->buffer);
    char *line_end = strstr(start, "\r\n");
    if (line_end == nullptr) {
        websrv_log(WEBSRV_LOG_ERROR, "Error: No CRLF termination for Request Line\n");
        return request_error::no_crlf;
    }
    // Both are taken before the request line is split, which writes NULs into it.
    const bool controlled = has_control_character(start);
    char *after_line = line_end + 2;
    if (const request_error error = split_request_line(session, start, line_end); error != request_error::none)
        return error;
    if (const request_error error = check_request_line(session, controlled, after_line); error != request_error::none)
        return error;
    websrv_log(WEBSRV_LOG_DETAIL, "From:%s %d bytes Method Name: %s RequestURI: %s Query: %s HTTP:%s.\n",
            peer, session->received, session->method, session->uri,

            session->query != nullptr ? session->query : "(none)", session->protocol);
    parse_fields(session, after_line, headers);
    take_absolute_target(session);
    return request_error::none;
}

void websrv_prepare_path(websrv_session *session)
{
    websrv_strdecode(session->uri, session->uri);
    if (session->uri[0] == '/')
        ++session->uri;
    if (session->uri[0] == '\0')
        session->uri = const_cast<char *>("./");
}

const char *websrv_session_version(const websrv_session *session)
{
    return websrv_status_version(session->protocol);
}

websrv_method websrv_method_of(const char *method)
{
    if (strcasecmp(method, "GET") == 0)
        return websrv_method::get;
    if (strcasecmp(method, "HEAD") == 0)
        return websrv_method::head;
    if (strcasecmp(method, "POST") == 0)
        return websrv_method::post;
    return websrv_method::other;
}

namespace {

// Value of the hexadecimal digit c, or -1 when it is none. Plain arithmetic: the decoder
// below stays a few dozen instructions instead of the compiler's unrolled range tests.
int hex_value(char c)
{
    const unsigned digit = static_cast<unsigned>(c - '0');
    const unsigned letter = static_cast<unsigned>((c | 0x20) - 'a');
    return digit < 10 ? static_cast<int>(digit) : letter < 6 ? static_cast<int>(letter) + 10 : -1;
}

}  // namespace

int websrv_hexit(char c)
{
    const int value = hex_value(c);
    return value < 0 ? 0 : value;
}

void websrv_strdecode(char *to, const char *from)
{
    for (; *from != '\0'; ++to) {
        // The second digit is looked at only behind a first one, so the text's end is never passed.
        const int high = from[0] == '%' ? hex_value(from[1]) : -1;
        const int low = high >= 0 ? hex_value(from[2]) : -1;
        if (low >= 0) {
            *to = static_cast<char>(high * 16 + low);
            from += 3;
        } else {
            *to = *from++;
        }
    }
    *to = '\0';
}
