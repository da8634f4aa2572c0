// Fuzzes the WebSocket frame reader of the stock plug-ins with any bytes a client may send
// after the handshake. Every input must be read without a fault, and the reader must find the
// same events whether the bytes come at once or in pieces of any size (the first input byte
// sets the piece size): messages within 64 KiB and valid UTF-8 when text, control payloads
// within 125 bytes, close codes a client may send, and nothing more after a close or failure.
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "ws_frame.h"

namespace {

struct seen {
    ws_kind kind;
    uint16_t code;
    std::string data;
    bool operator==(const seen &) const = default;
};

// The readers keep 64 KiB each: made once.
ws_reader whole_reader;
ws_reader piece_reader;

void check(const ws_event &event)
{
    const size_t size = event.data.size();
    switch (event.kind) {
    case ws_kind::text:
        FUZZ_CHECK(size <= ws_message_max && ws_utf8_valid(event.data));
        break;
    case ws_kind::binary:
        FUZZ_CHECK(size <= ws_message_max);
        break;
    case ws_kind::close:
        FUZZ_CHECK(size <= ws_control_max - 2 && ws_utf8_valid(event.data));
        FUZZ_CHECK(event.code == ws_no_status || ws_close_code_valid(event.code));
        break;
    case ws_kind::ping:
    case ws_kind::pong:
        FUZZ_CHECK(size <= ws_control_max);
        break;
    case ws_kind::fail:
        FUZZ_CHECK(event.code == ws_protocol_error || event.code == ws_invalid_data || event.code == ws_too_big);
        break;
    case ws_kind::none:
        break;
    }
}

// The events of `bytes`, given to `reader` in pieces of `piece` bytes, up to its end.
std::vector<seen> events(ws_reader &reader, std::span<const uint8_t> bytes, size_t piece)
{
    std::vector<seen> found;
    reader.reset();
    while (!bytes.empty()) {
        std::span<const uint8_t> in = bytes.first(piece < bytes.size() ? piece : bytes.size());
        const size_t offered = in.size();
        ws_event event = reader.take(in);
        bytes = bytes.subspan(offered - in.size());
        check(event);
        if (event.kind == ws_kind::none)
            continue;
        found.push_back({event.kind, event.code, std::string(event.data.begin(), event.data.end())});
        if (event.kind == ws_kind::close || event.kind == ws_kind::fail) {
            std::span<const uint8_t> more = bytes;
            FUZZ_CHECK(reader.take(more).kind == event.kind);  // the end stays the end
            break;
        }
    }
    return found;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const size_t piece = 1 + data[0] % 23;
    const std::span<const uint8_t> bytes(data + 1, size - 1);
    FUZZ_CHECK(events(whole_reader, bytes, bytes.size() + 1) == events(piece_reader, bytes, piece));
    return 0;
}
