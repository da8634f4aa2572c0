/* tp_record - a test plug-in that records every hook call, in plain C.
 *
 * Hooks run in the connection's child process, so a test cannot see them directly; this
 * plug-in appends one line per call to a file (opened with O_APPEND for each line, so the
 * lines of several processes never mix). plugin_init registers "record" on port 1; the
 * options below, which must follow the "-plugin" argument, move it and change its ways:
 *
 *   -record FILE          the file the lines are appended to (nothing is recorded without it)
 *   -record-port N        serve port N
 *   -no-io-hooks          leave on_read, on_write and on_sendfile empty: the server reads,
 *                         writes and sends files itself
 *   -read-bytewise        on_read hands over one byte per call
 *   -short-write N        on_write sends at most N bytes per call and reports that count
 *   -sendfile-chunk N     on_sendfile moves at most N bytes per call
 *   -request-answer       on_request writes its own reply through websrv_write_handler and
 *                         returns 0 (the server must add nothing)
 *   -request-answer-bytes N  the same with a body of N bytes ("a"), written in one call
 *   -request-answer-claim N  the same with the body "hello" behind the lines "Content-Length: N"
 *                         and "Connection: keep-alive" (an answer short of its length when N > 5)
 *   -request-fail         on_request returns -1 (the server must go on as without the hook)
 *   -send-buffer N        on_session_init gives the connection a send buffer of N bytes, as
 *                         on a device short of memory: the server's sends wait for the client
 *   -init-fail            on_session_init returns -1
 *   -directory PATH       on_directory writes PATH and returns 0
 *   -directory-fail       on_directory returns -1
 *   -unregister-in HOOK   "init" or "request": that hook unregisters "record" and goes on
 *   -record-info          on_session_init records the session's info record (see below)
 *   -record-time          on_session_init and on_session_end record when they ran (see below)
 *   -header-line TEXT     on_session_init asks for the line "TEXT\r\n" in every header block
 *   -remote-user NAME     on_session_init reports NAME as a user checked by "Basic"
 *   -tls                  on_session_init reports the connection as carried over TLS
 *   -end-helper MS        on_session_end starts a process that lives MS milliseconds and so
 *                         outlives the connection's child (the server adopts and reaps it);
 *                         its pid is recorded as "helper pid=N"
 *   -consent              the descriptor's extension record lets one process serve many
 *                         sessions; on_open and on_close record the connection's ends
 *   -leak N               on_session_init takes two blocks of N bytes each with websrv_malloc and
 *                         never frees them
 *   -record-ids           on_session_init records the user and group it runs as
 *
 * Lines, one per call ("(null)" stands for a null text, [..] holds a text as it is, with CR
 * and LF written as \r and \n):
 *
 *   start fd=N
 *   init
 *   ids uid=U gid=G           (with -record-ids)
 *   info size=N peer=[..] peer_port=N family=F
 *   time start=MS pid=P      (on_session_init; MS: the monotonic clock, milliseconds)
 *   time end=MS pid=P        (on_session_end)
 *   read len=L got=G
 *   request method=[..] uri=[..] query=[..] protocol=[..] host=[..] user_agent=[..]
 *           content_length=[..] content_type=[..] if_modified_since=[..] authorization=[..]
 *           received=N header_length=N cursor=N body=[..]      (all on one line)
 *   directory result=R
 *   write len=L sent=S
 *   sendfile count=C sent=S
 *   unregister result=R
 *   end closed=0|1 buffer=[..]    (closed: the session's socket is no longer open;
 *                                  buffer: the start of the request buffer)
 *   open fd=N lasting=L pid=P     (on_open, with -consent)
 *   close fd=N pid=P              (on_close, with -consent)
 */
/* POSIX (nanosleep, clock_gettime, O_CLOEXEC) under a strict -std= too. */
#define _POSIX_C_SOURCE 200809L

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "websrv_plugin.h"

#define RECORD_NAME "record"
#define LINE_SIZE 8192
#define TEXT_LIMIT 200 /* characters of one text value kept in a line */

static char record_path[1024];
static int io_hooks = 1;
static int read_bytewise;
static size_t short_write;    /* 0: no limit */
static size_t sendfile_chunk; /* 0: no limit */
static int request_answer;
static size_t request_answer_bytes; /* 0: the short answer */
static long request_answer_claim = -1; /* -1: no claimed length */
static size_t send_buffer;          /* 0: the system's */
static int request_fail;
static int init_fail;
static int directory_fail;
static size_t end_helper_ms;  /* 0: no helper process */
static char directory_path[WEBSRV_PATH_MAX];
static char unregister_in[16];
static int record_info;
static int record_time;
static char header_line[512];
static char remote_user[64];
static int tls;
static size_t leak;  /* bytes each session takes and never gives back */
static int record_ids;

static websrv_plugin_desc record_desc;

/* ---- Recording ------------------------------------------------------------------------ */

struct line {
    char text[LINE_SIZE];
    size_t length;
};

static void add(struct line *line, const char *format, ...)
{
    va_list args;
    int wanted;
    if (line->length + 1 >= sizeof line->text)
        return;
    va_start(args, format);
    wanted = vsnprintf(line->text + line->length, sizeof line->text - line->length, format, args);
    va_end(args);
    if (wanted > 0)
        line->length += (size_t)wanted < sizeof line->text - line->length
                            ? (size_t)wanted
                            : sizeof line->text - line->length - 1;
}

/* Adds " name=[value]" (at most TEXT_LIMIT characters of it) or " name=(null)". */
static void add_text(struct line *line, const char *name, const char *value)
{
    size_t i;
    if (value == NULL) {
        add(line, " %s=(null)", name);
        return;
    }
    add(line, " %s=[", name);
    for (i = 0; value[i] != '\0' && i < TEXT_LIMIT; ++i) {
        if (value[i] == '\r')
            add(line, "\\r");
        else if (value[i] == '\n')
            add(line, "\\n");
        else
            add(line, "%c", value[i]);
    }
    add(line, "]");
}

/* Appends the line and a line end to the record file in one write. */
static void commit(struct line *line)
{
    int fd;
    ssize_t written;
    if (record_path[0] == '\0')
        return;
    add(line, "\n");
    fd = open(record_path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    written = write(fd, line->text, line->length);
    (void)written;
    close(fd);
}

static void record(const char *format, ...)
{
    struct line line;
    va_list args;
    int wanted;
    va_start(args, format);
    wanted = vsnprintf(line.text, sizeof line.text, format, args);
    va_end(args);
    line.length = wanted < 0 ? 0 : (size_t)wanted < sizeof line.text ? (size_t)wanted : sizeof line.text - 1;
    commit(&line);
}

/* ---- Hooks ---------------------------------------------------------------------------- */

static int record_start(int listen_fd)
{
    record("start fd=%d", listen_fd);
    return 0;
}

static int unregister_now(void)
{
    const int result = websrv_unregister_plugin(RECORD_NAME);
    record("unregister result=%d", result);
    return result;
}

/* Records "time WHAT=MS pid=P" when asked to (-record-time). */
static void record_moment(const char *what)
{
    struct timespec now;
    if (!record_time)
        return;
    clock_gettime(CLOCK_MONOTONIC, &now);
    record("time %s=%lld pid=%d", what, (long long)now.tv_sec * 1000 + now.tv_nsec / 1000000, (int)getpid());
}

/* Records the info record and tells the server what the options ask for. */
static void use_info(websrv_session *session)
{
    websrv_session_info *info = (websrv_session_info *)session->reserved;
    if (record_info)
        record("info size=%u peer=[%s] peer_port=%u family=%d", info->size, info->peer_text,
               info->peer_port, (int)info->peer.ss_family);
    if (header_line[0] != '\0')
        info->header_lines = header_line;
    if (remote_user[0] != '\0') {
        info->remote_user = remote_user;
        info->auth_type = "Basic";
    }
    info->tls = tls;
}

static int record_session_init(websrv_session *session)
{
    if (send_buffer > 0) {
        const int size = (int)send_buffer;
        setsockopt(session->socket, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    }
    for (int block = 0; leak != 0 && block < 2; ++block) {
        char *taken = (char *)websrv_malloc(leak);
        if (taken != NULL)
            memset(taken, 1, leak);  /* touched, so it is resident */
    }
    record("init");
    if (record_ids)
        record("ids uid=%d gid=%d", (int)getuid(), (int)getgid());
    record_moment("start");
    use_info(session);
    if (strcmp(unregister_in, "init") == 0)
        unregister_now();
    return init_fail ? -1 : 0;
}

static int record_read(int fd, void *buf, size_t len)
{
    const int got = (int)recv(fd, buf, read_bytewise && len > 1 ? 1 : len, 0);
    const int saved = errno;
    record("read len=%d got=%d", (int)len, got);
    errno = saved;
    return got;
}

static int record_write(int fd, const void *buf, int len)
{
    size_t count = len > 0 ? (size_t)len : 0;
    int sent;
    int saved;
    if (short_write != 0 && count > short_write)
        count = short_write;
    sent = (int)send(fd, buf, count, MSG_NOSIGNAL);
    saved = errno;
    record("write len=%d sent=%d", len, sent);
    errno = saved;
    return sent;
}

static int record_sendfile(int out_fd, int in_fd, off_t *offset, size_t count)
{
    size_t chunk = count;
    int sent;
    int saved;
    if (sendfile_chunk != 0 && chunk > sendfile_chunk)
        chunk = sendfile_chunk;
    sent = (int)sendfile(out_fd, in_fd, offset, chunk);
    saved = errno;
    record("sendfile count=%lu sent=%d", (unsigned long)count, sent);
    errno = saved;
    return sent;
}

static int record_request(websrv_session *session)
{
    static const char answer[] = "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nanswered by record\n";
    struct line line;
    line.length = 0;
    add(&line, "request");
    add_text(&line, "method", session->method);
    add_text(&line, "uri", session->uri);
    add_text(&line, "query", session->query);
    add_text(&line, "protocol", session->protocol);
    add_text(&line, "host", session->host);
    add_text(&line, "user_agent", session->user_agent);
    add_text(&line, "content_length", session->content_length);
    add_text(&line, "content_type", session->content_type);
    add_text(&line, "if_modified_since", session->if_modified_since);
    add_text(&line, "authorization", session->authorization);
    add(&line, " received=%d header_length=%d cursor=%d", session->received,
        session->header_length, (int)(session->cursor - session->buffer));
    add_text(&line, "body", session->cursor);
    commit(&line);

    if (strcmp(unregister_in, "request") == 0) {
        unregister_now();
        return 1;
    }
    if (request_fail)
        return -1;
    if (request_answer && request_answer_claim >= 0) {
        char claimed[160];
        const int length = snprintf(claimed, sizeof claimed, "HTTP/1.1 200 Ok\r\nContent-Length: %ld\r\n"
                                    "Connection: keep-alive\r\n\r\nhello", request_answer_claim);
        websrv_write_handler(session->socket, claimed, length, &record_desc);
        return 0;
    }
    if (request_answer && request_answer_bytes > 0) {
        static const char head[] = "HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\n\r\n";
        char *whole = malloc(sizeof head - 1 + request_answer_bytes);
        if (whole != NULL) {
            memcpy(whole, head, sizeof head - 1);
            memset(whole + sizeof head - 1, 'a', request_answer_bytes);
            websrv_write_handler(session->socket, whole, (int)(sizeof head - 1 + request_answer_bytes), &record_desc);
            free(whole);
        }
        return 0;
    }
    if (request_answer) {
        websrv_write_handler(session->socket, answer, (int)(sizeof answer - 1), &record_desc);
        return 0;
    }
    return 1;
}

static int record_directory(websrv_session *session, char *path)
{
    (void)session;
    if (directory_fail) {
        record("directory result=-1");
        return -1;
    }
    if (directory_path[0] != '\0')
        snprintf(path, WEBSRV_PATH_MAX, "%s", directory_path);
    else
        strcpy(path, "index.html");
    record("directory result=0");
    return 0;
}

/* A process that outlives the connection's child by about `ms` milliseconds; its pid is
 * recorded as "helper pid=N". */
static void start_helper(long ms)
{
    const pid_t helper = fork();
    if (helper > 0)
        record("helper pid=%d", (int)helper);
    if (helper == 0) {
        struct timespec pause;
        pause.tv_sec = ms / 1000;
        pause.tv_nsec = (ms % 1000) * 1000000L;
        while (nanosleep(&pause, &pause) != 0) {
        }
        _exit(0);
    }
}

static int record_session_end(websrv_session *session)
{
    /* Look at the socket before anything here opens a descriptor that could reuse it. */
    const int closed = fcntl(session->socket, F_GETFD) == -1 && errno == EBADF;
    struct line line;
    line.length = 0;
    add(&line, "end closed=%d", closed);
    add_text(&line, "buffer", session->buffer);
    commit(&line);
    record_moment("end");
    if (end_helper_ms > 0)
        start_helper((long)end_helper_ms);
    return 0;
}

/* ---- Consent to serve many sessions ------------------------------------------------- */

static int record_open(int fd, int port, unsigned lasting)
{
    (void)port;
    record("open fd=%d lasting=%u pid=%d", fd, lasting, (int)getpid());
    return 0;
}

static int record_close(int fd)
{
    record("close fd=%d pid=%d", fd, (int)getpid());
    return 0;
}

static websrv_plugin_ext record_ext = {.size = sizeof(websrv_plugin_ext), .flags = WEBSRV_EXT_MANY_SESSIONS,
                                       .on_open = record_open, .on_close = record_close};

/* ---- Options and registration --------------------------------------------------------- */

static int record_option(int *index, char **argv);

/* Replaces the registered copy of the descriptor with the current one. */
static int reregister(void)
{
    record_desc.on_read = io_hooks ? record_read : NULL;
    record_desc.on_write = io_hooks ? record_write : NULL;
    record_desc.on_sendfile = io_hooks ? record_sendfile : NULL;
    websrv_unregister_plugin(RECORD_NAME);
    return websrv_register_plugin(&record_desc);
}

/* A count option's value: digits only, above 0. Returns 0 when it is not one. */
static size_t count_value(const char *value)
{
    char *end = NULL;
    unsigned long number;
    if (value == NULL || value[0] < '0' || value[0] > '9')
        return 0;
    number = strtoul(value, &end, 10);
    return *end == '\0' ? (size_t)number : 0;
}

static int record_option(int *index, char **argv)
{
    const char *option = argv[*index];
    const char *value = argv[*index + 1];
    int taken = 1;
    if (strcmp(option, "-record") == 0 && value != NULL) {
        snprintf(record_path, sizeof record_path, "%s", value);
        taken = 2;
    } else if (strcmp(option, "-record-port") == 0 && count_value(value) != 0) {
        record_desc.port = (int)count_value(value);
        taken = 2;
    } else if (strcmp(option, "-no-io-hooks") == 0) {
        io_hooks = 0;
    } else if (strcmp(option, "-read-bytewise") == 0) {
        read_bytewise = 1;
    } else if (strcmp(option, "-short-write") == 0 && count_value(value) != 0) {
        short_write = count_value(value);
        taken = 2;
    } else if (strcmp(option, "-sendfile-chunk") == 0 && count_value(value) != 0) {
        sendfile_chunk = count_value(value);
        taken = 2;
    } else if (strcmp(option, "-request-answer") == 0) {
        request_answer = 1;
    } else if (strcmp(option, "-request-answer-bytes") == 0 && count_value(value) != 0) {
        request_answer = 1;
        request_answer_bytes = count_value(value);
        taken = 2;
    } else if (strcmp(option, "-request-answer-claim") == 0 && count_value(value) != 0) {
        request_answer = 1;
        request_answer_claim = (long)count_value(value);
        taken = 2;
    } else if (strcmp(option, "-send-buffer") == 0 && count_value(value) != 0) {
        send_buffer = count_value(value);
        taken = 2;
    } else if (strcmp(option, "-request-fail") == 0) {
        request_fail = 1;
    } else if (strcmp(option, "-init-fail") == 0) {
        init_fail = 1;
    } else if (strcmp(option, "-directory") == 0 && value != NULL) {
        snprintf(directory_path, sizeof directory_path, "%s", value);
        taken = 2;
    } else if (strcmp(option, "-directory-fail") == 0) {
        directory_fail = 1;
    } else if (strcmp(option, "-record-info") == 0) {
        record_info = 1;
    } else if (strcmp(option, "-record-time") == 0) {
        record_time = 1;

    } else if (strcmp(option, "-header-line") == 0 && value != NULL) {
        snprintf(header_line, sizeof header_line, "%s\r\n", value);
        taken = 2;
    } else if (strcmp(option, "-remote-user") == 0 && value != NULL) {
        snprintf(remote_user, sizeof remote_user, "%s", value);
        taken = 2;
    } else if (strcmp(option, "-tls") == 0) {
        tls = 1;
    } else if (strcmp(option, "-end-helper") == 0 && count_value(value) != 0) {

        end_helper_ms = count_value(value);
        taken = 2;
    } else if (strcmp(option, "-consent") == 0) {
        record_desc.reserved = &record_ext;
    } else if (strcmp(option, "-record-ids") == 0) {
        record_ids = 1;
    } else if (strcmp(option, "-leak") == 0 && count_value(value) != 0) {
        leak = count_value(value);
        taken = 2;
    } else if (strcmp(option, "-unregister-in") == 0 && value != NULL) {
        snprintf(unregister_in, sizeof unregister_in, "%s", value);
        taken = 2;
    } else {
        return 1;
    }
    if (reregister() < 0)
        return -1;
    *index += taken;
    return 0;
}

int plugin_init(void)
{
    memset(&record_desc, 0, sizeof record_desc);
    record_desc.version_major = WEBSRV_VERSION_MAJOR;
    record_desc.version_minor = WEBSRV_VERSION_MINOR;
    strcpy(record_desc.name, RECORD_NAME);
    record_desc.port = 1;
    record_desc.on_option = record_option;
    record_desc.on_start = record_start;
    record_desc.on_session_init = record_session_init;
    record_desc.on_request = record_request;
    record_desc.on_directory = record_directory;
    record_desc.on_session_end = record_session_end;
    record_desc.on_read = record_read;
    record_desc.on_write = record_write;
    record_desc.on_sendfile = record_sendfile;
    return websrv_register_plugin(&record_desc);
}
