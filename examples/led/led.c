/*
 * led.c - a device API in a plug-in: the example to copy for your own.
 *
 *     GET  /api/led                  {"on":false}
 *     POST /api/led  {"on":true}     {"on":true}     (Content-Type: application/json)
 *
 * A POST switches the LED only when it comes from a page of the device itself, or from a
 * program: any page the user's browser shows may otherwise switch it, since a browser sends a
 * form's or a script's POST to another site without asking that site first. The answer
 * helper's websrv_answer_check_change refuses a POST whose Origin (or Referer) names another
 * host with 403, and one whose body is not declared application/json (all a page of another
 * site can send without the device's consent) with 415. Against a name that an attacker
 * points at the device's address, run http.so or https.so with "-host" and the device's names.
 *
 * The plug-in answers its URLs itself, from its on_route hook, before the server looks for a
 * file: no CGI program, no fork. It shares its port with http.so or https.so when one of them
 * serves that port (the web pages, passwords and TLS are theirs: a path behind "-auth" is
 * checked before this hook is asked), and listens on it itself otherwise:
 *
 *     websrv -plugin http.so -port 8080 -plugin led.so -led-port 8080 -led-state /var/lib/led -d www
 *
 * The LED's state lives in a file, so that every process of the server sees it; a real device
 * would drive a GPIO line here. Build it against an installed server:
 *
 *     cc $(pkg-config --cflags websrv) -Wall -Wextra -Werror -shared -fPIC -o led.so led.c
 *
 * Options: "-led-port N" (default 8080), "-led-state FILE" (default /tmp/websrv-led).
 */

/* POSIX (open's O_CLOEXEC, PATH_MAX) also under a strict -std=c11: the C library reads this
 * at its first header, so it comes before every #include. */
#define _POSIX_C_SOURCE 200809L

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "led_json.h"
#include "websrv_answer.h"

/* A body over this is refused with 413 before a byte of it is read. */
#define LED_BODY_MAX 4096

static char state_path[PATH_MAX] = "/tmp/websrv-led";

/* ---- The LED -------------------------------------------------------------------------- */

/* Whether the LED is on: the state file holds "1". No file yet: off. */
static int led_is_on(void)
{
    char state = '0';
    const int fd = open(state_path, O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        if (read(fd, &state, 1) != 1)
            state = '0';
        close(fd);
    }
    return state == '1';
}

/* Switches the LED: the new state goes to a file beside the state file, which then takes its
 * place, so a reader in another process sees the old state or the new, never half of one. */
static int led_switch(int on)
{
    char temporary[PATH_MAX + 24];
    int fd;
    int written;
    snprintf(temporary, sizeof temporary, "%s.%d", state_path, (int)getpid());
    fd = open(temporary, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return -1;
    written = (int)write(fd, on ? "1\n" : "0\n", 2);
    if (close(fd) != 0 || written != 2 || rename(temporary, state_path) != 0) {
        unlink(temporary);
        return -1;
    }
    return 0;
}

/* ---- Answers -------------------------------------------------------------------------- */

static int answer_state(websrv_session *session)
{
    const char *body = led_is_on() ? "{\"on\":true}\n" : "{\"on\":false}\n";
    return websrv_answer_send(session, 200, "application/json", "Cache-Control: no-store\r\n", body, strlen(body));
}

/* An error as JSON: {"error":"why"}, the reason's quotes escaped. */
static int answer_error(websrv_session *session, int status, const char *extra, const char *reason)
{
    char body[256];
    size_t length = 0;
    memcpy(body, "{\"error\":\"", 10);
    for (length = 10; *reason != '\0' && length < sizeof body - 8; ++reason) {
        if (*reason == '"' || *reason == '\\')
            body[length++] = '\\';
        body[length++] = *reason;
    }
    memcpy(body + length, "\"}\n", 3);
    return websrv_answer_send(session, status, "application/json", extra, body, length + 3);
}

/* POST: a body of {"on":true} or {"on":false}, as JSON from a page of the device. */
static int answer_switch(websrv_session *session)
{
    char body[LED_BODY_MAX];
    led_body wanted;
    const int refusal = websrv_answer_check_change(session);
    long length;
    if (refusal == 403)
        return answer_error(session, 403, NULL, "only the device's own pages may switch the LED");
    if (refusal != 0)
        return answer_error(session, refusal, NULL, "the body must be sent as application/json");
    length = websrv_answer_read_body(session, body, sizeof body);
    if (length < 0 && errno == EFBIG)
        return answer_error(session, 413, NULL, "the body may hold 4096 bytes at most");
    if (length < 0 && errno == EINVAL)
        return answer_error(session, 400, NULL, "Content-Length must be a number");
    if (length < 0)
        return 0; /* the client went away or stopped sending: nobody to answer */
    wanted = led_read_body(body, (size_t)length);
    if (wanted.error != NULL)
        return answer_error(session, 400, NULL, wanted.error);
    if (led_switch(wanted.on) != 0) {
        log_msg(WEBSRV_LOG_ERROR, "led: cannot write %s: %s\n", state_path, strerror(errno));
        return answer_error(session, 500, NULL, "the state cannot be saved");
    }
    return answer_state(session);
}

/* The route hook: our URL, or 1 so that the server goes on. */
static int led_route(websrv_session *session)
{
    if (strcmp(session->uri, "api/led") != 0)
        return 1;
    if (strcmp(session->method, "GET") == 0 || strcmp(session->method, "HEAD") == 0)
        return answer_state(session);
    if (strcmp(session->method, "POST") == 0)
        return answer_switch(session);
    return answer_error(session, 405, "Allow: GET, HEAD, POST\r\n", "use GET or POST");
}

/* ---- Options and registration --------------------------------------------------------- */

static int led_option(int *index, char **argv);

/* Consent to many sessions per process (nothing of a session is kept in globals), our route,
 * the port shared with the plug-in that serves the pages, and the server's services, which the
 * answer helper reads the request and sends our answers with. */
static websrv_plugin_ext led_ext = {
    .size = sizeof(websrv_plugin_ext),
    .flags = WEBSRV_EXT_MANY_SESSIONS | WEBSRV_EXT_SHARES_PORT,
    .on_route = led_route,
    .on_services = websrv_answer_use,
};

static websrv_plugin_desc led_desc = {
    .version_major = WEBSRV_VERSION_MAJOR,
    .version_minor = WEBSRV_VERSION_MINOR,
    .name = "led",
    .port = 8080,
    .on_option = led_option,
    .reserved = &led_ext,
};

static int led_option(int *index, char **argv)
{
    const char *value = argv[*index + 1];
    if (strcmp(argv[*index], "-led-port") != 0 && strcmp(argv[*index], "-led-state") != 0)
        return 1;
    if (value == NULL) {
        log_msg(WEBSRV_LOG_ERROR, "led: %s needs a value\n", argv[*index]);
        return -1;
    }
    if (strcmp(argv[*index], "-led-state") == 0) {
        /* Relative to the directory in force now: a later "-d" does not move it. */
        char here[PATH_MAX] = "";
        const int length = snprintf(state_path, sizeof state_path, "%s%s%s",
                                    value[0] == '/' ? "" : getcwd(here, sizeof here) != NULL ? here : ".",
                                    value[0] == '/' ? "" : "/", value);
        if (length < 0 || (size_t)length >= sizeof state_path) {
            log_msg(WEBSRV_LOG_ERROR, "led: -led-state %s: the path is too long\n", value);
            return -1;
        }
    } else {
        char *end;
        const long port = strtol(value, &end, 10);
        if (*end != '\0' || port < 1 || port > 65535) {
            log_msg(WEBSRV_LOG_ERROR, "led: -led-port needs a port from 1 to 65535, not \"%s\"\n", value);
            return -1;
        }
        /* The server copied the descriptor: register it again with the new port. */
        websrv_unregister_plugin(led_desc.name);
        led_desc.port = (int)port;
        if (websrv_register_plugin(&led_desc) < 0)
            return -1;
    }
    *index += 2;
    return 0;
}

WEBSRV_API int plugin_init(void)
{
    return websrv_register_plugin(&led_desc);
}
