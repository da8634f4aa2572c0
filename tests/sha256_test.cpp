// The stock plug-ins' SHA-256 and HMAC-SHA256 against the published test vectors (FIPS 180-4
// examples, RFC 4231), since the credential cache's keys are only as good as that function.
#include <gtest/gtest.h>

#include <string>

#include "sha256.h"

namespace {

std::string hex(const uint8_t (&digest)[sha256_size])
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (const uint8_t byte : digest) {
        text += digits[byte >> 4];
        text += digits[byte & 15];
    }
    return text;
}

std::string sha256_of(const std::string &message)
{
    sha256 hash;
    hash.add(message.data(), message.size());
    uint8_t digest[sha256_size];
    hash.finish(digest);
    return hex(digest);
}

std::string hmac_of(const std::string &key, const std::string &message)
{
    hmac_sha256 mac(std::span<const uint8_t>(reinterpret_cast<const uint8_t *>(key.data()), key.size()));
    mac.add(message.data(), message.size());
    uint8_t digest[sha256_size];
    mac.finish(digest);
    return hex(digest);
}

TEST(Sha256, PublishedVectors)
{
    const struct {
        std::string message, digest;
    } cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(sha256_of(c.message), c.digest) << c.message.size() << " bytes";
}

TEST(HmacSha256, Rfc4231Vectors)
{
    const struct {
        std::string key, message, mac;
    } cases[] = {
        {std::string(20, '\x0b'), "Hi There", "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
        {"Jefe", "what do ya want for nothing?", "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
        {std::string(20, '\xaa'), std::string(50, '\xdd'),
         "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe"},
        {std::string(131, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First",
         "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(hmac_of(c.key, c.message), c.mac) << c.message;
}

}  // namespace
