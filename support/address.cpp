// Socket addresses: IPv4-mapped clients unmapped, addresses as text, hosts compared.
#include "address.h"

#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>

namespace {

const sockaddr_in &v4(const sockaddr_storage &a) { return reinterpret_cast<const sockaddr_in &>(a); }
const sockaddr_in6 &v6(const sockaddr_storage &a) { return reinterpret_cast<const sockaddr_in6 &>(a); }

}  // namespace

void websrv_address_unmap(sockaddr_storage *address)
{
    if (address->ss_family != AF_INET6 || !IN6_IS_ADDR_V4MAPPED(&v6(*address).sin6_addr))
        return;
    const sockaddr_in6 mapped = v6(*address);
    sockaddr_in plain{};
    plain.sin_family = AF_INET;
    plain.sin_port = mapped.sin6_port;
    memcpy(&plain.sin_addr, &mapped.sin6_addr.s6_addr[12], sizeof plain.sin_addr);
    memset(address, 0, sizeof *address);
    memcpy(address, &plain, sizeof plain);
}

void websrv_address_text(const sockaddr_storage &address, char *text, size_t size)
{
    const void *bytes = address.ss_family == AF_INET    ? static_cast<const void *>(&v4(address).sin_addr)
                        : address.ss_family == AF_INET6 ? static_cast<const void *>(&v6(address).sin6_addr)
                                                        : nullptr;
    if (bytes == nullptr || inet_ntop(address.ss_family, bytes, text, static_cast<socklen_t>(size)) == nullptr)
        text[0] = '\0';
}

unsigned websrv_address_port(const sockaddr_storage &address)
{
    if (address.ss_family == AF_INET)
        return ntohs(v4(address).sin_port);
    if (address.ss_family == AF_INET6)
        return ntohs(v6(address).sin6_port);
    return 0;
}

bool websrv_address_same_host(const sockaddr_storage &a, const sockaddr_storage &b)
{
    if (a.ss_family != b.ss_family)
        return false;
    if (a.ss_family == AF_INET)
        return v4(a).sin_addr.s_addr == v4(b).sin_addr.s_addr;
    if (a.ss_family == AF_INET6)
        return IN6_ARE_ADDR_EQUAL(&v6(a).sin6_addr, &v6(b).sin6_addr);
    return false;
}
