// Socket addresses of clients and of the server's own end, IPv4 and IPv6 alike.
#ifndef WEBSRV_SUPPORT_ADDRESS_H
#define WEBSRV_SUPPORT_ADDRESS_H

#include <cstddef>
#include <sys/socket.h>

#pragma GCC visibility push(hidden)

// Turns an IPv4 client that came in on an IPv6 socket (::ffff:a.b.c.d) into the IPv4 address
// it is; any other address is left as it is.
void websrv_address_unmap(sockaddr_storage *address);

// The address as text: "192.0.2.7" or "2001:db8::1"; "" for anything else.
void websrv_address_text(const sockaddr_storage &address, char *text, size_t size);

// The port of an IPv4 or IPv6 address (0 for anything else).
unsigned websrv_address_port(const sockaddr_storage &address);

// Whether two addresses name the same host (the port is not compared).
bool websrv_address_same_host(const sockaddr_storage &a, const sockaddr_storage &b);

#pragma GCC visibility pop

#endif
