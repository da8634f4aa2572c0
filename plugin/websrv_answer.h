/*
 * websrv_answer.h - a plug-in's own answers: compose and send a whole answer from an on_route
 * or on_request hook, and read the request's body.
 *
 * Static inline functions over websrv_plugin.h only: nothing more to link, and the server
 * exports nothing new for them. Plain C; compiles as C and C++. Include it after (or instead
 * of) websrv_plugin.h:
 *
 *     static int led_route(websrv_session *session)
 *     {
 *         if (strcmp(session->uri, "api/led") != 0)
 *             return 1;                         // not ours: the server goes on
 *         return websrv_answer_send(session, 200, "application/json", NULL, "{\"on\":false}", 12);
 *     }
 *
 * Answers go out through the write hook of the descriptor that carries the connection (over
 * TLS on https.so's TLS port), with the server's Server and Date lines and the header lines the
 * connection's plug-in adds to every answer ("-header"). The connection stays open for the next
 * request when the client asks for that and the server keeps connections ("-k"); a request that
 * came with a body closes it.
 *
 * Like websrv_plugin.h, the header needs no feature-test macro: it compiles as strict ISO C
 * (-std=c99, -std=c11) and with the compiler's defaults alike.
 */
#ifndef WEBSRV_ANSWER_H
#define WEBSRV_ANSWER_H

#include <errno.h>
#include <poll.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>
#include <time.h>

#include "websrv_plugin.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The most bytes of status line and header lines an answer may have. */
#define WEBSRV_ANSWER_HEAD_MAX 4096

/* The reason phrase the server gives `status`; "Something" for one it has no words for. */
static inline const char *websrv_answer_reason(int status)
{
    switch (status) {
    case 200: return "Ok";
    case 201: return "Created";
    case 202: return "Accepted";
    case 204: return "No Content";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 303: return "See Other";
    case 304: return "Not Modified";
    case 307: return "Temporary Redirect";
    case 308: return "Permanent Redirect";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 409: return "Conflict";
    case 411: return "Length Required";
    case 413: return "Content Too Large";
    case 415: return "Unsupported Media Type";
    case 421: return "Misdirected Request";
    case 422: return "Unprocessable Content";
    case 426: return "Upgrade Required";
    case 429: return "Too Many Requests";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    case 503: return "Service Unavailable";
    default: return "Something";
    }
}

/* The descriptor that carries the session's connection (whose hooks read and write its socket),
 * from the server's registry by the session's port; one without hooks when none is found. */
static inline const websrv_plugin_desc *websrv_answer_carrier(const websrv_session *session)
{
    static websrv_plugin_desc plain_socket; /* all zero, no hooks: send() and recv() */
    const websrv_plugin_node *node;
    for (node = (const websrv_plugin_node *)websrv_mcb.plugins.head; node != NULL;
         node = (const websrv_plugin_node *)node->link) {
        if (node->desc.port == session->port && node->listen_fd >= 0)
            return &node->desc;
    }
    return &plain_socket;
}

/* The value of the request's header field `name` (compared ignoring case, without its colon),
 * without leading blanks; NULL when the request has none. It reads the header lines the
 * server parsed in the session's buffer: each ends where its CR was. */
static inline const char *websrv_answer_field(const websrv_session *session, const char *name)
{
    const size_t length = strlen(name);
    const char *line;
    if (session->protocol == NULL || session->cursor == NULL)
        return NULL;
    for (line = session->protocol + strlen(session->protocol) + 2; line < session->cursor;
         line += strlen(line) + 2) {
        if (strncasecmp(line, name, length) == 0 && line[length] == ':')
            return line + length + 1 + strspn(line + length + 1, " \t");
    }
    return NULL;
}

/* Whether the request lets its connection carry the next request: HTTP/1.1 without
 * "Connection: close", HTTP/1.0 with "Connection: keep-alive", and no body. */
static inline int websrv_answer_keeps(const websrv_session *session)
{
    const char *connection = websrv_answer_field(session, "Connection");
    const char *length = session->content_length;
    if (length != NULL && strspn(length, "0") != strcspn(length, " \t"))
        return 0;
    if (session->protocol != NULL && strncmp(session->protocol, "HTTP/1.", 7) == 0 && session->protocol[7] >= '1' &&
        session->protocol[7] <= '9')
        return connection == NULL || strncasecmp(connection, "close", 5) != 0;
    return connection != NULL && strncasecmp(connection, "keep-alive", 10) == 0;
}

/* The length of `text` without the blanks at its end (a field's value may end in some). */
static inline size_t websrv_answer_trimmed(const char *text, size_t length)
{
    while (length > 0 && (text[length - 1] == ' ' || text[length - 1] == '\t'))
        --length;
    return length;
}

/* Whether `url`, a URL or an origin as a browser sends them in Referer and Origin
 * ("http://device:8080/settings", "https://device"), names `host`, the host as the request's
 * Host field has it ("device:8080"): the text between "://" and the path, query or fragment
 * equals it whole, port included, letter case aside. 0 when either is NULL, and for an origin
 * a browser keeps to itself ("null"). */
static inline int websrv_answer_names_host(const char *url, const char *host)
{
    const char *authority = url != NULL ? strstr(url, "://") : NULL;
    size_t length;
    /* "://" must end the scheme: no "/", "?" or "#" comes before it. */
    if (authority == NULL || host == NULL || strcspn(url, "/?#") < (size_t)(authority - url))
        return 0;
    authority += 3;
    length = websrv_answer_trimmed(authority, strcspn(authority, "/?#"));
    return length == websrv_answer_trimmed(host, strlen(host)) && strncasecmp(authority, host, length) == 0;
}

/* Whether the request comes from a page of the host it was sent to, as far as the browser
 * tells: its Origin field names the request's Host (websrv_answer_names_host), or, without an
 * Origin, its Referer does. 1 for a request with neither (a program, not a browser's page);
 * 0 for one with an Origin or Referer but no Host. */
static inline int websrv_answer_same_origin(const websrv_session *session)
{
    const char *origin = websrv_answer_field(session, "Origin");
    const char *page = origin != NULL ? origin : websrv_answer_field(session, "Referer");
    return page == NULL || websrv_answer_names_host(page, session->host);
}

/* Whether the request's body is declared JSON: Content-Type application/json, letter case
 * aside, parameters ("; charset=utf-8") allowed. */
static inline int websrv_answer_is_json(const websrv_session *session)
{
    const char *type = session->content_type;
    size_t after;
    if (type == NULL)
        return 0;
    type += strspn(type, " \t");
    if (strncasecmp(type, "application/json", 16) != 0)
        return 0;
    after = 16 + strspn(type + 16, " \t");
    return type[after] == '\0' || type[after] == ';';
}

/* The status that refuses a request meant to change the device's state, for a JSON API to
 * answer with before it acts; 0 when the request may go on. A page of any other site can make
 * the user's browser send a POST to the device (a form, or fetch in "no-cors" mode) without
 * asking the device first, but only with a body of a form's or plain text's type, and never
 * without an Origin naming that site. So a request whose method changes state (any but GET,
 * HEAD and OPTIONS) gets 403 when its Origin, or without one its Referer, names another host
 * than its Host (websrv_answer_same_origin), and 415 when its Content-Type is not
 * application/json; GET, HEAD and OPTIONS always get 0. A name that an attacker points at the
 * device's address (DNS rebinding) is the Host and the Origin at once: the stock plug-ins'
 * "-host" refuses such requests first, before a plug-in that shares their port is asked. */
static inline int websrv_answer_check_change(const websrv_session *session)
{
    const char *method = session->method;
    if (strcmp(method, "GET") == 0 || strcmp(method, "HEAD") == 0 || strcmp(method, "OPTIONS") == 0)
        return 0;
    if (!websrv_answer_same_origin(session))
        return 403;
    return websrv_answer_is_json(session) ? 0 : 415;
}

/* The version the status line of an answer to the session's request starts with, as in every
 * answer the server sends: the request's own when it is "HTTP/1.", a digit, and "HTTP/1.0" for
 * any other (a request that has none, or was not read that far; the server answers another major
 * version 505 itself). */
static inline const char *websrv_answer_version(const websrv_session *session)
{
    const char *text = session->protocol;
    if (text != NULL && strncmp(text, "HTTP/", 5) == 0 && text[5] == '1' && text[6] == '.' &&
        text[7] >= '0' && text[7] <= '9' && text[8] == '\0')
        return text;
    return "HTTP/1.0";
}

/* gmtime_r, the reentrant form, is POSIX: a build for strict ISO C without a feature-test macro
 * does not declare it, and the date is then taken with gmtime (whose result the C library keeps
 * in one buffer for the whole process). */
#if defined(__cplusplus) || !defined(__STRICT_ANSI__) || defined(_POSIX_C_SOURCE) || defined(_POSIX_SOURCE) || \
    defined(_XOPEN_SOURCE) || defined(_DEFAULT_SOURCE) || defined(_BSD_SOURCE) || defined(_GNU_SOURCE)
#define WEBSRV_ANSWER_UTC(when, parts) gmtime_r(when, parts)
#else
#define WEBSRV_ANSWER_UTC(when, parts) ((void)(parts), gmtime(when))
#endif

/* Writes the time `when` as an HTTP date ("Sun, 06 Nov 1994 08:49:37 GMT") into out[0..size);
 * "" when it cannot be written. */
static inline void websrv_answer_date(time_t when, char *out, size_t size)
{
    struct tm parts;
    const struct tm *utc = WEBSRV_ANSWER_UTC(&when, &parts);
    if (utc == NULL || strftime(out, size, "%a, %d %b %Y %H:%M:%S GMT", utc) == 0)
        out[0] = '\0';
}

/* Sends a whole answer on the session's connection: the status line (websrv_answer_version)
 * with the server's reason phrase, Server, Date, Content-Type (when `content_type` is not NULL), Content-Length, the
 * lines of `extra_lines` (each ending in CR LF; NULL for none), the connection's own header
 * lines, then the `length` bytes of `body` (none for a HEAD request). Returns 0, an on_route or
 * on_request hook's "answered", also when the client went away. */
static inline int websrv_answer_send(websrv_session *session, int status, const char *content_type,
                                     const char *extra_lines, const void *body, size_t length)
{
    const websrv_session_info *info = (const websrv_session_info *)session->reserved;
    const char *own_lines = info != NULL && info->size >= sizeof *info && info->header_lines != NULL
        ? info->header_lines : "";
    const char *version = websrv_answer_version(session);
    const websrv_plugin_desc *carrier = websrv_answer_carrier(session);
    char head[WEBSRV_ANSWER_HEAD_MAX];
    char date[64];
    int head_length;
    websrv_answer_date(time(NULL), date, sizeof date);
    head_length = snprintf(head, sizeof head,
                           "%s %d %s\r\nServer: TAVRIX/%u.%u\r\nDate: %s\r\n%s%s%sContent-Length: %lu\r\n"
                           "%s%sConnection: %s\r\n\r\n",
                           version, status, websrv_answer_reason(status), websrv_mcb.version_major,
                           websrv_mcb.version_minor, date, content_type != NULL ? "Content-Type: " : "",
                           content_type != NULL ? content_type : "", content_type != NULL ? "\r\n" : "",
                           (unsigned long)length, extra_lines != NULL ? extra_lines : "", own_lines,
                           websrv_answer_keeps(session) ? "keep-alive" : "close");
    if (head_length <= 0 || (size_t)head_length >= sizeof head) {
        /* The version has 8 characters: this one always fits. */
        head_length = snprintf(head, sizeof head, "%s 500 Internal Server Error\r\nContent-Length: 0\r\n"
                               "Connection: close\r\n\r\n", version);
        websrv_write_handler(session->socket, head, head_length, carrier);
        return 0;
    }
    if (websrv_write_handler(session->socket, head, head_length, carrier) < 0 ||
        strcasecmp(session->method, "HEAD") == 0)
        return 0;
    while (length > 0) {
        const int piece = length > 65536 ? 65536 : (int)length;
        if (websrv_write_handler(session->socket, body, piece, carrier) < 0)
            break;
        body = (const char *)body + piece;
        length -= (size_t)piece;
    }
    return 0;
}

/* Reads up to `size` bytes of the request's body from the connection into `buf`, waiting at
 * most 30 seconds for each piece: first what came with the header, then the socket, through the
 * carrying descriptor's read hook. A client that asked for "Expect: 100-continue" is told to go
 * on first. Returns the body's length: 0 without a Content-Length; -1 with errno EINVAL for a
 * length that is not all digits, EFBIG for a body over `size` (answer 413; nothing was read),
 * ETIMEDOUT or the read's own error when the client did not send it all. */
static inline long websrv_answer_read_body(websrv_session *session, void *buf, size_t size)
{
    const websrv_plugin_desc *carrier = websrv_answer_carrier(session);
    const websrv_plugin_ext *ext = (const websrv_plugin_ext *)carrier->reserved;
    const char *text = session->content_length;
    const char *expect = websrv_answer_field(session, "Expect");
    char *out = (char *)buf;
    size_t wanted = 0, have;
    const size_t digits = text != NULL ? strspn(text, "0123456789") : 0;
    if (text == NULL)
        return 0;
    if (digits == 0 || text[digits + strspn(text + digits, " \t")] != '\0' || digits > 15) {
        errno = EINVAL;
        return -1;
    }
    for (have = 0; have < digits; ++have)
        wanted = wanted * 10 + (size_t)(text[have] - '0');
    if (wanted > size) {
        errno = EFBIG;
        return -1;
    }
    have = (size_t)(session->buffer + session->received - session->cursor);
    have = have < wanted ? have : wanted;
    memcpy(out, session->cursor, have);
    if (have < wanted && expect != NULL && strncasecmp(expect, "100-continue", 12) == 0 &&
        websrv_write_handler(session->socket, "HTTP/1.1 100 Continue\r\n\r\n", 25, carrier) < 0)
        return -1;
    while (have < wanted) {
        struct pollfd ready = {session->socket, POLLIN, 0};
        const int held = ext != NULL && ext->size >= offsetof(websrv_plugin_ext, on_pending) + sizeof ext->on_pending &&
                         ext->on_pending != NULL ? ext->on_pending(session->socket) : 0;
        int got;
        if (held <= 0 && poll(&ready, 1, 30000) <= 0) {
            errno = ETIMEDOUT;
            return -1;
        }
        got = carrier->on_read != NULL ? carrier->on_read(session->socket, out + have, wanted - have)
                                       : (int)recv(session->socket, out + have, wanted - have, 0);
        if (got == 0)
            errno = ECONNRESET;
        if (got < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        if (got <= 0)
            return -1;
        have += (size_t)got;
    }
    return (long)wanted;
}

#ifdef __cplusplus
}
#endif

#endif /* WEBSRV_ANSWER_H */
