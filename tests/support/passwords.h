// Passwords for the tests of protected paths: crypt(3) hashes made with libcrypt, and the
// Authorization line that sends a user's password.
#ifndef WEBSRV_TEST_PASSWORDS_H
#define WEBSRV_TEST_PASSWORDS_H

#include <crypt.h>
#include <string>

namespace websrv_test {

// A crypt(3) hash of `password` by the method whose prefix is `prefix` ("$y$", "$6$", ...).
inline std::string hash_of(const std::string &password, const char *prefix)
{
    char setting[CRYPT_GENSALT_OUTPUT_SIZE];
    if (crypt_gensalt_rn(prefix, 0, nullptr, 0, setting, sizeof setting) == nullptr)
        return "";
    crypt_data data{};
    const char *hash = crypt_rn(password.c_str(), setting, &data, sizeof data);
    return hash != nullptr ? hash : "";
}

// "Authorization: Basic ..." for user:password.
inline std::string basic(const std::string &user, const std::string &password)
{
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const std::string in = user + ":" + password;
    std::string out;
    for (size_t i = 0; i < in.size(); i += 3) {
        const unsigned n = static_cast<unsigned char>(in[i]) << 16 |
                           (i + 1 < in.size() ? static_cast<unsigned char>(in[i + 1]) << 8 : 0) |
                           (i + 2 < in.size() ? static_cast<unsigned char>(in[i + 2]) : 0);
        out += alphabet[n >> 18 & 63];
        out += alphabet[n >> 12 & 63];
        out += i + 1 < in.size() ? alphabet[n >> 6 & 63] : '=';
        out += i + 2 < in.size() ? alphabet[n & 63] : '=';
    }
    return "Authorization: Basic " + out + "\r\n";
}

}  // namespace websrv_test

#endif
