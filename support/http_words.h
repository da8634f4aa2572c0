// The HTTP vocabulary of the server and of the stock plug-ins: status numbers and their reason
// phrases, the error page, the server's token, the date format, the name of a directory's index
// and how long a transfer may stand still. Header-only, so plug-ins use the same words without
// the executable exporting anything.
#ifndef WEBSRV_SUPPORT_HTTP_WORDS_H
#define WEBSRV_SUPPORT_HTTP_WORDS_H

#include <cstddef>
#include <cstdio>
#include <ctime>

// The version text. The Server header, the error page, the CGI environment and the banner print
// it, and the control block's interface version numbers are parsed from it.
#define WEBSRV_VERSION_TEXT "1.0"
inline constexpr char websrv_version_text[] = WEBSRV_VERSION_TEXT;
// The product banner: the Server header, the error page and SERVER_SOFTWARE.
inline constexpr char websrv_server_token[] = "TAVRIX/" WEBSRV_VERSION_TEXT;

// How long the server waits for a descriptor to become ready for one read, and how long a
// transfer may go without moving a byte before it is given up.
inline constexpr int websrv_wait_seconds = 30;

// The file a directory request is answered with.
inline constexpr char websrv_index_file[] = "index.html";

// Who speaks a reason phrase. Most phrases are everybody's; where clients have always seen other
// words for the same status, each wording is a row of its own.
enum websrv_voice : unsigned char {
    websrv_voice_server = 1,   // the server's own answers and the stock plug-ins'
    websrv_voice_file = 2,     // a static file's answers ("Ok" with a lower-case k)
    websrv_voice_program = 4,  // the status line in front of a CGI program's output
};

inline constexpr unsigned char websrv_voice_all = websrv_voice_server | websrv_voice_file | websrv_voice_program;

// Whether `text` is an HTTP version as a request line must end with: "HTTP/", a digit, ".", a
// digit, nothing more.
inline bool websrv_is_http_version(const char *text)
{
    for (int i = 0; i <= 8; ++i) {  // its NUL too: nothing may follow
        const char want = "HTTP/#.#"[i];  // "#" stands for any digit
        if (text == nullptr || (want == '#' ? static_cast<unsigned char>(text[i] - '0') > 9 : text[i] != want))
            return false;
    }
    return true;
}

// The version every status line on a connection starts with, the server's and the stock
// plug-ins' alike: the request's own when it is HTTP/1.x, or "HTTP/1.0" for a request that has
// none (it was not read, or not parsed, that far) or one of another major version (505).
inline const char *websrv_status_version(const char *protocol)
{
    return websrv_is_http_version(protocol) && protocol[5] == '1' ? protocol : "HTTP/1.0";
}

// The status table, one row per status and wording: X(status, voices, phrase). A program's
// answer knows only the rows it always knew; any other status it gives carries the program's
// own phrase (or "Something").
#define WEBSRV_STATUS_TABLE(X)                                                  \
    X(100, websrv_voice_server, "Continue")                                     \
    X(200, websrv_voice_program, "OK")                                          \
    X(200, websrv_voice_file, "Ok")                                             \
    X(206, websrv_voice_file, "Partial Content")                                \
    X(301, websrv_voice_server, "Moved Permanently")                            \
    X(302, websrv_voice_program, "Found")                                       \
    X(304, websrv_voice_all, "Not Modified")                                    \
    X(400, websrv_voice_all, "Bad Request")                                     \
    X(401, websrv_voice_all, "Unauthorized")                                    \
    X(403, websrv_voice_program, "Forbidden")                                   \
    X(404, websrv_voice_all, "Not Found")                                       \
    X(408, websrv_voice_program, "Request Timeout")                             \
    X(411, websrv_voice_server, "Length Required")                              \
    X(413, websrv_voice_server, "Content Too Large")                            \
    X(416, websrv_voice_server, "Range Not Satisfiable")                        \
    X(421, websrv_voice_server, "Misdirected Request")                          \
    X(429, websrv_voice_server, "Too Many Requests")                            \
    X(431, websrv_voice_server, "Request Header Fields Too Large")              \
    X(500, websrv_voice_server, "Internal Server Error")                        \
    X(500, websrv_voice_program, "Internal Error")                              \
    X(501, websrv_voice_all, "Not Implemented")                                 \
    X(502, websrv_voice_server, "Bad Gateway")                                  \
    X(503, websrv_voice_server, "Service Unavailable")                          \
    X(503, websrv_voice_program, "Service Temporarily Overloaded")              \
    X(504, websrv_voice_server, "Gateway Timeout")                              \
    X(505, websrv_voice_server, "HTTP Version Not Supported")

// The table as the lookup reads it: the rows, each the status times 8 plus its voice bits in
// two bytes, and their phrases one behind the other in one text (so that a phrase takes no
// more room than its letters).
#define WEBSRV_STATUS_ROW(status, voices, phrase) static_cast<unsigned short>((status) * 8 + (voices)),
#define WEBSRV_STATUS_PHRASE(status, voices, phrase) phrase "\0"
inline constexpr unsigned short websrv_status_rows[] = {WEBSRV_STATUS_TABLE(WEBSRV_STATUS_ROW)};
inline constexpr char websrv_status_phrases[] = WEBSRV_STATUS_TABLE(WEBSRV_STATUS_PHRASE);
#undef WEBSRV_STATUS_ROW
#undef WEBSRV_STATUS_PHRASE
static_assert(websrv_voice_all < 8, "the voices fit the row's three low bits");

// The phrase `voice` gives `status`, or nullptr when it has none for it. Never inlined: the
// walk over the table is kept once, not in every caller.
__attribute__((noinline)) inline const char *websrv_known_reason(int status, websrv_voice voice = websrv_voice_server)
{
    const char *phrase = websrv_status_phrases;
    for (const unsigned short row : websrv_status_rows) {
        if (row >> 3 == status && (row & voice) != 0)
            return phrase;
        while (*phrase++ != '\0') {
        }
    }
    return nullptr;
}

// The phrase `voice` gives `status`; "Something" for a status it has no words for (clients act on
// the number).
inline const char *websrv_reason(int status, websrv_voice voice = websrv_voice_server)
{
    const char *known = websrv_known_reason(status, voice);
    return known != nullptr ? known : "Something";
}

// Writes the error page for `status` and `reason` into out[0..size), cut to fit. Returns the
// length the whole page has (as snprintf does). The page's bytes, closing tags that open nothing
// included, are what clients and their tests have always received; browsers show its title.
// Never inlined: a program that builds the page in several places keeps one copy of the call.
__attribute__((noinline)) inline int websrv_error_page(char *out, size_t size, int status, const char *reason)
{
    return snprintf(out, size, "<HTML>\n<HEAD><TITLE>%d %s</TITLE></HEAD>\n</HTML><HR>\n%s Error: %d %s</TITLE></HEAD>\n</HR>",
                    status, reason, websrv_server_token, status, reason);
}

// Room for an HTTP date: 29 characters for the years 1000 to 9999.
inline constexpr size_t websrv_date_size = 64;

// Formats `when` as an HTTP date ("Sun, 06 Nov 1994 08:49:37 GMT") into `text`; "" when it
// cannot be formatted.
inline void websrv_http_date(time_t when, char (&text)[websrv_date_size])
{
    struct tm parts;
    if (gmtime_r(&when, &parts) == nullptr || strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", &parts) == 0)
        text[0] = '\0';
}

#endif
