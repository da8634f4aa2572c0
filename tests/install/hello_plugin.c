/* hello_plugin - a plug-in built out of tree, against the installed header only.
 *
 * The install test compiles it with nothing but `pkg-config --cflags websrv-plugin` and loads
 * it into the installed server. It listens on the port given by "-hello-port N" and answers
 * requests for "hello.txt" itself, from its on_request hook, through websrv_write_handler:
 *
 *   HTTP/1.0 200 OK
 *   Content-Type: text/plain
 *
 *   hello from an installed plug-in
 *   port=N method=M path=P query=Q host=H
 *
 * The second line echoes fields of the session record, so a record layout that differs
 * between the installed header and the installed server shows as a wrong answer. Every other
 * path is declined and served by the server itself.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <websrv_plugin.h>

static int hello_option(int *index, char **argv);
static int hello_request(websrv_session *session);

static websrv_plugin_desc hello_desc = {
    WEBSRV_VERSION_MAJOR,
    WEBSRV_VERSION_MINOR,
    "hello",
    8081,          /* port until "-hello-port N" moves it */
    hello_option,  /* on_option */
    NULL,          /* on_start */
    NULL,          /* on_session_init */
    NULL,          /* on_read */
    NULL,          /* on_write */
    hello_request, /* on_request */
    NULL,          /* reserved */
    NULL,          /* on_directory */
    NULL,          /* on_sendfile */
    NULL,          /* on_session_end */
};

static const char *text_or_none(const char *text)
{
    return text != NULL ? text : "(none)";
}

/* Writes all of buf; websrv_write_handler may write less than asked. Returns 0 or -1. */
static int write_all(int fd, const char *buf, int len)
{
    while (len > 0) {
        int sent = websrv_write_handler(fd, buf, len, &hello_desc);
        if (sent <= 0)
            return -1;
        buf += sent;
        len -= sent;
    }
    return 0;
}

static int hello_request(websrv_session *session)
{
    char reply[1024];
    int length;
    if (strcmp(session->uri, "hello.txt") != 0)
        return 1; /* not ours: the server serves it */
    length = snprintf(reply, sizeof reply,
                      "HTTP/1.0 200 OK\r\n"
                      "Content-Type: text/plain\r\n"
                      "\r\n"
                      "hello from an installed plug-in\n"
                      "port=%d method=%s path=%s query=%s host=%s\n",
                      session->port, session->method, session->uri,
                      text_or_none(session->query), text_or_none(session->host));
    if (length < 0 || length >= (int)sizeof reply)
        return 1; /* cannot answer it whole: let the server do it */
    if (write_all(session->socket, reply, length) < 0)
        log_msg(WEBSRV_LOG_ERROR, "hello: the answer could not be sent\n");
    return 0;
}

static int hello_option(int *index, char **argv)
{
    const char *value;
    char *end = NULL;
    long port;
    if (strcmp(argv[*index], "-hello-port") != 0)
        return 1;
    value = argv[*index + 1];
    port = value != NULL ? strtol(value, &end, 10) : 0;
    if (value == NULL || *value == '\0' || *end != '\0' || port < 1 || port > 65535) {
        log_msg(WEBSRV_LOG_ERROR, "hello: -hello-port needs a port from 1 to 65535\n");
        return -1;
    }
    /* The server holds a copy of the descriptor: replace it with one on the new port. */
    websrv_unregister_plugin(hello_desc.name);
    hello_desc.port = (int)port;
    if (websrv_register_plugin(&hello_desc) < 0)
        return -1;
    *index += 2;
    return 0;
}

int plugin_init(void)
{
    return websrv_register_plugin(&hello_desc);
}
