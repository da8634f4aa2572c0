// https.so's plain port with "-redirect": every request is answered 301 with the same target on
// the TLS port, before anything else looks at it.
#include <cstdio>
#include <cstring>

#include "paths.h"
#include "stock.h"
#include "tls_parts.h"

namespace {

constexpr int default_https_port = 443;
constexpr char host_chars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-";

bool redirect = false;
int tls_port = 0;  // where the answers send the client

// The name or address of the request's Host without its port into `host`; false when there is
// none or it holds anything but a name or an address.
bool host_name(const char *value, char (&host)[256])
{
    if (value == nullptr)
        return false;
    const size_t length = value[0] == '[' ? strspn(value + 1, "0123456789abcdefABCDEF:.") + 2 : strspn(value, host_chars);
    if (length == 0 || length >= sizeof host || (value[0] == '[' && value[length - 1] != ']') ||
        (value[length] != ':' && value[length] != '\0'))
        return false;
    memcpy(host, value, length);
    host[length] = '\0';
    return true;
}

}  // namespace

int tls_redirect(websrv_session *session)
{
    if (!redirect || session->port == tls_port)
        return 1;
    char host[256];
    if (!host_name(session->host, host))
        websrv_local_host(session->socket, host, sizeof host, "localhost");
    char location[2 * WEBSRV_BUFFER_SIZE];
    size_t length = static_cast<size_t>(snprintf(location, sizeof location, "Location: https://%s", host));
    if (tls_port != default_https_port)
        length += static_cast<size_t>(snprintf(location + length, sizeof location - length, ":%d", tls_port));
    const char *path = strcmp(session->uri, "./") == 0 ? "" : session->uri;
    const bool whole = append_url_text(location, sizeof location - 2, &length, "/", false) &&
                       append_url_text(location, sizeof location - 2, &length, path, false) &&
                       (session->query == nullptr ||
                        (append_url_text(location, sizeof location - 2, &length, "?", true) &&
                         append_url_text(location, sizeof location - 2, &length, session->query, true)));
    if (!whole)
        length = static_cast<size_t>(snprintf(location, sizeof location, "Location: https://%s/", host)) - 0;
    memcpy(location + length, "\r\n", 3);
    return answer_send(session, 301, location);
}

int redirect_option(char **)
{
    redirect = true;
    return 0;
}

void redirect_to_port(int port)
{
    tls_port = port;
}
