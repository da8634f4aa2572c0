/*
 * tp_route - a test plug-in in plain C that answers URLs of its own from on_route, through the
 * answer helper. It shares its port ("-route-port N", default 8080) with a plug-in that owns it,
 * or listens there itself:
 *
 *   virtual/hello     200 "hello from a route\n" (text/plain), also for paths that exist
 *   missing/answered  200 "answered without a file\n"
 *   virtual/echo      the request body back (at most 64 bytes: 413 above; 400 for a length
 *                     that is no number)
 *   anything else     declined: the server goes on
 */
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "websrv_answer.h"

static int send_text(websrv_session *session, int status, const char *text)
{
    return websrv_answer_send(session, status, "text/plain", NULL, text, strlen(text));
}

static int echo(websrv_session *session)
{
    char body[64];
    const long length = websrv_answer_read_body(session, body, sizeof body);
    if (length < 0 && errno == EFBIG)
        return send_text(session, 413, "too long\n");
    if (length < 0 && errno == EINVAL)
        return send_text(session, 400, "no length\n");
    if (length < 0)
        return 0;
    return websrv_answer_send(session, 200, "application/octet-stream", "X-Echo: yes\r\n", body, (size_t)length);
}

static int route(websrv_session *session)
{
    if (strcmp(session->uri, "virtual/hello") == 0)
        return send_text(session, 200, "hello from a route\n");
    if (strcmp(session->uri, "missing/answered") == 0)
        return send_text(session, 200, "answered without a file\n");
    if (strcmp(session->uri, "virtual/echo") == 0)
        return echo(session);
    return 1;
}

static int route_option(int *index, char **argv);

static websrv_plugin_ext route_ext = {
    .size = sizeof(websrv_plugin_ext),
    .flags = WEBSRV_EXT_MANY_SESSIONS | WEBSRV_EXT_SHARES_PORT,
    .on_route = route,
    .on_services = websrv_answer_use,
};

static websrv_plugin_desc route_desc = {.version_major = WEBSRV_VERSION_MAJOR, .version_minor = WEBSRV_VERSION_MINOR,
                                        .name = "tp_route", .port = 8080, .on_option = route_option,
                                        .reserved = &route_ext};

static int route_option(int *index, char **argv)
{
    if (strcmp(argv[*index], "-route-port") != 0 || argv[*index + 1] == NULL)
        return 1;
    websrv_unregister_plugin(route_desc.name);
    route_desc.port = atoi(argv[*index + 1]);
    *index += 2;
    return websrv_register_plugin(&route_desc);
}

WEBSRV_API int plugin_init(void)
{
    return websrv_register_plugin(&route_desc);
}
