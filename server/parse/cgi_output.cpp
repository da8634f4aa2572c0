// Query words and the program's header block, for the CGI gateway.
#include "parse/cgi_output.h"

#include <cstring>
#include <strings.h>

#include <string_view>

#include "decimal.h"
#include "parse/request.h"

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

// Whether line[0..length) starts with the literal `name`, ignoring letter case.
template <size_t size>
bool starts_with(const char *line, size_t length, const char (&name)[size])
{
    return length >= size - 1 && strncasecmp(line, name, size - 1) == 0;
}

// The most digits a status number may have; a longer one counts as no number at all.
constexpr size_t status_digits = 9;

// Reads the Status line's value, line[0..length) behind "Status:": blanks, the number (at
// most nine decimal digits; anything else gives 0), blanks, and the program's reason phrase.
// `offset` is where the value starts in the chunk.
void read_status(const char *line, size_t length, size_t offset, cgi_header *header)
{
    std::string_view rest(line, length);
    rest.remove_prefix(websrv_blanks(rest));
    long long value = 0;
    const size_t digits = websrv_read_decimal(rest, 999999999, &value);
    header->status = digits <= status_digits ? static_cast<int>(value) : 0;
    rest.remove_prefix(digits);
    rest.remove_prefix(websrv_blanks(rest));
    while (!rest.empty() && (rest.back() == ' ' || rest.back() == '\t'))
        rest.remove_suffix(1);
    header->reason_start = offset + static_cast<size_t>(rest.data() - line);
    header->reason_length = digits > 0 ? rest.size() : 0;
}

// Reads a Content-Length line's value, line[0..length) behind "Content-Length:": one run of
// digits between blanks, else no length at all.
void read_length(const char *line, size_t length, cgi_header *header)
{
    std::string_view rest(line, length);
    rest.remove_prefix(websrv_blanks(rest));
    long long value = 0;
    const size_t digits = websrv_read_decimal(rest, 1LL << 50, &value);
    rest.remove_prefix(digits);
    header->content_length = digits > 0 && websrv_blanks(rest) == rest.size() ? value : -1;
}

// Whether line[0..length) (without its line end) is a sound header line: a name of visible
// characters, its colon, and no control character but a tab (a bare CR or a NUL in it would
// forge or hide a line on its way to the client).
bool sound_line(const char *line, size_t length)
{
    const char *colon = static_cast<const char *>(memchr(line, ':', length));
    if (colon == nullptr || colon == line)
        return false;
    for (const char *c = line; c < line + length; ++c) {
        const unsigned char byte = static_cast<unsigned char>(*c);
        if ((byte < ' ' && byte != '\t') || byte == 0x7f || (c < colon && byte <= ' '))
            return false;
    }
    return true;
}

}  // namespace

cgi_header websrv_cgi_scan_header(const char *chunk, size_t length)
{
    cgi_header header{200, false, 0, 0};
    bool has_status = false;
    size_t start = 0;
    int line_number = 1;  // of the line at `start`
    bool ended = false;
    for (; start < length; ++line_number) {
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
            ended = true;
            break;
        }
        if (header.bad_line == 0 && (!sound_line(line, text) || newline == nullptr))
            header.bad_line = line_number;
        if (!has_status && starts_with(line, text, "Status:")) {
            has_status = true;
            read_status(line + 7, text - 7, start + 7, &header);
            header.status_line_start = start;
            header.status_line_length = end - start;
        } else if (starts_with(line, text, "Location:")) {
            header.has_location = true;
        } else if (starts_with(line, text, "Content-Length:")) {
            read_length(line + 15, text - 15, &header);
        } else if (starts_with(line, text, "Content-Type:")) {
            std::string_view value(line + 13, text - 13);
            value.remove_prefix(websrv_blanks(value));
            header.event_stream = value.size() >= 17 && strncasecmp(value.data(), "text/event-stream", 17) == 0;
        } else if (starts_with(line, text, "Connection:")) {
            std::string_view value(line + 11, text - 11);
            value.remove_prefix(websrv_blanks(value));
            header.says_close = value.size() >= 5 && strncasecmp(value.data(), "close", 5) == 0;
            header.says_keep_alive = value.size() >= 10 && strncasecmp(value.data(), "keep-alive", 10) == 0;
        }
        start = end;
    }
    if (header.has_location && !has_status)
        header.status = 302;
    if (!ended && header.bad_line == 0)
        header.bad_line = line_number;  // the empty line that did not come
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
