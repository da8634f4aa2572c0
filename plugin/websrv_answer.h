/*
 * websrv_answer.h - a plug-in's own answers: read the request's header lines and body, send a
 * whole answer from an on_route or on_request hook, and refuse cross-site requests that would
 * change the device's state.
 *
 * Static inline functions over websrv_plugin.h and the server's services table
 * (websrv_services): nothing more to link, and the server exports nothing new for them. Plain C;
 * compiles as C99 or C11 (strict or not) and as C++. The plug-in hands the table over once, by
 * naming websrv_answer_use as the on_services hook of its extension record:
 *
 *     static websrv_plugin_ext led_ext = {
 *         .size = sizeof(websrv_plugin_ext),
 *         .flags = WEBSRV_EXT_MANY_SESSIONS | WEBSRV_EXT_SHARES_PORT,
 *         .on_route = led_route,
 *         .on_services = websrv_answer_use,
 *     };
 *
 *     static int led_route(websrv_session *session)
 *     {
 *         if (strcmp(session->uri, "api/led") != 0)
 *             return 1;                         // not ours: the server goes on
 *         return websrv_answer_send(session, 200, "application/json", NULL, "{\"on\":false}", 12);
 *     }
 *
 * The server composes every answer (status line, its Server and Date lines, the header lines the
 * connection's plug-in adds to every answer with "-header") and sends it through the descriptor
 * that carries the connection (over TLS on https.so's TLS port); it keeps the connection for the
 * next request when the client asks and the server keeps connections ("-k"). Without the table
 * (a server older than the header), header lookups find nothing, answers send nothing, and a body
 * read fails with ENOSYS.
 */
#ifndef WEBSRV_ANSWER_H
#define WEBSRV_ANSWER_H

#include <errno.h>
#include <stddef.h>
#include <string.h>

#include "websrv_plugin.h"
#include "websrv_words.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The table handed over by websrv_answer_use: one per plug-in, shared by all its source files
 * where the compiler merges weak definitions (a plug-in of one file has it either way). */
#if defined(__cplusplus)
__attribute__((visibility("hidden"))) inline const websrv_services *websrv_answer_services = NULL;
#elif defined(__GNUC__)
__attribute__((weak, visibility("hidden"))) const websrv_services *websrv_answer_services;
#else
static const websrv_services *websrv_answer_services;
#endif

/* The on_services hook of a plug-in that uses this header: keeps the server's table. */
static inline void websrv_answer_use(const websrv_services *services)
{
    websrv_answer_services = services;
}

/* The table's function `field`, or NULL where the server's table lacks it. */
#define WEBSRV_ANSWER_SERVICE(field)                                                                     \
    (websrv_answer_services != NULL &&                                                                   \
             websrv_answer_services->size >= offsetof(websrv_services, field) + sizeof websrv_answer_services->field \
         ? websrv_answer_services->field                                                                 \
         : NULL)

/* The value of the request's header field `name` (compared ignoring case, without its colon),
 * without the blanks around it; NULL when the request has none. */
static inline const char *websrv_answer_field(const websrv_session *session, const char *name)
{
    const char *(*header)(const websrv_session *, const char *, int *) = WEBSRV_ANSWER_SERVICE(header);
    return header != NULL ? header(session, name, NULL) : NULL;
}

/* Sends a whole answer (see websrv_services.answer): the status line with the server's reason
 * phrase, Server, Date, Content-Type (when `content_type` is not NULL), Content-Length, the lines
 * of `extra_lines` (each ending in CR LF; NULL for none), the connection's own header lines, the
 * Connection line, then the `length` bytes of `body` (none for a HEAD request). Returns 0, an
 * on_route or on_request hook's "answered", also when the client went away. */
static inline int websrv_answer_send(websrv_session *session, int status, const char *content_type,
                                     const char *extra_lines, const void *body, size_t length)
{
    int (*answer)(websrv_session *, int, const char *, const char *, const void *, size_t) = WEBSRV_ANSWER_SERVICE(answer);
    return answer != NULL ? answer(session, status, content_type, extra_lines, body, length) : 0;
}

/* Reads the request's body into buf[0..size) (see websrv_services.read_body): what came with the
 * header, then the rest, decoded when it came chunked; a client that asked for "Expect:
 * 100-continue" is told to go on first. Returns the body's length, 0 without one; -1 with errno
 * EFBIG for a body over `size` (answer 413), EBADMSG for a badly framed one, ETIMEDOUT or
 * ECONNRESET when the client did not send it all. */
static inline long websrv_answer_read_body(websrv_session *session, void *buf, size_t size)
{
    long (*read_body)(websrv_session *, void *, size_t) = WEBSRV_ANSWER_SERVICE(read_body);
    if (read_body == NULL) {
        errno = ENOSYS;
        return -1;
    }
    return read_body(session, buf, size);
}

/* Whether the first `length` bytes of `a` and `b` are equal, ASCII letters of either case alike. */
static inline int websrv_answer_same_nocase(const char *a, const char *b, size_t length)
{
    size_t i;
    for (i = 0; i < length; ++i) {
        const char x = a[i] >= 'A' && a[i] <= 'Z' ? (char)(a[i] + 32) : a[i];
        const char y = b[i] >= 'A' && b[i] <= 'Z' ? (char)(b[i] + 32) : b[i];
        if (x != y)
            return 0;
    }
    return 1;
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
    length = strcspn(authority, "/?#");
    return length == strlen(host) && websrv_answer_same_nocase(authority, host, length);
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
    if (type == NULL || !websrv_answer_same_nocase(type, "application/json", 16))
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

#ifdef __cplusplus
}
#endif

#endif /* WEBSRV_ANSWER_H */
