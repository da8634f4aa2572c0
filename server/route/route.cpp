// The route of a request, from its whole header to the part of the server that answers it.
#include "route/route.h"

#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "clock.h"
#include "confine.h"
#include "counters.h"
#include "hooks/hooks.h"
#include "http_words.h"
#include "log.h"
#include "keep.h"
#include "observe/access_log.h"
#include "parse/framing.h"
#include "parse/request.h"
#include "respond/response.h"
#include "slots/slots.h"

namespace {

// How long a request whose client holds its share of the slots at work waits for its turn.
constexpr long long turn_wait_ms = 10 * 1000;

// Resolves the "." and ".." segments of the relative path `path` in place: "a/./b/../c"
// becomes "a/c". False when a ".." climbs above the path's start.
bool resolve_dots(char *path)
{
    char *out = path;
    for (char *at = path; *at != '\0';) {
        if (at[0] == '.' && (at[1] == '/' || at[1] == '\0')) {
            at += 1 + (at[1] == '/');  // "." goes
        } else if (at[0] == '.' && at[1] == '.' && (at[2] == '/' || at[2] == '\0')) {
            if (out == path)
                return false;
            do  // ".." takes the segment before it back
                --out;
            while (out > path && out[-1] != '/');
            at += 2 + (at[2] == '/');
        } else {
            do  // any other segment stays, with its "/"
                *out++ = *at;
            while (*at++ != '/' && *at != '\0');
        }
    }
    *out = '\0';
    return true;
}


}  // namespace

bool websrv_is_cgi_path(const char *path)
{
    return websrv_mcb.cgi_pattern[0] != '\0' && strstr(path, websrv_mcb.cgi_pattern) != nullptr;
}

bool websrv_cgi_split_path_info(websrv_connection *c, struct stat *st)
{
    char *path = c->session.uri;
    if (!websrv_is_cgi_path(path))
        return false;
    // From the longest leading part to the shortest: cut at a "/", look, put the "/" back.
    for (size_t cut = strlen(path); cut-- > 1;) {
        if (path[cut] != '/')
            continue;
        path[cut] = '\0';
        if (websrv_is_cgi_path(path) && stat(path, st) == 0 && S_ISREG(st->st_mode) && access(path, X_OK) == 0) {
            // PATH_TRANSLATED is the document root and the path info: never above the root.
            c->path_info = path + cut + 1;
            return resolve_dots(path + cut + 1);
        }
        path[cut] = '/';
    }
    return false;
}

namespace {

// Parses the request and checks its framing, then waits for its turn. False when it is refused
// (answered; target->outcome says how it ended).
bool admit(websrv_connection *c, websrv_route_target *target)
{
    websrv_access_request(c->session.buffer);  // before parsing writes into the buffer
    const request_error error = websrv_parse_request(&c->session, c->info.peer_text, &c->headers);
    if (const int refusal = error == request_error::unsupported_version ? 505
                            : error != request_error::none            ? 400
                                                                      : websrv_frame_request(c);
        refusal != 0) {
        websrv_send_error(c, refusal);
        target->outcome = websrv_outcome::logged_failed;
        return false;
    }
    if (!websrv_slot_turn(websrv_now_ms() + turn_wait_ms)) {
        websrv_error("%s holds its share of the sessions; answered 503\n", c->info.peer_text);
        websrv_count(&websrv_server_counters::refused);
        websrv_keep_lost(c);
        websrv_send_error(c, 503, WEBSRV_RETRY_LATER_LINE);
        target->outcome = websrv_outcome::served;
        return false;
    }
    return true;
}

// Answers the request with `status` (the outcome is logged_failed when `failed`). False, so
// that a caller can return its result.
bool refuse(websrv_connection *c, websrv_route_target *target, int status, bool failed)
{
    websrv_send_error(c, status);
    target->what = websrv_route_target::kind::answered;
    target->outcome = failed ? websrv_outcome::logged_failed : websrv_outcome::served;
    return false;
}

// The path on disk: the request's own, or a program's with the path info behind it; confined to
// the working directory. False when the request was answered here (404).
bool find_path(websrv_connection *c, websrv_route_target *target)
{
    if (stat(c->session.uri, &target->st) != 0 && !websrv_cgi_split_path_info(c, &target->st))
        return refuse(c, target, 404, true);
    if (!websrv_requested_path_inside(c->session.uri, target->st))
        return refuse(c, target, 404, false);
    return true;
}

// What is left once nothing else answered: a program, a file, or a method a file has no
// answer for.
void choose_answer(websrv_connection *c, websrv_route_target *target)
{
    using kind = websrv_route_target::kind;
    if (websrv_is_cgi_path(target->path))
        target->what = kind::program;
    else if (websrv_method_of(c->session.method) == websrv_method::other)
        target->what = kind::refused;
    else
        target->what = kind::file;
}

}  // namespace

void websrv_route_request(websrv_connection *c, websrv_route_target *target)
{
    target->what = websrv_route_target::kind::answered;
    if (!admit(c, target))
        return;
    // The path as the client sent it, for CGI programs, before it is decoded in place.
    snprintf(target->request_uri, sizeof target->request_uri, "%s", c->session.uri);
    c->request_uri = target->request_uri;
    websrv_prepare_path(&c->session);
    if (websrv_call_route(c) == 0) {
        target->outcome = websrv_plugin_answered(c, true);
        return;
    }
    if (!find_path(c, target))
        return;
    if (websrv_call_request(c) == 0) {  // 0: the plug-in has answered the request itself
        target->outcome = websrv_plugin_answered(c);
        return;
    }
    target->path = c->session.uri;
    if (S_ISDIR(target->st.st_mode)) {
        if (!websrv_call_directory(c, target->directory, &target->st)) {
            target->outcome = websrv_outcome::logged_failed;
            return;
        }
        target->path = target->directory;
    }
    choose_answer(c, target);
}

bool websrv_requested_path_inside(const char *path, const struct stat &st)
{
    bool resolved = true;
    if (!S_ISDIR(st.st_mode))
        return websrv_path_inside_cwd(path, &resolved);
    char inner[WEBSRV_PATH_MAX];
    const int length = snprintf(inner, sizeof inner, "%s/.", path);
    return length > 0 && length < static_cast<int>(sizeof inner) && websrv_path_inside_cwd(inner, &resolved);
}
