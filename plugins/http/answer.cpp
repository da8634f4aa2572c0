// The answers the stock plug-ins send themselves (301, 401, 421, 429, 500), and the "-header"
// lines that the server adds to every header block on their ports.
#include <cstdio>
#include <cstring>
#include <ctime>
#include <strings.h>

#include "http_words.h"
#include "stock.h"
#include "websrv_answer.h"

namespace {

// Room for all "-header" lines together. The server composes a header block in 4096 bytes,
// its own lines and an error page included; this leaves them room.
constexpr size_t header_lines_size = 2048;
char extra_lines[header_lines_size];
size_t extra_length = 0;

// Header fields the server or the plug-in writes itself: a second one from the command line
// would contradict it (two lengths make a response that proxies read two ways).
constexpr const char *reserved_fields[] = {
    "Content-Length", "Content-Type", "Transfer-Encoding", "Connection",       "Date",
    "Server",         "Last-Modified", "Location",         "WWW-Authenticate", "Retry-After",
    "Status",
};

// The characters of a header field name (a token).
bool is_name_char(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           (c != '\0' && strchr("!#$%&'*+-.^_`|~", c) != nullptr);
}

bool is_control(unsigned char c)
{
    return c < 0x20 || c == 0x7f;
}

// Why "Name: value" cannot be a header line, or nullptr when it can.
const char *header_line_fault(const char *line)
{
    size_t name = 0;
    while (is_name_char(line[name]))
        ++name;
    if (name == 0 || line[name] != ':')
        return "it must be \"Name: value\" with a name of letters, digits and !#$%&'*+-.^_`|~";
    for (const char *field : reserved_fields) {
        if (strlen(field) == name && strncasecmp(line, field, name) == 0)
            return "the server writes that field itself";
    }
    // A field value may hold tabs, like blanks; no other control character.
    for (const char *c = line + name + 1; *c != '\0'; ++c) {
        if (is_control(static_cast<unsigned char>(*c)) && *c != '\t')
            return "its value has a control character other than a tab";
    }
    return nullptr;
}

// Whether a byte may stand in a URL as it is: unreserved characters and the delimiters that
// mean nothing special in a path. Raw text (a query as the client sent it) keeps its "%"
// escapes and "?" too; decoded text gets them encoded. "\" is always encoded: some browsers
// read it as "/".
bool url_safe(unsigned char c, bool raw)
{
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
        return true;
    return c != '\0' && (strchr("-._~/!$&'()*+,;=:@", c) != nullptr || (raw && (c == '%' || c == '?')));
}

// Takes "-header LINE" after checking that LINE can be a header line and that it fits.
int add_header_line(char **values)
{
    const char *line = values[0];
    if (const char *fault = header_line_fault(line); fault != nullptr) {
        log_msg(WEBSRV_LOG_ERROR, "%s: -header \"%s\" refused: %s\n", stock_name, line, fault);
        return -1;
    }
    const size_t length = strlen(line);
    if (extra_length + length + 2 >= sizeof extra_lines) {
        log_msg(WEBSRV_LOG_ERROR, "%s: -header \"%s\" refused: all -header lines together may have %d characters\n",
                stock_name, line, static_cast<int>(sizeof extra_lines) - 1);
        return -1;
    }
    memcpy(extra_lines + extra_length, line, length);
    memcpy(extra_lines + extra_length + length, "\r\n", 3);
    extra_length += length + 2;
    return 0;
}

constexpr stock_option options[] = {
    {"-header", 1, "line", false, add_header_line},
};

}  // namespace

std::span<const stock_option> header_options()
{
    return options;
}

const char *header_lines()
{
    return extra_length > 0 ? extra_lines : nullptr;
}

int answer_send(websrv_session *session, int status, const char *extra)
{
    char page[512];
    const int length = websrv_error_page(page, sizeof page, status, websrv_reason(status));
    const size_t page_length = length > 0 && static_cast<size_t>(length) < sizeof page ? static_cast<size_t>(length) : 0;
    return websrv_answer_send(session, status, "text/html", extra, page, page_length);
}

bool append_url_text(char *out, size_t size, size_t *length, const char *text, bool raw)
{
    static const char hex[] = "0123456789ABCDEF";
    size_t at = *length;
    for (const unsigned char *c = reinterpret_cast<const unsigned char *>(text); *c != '\0'; ++c) {
        if (at + 4 >= size) {
            out[*length] = '\0';
            return false;
        }
        if (url_safe(*c, raw)) {
            out[at++] = static_cast<char>(*c);
        } else {
            out[at++] = '%';
            out[at++] = hex[*c >> 4];
            out[at++] = hex[*c & 15];
        }
    }
    out[at] = '\0';
    *length = at;
    return true;
}
