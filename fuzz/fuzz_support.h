// Helpers shared by the fuzz targets: a failure that libFuzzer records with its input, and
// simple reference models that the server's functions are compared with.
#ifndef WEBSRV_FUZZ_SUPPORT_H
#define WEBSRV_FUZZ_SUPPORT_H

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

// Stops the run when an invariant does not hold. abort() makes libFuzzer save the input as a
// crash artifact, so every broken invariant can be replayed like any crash.
#define FUZZ_CHECK(condition)                                                             \
    do {                                                                                  \
        if (!(condition)) {                                                               \
            fprintf(stderr, "%s:%d: invariant failed: %s\n", __FILE__, __LINE__, #condition); \
            abort();                                                                      \
        }                                                                                 \
    } while (0)

namespace fuzz {

// Value of a hexadecimal digit, or -1.
inline int hex_digit(char c)
{
    static constexpr std::string_view lower = "0123456789abcdef";
    static constexpr std::string_view upper = "0123456789ABCDEF";
    if (size_t i = lower.find(c); c != '\0' && i != std::string_view::npos)
        return static_cast<int>(i);
    if (size_t i = upper.find(c); c != '\0' && i != std::string_view::npos)
        return static_cast<int>(i);
    return -1;
}

// What percent-decoding must make of `text`: each "%" with two hexadecimal digits behind it
// becomes that byte, everything else stays as it is.
inline std::string decoded(std::string_view text)
{
    std::string out;
    size_t i = 0;
    while (i < text.size()) {
        if (text[i] == '%' && i + 2 < text.size() && hex_digit(text[i + 1]) >= 0 &&
            hex_digit(text[i + 2]) >= 0) {
            out += static_cast<char>(hex_digit(text[i + 1]) * 16 + hex_digit(text[i + 2]));
            i += 3;
        } else {
            out += text[i++];
        }
    }
    return out;
}

// Whether p points into the block [begin, begin + size) and the text at p ends inside it.
inline bool text_inside(const char *p, const char *begin, size_t size)
{
    if (p < begin || p >= begin + size)
        return false;
    for (const char *q = p; q < begin + size; ++q)
        if (*q == '\0')
            return true;
    return false;
}

}  // namespace fuzz

#endif
