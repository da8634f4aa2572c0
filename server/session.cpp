// The connection's own process: the request's whole way, stage by stage, from the accept to the
// end. Every path ends the process with status 0, through the session's clean-up once its
// buffer exists.
#include "session.h"

#include <cstdio>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "accept/accept.h"
#include "cgi/cgi.h"
#include "end/access_log.h"
#include "end/end.h"
#include "hooks/hooks.h"
#include "share.h"
#include "parse/request.h"
#include "read/header.h"
#include "registry.h"
#include "respond/response.h"
#include "route/route.h"
#include "settings.h"

namespace {

// Answers a client that holds its share of the session slots already: 503, and when to try
// again, then the session ends.
[[noreturn]] void refuse_over_share(websrv_connection *c)
{
    log_msg(WEBSRV_LOG_ERROR, "WebSrv Error: %s holds its share of the sessions; answered 503\n", c->info.peer_text);
    websrv_send_error(c, 503, "Retry-After: 1\r\n");
    websrv_connection_end(c, websrv_outcome::served);
}

// Ends a session the server did not answer in full itself: it failed, or a plug-in's
// on_request answered it. Either way the log gets "Web Server receive packet failed".
[[noreturn]] void end_unanswered(websrv_connection *c)
{
    websrv_connection_end(c, websrv_outcome::logged_failed);
}

}  // namespace

void websrv_serve_next(int control, int slot)
{
    const websrv_accepted taken = websrv_wait_for_connection(control);
    websrv_close_listeners();
    // A session under way is served to its end even when the main process is killed.
    prctl(PR_SET_PDEATHSIG, 0);

    // With slots to spare, the main process forks the next waiting child now.
    if (websrv_config.max_sessions > 1)
        (void)!send(control, "a", 1, MSG_NOSIGNAL);
    if (websrv_mcb.log_level >= WEBSRV_LOG_DETAIL)
        log_msg(WEBSRV_LOG_DETAIL, "Incoming request handled by PID:%d\n", static_cast<int>(getpid()));
    websrv_connection c{};
    c.done_fd = control;
    websrv_open_connection(&c, taken);
    websrv_access_begin(&c.session, &c.info, &c.headers);
    // The hook may unregister the plug-in, which frees its node: its name is kept for the log.
    const websrv_plugin_desc accepted = c.desc;
    if (websrv_call_session_hook(&c, &websrv_plugin_desc::on_session_init, 0) < 0) {
        log_msg(WEBSRV_LOG_ERROR, "Web Srv Error: Plugin Initialization for %.*s Failed\n",
                websrv_name_length(&accepted), accepted.name);
        end_unanswered(&c);
    }
    if (!websrv_share_take(slot, c.info.peer))
        refuse_over_share(&c);
    websrv_read_header(&c);
    websrv_access_request(c.session.buffer);  // before parsing writes into the buffer
    if (websrv_parse_request(&c.session, c.info.peer_text, &c.headers) != request_error::none) {
        websrv_send_error(&c, 400);
        end_unanswered(&c);
    }
    // The path as the client sent it, for CGI programs, before it is decoded in place.
    char sent_path[WEBSRV_BUFFER_SIZE];
    snprintf(sent_path, sizeof sent_path, "%s", c.session.uri);
    c.request_uri = sent_path;
    websrv_prepare_path(&c.session);

    struct stat st;
    if (stat(c.session.uri, &st) != 0 && !websrv_cgi_split_path_info(&c, &st)) {
        websrv_send_error(&c, 404);
        end_unanswered(&c);
    }
    if (!websrv_requested_path_inside(c.session.uri, st)) {
        websrv_send_error(&c, 404);
        websrv_connection_end(&c, websrv_outcome::served);
    }
    // 0: the plug-in has answered the request itself.
    if (websrv_call_session_hook(&c, &websrv_plugin_desc::on_request, 1) == 0)
        end_unanswered(&c);

    char directory[WEBSRV_PATH_MAX];
    char *path = c.session.uri;
    if (S_ISDIR(st.st_mode)) {
        if (!websrv_directory_path(&c, directory, &st))
            end_unanswered(&c);
        path = directory;
    }
    websrv_route(&c, path, &st);
}
