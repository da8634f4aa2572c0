// "-host NAME": the names the device answers to. A request whose Host field names another gets
// 421 Misdirected Request before anything else answers it. This is what stops DNS rebinding: a
// site whose name an attacker points at the device's address is, to the browser, the page's own
// site, so its scripts may read and write the device freely; but the browser sends that site's
// name as the Host, and the device refuses it. IP literals always pass: no name is resolved for
// them, so none can be rebound, and behind a router's port forwarding or a TLS relay the address
// a client typed need not be the socket's own.
#include <arpa/inet.h>
#include <cstring>
#include <strings.h>

#include "stock.h"

namespace {

constexpr int max_hosts = 16;
constexpr size_t host_size = 254;  // a DNS name has 253 characters at most

char hosts[max_hosts][host_size];
int host_count = 0;

// The characters of a host name as "-host" takes it: letters, digits, "-", "." and "_".
bool is_name_char(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_';
}

int add_host(char **values)
{
    const char *name = values[0];
    const size_t length = strlen(name);
    size_t valid = 0;
    while (valid < length && is_name_char(name[valid]))
        ++valid;
    if (host_count == max_hosts || length == 0 || length >= host_size || valid != length) {
        log_msg(WEBSRV_LOG_ERROR,
                "%s: -host needs a host name of letters, digits, \"-\", \".\" and \"_\" without a port (at most %d "
                "of them), not \"%s\"\n",
                stock_name, max_hosts, name);
        return -1;
    }
    memcpy(hosts[host_count++], name, length + 1);
    return 0;
}

constexpr stock_option options[] = {
    {"-host", 1, "name", false, add_host},
};

// The length of the name in a Host value, "name[:port]" or "[address]:port" (blanks may follow).
size_t name_length(const char *host)
{
    if (host[0] == '[') {
        const char *close = strchr(host, ']');
        return close != nullptr ? static_cast<size_t>(close - host) + 1 : strlen(host);
    }
    return strcspn(host, ": \t");
}

// Whether the `length` characters at `name` are an IPv4 address or an IPv6 one in brackets.
bool is_ip_literal(const char *name, size_t length)
{
    char text[INET6_ADDRSTRLEN + 2];
    unsigned char address[sizeof(in6_addr)];
    const bool bracketed = length >= 2 && name[0] == '[' && name[length - 1] == ']';
    const size_t inner = bracketed ? length - 2 : length;
    if (inner == 0 || inner >= sizeof text)
        return false;
    memcpy(text, name + (bracketed ? 1 : 0), inner);
    text[inner] = '\0';
    return inet_pton(bracketed ? AF_INET6 : AF_INET, text, address) == 1;
}

}  // namespace

std::span<const stock_option> host_options()
{
    return options;
}

bool host_is_ours(const char *host)
{
    if (host_count == 0)
        return true;
    const size_t length = name_length(host);
    // Behind the name: ":" and a port's digits, or nothing; then blanks at most.
    const char *rest = host + length;
    if (*rest == ':')
        rest += 1 + strspn(rest + 1, "0123456789");
    if (rest[strspn(rest, " \t")] != '\0')
        return false;
    if (is_ip_literal(host, length))
        return true;
    for (int i = 0; i < host_count; ++i) {
        if (strlen(hosts[i]) == length && strncasecmp(hosts[i], host, length) == 0)
            return true;
    }
    return false;
}

int host_route(websrv_session *session)
{
    // A request without a Host (HTTP/1.0) names no site that could have been rebound.
    if (session->host == nullptr || host_is_ours(session->host))
        return 1;
    log_msg(WEBSRV_LOG_DETAIL, "%s: 421 for the host \"%s\", which -host does not list\n", stock_name, session->host);
    return answer_send(session, 421, "");
}
