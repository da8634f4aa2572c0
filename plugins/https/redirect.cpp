// https.so's plain port with "-redirect": every request is answered 301 with the same target on
// the TLS port, before the server looks at it.
#include <cstdio>
#include <cstring>
#include <strings.h>
#include <sys/socket.h>

#include "paths.h"
#include "stock.h"
#include "tls_parts.h"

namespace {

constexpr int default_https_port = 443;
constexpr char host_chars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-";

bool redirect = false;

// The request as it arrives on the plain port, until its header is complete.
char request[WEBSRV_BUFFER_SIZE];
size_t request_length = 0;

// Copies the Host header's name (without its port) into `host`; false when there is none or
// it holds anything but a name or an address.
bool host_name(const char *text, char (&host)[256])
{
    for (const char *line = strchr(text, '\n'); line != nullptr; line = strchr(line + 1, '\n')) {
        if (strncasecmp(line + 1, "Host:", 5) != 0)
            continue;
        const char *value = line + 6 + strspn(line + 6, " \t");
        size_t length = value[0] == '[' ? strspn(value + 1, "0123456789abcdefABCDEF:.") + 2
                                        : strspn(value, host_chars);
        if (value[0] == '[' && value[length - 1] != ']')
            return false;
        const char end = value[length];
        if (length == 0 || length >= sizeof host || (end != ':' && end != '\r' && end != '\n' && end != ' '))
            return false;
        memcpy(host, value, length);
        host[length] = '\0';
        return true;
    }
    return false;
}

// The last word of the request line in `text` (its version, when it has one), cut to fit.
void request_version(const char *text, char (&version)[16])
{
    const size_t line = strcspn(text, "\r\n");
    size_t start = line;
    while (start > 0 && text[start - 1] != ' ')
        --start;
    snprintf(version, sizeof version, "%.*s", static_cast<int>(line - start), text + start);
}

// Answers the request in `request` with 301 to the same target on the TLS port.
void send_redirect(int fd)
{
    // The target: the second word of the request line; of an absolute URL, its path.
    const char *target = strchr(request, ' ');
    target = target != nullptr ? target + 1 : "/";
    if (strncasecmp(target, "http://", 7) == 0 || strncasecmp(target, "https://", 8) == 0) {
        target = strchr(strstr(target, "//") + 2, '/');
        target = target != nullptr ? target : "/";
    }
    char path[WEBSRV_BUFFER_SIZE];
    const size_t path_length = strcspn(target, " \r\n");
    snprintf(path, sizeof path, "%.*s", static_cast<int>(path_length), target[0] == '/' ? target : "/");
    char host[256];
    if (!host_name(request, host))
        websrv_local_host(fd, host, sizeof host, "localhost");
    char location[2 * WEBSRV_BUFFER_SIZE];
    size_t length = static_cast<size_t>(snprintf(location, sizeof location, "Location: https://%s", host));
    if (tls_port() != default_https_port)
        length += static_cast<size_t>(snprintf(location + length, sizeof location - length, ":%d", tls_port()));
    if (!append_url_text(location, sizeof location - 2, &length, path, true))
        append_url_text(location, sizeof location - 2, &length, "/", true);
    memcpy(location + length, "\r\n", 3);
    char version[16];
    request_version(request, version);
    answer_send(fd, 301, location, version);
}

}  // namespace

// The plain port's read hook in https.so. Without "-redirect" it reads as the server would;
// with it, it collects the request header and, once it is complete, answers 301 and reports
// the end of the stream, so the server answers nothing itself.
int redirect_read(int fd, void *buf, size_t len)
{
    const ssize_t got = recv(fd, buf, len, 0);
    if (!redirect || got <= 0)
        return static_cast<int>(got);
    const size_t room = sizeof request - 1 - request_length;
    const size_t kept = static_cast<size_t>(got) < room ? static_cast<size_t>(got) : room;
    memcpy(request + request_length, buf, kept);
    request_length += kept;
    request[request_length] = '\0';
    if (strstr(request, "\r\n\r\n") == nullptr && strstr(request, "\n\n") == nullptr && kept == static_cast<size_t>(got))
        return static_cast<int>(got);
    send_redirect(fd);
    return 0;
}

int redirect_option(char **)
{
    redirect = true;
    return 0;
}
