// Fuzzes tdate_parse with the text of an If-Modified-Since value (a NUL-terminated text of at
// most 4095 bytes, as it sits in the request buffer). Any text must parse without a fault and
// always to the same result, whatever blanks lead it. The input also picks an instant from
// 1970 to 2100, which is written out in every layout the parser accepts and must parse back
// to that instant.
#include <cctype>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <string>

#include "fuzz_support.h"
#include "websrv_plugin.h"

namespace {

constexpr size_t capacity = WEBSRV_BUFFER_SIZE - 1;

// 2100-12-31 23:59:59 GMT. From 1969 to 2100 the parser's leap-day count is the calendar's;
// outside those years its conversion rule parts from the calendar, and the parser's unit
// tests check it against the rule itself.
constexpr uint64_t last_instant = 4133980799ULL;

// The layouts a client may send, as strftime formats, with full or abbreviated names.
constexpr const char *four_digit_layouts[] = {
    "%d-%b-%Y %H:%M:%S GMT",        "%d %b %Y %H:%M:%S GMT",      "%H:%M:%S GMT %d-%b-%Y",
    "%H:%M:%S GMT %d %B %Y",        "%A, %d-%b-%Y %H:%M:%S GMT",  "%a, %d %b %Y %H:%M:%S GMT",
    "%a %b %e %H:%M:%S GMT %Y",     "%A %B %d %H:%M:%S GMT %Y",   "%a, %d %B %Y %H:%M:%S",
};
// Two-digit years stand for 1970 to 2069.
constexpr const char *two_digit_layouts[] = {
    "%A, %d-%b-%y %H:%M:%S GMT", "%d-%b-%y %H:%M:%S GMT", "%H:%M:%S GMT %d-%b-%y",
};

uint64_t fnv1a(const uint8_t *data, size_t size)
{
    uint64_t hash = 14695981039346656037ULL;
    for (size_t i = 0; i < size; ++i)
        hash = (hash ^ data[i]) * 1099511628211ULL;
    return hash;
}

void check_parses_back(const char *format, const struct tm &broken_down, time_t instant)
{
    char text[128];
    const size_t length = strftime(text, sizeof text, format, &broken_down);
    FUZZ_CHECK(length > 0);
    if (tdate_parse(text) != instant) {
        fprintf(stderr, "\"%s\" gave %lld, not %lld\n", text, static_cast<long long>(tdate_parse(text)),
                static_cast<long long>(instant));
        FUZZ_CHECK(!"a written date parses back to its instant");
    }
    // Names are matched in any letter case.
    for (size_t i = 0; i < length; ++i)
        text[i] = static_cast<char>(toupper(static_cast<unsigned char>(text[i])));
    FUZZ_CHECK(tdate_parse(text) == instant);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > capacity)
        size = capacity;
    std::string text(reinterpret_cast<const char *>(data), size);
    const time_t result = tdate_parse(text.c_str());
    FUZZ_CHECK(tdate_parse(text.c_str()) == result);
    FUZZ_CHECK(tdate_parse((" \t " + text).c_str()) == result);

    const time_t instant = static_cast<time_t>(fnv1a(data, size) % (last_instant + 1));
    struct tm broken_down;
    FUZZ_CHECK(gmtime_r(&instant, &broken_down) != nullptr);
    for (const char *format : four_digit_layouts)
        check_parses_back(format, broken_down, instant);
    if (broken_down.tm_year >= 70 && broken_down.tm_year < 170) {
        for (const char *format : two_digit_layouts)
            check_parses_back(format, broken_down, instant);
    }
    return 0;
}
