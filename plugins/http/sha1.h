// SHA-1, for the one place a protocol fixes it: the WebSocket handshake's Sec-WebSocket-Accept.
// Plain C library code, so that http.so needs no crypto library. Not for anything secret.
#ifndef WEBSRV_STOCK_SHA1_H
#define WEBSRV_STOCK_SHA1_H

#include <cstddef>
#include <cstdint>
#include <span>

constexpr size_t sha1_size = 20;  // bytes of a digest

// The SHA-1 digest of `data`.
void sha1(std::span<const uint8_t> data, uint8_t (&digest)[sha1_size]);

#endif
