// Memory that every connection child of the server shares with the others: the credentials
// verified lately, and the failed attempts per client address.
#ifndef WEBSRV_STOCK_AUTH_SHARED_H
#define WEBSRV_STOCK_AUTH_SHARED_H

#include <cstdint>

#include "sha256.h"

using credential_key = uint8_t[sha256_size];  // a keyed hash naming one verified credential
using client_address = uint8_t[16];           // IPv6, or IPv4 as ::ffff:a.b.c.d

// How long a verified credential is taken without another password check.
constexpr int verified_seconds = 60;
// Failed attempts of one address within failure_window_seconds that get it blocked_seconds of 429.
constexpr int failure_limit = 10;
constexpr int failure_window_seconds = 60;
constexpr int blocked_seconds = 60;

// Main process, once: maps the shared memory. False after logging.
bool shared_open();
// Whether `key` was verified less than verified_seconds ago.
bool shared_verified(const credential_key &key);
// Remembers `key` as verified now.
void shared_remember(const credential_key &key);
// The seconds `address` stays blocked, 0 when it is not.
int shared_blocked_seconds(const client_address &address);
// Counts a failed attempt of `address`; the failure_limit-th within the window blocks it.
void shared_failure(const client_address &address);

#endif
