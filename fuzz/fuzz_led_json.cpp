// Fuzzes the LED example's body reader with any bytes a client may post (at most its 4 KiB).
// Every input must be read without a fault; one it takes holds exactly {"on":true} or
// {"on":false} with white space around its tokens, and reads the same with more white space
// around it; one it refuses says why.
#include <cstdint>
#include <string>

#include "fuzz_support.h"
extern "C" {
#include "led_json.h"
}

namespace {

constexpr size_t body_max = 4096;

// The body with every JSON white space taken out (escapes never hold any, in what is taken).
std::string squeezed(const std::string &body)
{
    std::string out;
    for (const char c : body) {
        if (c != ' ' && c != '\t' && c != '\n' && c != '\r')
            out += c;
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > body_max)
        size = body_max;
    const std::string body(reinterpret_cast<const char *>(data), size);
    const led_body read = led_read_body(body.data(), body.size());
    if (read.error != nullptr)
        return 0;
    const std::string bare = squeezed(body);
    // "on" may be written with escapes: the member's name decodes to it, and its value is the
    // word the result says.
    const std::string tail = read.on ? ":true}" : ":false}";
    FUZZ_CHECK(bare.front() == '{');
    FUZZ_CHECK(bare.size() > tail.size() && bare.compare(bare.size() - tail.size(), tail.size(), tail) == 0);
    const std::string padded = " \r\n" + body + "\t ";
    const led_body again = led_read_body(padded.data(), padded.size());
    FUZZ_CHECK(again.error == nullptr && again.on == read.on);
    return 0;
}
