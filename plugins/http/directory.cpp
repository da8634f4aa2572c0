// Each directory's own index: "/sub/" serves sub/index.html, a directory without one is 404
// (not the working directory's page), and "/sub" is sent on to "/sub/".
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

#include "http_words.h"
#include "stock.h"

namespace {

// Room for the Location line; a longer one (only a path of thousands of encoded bytes makes
// one) is not sent.
constexpr size_t location_size = 4096;
constexpr char line_end[] = "\r\n";

bool ends_with_slash(const char *text)
{
    const size_t length = strlen(text);
    return length > 0 && text[length - 1] == '/';
}

// Whether the request names the working directory itself: the server passes "./" for "/".
bool is_root(const char *uri)
{
    return strcmp(uri, "./") == 0;
}

}  // namespace

int directory_request(websrv_session *session)
{
    const char *uri = session->uri;
    // A path that starts with "/" was asked for as "//..." and lies outside the working
    // directory; the server refuses it. Sending it on would make "//host/" a link elsewhere.
    struct stat st;
    if (uri[0] == '/' || ends_with_slash(uri) || stat(uri, &st) != 0 || !S_ISDIR(st.st_mode))
        return 1;
    static char location[location_size];
    size_t length = 0;
    const char prefix[] = "Location: /";
    memcpy(location, prefix, sizeof prefix);
    length = sizeof prefix - 1;
    bool fits = append_url_text(location, sizeof location, &length, uri, false) &&
                append_url_text(location, sizeof location, &length, "/", false);
    if (fits && session->query != nullptr)
        fits = append_url_text(location, sizeof location, &length, "?", true) &&
               append_url_text(location, sizeof location, &length, session->query, true);
    if (!fits || length + sizeof line_end > sizeof location)
        return 1;  // too long to send on: the index is served without the redirect
    memcpy(location + length, line_end, sizeof line_end);
    return answer_send(session, 301, location);
}

int directory_index(websrv_session *session, char *path)
{
    const char *uri = session->uri;
    if (is_root(uri)) {
        memcpy(path, websrv_index_file, sizeof websrv_index_file);
        return 0;
    }
    const int length = snprintf(path, WEBSRV_PATH_MAX, "%s%s%s", uri, ends_with_slash(uri) ? "" : "/", websrv_index_file);
    return length > 0 && length < WEBSRV_PATH_MAX ? 0 : -1;
}
