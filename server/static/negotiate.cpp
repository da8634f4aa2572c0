// Reading Range, If-Range and Accept-Encoding for static delivery. Everything the client sends
// that does not parse asks for nothing special: the whole file, as it is.
#include "static/negotiate.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <strings.h>

#include "decimal.h"
#include "parse/request.h"
#include "tdate_parse.h"
#include "clock.h"

namespace {

constexpr const char blanks[] = " \t";

// Whether `text` starts with the literal `prefix`, ignoring letter case.
template <size_t size>
bool starts_with(const char *text, const char (&prefix)[size])
{
    return strncasecmp(text, prefix, size - 1) == 0;
}

// Reads the decimal file offset at *text and moves past it. Returns the count of its digits;
// *value is -1 for a number too large for a file offset.
size_t take_offset(const char **text, long long *value)
{
    const size_t digits = websrv_read_decimal({*text, strlen(*text)}, LLONG_MAX, value);
    if (*value == LLONG_MAX)
        *value = -1;
    *text += digits;
    return digits;
}

// The header lines of a gzip copy sent in a file's place.
constexpr const char gzip_lines[] = "Content-Encoding: gzip\r\nVary: Accept-Encoding\r\n";

// The answer "bytes=FIRST-LAST", "bytes=FIRST-" or "bytes=-SUFFIX" asks of a file of `size`
// bytes: 206 with *range set, 416, or 200 for the whole file.
int parse_range(const char *text, off_t size, websrv_byte_range *range)
{
    if (!starts_with(text, "bytes="))
        return 200;
    text += 6 + strspn(text + 6, blanks);
    long long first = 0;
    long long last = 0;
    const size_t first_digits = take_offset(&text, &first);
    if (*text++ != '-')
        return 200;
    const size_t last_digits = take_offset(&text, &last);
    text += strspn(text, blanks);
    // Anything left (a second range after a comma, say) or a number out of reach: not ours.
    if (*text != '\0' || first < 0 || last < 0 || first_digits + last_digits == 0)
        return 200;
    if (first_digits == 0) {  // the last `last` bytes
        if (last == 0)
            return 416;
        if (size == 0)
            return 200;  // all of nothing: the empty file itself
        first = last < size ? size - last : 0;
        last = size - 1;
    } else {
        if (last_digits > 0 && last < first)
            return 200;
        if (first >= size)
            return 416;
        if (last_digits == 0 || last >= size)
            last = size - 1;
    }
    *range = {static_cast<off_t>(first), static_cast<off_t>(last - first + 1)};
    return 206;
}

// The answer the request's conditions and Range ask of the file with attributes `st`: 304,
// or as parse_range.
int conditional_answer(const websrv_session *session, const websrv_header_index &headers, const struct stat &st,
                       websrv_byte_range *range)
{
    // A date later than the server's clock is no date the client can have had from it.
    if (session->if_modified_since != nullptr) {
        const time_t since = websrv_date_parse(session->if_modified_since);
        if (since >= st.st_mtime && since <= websrv_calendar_now())
            return 304;
    }
    int lines = 0;
    const char *text = headers.find("Range", &lines);
    if (lines != 1 || websrv_method_of(session->method) != websrv_method::get)
        return 200;
    // A client that names the version it holds gets a part of that version only.
    if (const char *condition = headers.find("If-Range"); condition != nullptr) {
        const time_t when = websrv_date_parse(condition);
        if (when == -1 || when != st.st_mtime)
            return 200;
    }
    return parse_range(text, st.st_size, range);
}

// Whether the Accept-Encoding list `list` names gzip (or x-gzip) without the weight q=0
// ("q=0", "q=0." or "q=0.0" up to "q=0.000").
bool lists_gzip(const char *list)
{
    if (list == nullptr)
        return false;
    const char *rest = list;
    while (strncasecmp(rest, "gzip", 4) != 0) {
        if (*rest++ == '\0')
            return false;
    }
    rest += 4;
    rest += strspn(rest, blanks);
    if (*rest != ';')
        return *rest == '\0' || *rest == ',';  // not a longer name
    rest += 1 + strspn(rest + 1, blanks);
    if (!starts_with(rest, "q=0"))
        return true;
    rest += 3 + strspn(rest + 3, ".0");
    return *rest >= '1' && *rest <= '9';  // a digit behind the zeros: more than 0
}

}  // namespace

void websrv_decide_file_answer(const websrv_session *session, const websrv_header_index &headers,
                               const struct stat &st, bool gzip, websrv_file_answer *answer)
{
    websrv_byte_range &range = answer->range;
    range = {0, st.st_size};
    const int status = conditional_answer(session, headers, st, &range);
    answer->status = status;
    // 206 and 416 name the part sent ("*" for none) and the size of the whole.
    char sent[48];
    const char *part = "*";
    if (status == 206) {
        snprintf(sent, sizeof sent, "%lld-%lld", static_cast<long long>(range.start),
                 static_cast<long long>(range.start + range.length - 1));
        part = sent;
    } else if (status != 200) {
        range.length = 0;
    }
    snprintf(answer->lines, sizeof answer->lines, status == 206 || status == 416 ? "%sContent-Range: bytes %s/%lld\r\n" : "%s",
             gzip && status != 416 ? gzip_lines : "", part, static_cast<long long>(st.st_size));
}

const char *websrv_gzip_copy(const websrv_header_index &headers, const char *path, char *gzip_path, struct stat *st)
{
    struct stat copy;
    const int length = snprintf(gzip_path, WEBSRV_PATH_MAX, "%s.gz", path);
    if (!S_ISREG(st->st_mode) || length <= 0 || length >= WEBSRV_PATH_MAX ||
        !lists_gzip(headers.find("Accept-Encoding")) || stat(gzip_path, &copy) != 0 ||
        !S_ISREG(copy.st_mode) || copy.st_mtime < st->st_mtime)
        return path;
    *st = copy;
    return gzip_path;
}
