// SHA-1 as FIPS 180-4 defines it, in one call over a whole message.
#include "sha1.h"

#include <cstring>

namespace {

constexpr size_t block_size = 64;
constexpr uint32_t initial_state[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
constexpr uint32_t round_constants[4] = {0x5A827999, 0x6ED9EBA1, 0x8F1BBCDC, 0xCA62C1D6};

constexpr uint32_t rotl(uint32_t x, int n)
{
    return (x << n) | (x >> (32 - n));
}

void compress(uint32_t (&state)[5], const uint8_t *block)
{
    uint32_t w[80];
    for (int i = 0; i < 16; ++i)
        w[i] = static_cast<uint32_t>(block[4 * i]) << 24 | static_cast<uint32_t>(block[4 * i + 1]) << 16 |
               static_cast<uint32_t>(block[4 * i + 2]) << 8 | block[4 * i + 3];
    for (int i = 16; i < 80; ++i)
        w[i] = rotl(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
    for (int i = 0; i < 80; ++i) {
        const int round = i / 20;
        const uint32_t f = round == 0 ? (b & c) | (~b & d) : round == 2 ? (b & c) | (b & d) | (c & d) : b ^ c ^ d;
        const uint32_t t = rotl(a, 5) + f + e + round_constants[round] + w[i];
        e = d;
        d = c;
        c = rotl(b, 30);
        b = a;
        a = t;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
}

}  // namespace

void sha1(std::span<const uint8_t> data, uint8_t (&digest)[sha1_size])
{
    uint32_t state[5];
    memcpy(state, initial_state, sizeof state);
    size_t whole = data.size() - data.size() % block_size;
    for (size_t at = 0; at < whole; at += block_size)
        compress(state, data.data() + at);
    // The last bytes, one 1 bit, zeros, the length in bits: one block, or two when it does not fit.
    uint8_t tail[2 * block_size] = {};
    const size_t rest = data.size() - whole;
    memcpy(tail, data.data() + whole, rest);
    tail[rest] = 0x80;
    const size_t tail_size = rest + 1 + 8 <= block_size ? block_size : 2 * block_size;
    const uint64_t bits = static_cast<uint64_t>(data.size()) * 8;
    for (int i = 0; i < 8; ++i)
        tail[tail_size - 1 - i] = static_cast<uint8_t>(bits >> (8 * i));
    for (size_t at = 0; at < tail_size; at += block_size)
        compress(state, tail + at);
    for (int i = 0; i < 5; ++i) {
        for (int k = 0; k < 4; ++k)
            digest[4 * i + k] = static_cast<uint8_t>(state[i] >> (24 - 8 * k));
    }
}
