// Fuzzes the chunked body decoder: any bytes, fed whole or cut into pieces at points the input
// chooses, must decode to the same body with the same end; and a body the fuzzer chooses, coded
// in chunks of sizes it chooses, must come back whole.
#include <cstdint>
#include <cstdio>
#include <string>

#include "fuzz_support.h"
#include "parse/chunked.h"

namespace {

struct result {
    std::string body;
    size_t used = 0;
    bool done = false;
    bool failed = false;
};

// Decodes `coded` in pieces of the sizes `cuts` gives in turn (1 to 256 bytes each).
result decode(const std::string &coded, const std::string &cuts)
{
    websrv_chunked_decoder decoder;
    result r;
    size_t at = 0;
    for (size_t turn = 0; at < coded.size() && !decoder.done() && !decoder.failed(); ++turn) {
        const size_t piece = cuts.empty() ? coded.size() : 1 + static_cast<uint8_t>(cuts[turn % cuts.size()]);
        std::string part = coded.substr(at, piece);
        size_t used = 0;
        const size_t body = decoder.decode(part.data(), part.size(), &used);
        FUZZ_CHECK(body <= used && used <= part.size());
        FUZZ_CHECK(used == part.size() || decoder.done() || decoder.failed());
        r.body.append(part.data(), body);
        at += used;
        if (used < part.size())
            break;
    }
    r.used = at;
    r.done = decoder.done();
    r.failed = decoder.failed();
    return r;
}

// `body` in chunks whose sizes `sizes` gives in turn, with the last chunk and an empty trailer.
std::string encode(const std::string &body, const std::string &sizes)
{
    std::string coded;
    for (size_t at = 0, turn = 0; at < body.size(); ++turn) {
        const size_t size = sizes.empty() ? body.size() : 1 + static_cast<uint8_t>(sizes[turn % sizes.size()]);
        const std::string chunk = body.substr(at, size);
        char head[32];
        snprintf(head, sizeof head, turn % 2 ? "%zX;n=v\r\n" : "%zx\r\n", chunk.size());
        coded += head + chunk + "\r\n";
        at += chunk.size();
    }
    return coded + "0\r\n\r\n";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const size_t split = data[1] % (size - 1);
    const std::string control(reinterpret_cast<const char *>(data + 2), split);
    const std::string rest(reinterpret_cast<const char *>(data + 2 + split), size - 2 - split);
    if (data[0] & 1) {
        // Any bytes: the same verdict whole and in pieces.
        const result whole = decode(rest, "");
        const result pieces = decode(rest, control);
        FUZZ_CHECK(whole.body == pieces.body && whole.used == pieces.used);
        FUZZ_CHECK(whole.done == pieces.done && whole.failed == pieces.failed);
        FUZZ_CHECK(whole.body.size() <= rest.size());
    } else {
        // A body of the fuzzer's choosing comes back whole, and what follows it stays behind.
        const std::string coded = encode(rest, control);
        const result r = decode(coded + "GET /next", control);
        FUZZ_CHECK(r.done && !r.failed && r.body == rest && r.used == coded.size());
    }
    return 0;
}
