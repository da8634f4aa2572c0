// The route of a request whose path is known.
#include "route/route.h"

#include <cstdio>

#include "cgi/cgi.h"
#include "parse/request.h"
#include "respond/response.h"
#include "confine.h"
#include "static/static_file.h"

bool websrv_requested_path_inside(const char *path, const struct stat &st)
{
    bool resolved = true;
    if (!S_ISDIR(st.st_mode))
        return websrv_path_inside_cwd(path, &resolved);
    char inner[WEBSRV_PATH_MAX];
    const int length = snprintf(inner, sizeof inner, "%s/.", path);
    return length > 0 && length < static_cast<int>(sizeof inner) && websrv_path_inside_cwd(inner, &resolved);
}

websrv_outcome websrv_route(websrv_connection *c, char *path, const struct stat *st)
{
    if (websrv_is_cgi_path(path))
        return websrv_cgi_run(c, path);
    const websrv_method method = websrv_method_of(c->session.method);
    if (method == websrv_method::other)
        websrv_send_error(c, 501);
    else
        websrv_serve_static(c, path, st, method == websrv_method::head);
    return websrv_outcome::served;
}
