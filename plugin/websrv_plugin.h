/*
 * websrv_plugin.h - the binary interface between the websrv executable and its plug-ins.
 *
 * A plug-in is a shared object loaded with "-plugin PATH". It exports one function,
 * plugin_init(), which registers one or more descriptors with websrv_register_plugin().
 * Everything else a plug-in can reach in the server is declared in this file.
 *
 * Conventions
 *  1. Plain C. This header and websrv_answer.h compile as C99, C11 and C++11 or later, also as
 *     strict ISO C (-std=c11) without a feature-test macro; every declaration has C linkage. A
 *     plug-in that calls POSIX functions itself (open with O_CLOEXEC, PATH_MAX, clock_gettime)
 *     and is built with a strict -std= defines _POSIX_C_SOURCE as 200809L before its first
 *     #include, as examples/led/led.c does: the C library reads the macro at its first header.
 *  2. Records are plain structures with a fixed field order. Their sizes and offsets are
 *     pinned below for the two data models we build for (ILP32 devices and LP64 hosts):
 *     a plug-in and the server must be built against the same header. Plug-ins on 32-bit
 *     targets must be compiled with -D_FILE_OFFSET_BITS=64 (off_t is 64 bits everywhere).
 *  3. Functions that can fail return -1 on failure and 0 (or a count) on success; test
 *     for "< 0". Each failure has already been reported once through log_msg().
 *  4. Ownership: the server copies a descriptor whole when it is registered; the caller
 *     keeps its own record and may reuse it at once. Memory passed between the server and
 *     a plug-in comes from websrv_malloc() and goes back through websrv_free().
 *  5. Every hook slot may be NULL; a NULL slot means the server's default behaviour.
 *  6. Hooks must not throw or longjmp into the server; they return an int.
 *  7. Process model: the server serves connections in children forked before the connection
 *     arrives, by default a fresh child for each connection of one request (see 8 for more);
 *     with "-j N" up to N sessions run at once (in different processes), one at a time by
 *     default. on_option, on_start, on_counters and on_event run in the main process; every
 *     other hook runs in the connection's child (or, for CGI, in its input copy), so what a
 *     hook changes in the plug-in's memory ends with that child.
 *  8. Consent: a plug-in whose descriptor's `reserved` points to a websrv_plugin_ext with
 *     WEBSRV_EXT_MANY_SESSIONS set lets one process serve many of its sessions: several
 *     requests on one connection ("-k", keep-alive) and several connections one after another
 *     ("-r"). It promises to keep no per-session state in globals past on_session_end, which
 *     then runs for every request (before the socket is closed when the connection may carry
 *     another request); state of its own per connection belongs to the socket from on_open to
 *     on_close. On a kept connection the first read of the next request comes before its
 *     on_session_init (so that the client's end between requests is no request). Memory a
 *     session took with websrv_malloc() and did not give back is released when the session
 *     ends. A NULL `reserved` (every plug-in written before the record existed) keeps one
 *     process per connection and one request per connection.
 *  9. Event mode: with "-w N" the server runs N worker processes, each serving many connections
 *     at once from one event loop, every request on a stack of its own that is set aside while
 *     it waits. Only the connections of a plug-in that sets WEBSRV_EXT_EVENT_LOOP (beside
 *     WEBSRV_EXT_MANY_SESSIONS) are served so; any other keeps the process model of 7 and 8. The
 *     flag promises, beyond 8: on_read, on_write and on_sendfile may be given a non-blocking
 *     socket and then return -1 with errno EAGAIN instead of waiting (the server waits and calls
 *     again); on_pending reports the bytes they hold; no hook waits by itself (one that must,
 *     a WebSocket relay, say, waits through the services table's `wait`, which sets only its own
 *     request aside); per-connection state is found by the descriptor; and the sessions of one
 *     process may interleave at any wait, so no global holds a session's state across one.
 */
#ifndef WEBSRV_PLUGIN_H
#define WEBSRV_PLUGIN_H

#include <stddef.h>
#include <stdio.h>
#include <time.h>
#include <sys/types.h>
#include <sys/select.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <poll.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Symbols the executable makes visible to plug-ins. */
#if defined(__GNUC__)
#define WEBSRV_API __attribute__((visibility("default")))
#define WEBSRV_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define WEBSRV_API
#define WEBSRV_PRINTF(fmt, args)
#endif

/* Sizes of the fixed character fields, terminating zero included. */
#define WEBSRV_NAME_LEN 20        /* plug-in name: up to 19 characters */
#define WEBSRV_CGI_PATTERN_LEN 100 /* CGI pattern: up to 99 characters */
#define WEBSRV_MIME_EXT_LEN 10    /* extension without the dot: up to 9 characters */
#define WEBSRV_MIME_TYPE_LEN 30   /* content type: up to 29 characters */

/* Size of the path buffer handed to on_directory, and of the session's request buffer. */
#define WEBSRV_PATH_MAX 4096
#define WEBSRV_BUFFER_SIZE 4096

/* Log levels for log_msg(). */
#define WEBSRV_LOG_ERROR 1  /* always printed */
#define WEBSRV_LOG_DETAIL 2 /* printed only with "-v" */

/* The interface version this header describes; websrv_plugin_desc.version_major must match. */
#define WEBSRV_VERSION_MAJOR 1
#define WEBSRV_VERSION_MINOR 0

/* A singly linked list: one word, the head. A zeroed word is an empty list.
 * Every node of a list starts with a pointer-sized link that the server maintains. */
typedef struct websrv_list {
    void *head;
} websrv_list;

/* The per-request record every session hook receives. Built zeroed by the connection's child
 * for each request (one per connection unless it is kept, "-k"); all character pointers point
 * into `buffer` (uri may point to the constant "./").
 * A header field that the request did not carry stays NULL. */
typedef struct websrv_session {
    char *buffer;              /* 4096-byte request buffer, from websrv_malloc */
    char *cursor;              /* after parsing: first byte behind the header (start of any body) */
    int socket;                /* the accepted connection */
    int port;                  /* port of the plug-in whose socket accepted the connection */
    int received;              /* bytes read into buffer so far */
    int header_length;         /* cursor - buffer once the header is parsed */
    struct in_addr client_addr; /* peer IPv4 address, network byte order; 0.0.0.0 for an
                                * IPv6 client (its address: websrv_session_info) */
    char *method;              /* request method, as sent */
    char *uri;                 /* percent-decoded path without its leading "/"; "./" if empty */
    char *query;               /* text after the first "?", not decoded; NULL without "?" */
    char *protocol;            /* version field of the request line, as sent */
    char *host;                /* "Host:" */
    char *user_agent;          /* "User-Agent:" */
    char *content_length;      /* "Content-Length:", as text */
    char *content_type;        /* "Content-Type:" */
    char *if_modified_since;   /* "If-Modified-Since:" */
    char *authorization;       /* "Authorization:" */
    void *reserved;            /* the session's websrv_session_info (see below) */
} websrv_session;

/* What the server knows about a session beyond the fixed record above, and what plug-ins tell
 * the server about it. Before on_session_init the server points the session's `reserved` field
 * at this record, which lives as long as the session. The server never reads `reserved` back:
 * a plug-in that needs the field for a pointer of its own may overwrite it (after taking what
 * it needs from here). Fields are only ever added at the end: `size` is the number of bytes the
 * server provides, so a plug-in built against a newer header checks it before it reads a field
 * that an older server may not have. */
typedef struct websrv_session_info {
    unsigned int size;            /* sizeof(websrv_session_info) of the server */
    int tls;                      /* set by a plug-in: nonzero when it carries the connection
                                   * over TLS (CGI programs then see HTTPS=on) */
    struct sockaddr_storage peer; /* the client's address: AF_INET for IPv4 clients (also when
                                   * they came in on an IPv6 socket), AF_INET6 otherwise */
    char peer_text[48];           /* that address as text: "192.0.2.7", "2001:db8::1" */
    unsigned int peer_port;       /* the client's port */
    /* Set by a plug-in that checked a password (both NULL otherwise); CGI programs see them as
     * REMOTE_USER and AUTH_TYPE. The texts must stay valid until the session ends. */
    const char *remote_user;      /* the user name */
    const char *auth_type;        /* the scheme, e.g. "Basic" */
    /* Set by a plug-in: header lines, each "Name: value\r\n", that the server adds to every
     * header block it sends on this connection (files, 304s, error pages, CGI answers). The
     * text must stay valid until the session ends; NULL for none. */
    const char *header_lines;
} websrv_session_info;

/* A plug-in descriptor. The plug-in fills one and passes it to websrv_register_plugin(),
 * which copies it; hooks are listed in the order a connection meets them. */
typedef struct websrv_plugin_desc {
    unsigned short version_major; /* must be WEBSRV_VERSION_MAJOR */
    unsigned short version_minor; /* not checked */
    char name[WEBSRV_NAME_LEN];   /* zero-terminated; shown in messages, key for unregistering */
    int port;                     /* TCP port served for this plug-in, 1 to 65535 */

    /* Main process, option parsing: offered every argument the server does not know.
     * *index designates that argument in argv (argv is NULL-terminated; no count is given).
     * Return 0 after advancing *index past the option and its values (taken), 1 when the
     * option is not this plug-in's (the next plug-in is asked), -1 to reject it (start-up
     * fails). Returning 0 without advancing *index counts as a rejection. */
    int (*on_option)(int *index, char **argv);
    /* Main process, start-up: the plug-in's socket is bound, listed in the port file and
     * listening. Below 0 aborts start-up. */
    int (*on_start)(int listen_fd);
    /* Child, at the start of each request: right after accept, before the first read (on a
     * kept connection, once the next request's first bytes came). Below 0 ends the session
     * (on_session_end still runs). */
    int (*on_session_init)(websrv_session *session);
    /* Child: replaces recv(fd, buf, len, 0) on this plug-in's connections; called only once
     * the socket is readable. Returns bytes placed, 0 at end of stream, <0 with errno set. */
    int (*on_read)(int fd, void *buf, size_t len);
    /* Child: replaces send(fd, buf, len, 0) on this plug-in's connections; called only once
     * the socket is writable. Returns bytes sent, or <0 with errno set. */
    int (*on_write)(int fd, const void *buf, int len);
    /* Child, once the request is parsed and its path exists. Return 0 when the plug-in has
     * answered the request itself (the server sends nothing more); anything else lets the
     * server go on with directory, CGI or file handling. */
    int (*on_request)(websrv_session *session);
    void *reserved; /* NULL, or the plug-in's websrv_plugin_ext (see below) */
    /* Child, for a directory request: write a zero-terminated path (relative to the working
     * directory) into the WEBSRV_PATH_MAX-byte buffer `path`. Below 0 ends the session without
     * a response. Without this hook the server serves "index.html". */
    int (*on_directory)(websrv_session *session, char *path);
    /* Child: replaces sendfile(out_fd, in_fd, offset, count) for a static file's body.
     * Returns bytes sent (advancing *offset), or <0 with errno set. */
    int (*on_sendfile)(int out_fd, int in_fd, off_t *offset, size_t count);
    /* Child, last: the socket is already closed (on a connection kept for another request,
     * still open), the session's buffer still valid. The result is ignored. */
    int (*on_session_end)(websrv_session *session);
} websrv_plugin_desc;

/* What the server counts, for a status page: written by the server's processes (each field
 * on its own, without a lock), read by plug-ins through on_counters. */
typedef struct websrv_server_counters {
    long long started;              /* when the server started, seconds since 1970 */
    unsigned long long connections; /* connections taken */
    unsigned long long requests;    /* requests whose header came whole */
    unsigned long long refused;     /* requests answered 503 for want of a session slot */
    unsigned long long bytes_sent;  /* bytes written to clients (head and body) */
    int active;                     /* requests being answered now */
    int slots;                      /* sessions served at once at most ("-j") */
    int reloads;                    /* SIGUSR1 signals handled (see WEBSRV_EVENT_RELOAD) */
} websrv_server_counters;

struct websrv_services; /* below: the server's services for plug-ins */

/* What a plug-in adds to its descriptor, through the descriptor's `reserved` slot: the plug-in
 * owns the record (the server keeps the pointer, never a copy), which must live as long as the
 * descriptor is registered. `size` tells the server which fields the plug-in was built with;
 * fields are only ever appended, and a field beyond `size` counts as NULL. */
typedef struct websrv_plugin_ext {
    size_t size;      /* sizeof(websrv_plugin_ext) as the plug-in was built */
    unsigned flags;   /* WEBSRV_EXT_* */
    /* Child, once the request is parsed and its path decoded (uri: without its leading "/", not
     * yet resolved), before the path is looked up on disk (so also for paths that do not exist)
     * and before on_request: the hook of the descriptor that carries the connection first, then
     * those of the descriptors that share its port (WEBSRV_EXT_SHARES_PORT), in registry order.
     * Return 0 when the plug-in has answered the request itself (the server sends nothing more;
     * a request with a body then ends its connection); anything else lets the server go on as
     * without the hook. websrv_answer.h composes such answers. */
    int (*on_route)(websrv_session *session);
    /* Child, once per connection, right after accept and before the first on_session_init:
     * `port` is the plug-in's port, `lasting` holds WEBSRV_LASTING_* bits for this connection.
     * Below 0 closes the connection at once (on_close still runs). */
    int (*on_open)(int fd, int port, unsigned lasting);
    /* Child, once per connection, before the server closes `fd` (also when on_open failed):
     * the last bytes of the plug-in's own (a TLS close_notify) go out here. Ignored result. */
    int (*on_close)(int fd);
    /* Child: the count of bytes the plug-in took from `fd` already and holds for on_read, which
     * then returns them without the socket being readable (a TLS record read whole). The
     * server asks before it waits for the socket. 0 for none. */
    int (*on_pending)(int fd);
    /* Main process, once at start-up, before on_start: the server's counters, which live in
     * memory all its processes share and which it keeps up to date from then on. The plug-in
     * may keep the pointer and read the counters in any process; it never writes them. */
    void (*on_counters)(const websrv_server_counters *counters);
    /* Main process: what happens to the server as a whole, WEBSRV_EVENT_*. The result counts
     * for WEBSRV_EVENT_CHECK only (below 0: the check fails; say why through log_msg). */
    int (*on_event)(int event);
    /* Main process, once at start-up, before on_start: the services the server offers (see
     * websrv_services below). The plug-in may keep the pointer and use the table in any process;
     * it lives as long as the server. */
    void (*on_services)(const struct websrv_services *services);
} websrv_plugin_ext;

/* What the server does for a plug-in that answers requests itself, instead of the plug-in
 * reading the request buffer's layout, the socket or the process table on its own: a table of
 * functions the server fills and hands over through on_services. Functions are only ever
 * appended: `size` is the table's size as the server was built, and a field beyond it is absent
 * (NULL). Each function may be called from the hooks of a session (`session` is the one the hook
 * was given), in the process that runs them. */
typedef struct websrv_services {
    size_t size;       /* sizeof(websrv_services) of the server */
    unsigned version;  /* WEBSRV_SERVICES_VERSION of the server */
    /* The value of the request's last header line named `name` (compared ignoring case, without
     * its colon), without the blanks around it; NULL when the request has none. `count`, when
     * not NULL, gets the number of lines of that name. */
    const char *(*header)(const websrv_session *session, const char *name, int *count);
    /* Reads the request's body (decoded, when it came chunked) into buf[0..size), waiting at most
     * 30 seconds for each piece; a client that waits for "100 Continue" is told to go on first.
     * Returns the body's length: 0 for a request without one; -1 with errno EFBIG for a body
     * larger than `size` (a body of known length is then not read at all), EBADMSG for one that
     * is badly framed, ETIMEDOUT or ECONNRESET when the client did not send it all. Read this way,
     * the body is no obstacle to keeping the connection for the next request. */
    long (*read_body)(websrv_session *session, void *buf, size_t size);
    /* Sends a whole answer: the status line (the request's version, the server's reason phrase),
     * the server's Server and Date lines, Content-Type (when `content_type` is not NULL),
     * Content-Length (but for 1xx, 204 and 304), the lines of `extra_lines` (each ending in
     * CR LF; NULL for none), the lines a plug-in set for the connection (header_lines), the
     * server's Connection line (none for 101), the empty line, then the `length` bytes of `body`
     * (none for HEAD). The server decides whether the connection goes on. Returns 0, an on_route
     * or on_request hook's "answered", also when the client went away. */
    int (*answer)(websrv_session *session, int status, const char *content_type, const char *extra_lines,
                  const void *body, size_t length);
    /* Waits, as poll(2) does, until one of fds[0..count) is ready or `timeout_ms` passes (-1: no
     * limit). Returns the count of descriptors ready, 0 at the time-out, -1 with errno. A hook that
     * must wait waits here: where the server serves many sessions in one process, it lets the
     * others go on meanwhile. The session's socket counts as readable while the plug-in that
     * carries it holds bytes read already (on_pending). */
    int (*wait)(struct pollfd *fds, unsigned count, int timeout_ms);
    /* For a connection taken over by its plug-in (after a 101 answer, say): reads what the client
     * sent next into buf[0..size), through the hooks of the plug-in that carries the connection
     * (TLS on https.so's TLS port), without waiting. Returns the count, 0 at the client's end, -1
     * with errno EAGAIN when nothing has come yet (wait for the session's socket first), or
     * another errno when the connection failed. */
    long (*receive)(websrv_session *session, void *buf, size_t size);
    /* The same for what goes to the client: sends all of buf[0..size), waiting for room as long
     * as bytes move (30 seconds without a byte moving fail it). Returns 0, or -1 with errno. */
    int (*send)(websrv_session *session, const void *buf, size_t size);
    /* Starts the program at the absolute path `program` for the session's request, as a CGI
     * program is started: its environment (SCRIPT_NAME is `script_name`, PATH_INFO what the
     * request's path has behind it), its own directory and process group, a lower priority, the
     * default signal dispositions, no descriptor of the server's. *input gets the (non-blocking)
     * write end of its standard input, *output the read end of its standard output; its standard
     * error is the server's log. Returns the program's process id, or -1 (logged). */
    pid_t (*program_start)(websrv_session *session, const char *program, const char *script_name, int *input,
                           int *output);
    /* Ends a program program_start started, with what it started: SIGTERM, and SIGKILL a second
     * later when it is still there; with `leave` nonzero (it closed its output and may work on)
     * it is left alone. Either way the server waits for it once it has ended. */
    void (*program_end)(pid_t pid, int leave);
} websrv_services;

/* The services table's version: it grows by one whenever functions are appended. */
#define WEBSRV_SERVICES_VERSION 1

/* websrv_plugin_ext.flags */
#define WEBSRV_EXT_MANY_SESSIONS 1u  /* hooks may serve many sessions in one process and on one connection */
/* The descriptor may share its port with one that does not set the flag: it then has no socket
 * of its own; the connections are the other descriptor's (whose hooks carry them), and its
 * on_route is asked after that descriptor's. Without such a descriptor on the port, it listens. */
#define WEBSRV_EXT_SHARES_PORT 2u
/* The plug-in's connections may be served in event mode ("-w", convention 9); needs
 * WEBSRV_EXT_MANY_SESSIONS too. */
#define WEBSRV_EXT_EVENT_LOOP 4u

/* Every hook of the two records, in the order a server and then each connection meet them:
 * X(record, hook, process, when), `record` desc for websrv_plugin_desc and ext for
 * websrv_plugin_ext. The server calls each hook from one place, at the moment named here. */
#define WEBSRV_HOOKS(X)                                                                        \
    X(desc, on_option, main, "option parsing: an argument the server does not know")         \
    X(ext, on_counters, main, "start-up: the server's counters")                             \
    X(ext, on_services, main, "start-up: the server's services table")                       \
    X(desc, on_start, main, "start-up: the socket listens")                                  \
    X(ext, on_event, main, "-check, start-up over (privileges dropped), SIGUSR1")             \
    X(ext, on_open, connection, "a connection that may carry more than one request begins")  \
    X(desc, on_session_init, connection, "a request begins")                                 \
    X(ext, on_pending, connection, "before each wait for the client's bytes")                \
    X(desc, on_read, connection, "the client's bytes: the request, its body")                \
    X(ext, on_route, connection, "the request is parsed, before its path is looked up")      \
    X(desc, on_request, connection, "the path exists")                                       \
    X(desc, on_directory, connection, "the path is a directory")                             \
    X(desc, on_write, connection, "bytes to the client: the answer")                         \
    X(desc, on_sendfile, connection, "a static file's bytes to the client")                  \
    X(desc, on_session_end, connection, "the request has ended")                             \
    X(ext, on_close, connection, "the connection is about to close")

/* on_event's `event` */
#define WEBSRV_EVENT_CHECK 1   /* "-check": check what the start would use (files, keys), change nothing */
#define WEBSRV_EVENT_READY 2   /* start-up is over and privileges are dropped ("-u"); no connection yet:
                                * start long-lived helper processes here, not in on_start */
#define WEBSRV_EVENT_RELOAD 3  /* SIGUSR1: reread what the start read (certificates, password files);
                                * sessions in progress go on undisturbed. Connection processes see
                                * the reload in the counters' `reloads` */

/* on_open's `lasting` */
#define WEBSRV_LASTING_KEEP_ALIVE 1u  /* the connection may carry more than one request ("-k") */
#define WEBSRV_LASTING_PROCESS 2u     /* the process serves more connections after this one ("-r") */

/* The server's registry node: its own copy of a registered descriptor. */
typedef struct websrv_plugin_node {
    void *link;              /* list link, maintained by the server */
    int listen_fd;           /* listening socket once start-up made it, else -1 */
    websrv_plugin_desc desc; /* the copy taken at registration */
} websrv_plugin_node;

/* One entry of the MIME registry: a file extension and its content type. */
typedef struct websrv_mime_entry {
    void *link;                      /* list link, maintained by the server */
    char ext[WEBSRV_MIME_EXT_LEN];   /* without the dot, zero-terminated */
    char type[WEBSRV_MIME_TYPE_LEN]; /* zero-terminated */
} websrv_mime_entry;

/* The server's control block. Plug-ins may read it; the server owns every field. */
typedef struct websrv_mcb {
    websrv_list plugins;          /* registry of websrv_plugin_node, in registry order */
    unsigned short version_major; /* 1 */
    unsigned short version_minor; /* 0 */
    int log_level;                /* highest level log_msg prints: 1, or 2 with "-v" */
    int running;                  /* 1 while the accept loop goes on */
    fd_set listen_set;            /* every listening socket */
    int max_fd;                   /* highest listening descriptor */
    char cgi_pattern[WEBSRV_CGI_PATTERN_LEN]; /* from "-c"; empty: CGI is off */
    char *bind_device;            /* from "-i", or NULL */
    websrv_list mime_types;       /* registry of websrv_mime_entry */
    FILE *port_file;              /* the open port file while the server runs */
} websrv_mcb_t;

/* The control block. */
extern WEBSRV_API websrv_mcb_t websrv_mcb;

/* Registers a copy of *desc. Returns 0, or -1 (invalid port, version mismatch, no memory). */
WEBSRV_API int websrv_register_plugin(const websrv_plugin_desc *desc);

/* Removes the first registered descriptor whose name equals `name` exactly. Returns 0, or -1
 * when name is NULL or no descriptor has that name. A listening socket is not closed. */
WEBSRV_API int websrv_unregister_plugin(const char *name);

/* Maps the extension `ext` (no dot, compared ignoring case) to the content type `type`,
 * replacing the type of an existing entry. Returns 0, or -1 when ext is longer than 9 or type
 * longer than 29 characters, or no memory is left. */
WEBSRV_API int websrv_add_supported_mime(const char *ext, const char *type);

/* Writes all len bytes to fd, waiting for it to be writable before each piece: through
 * desc->on_write when set, send() when desc is given without the hook, write() when desc is
 * NULL. Returns len once every byte is out, or -1 (no byte moved for 30 seconds, or the write
 * failed; errno tells which); never a short count. */
WEBSRV_API int websrv_write_handler(int fd, const void *buf, int len,
                                    const websrv_plugin_desc *desc);

/* Parses the server's command line (resets the control block, loads plug-ins). Returns 0
 * when the server may start, -1 when it must not. */
WEBSRV_API int websrv_option_parse(int argc, char **argv);

/* The allocator shared by the server and plug-ins: malloc, realloc and free semantics, except
 * that no byte a caller gets holds what an earlier user of the memory left there: every byte
 * of a block from websrv_malloc is zero, and websrv_realloc keeps the block's bytes and zeroes
 * those it adds when the block grows (also after it shrank: the bytes it dropped come back as
 * zeros). NULL, with nothing changed, when no memory is left. */
WEBSRV_API void *websrv_malloc(size_t size);
WEBSRV_API void *websrv_realloc(void *pointer, size_t size);
WEBSRV_API void websrv_free(void *pointer);

/* Prints a message to standard output, exactly as formatted, when level is at most
 * websrv_mcb.log_level. Messages carry their own line ends. */
WEBSRV_API void log_msg(int level, const char *format, ...) WEBSRV_PRINTF(2, 3);

/* Converts an HTTP date to seconds since 1970-01-01 00:00:00 GMT; -1 when no layout fits. */
WEBSRV_API time_t tdate_parse(const char *text);

/* Every plug-in exports this; the server calls it once per "-plugin" argument. */
WEBSRV_API int plugin_init(void);

/* ---- Layout checks ---------------------------------------------------------------------- */

#ifdef __cplusplus
#define WEBSRV_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define WEBSRV_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif
#define WEBSRV_AT(type, field, off) \
    WEBSRV_STATIC_ASSERT(offsetof(type, field) == (off), #type "." #field " offset")

WEBSRV_STATIC_ASSERT(sizeof(off_t) == 8, "build with -D_FILE_OFFSET_BITS=64");
/* The table of hooks names every hook of both records once, and only hooks that exist. */
#define WEBSRV_HOOK_ROW(record, hook, process, when) +(0 * offsetof(websrv_plugin_##record, hook) + 1)
WEBSRV_STATIC_ASSERT((0 WEBSRV_HOOKS(WEBSRV_HOOK_ROW)) == 16, "every hook of both records is in WEBSRV_HOOKS once");
#undef WEBSRV_HOOK_ROW


/* The same in both data models. */
WEBSRV_STATIC_ASSERT(sizeof(websrv_server_counters) == 56, "websrv_server_counters size");
WEBSRV_AT(websrv_server_counters, started, 0);
WEBSRV_AT(websrv_server_counters, connections, 8);
WEBSRV_AT(websrv_server_counters, requests, 16);
WEBSRV_AT(websrv_server_counters, refused, 24);
WEBSRV_AT(websrv_server_counters, bytes_sent, 32);
WEBSRV_AT(websrv_server_counters, active, 40);
WEBSRV_AT(websrv_server_counters, slots, 44);
WEBSRV_AT(websrv_server_counters, reloads, 48);
WEBSRV_STATIC_ASSERT(sizeof(fd_set) == 128, "descriptor set of 1024 bits");

#if defined(__ILP32__) || (__SIZEOF_POINTER__ == 4 && __SIZEOF_LONG__ == 4 && __SIZEOF_INT__ == 4)
/* The device's data model: 4-byte int, long and pointers. */
WEBSRV_STATIC_ASSERT(sizeof(websrv_mcb_t) == 260, "websrv_mcb size");
WEBSRV_AT(websrv_mcb_t, plugins, 0);
WEBSRV_AT(websrv_mcb_t, version_major, 4);
WEBSRV_AT(websrv_mcb_t, version_minor, 6);
WEBSRV_AT(websrv_mcb_t, log_level, 8);
WEBSRV_AT(websrv_mcb_t, running, 12);
WEBSRV_AT(websrv_mcb_t, listen_set, 16);
WEBSRV_AT(websrv_mcb_t, max_fd, 144);
WEBSRV_AT(websrv_mcb_t, cgi_pattern, 148);
WEBSRV_AT(websrv_mcb_t, bind_device, 248);
WEBSRV_AT(websrv_mcb_t, mime_types, 252);
WEBSRV_AT(websrv_mcb_t, port_file, 256);

WEBSRV_STATIC_ASSERT(sizeof(websrv_plugin_desc) == 68, "websrv_plugin_desc size");
WEBSRV_AT(websrv_plugin_desc, version_major, 0);
WEBSRV_AT(websrv_plugin_desc, version_minor, 2);
WEBSRV_AT(websrv_plugin_desc, name, 4);
WEBSRV_AT(websrv_plugin_desc, port, 24);
WEBSRV_AT(websrv_plugin_desc, on_option, 28);
WEBSRV_AT(websrv_plugin_desc, on_start, 32);
WEBSRV_AT(websrv_plugin_desc, on_session_init, 36);
WEBSRV_AT(websrv_plugin_desc, on_read, 40);
WEBSRV_AT(websrv_plugin_desc, on_write, 44);
WEBSRV_AT(websrv_plugin_desc, on_request, 48);
WEBSRV_AT(websrv_plugin_desc, reserved, 52);
WEBSRV_AT(websrv_plugin_desc, on_directory, 56);
WEBSRV_AT(websrv_plugin_desc, on_sendfile, 60);
WEBSRV_AT(websrv_plugin_desc, on_session_end, 64);

WEBSRV_STATIC_ASSERT(sizeof(websrv_plugin_node) == 76, "websrv_plugin_node size");
WEBSRV_AT(websrv_plugin_node, link, 0);
WEBSRV_AT(websrv_plugin_node, listen_fd, 4);
WEBSRV_AT(websrv_plugin_node, desc, 8);

WEBSRV_STATIC_ASSERT(sizeof(websrv_session) == 72, "websrv_session size");
WEBSRV_AT(websrv_session, buffer, 0);
WEBSRV_AT(websrv_session, cursor, 4);
WEBSRV_AT(websrv_session, socket, 8);
WEBSRV_AT(websrv_session, port, 12);
WEBSRV_AT(websrv_session, received, 16);
WEBSRV_AT(websrv_session, header_length, 20);
WEBSRV_AT(websrv_session, client_addr, 24);
WEBSRV_AT(websrv_session, method, 28);
WEBSRV_AT(websrv_session, uri, 32);
WEBSRV_AT(websrv_session, query, 36);
WEBSRV_AT(websrv_session, protocol, 40);
WEBSRV_AT(websrv_session, host, 44);
WEBSRV_AT(websrv_session, user_agent, 48);
WEBSRV_AT(websrv_session, content_length, 52);
WEBSRV_AT(websrv_session, content_type, 56);
WEBSRV_AT(websrv_session, if_modified_since, 60);
WEBSRV_AT(websrv_session, authorization, 64);
WEBSRV_AT(websrv_session, reserved, 68);

WEBSRV_STATIC_ASSERT(sizeof(websrv_session_info) == 200, "websrv_session_info size");
WEBSRV_AT(websrv_session_info, size, 0);
WEBSRV_AT(websrv_session_info, tls, 4);
WEBSRV_AT(websrv_session_info, peer, 8);
WEBSRV_AT(websrv_session_info, peer_text, 136);
WEBSRV_AT(websrv_session_info, peer_port, 184);
WEBSRV_AT(websrv_session_info, remote_user, 188);
WEBSRV_AT(websrv_session_info, auth_type, 192);
WEBSRV_AT(websrv_session_info, header_lines, 196);

WEBSRV_STATIC_ASSERT(sizeof(websrv_plugin_ext) == 36, "websrv_plugin_ext size");
WEBSRV_AT(websrv_plugin_ext, size, 0);
WEBSRV_AT(websrv_plugin_ext, flags, 4);
WEBSRV_AT(websrv_plugin_ext, on_route, 8);
WEBSRV_AT(websrv_plugin_ext, on_open, 12);
WEBSRV_AT(websrv_plugin_ext, on_close, 16);
WEBSRV_AT(websrv_plugin_ext, on_pending, 20);
WEBSRV_AT(websrv_plugin_ext, on_counters, 24);
WEBSRV_AT(websrv_plugin_ext, on_event, 28);
WEBSRV_AT(websrv_plugin_ext, on_services, 32);

WEBSRV_STATIC_ASSERT(sizeof(websrv_services) == 40, "websrv_services size");
WEBSRV_AT(websrv_services, size, 0);
WEBSRV_AT(websrv_services, version, 4);
WEBSRV_AT(websrv_services, header, 8);
WEBSRV_AT(websrv_services, read_body, 12);
WEBSRV_AT(websrv_services, answer, 16);
WEBSRV_AT(websrv_services, wait, 20);
WEBSRV_AT(websrv_services, receive, 24);
WEBSRV_AT(websrv_services, send, 28);
WEBSRV_AT(websrv_services, program_start, 32);
WEBSRV_AT(websrv_services, program_end, 36);

WEBSRV_STATIC_ASSERT(sizeof(websrv_mime_entry) == 44, "websrv_mime_entry size");
WEBSRV_AT(websrv_mime_entry, link, 0);
WEBSRV_AT(websrv_mime_entry, ext, 4);
WEBSRV_AT(websrv_mime_entry, type, 14);

#elif defined(__LP64__)
/* 64-bit hosts: the same fields, with 8-byte pointers and long. */
WEBSRV_STATIC_ASSERT(sizeof(websrv_mcb_t) == 280, "websrv_mcb size");
WEBSRV_AT(websrv_mcb_t, plugins, 0);
WEBSRV_AT(websrv_mcb_t, version_major, 8);
WEBSRV_AT(websrv_mcb_t, version_minor, 10);
WEBSRV_AT(websrv_mcb_t, log_level, 12);
WEBSRV_AT(websrv_mcb_t, running, 16);
WEBSRV_AT(websrv_mcb_t, listen_set, 24);
WEBSRV_AT(websrv_mcb_t, max_fd, 152);
WEBSRV_AT(websrv_mcb_t, cgi_pattern, 156);
WEBSRV_AT(websrv_mcb_t, bind_device, 256);
WEBSRV_AT(websrv_mcb_t, mime_types, 264);
WEBSRV_AT(websrv_mcb_t, port_file, 272);

WEBSRV_STATIC_ASSERT(sizeof(websrv_plugin_desc) == 112, "websrv_plugin_desc size");
WEBSRV_AT(websrv_plugin_desc, version_major, 0);
WEBSRV_AT(websrv_plugin_desc, version_minor, 2);
WEBSRV_AT(websrv_plugin_desc, name, 4);
WEBSRV_AT(websrv_plugin_desc, port, 24);
WEBSRV_AT(websrv_plugin_desc, on_option, 32);
WEBSRV_AT(websrv_plugin_desc, on_start, 40);
WEBSRV_AT(websrv_plugin_desc, on_session_init, 48);
WEBSRV_AT(websrv_plugin_desc, on_read, 56);
WEBSRV_AT(websrv_plugin_desc, on_write, 64);
WEBSRV_AT(websrv_plugin_desc, on_request, 72);
WEBSRV_AT(websrv_plugin_desc, reserved, 80);
WEBSRV_AT(websrv_plugin_desc, on_directory, 88);
WEBSRV_AT(websrv_plugin_desc, on_sendfile, 96);
WEBSRV_AT(websrv_plugin_desc, on_session_end, 104);

WEBSRV_STATIC_ASSERT(sizeof(websrv_plugin_node) == 128, "websrv_plugin_node size");
WEBSRV_AT(websrv_plugin_node, link, 0);
WEBSRV_AT(websrv_plugin_node, listen_fd, 8);
WEBSRV_AT(websrv_plugin_node, desc, 16);

WEBSRV_STATIC_ASSERT(sizeof(websrv_session) == 128, "websrv_session size");
WEBSRV_AT(websrv_session, buffer, 0);
WEBSRV_AT(websrv_session, cursor, 8);
WEBSRV_AT(websrv_session, socket, 16);
WEBSRV_AT(websrv_session, port, 20);
WEBSRV_AT(websrv_session, received, 24);
WEBSRV_AT(websrv_session, header_length, 28);
WEBSRV_AT(websrv_session, client_addr, 32);
WEBSRV_AT(websrv_session, method, 40);
WEBSRV_AT(websrv_session, uri, 48);
WEBSRV_AT(websrv_session, query, 56);
WEBSRV_AT(websrv_session, protocol, 64);
WEBSRV_AT(websrv_session, host, 72);
WEBSRV_AT(websrv_session, user_agent, 80);
WEBSRV_AT(websrv_session, content_length, 88);
WEBSRV_AT(websrv_session, content_type, 96);
WEBSRV_AT(websrv_session, if_modified_since, 104);
WEBSRV_AT(websrv_session, authorization, 112);
WEBSRV_AT(websrv_session, reserved, 120);

WEBSRV_STATIC_ASSERT(sizeof(websrv_session_info) == 216, "websrv_session_info size");
WEBSRV_AT(websrv_session_info, size, 0);
WEBSRV_AT(websrv_session_info, tls, 4);
WEBSRV_AT(websrv_session_info, peer, 8);
WEBSRV_AT(websrv_session_info, peer_text, 136);
WEBSRV_AT(websrv_session_info, peer_port, 184);
WEBSRV_AT(websrv_session_info, remote_user, 192);
WEBSRV_AT(websrv_session_info, auth_type, 200);
WEBSRV_AT(websrv_session_info, header_lines, 208);

WEBSRV_STATIC_ASSERT(sizeof(websrv_plugin_ext) == 72, "websrv_plugin_ext size");
WEBSRV_AT(websrv_plugin_ext, size, 0);
WEBSRV_AT(websrv_plugin_ext, flags, 8);
WEBSRV_AT(websrv_plugin_ext, on_route, 16);
WEBSRV_AT(websrv_plugin_ext, on_open, 24);
WEBSRV_AT(websrv_plugin_ext, on_close, 32);
WEBSRV_AT(websrv_plugin_ext, on_pending, 40);
WEBSRV_AT(websrv_plugin_ext, on_counters, 48);
WEBSRV_AT(websrv_plugin_ext, on_event, 56);
WEBSRV_AT(websrv_plugin_ext, on_services, 64);

WEBSRV_STATIC_ASSERT(sizeof(websrv_services) == 80, "websrv_services size");
WEBSRV_AT(websrv_services, size, 0);
WEBSRV_AT(websrv_services, version, 8);
WEBSRV_AT(websrv_services, header, 16);
WEBSRV_AT(websrv_services, read_body, 24);
WEBSRV_AT(websrv_services, answer, 32);
WEBSRV_AT(websrv_services, wait, 40);
WEBSRV_AT(websrv_services, receive, 48);
WEBSRV_AT(websrv_services, send, 56);
WEBSRV_AT(websrv_services, program_start, 64);
WEBSRV_AT(websrv_services, program_end, 72);

WEBSRV_STATIC_ASSERT(sizeof(websrv_mime_entry) == 48, "websrv_mime_entry size");

WEBSRV_AT(websrv_mime_entry, link, 0);
WEBSRV_AT(websrv_mime_entry, ext, 8);
WEBSRV_AT(websrv_mime_entry, type, 18);
#else
#error "websrv_plugin.h: unsupported data model (expected ILP32 or LP64)"
#endif

#undef WEBSRV_AT

#ifdef __cplusplus
}
#endif

#endif /* WEBSRV_PLUGIN_H */
