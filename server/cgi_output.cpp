// Query words and the program's header block, for the CGI gateway.
#include "cgi_output.h"

#include <cstring>
#include <strings.h>

#include <string_view>

#include "decimal.h"
#include "request.h"

int websrv_cgi_query_words(char *query, char **words, int max)
{
    if (strchr(query, '=') != nullptr)
        return 0;
    int count = 0;
    char *word = query;
    for (char *plus = strchr(word, '+'); plus != nullptr && count < max; plus = strchr(word, '+')) {
        *plus = '\0';
        websrv_strdecode(word, word);
        words[count++] = word;
        word = plus + 1;
    }
    if (*word != '\0' && count < max) {
        websrv_strdecode(word, word);
        words[count++] = word;
    }
    return count;
}

namespace {

bool starts_with(const char *line, size_t length, const char *name)
{
    const size_t n = strlen(name);
    return length >= n && strncasecmp(line, name, n) == 0;
}

// The most digits a status number may have; a longer one counts as no number at all.
constexpr size_t status_digits = 9;

// The status number behind "Status:": blanks skipped, then decimal digits (at most nine);
// anything else gives 0.
int status_number(const char *text, size_t length)
{
    std::string_view rest(text, length);
    rest.remove_prefix(websrv_blanks(rest));
    long long value = 0;
    const size_t digits = websrv_read_decimal(rest, 999999999, &value);
    return digits <= status_digits ? static_cast<int>(value) : 0;
}

}  // namespace

cgi_header websrv_cgi_scan_header(const char *chunk, size_t length)
{
    cgi_header header{200, false, 0, 0};
    bool has_status = false;
    size_t start = 0;
    while (start < length) {
        const char *newline = static_cast<const char *>(memchr(chunk + start, '\n', length - start));
        const size_t end = newline != nullptr ? static_cast<size_t>(newline - chunk) + 1 : length;
        const char *line = chunk + start;
        size_t text = end - start;  // without the line end
        if (text > 0 && line[text - 1] == '\n')
            --text;
        if (text > 0 && line[text - 1] == '\r')
            --text;
        if (text == 0) {
            start = end;  // the empty line ends the header
            break;
        }
        if (!has_status && starts_with(line, text, "Status:")) {
            has_status = true;
            header.status = status_number(line + 7, text - 7);
            header.status_line_start = start;
            header.status_line_length = end - start;
        } else if (starts_with(line, text, "Location:")) {
            header.has_location = true;
        }
        start = end;
    }
    if (header.has_location)
        header.status = 302;
    header.header_end = start;
    return header;
}


size_t websrv_cgi_drop_status_line(char *chunk, size_t length, const cgi_header &header)
{
    if (header.status_line_length == 0)
        return length;
    const size_t tail = header.status_line_start + header.status_line_length;
    memmove(chunk + header.status_line_start, chunk + tail, length - tail);
    return length - header.status_line_length;
}

const char *websrv_cgi_reason(int status)
{
    switch (status) {
    case 200: return "OK";
    case 302: return "Found";
    case 304: return "Not Modified";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 408: return "Request Timeout";
    case 500: return "Internal Error";
    case 501: return "Not Implemented";
    case 503: return "Service Temporarily Overloaded";
    // Codes the table does not know get this placeholder phrase; clients act on the number.
    default: return "Something";
    }
}
