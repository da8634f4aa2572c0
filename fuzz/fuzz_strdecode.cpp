// Fuzzes the percent-decoding of paths and query words: websrv_strdecode into a separate block
// that holds exactly the decoded text, and in place, as every caller uses it. Both must give
// what the reference decoding in fuzz_support.h gives, and never write beyond the result.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "fuzz_support.h"
#include "parse/request.h"
#include "websrv_plugin.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The text ends at its first NUL, as in the request buffer (at most 4095 bytes).
    if (size > WEBSRV_BUFFER_SIZE - 1)
        size = WEBSRV_BUFFER_SIZE - 1;
    const std::string text(reinterpret_cast<const char *>(data),
                           strnlen(reinterpret_cast<const char *>(data), size));
    const std::string expected = fuzz::decoded(text);
    FUZZ_CHECK(expected.size() <= text.size());

    // Into a block with room for the decoded bytes and the NUL, and not one byte more.
    std::unique_ptr<char[]> to(new char[expected.size() + 1]);
    websrv_strdecode(to.get(), text.c_str());
    FUZZ_CHECK(memcmp(to.get(), expected.c_str(), expected.size() + 1) == 0);

    // In place, in a block exactly as long as the text.
    std::unique_ptr<char[]> in_place(new char[text.size() + 1]);
    memcpy(in_place.get(), text.c_str(), text.size() + 1);
    websrv_strdecode(in_place.get(), in_place.get());
    FUZZ_CHECK(memcmp(in_place.get(), expected.c_str(), expected.size() + 1) == 0);

    for (char c : text) {
        const int digit = fuzz::hex_digit(c);
        FUZZ_CHECK(websrv_hexit(c) == (digit < 0 ? 0 : digit));
    }
    return 0;
}
