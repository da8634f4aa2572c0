/*
 * websrv_words.h - the HTTP words of websrv, for the server and its plug-ins alike: the server's
 * token, the status numbers with their reason phrases, the date format, the error page and the
 * fixed lines of answers. Plain C over the C library's headers alone; compiles as C99, C11 and
 * C++. Include it after (or instead of) websrv_plugin.h.
 *
 * A plug-in that answers a request itself usually needs none of it: the services table
 * (websrv_services in websrv_plugin.h) composes whole answers with these words.
 */
#ifndef WEBSRV_WORDS_H
#define WEBSRV_WORDS_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The version text. The Server header, the error page, SERVER_SOFTWARE and the banner print it,
 * and the control block's interface version numbers are read from it. */
#define WEBSRV_VERSION_TEXT "1.0"
/* The product banner: the Server header, the error page, SERVER_SOFTWARE, a status page. */
#define WEBSRV_SERVER_TOKEN "TAVRIX/" WEBSRV_VERSION_TEXT

/* An HTTP date, formatted by strftime with this in UTC ("Sun, 06 Nov 1994 08:49:37 GMT"), and
 * room for one (29 characters for the years 1000 to 9999). */
#define WEBSRV_DATE_FORMAT "%a, %d %b %Y %H:%M:%S GMT"
#define WEBSRV_DATE_SIZE 64

/* How long the server waits for a descriptor to become ready for one read, and how long a
 * transfer may go without moving a byte before it is given up. */
#define WEBSRV_WAIT_SECONDS 30

/* The file a directory request is answered with. */
#define WEBSRV_INDEX_FILE "index.html"

/* Fixed lines of answers. */
#define WEBSRV_CONTINUE "HTTP/1.1 100 Continue\r\n\r\n"         /* go on with the body */
#define WEBSRV_KEEP_ALIVE_LINES "Connection: keep-alive\r\nKeep-Alive: timeout=%d\r\n"
#define WEBSRV_CLOSE_LINE "Connection: close\r\n"
#define WEBSRV_RETRY_LATER_LINE "Retry-After: 1\r\n"          /* beside a 503 */

/* The error page for a status and its reason: printf format taking (status, reason, token,
 * status, reason). Its bytes, closing tags that open nothing included, are what clients and
 * their tests have always received; browsers show its title. */
#define WEBSRV_ERROR_PAGE                                                                       \
    "<HTML>\n<HEAD><TITLE>%d %s</TITLE></HEAD>\n</HTML><HR>\n%s Error: %d %s</TITLE></HEAD>\n</HR>"

/* Who speaks a reason phrase. Most phrases are everybody's; where clients have always seen other
 * words for the same status, each wording is a row of its own. */
enum websrv_voice {
    WEBSRV_VOICE_SERVER = 1,  /* the server's own answers (error pages) and the plug-ins' */
    WEBSRV_VOICE_FILE = 2,    /* a static file's answers ("Ok" with a lower-case k), and a plug-in's 200 */
    WEBSRV_VOICE_PROGRAM = 4  /* the status line in front of a CGI program's output */
};
#define WEBSRV_VOICE_ALL 7
/* A plug-in's answer: a file's words for the statuses files have, the server's for the rest. */
#define WEBSRV_VOICE_ANSWER (WEBSRV_VOICE_FILE | WEBSRV_VOICE_SERVER)

/* The status table, one row per status and wording, X(status, voices, phrase); a lookup takes the
 * first row whose voices it asks for. A program's answer knows only the rows it always knew; any
 * other status it gives carries the program's own phrase. */
#define WEBSRV_STATUS_TABLE(X)                                                           \
    X(100, WEBSRV_VOICE_SERVER, "Continue")                                              \
    X(101, WEBSRV_VOICE_SERVER, "Switching Protocols")                                   \
    X(200, WEBSRV_VOICE_PROGRAM, "OK")                                                   \
    X(200, WEBSRV_VOICE_FILE, "Ok")                                                      \
    X(201, WEBSRV_VOICE_SERVER, "Created")                                               \
    X(202, WEBSRV_VOICE_SERVER, "Accepted")                                              \
    X(204, WEBSRV_VOICE_SERVER, "No Content")                                            \
    X(206, WEBSRV_VOICE_FILE, "Partial Content")                                         \
    X(301, WEBSRV_VOICE_SERVER, "Moved Permanently")                                     \
    X(302, WEBSRV_VOICE_PROGRAM | WEBSRV_VOICE_SERVER, "Found")                          \
    X(303, WEBSRV_VOICE_SERVER, "See Other")                                             \
    X(304, WEBSRV_VOICE_ALL, "Not Modified")                                             \
    X(307, WEBSRV_VOICE_SERVER, "Temporary Redirect")                                    \
    X(308, WEBSRV_VOICE_SERVER, "Permanent Redirect")                                    \
    X(400, WEBSRV_VOICE_ALL, "Bad Request")                                              \
    X(401, WEBSRV_VOICE_ALL, "Unauthorized")                                             \
    X(403, WEBSRV_VOICE_PROGRAM | WEBSRV_VOICE_SERVER, "Forbidden")                      \
    X(404, WEBSRV_VOICE_ALL, "Not Found")                                                \
    X(405, WEBSRV_VOICE_SERVER, "Method Not Allowed")                                    \
    X(408, WEBSRV_VOICE_PROGRAM, "Request Timeout")                                      \
    X(409, WEBSRV_VOICE_SERVER, "Conflict")                                              \
    X(411, WEBSRV_VOICE_SERVER, "Length Required")                                       \
    X(413, WEBSRV_VOICE_SERVER, "Content Too Large")                                     \
    X(415, WEBSRV_VOICE_SERVER, "Unsupported Media Type")                                \
    X(416, WEBSRV_VOICE_SERVER, "Range Not Satisfiable")                                 \
    X(421, WEBSRV_VOICE_SERVER, "Misdirected Request")                                   \
    X(422, WEBSRV_VOICE_SERVER, "Unprocessable Content")                                 \
    X(426, WEBSRV_VOICE_SERVER, "Upgrade Required")                                      \
    X(429, WEBSRV_VOICE_SERVER, "Too Many Requests")                                     \
    X(431, WEBSRV_VOICE_SERVER, "Request Header Fields Too Large")                       \
    X(500, WEBSRV_VOICE_SERVER, "Internal Server Error")                                 \
    X(500, WEBSRV_VOICE_PROGRAM, "Internal Error")                                       \
    X(501, WEBSRV_VOICE_ALL, "Not Implemented")                                          \
    X(502, WEBSRV_VOICE_SERVER, "Bad Gateway")                                           \
    X(503, WEBSRV_VOICE_SERVER, "Service Unavailable")                                   \
    X(503, WEBSRV_VOICE_PROGRAM, "Service Temporarily Overloaded")                       \
    X(504, WEBSRV_VOICE_SERVER, "Gateway Timeout")                                       \
    X(505, WEBSRV_VOICE_SERVER, "HTTP Version Not Supported")

/* The rows as the lookup reads them: each the status times 8 plus its voice bits in two bytes,
 * and their phrases one behind the other in one text, so that a phrase takes no more room than
 * its letters. */
#define WEBSRV_STATUS_ROW(status, voices, phrase) (unsigned short)((status) * 8 + (voices)),
#define WEBSRV_STATUS_PHRASE(status, voices, phrase) phrase "\0"
static const unsigned short websrv_status_rows[] = {WEBSRV_STATUS_TABLE(WEBSRV_STATUS_ROW)};
static const char websrv_status_phrases[] = WEBSRV_STATUS_TABLE(WEBSRV_STATUS_PHRASE);
#undef WEBSRV_STATUS_ROW
#undef WEBSRV_STATUS_PHRASE

/* The phrase the first row for `status` among `voices` (WEBSRV_VOICE_* bits) gives, or NULL when
 * none has words for it. */
static inline const char *websrv_status_phrase(int status, unsigned voices)
{
    const char *phrase = websrv_status_phrases;
    size_t i;
    for (i = 0; i < sizeof websrv_status_rows / sizeof websrv_status_rows[0]; ++i) {
        if (websrv_status_rows[i] >> 3 == status && (websrv_status_rows[i] & voices) != 0)
            return phrase;
        while (*phrase++ != '\0') {
        }
    }
    return NULL;
}

/* Whether `text` is an HTTP version as a request line must end with: "HTTP/", a digit, ".", a
 * digit, nothing more. */
static inline int websrv_is_http_version(const char *text)
{
    static const char shape[] = "HTTP/#.#"; /* "#" stands for any digit */
    int i;
    for (i = 0; i <= 8; ++i) {               /* its NUL too: nothing may follow */
        if (text == NULL || (shape[i] == '#' ? (unsigned char)(text[i] - '0') > 9 : text[i] != shape[i]))
            return 0;
    }
    return 1;
}

/* The version every status line of an answer starts with, the server's and the plug-ins' alike:
 * the request's own when it is HTTP/1.x, else "HTTP/1.0" (a request that has none, was not read
 * that far, or names another major version: that one is answered 505 by the server). */
static inline const char *websrv_status_version(const char *protocol)
{
    return websrv_is_http_version(protocol) && protocol[5] == '1' ? protocol : "HTTP/1.0";
}

#ifdef __cplusplus
}
#endif

#endif /* WEBSRV_WORDS_H */
