// SHA-256 as FIPS 180-4 defines it, and HMAC over it as RFC 2104 defines it.
#include "sha256.h"

#include <cstring>

namespace {

constexpr uint32_t round_constants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

constexpr uint32_t initial_state[8] = {
    0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19,
};

constexpr uint32_t rotr(uint32_t x, int n)
{
    return (x >> n) | (x << (32 - n));
}

constexpr uint8_t inner_pad = 0x36;
constexpr uint8_t outer_pad = 0x5c;

}  // namespace

sha256::sha256()
{
    memcpy(state_, initial_state, sizeof state_);
}

void sha256::compress(const uint8_t *block)
{
    uint32_t w[64];
    for (int i = 0; i < 16; ++i)
        w[i] = static_cast<uint32_t>(block[4 * i]) << 24 | static_cast<uint32_t>(block[4 * i + 1]) << 16 |
               static_cast<uint32_t>(block[4 * i + 2]) << 8 | block[4 * i + 3];
    for (int i = 16; i < 64; ++i) {
        const uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
        const uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t v[8];
    memcpy(v, state_, sizeof v);
    for (int i = 0; i < 64; ++i) {
        const uint32_t s1 = rotr(v[4], 6) ^ rotr(v[4], 11) ^ rotr(v[4], 25);
        const uint32_t choice = (v[4] & v[5]) ^ (~v[4] & v[6]);
        const uint32_t t1 = v[7] + s1 + choice + round_constants[i] + w[i];
        const uint32_t s0 = rotr(v[0], 2) ^ rotr(v[0], 13) ^ rotr(v[0], 22);
        const uint32_t majority = (v[0] & v[1]) ^ (v[0] & v[2]) ^ (v[1] & v[2]);
        memmove(v + 1, v, 7 * sizeof v[0]);
        v[4] += t1;
        v[0] = t1 + s0 + majority;
    }
    for (int i = 0; i < 8; ++i)
        state_[i] += v[i];
}

void sha256::add(std::span<const uint8_t> data)
{
    total_ += data.size();
    for (const uint8_t byte : data) {
        block_[filled_++] = byte;
        if (filled_ == sizeof block_) {
            compress(block_);
            filled_ = 0;
        }
    }
}

void sha256::add(const char *text, size_t length)
{
    add(std::span<const uint8_t>(reinterpret_cast<const uint8_t *>(text), length));
}

void sha256::finish(uint8_t (&digest)[sha256_size])
{
    // Padding: one 1 bit, zeros up to 8 bytes short of a block end, the length in bits.
    const uint64_t bits = total_ * 8;
    const uint8_t one = 0x80;
    add(std::span<const uint8_t>(&one, 1));
    const uint8_t zero = 0;
    while (filled_ != sizeof block_ - 8)
        add(std::span<const uint8_t>(&zero, 1));
    uint8_t length[8];
    for (int i = 0; i < 8; ++i)
        length[i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
    add(length);
    for (int i = 0; i < 8; ++i) {
        digest[4 * i] = static_cast<uint8_t>(state_[i] >> 24);
        digest[4 * i + 1] = static_cast<uint8_t>(state_[i] >> 16);
        digest[4 * i + 2] = static_cast<uint8_t>(state_[i] >> 8);
        digest[4 * i + 3] = static_cast<uint8_t>(state_[i]);
    }
}

hmac_sha256::hmac_sha256(std::span<const uint8_t> key)
{
    uint8_t block[sha256_block_size] = {};
    if (key.size() > sizeof block) {
        sha256 shortened;
        shortened.add(key);
        uint8_t digest[sha256_size];
        shortened.finish(digest);
        memcpy(block, digest, sizeof digest);
    } else {
        memcpy(block, key.data(), key.size());
    }
    uint8_t inner_key[sha256_block_size];
    for (size_t i = 0; i < sizeof block; ++i) {
        inner_key[i] = block[i] ^ inner_pad;
        outer_key_[i] = block[i] ^ outer_pad;
    }
    inner_.add(inner_key);
}

void hmac_sha256::finish(uint8_t (&mac)[sha256_size])
{
    uint8_t inner_digest[sha256_size];
    inner_.finish(inner_digest);
    sha256 outer;
    outer.add(outer_key_);
    outer.add(inner_digest);
    outer.finish(mac);
}
