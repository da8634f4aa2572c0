// SHA-256 and HMAC-SHA256: the keyed hash that names verified credentials in the shared cache
// of the stock plug-ins. Plain C library code, so that http.so needs no crypto library.
#ifndef WEBSRV_STOCK_SHA256_H
#define WEBSRV_STOCK_SHA256_H

#include <cstddef>
#include <cstdint>
#include <span>

constexpr size_t sha256_size = 32;        // bytes of a digest
constexpr size_t sha256_block_size = 64;  // bytes of one compression block

// An incremental SHA-256 computation: add() any number of pieces, then finish() once.
class sha256 {
public:
    sha256();
    void add(std::span<const uint8_t> data);
    void add(const char *text, size_t length);
    // Writes the digest; the object must not be used afterwards.
    void finish(uint8_t (&digest)[sha256_size]);

private:
    void compress(const uint8_t *block);
    uint32_t state_[8];
    uint8_t block_[sha256_block_size];
    size_t filled_ = 0;
    uint64_t total_ = 0;  // bytes added
};

// An incremental HMAC-SHA256 with a key of at most one block (longer keys are hashed first).
class hmac_sha256 {
public:
    explicit hmac_sha256(std::span<const uint8_t> key);
    void add(const char *text, size_t length) { inner_.add(text, length); }
    void add(std::span<const uint8_t> data) { inner_.add(data); }
    void finish(uint8_t (&mac)[sha256_size]);

private:
    uint8_t outer_key_[sha256_block_size];
    sha256 inner_;
};

#endif
