// WebSocket frames as a server reads and writes them: a reader that takes the client's bytes in
// pieces of any size and yields whole messages and control frames (or the close code the
// connection must fail with), and the heads of the frames a server sends. No I/O here: the
// relay (websocket.cpp) moves the bytes, and the fuzz target drives the reader alone.
#ifndef WEBSRV_STOCK_WS_FRAME_H
#define WEBSRV_STOCK_WS_FRAME_H

#include <cstddef>
#include <cstdint>
#include <span>

// The largest message a client may send, all its fragments together.
constexpr size_t ws_message_max = 64 * 1024;
// The largest payload of a control frame (close, ping, pong).
constexpr size_t ws_control_max = 125;
// The largest head of a frame the server sends (no mask): 2 bytes and a 64-bit length.
constexpr size_t ws_head_max = 10;

// Opcodes.
constexpr uint8_t ws_continuation = 0x0;
constexpr uint8_t ws_text = 0x1;
constexpr uint8_t ws_binary = 0x2;
constexpr uint8_t ws_close = 0x8;
constexpr uint8_t ws_ping = 0x9;
constexpr uint8_t ws_pong = 0xA;

// Close codes the server sends.
constexpr uint16_t ws_normal = 1000;
constexpr uint16_t ws_protocol_error = 1002;
constexpr uint16_t ws_unsupported = 1003;
constexpr uint16_t ws_no_status = 1005;  // received: a close frame without a code
constexpr uint16_t ws_invalid_data = 1007;
constexpr uint16_t ws_too_big = 1009;
constexpr uint16_t ws_internal_error = 1011;

// What the reader found.
enum class ws_kind : uint8_t {
    none,    // nothing whole yet: give it more bytes
    text,    // a whole text message (valid UTF-8) in `data`
    binary,  // a whole binary message in `data`
    ping,    // a ping; `data` its payload
    pong,    // a pong; `data` its payload
    close,   // the client's close: `code` (ws_no_status without one), `data` the reason
    fail,    // the client broke the protocol: close the connection with `code`
};

struct ws_event {
    ws_kind kind = ws_kind::none;
    uint16_t code = 0;
    std::span<const uint8_t> data;
};

// Reads the frames of one connection, client to server. The data of an event stays valid until
// the next call. After a failure or a close every call yields it again.
class ws_reader {
public:
    void reset();
    // Takes bytes from the front of `in` (advancing it) until an event is whole, or `in` is used
    // up (ws_kind::none).
    ws_event take(std::span<const uint8_t> &in);

private:
    ws_event fail(uint16_t code);
    ws_event head_done();
    ws_event frame_done();
    bool take_head(std::span<const uint8_t> &in);

    uint8_t head_[14];
    size_t head_have_ = 0;
    size_t head_need_ = 2;
    bool in_payload_ = false;
    uint8_t opcode_ = 0;
    bool fin_ = false;
    uint64_t left_ = 0;      // payload bytes of the frame still to come
    size_t mask_at_ = 0;     // payload bytes of the frame unmasked so far
    uint8_t message_kind_ = 0;  // ws_text or ws_binary while a message is under way
    size_t message_length_ = 0;
    size_t control_length_ = 0;
    ws_event ended_{};       // a failure or close, once there was one
    uint8_t message_[ws_message_max];
    uint8_t control_[ws_control_max];
};

// Writes the head of an unmasked, final frame with `opcode` and a payload of `length` bytes
// into `out`; returns its size.
size_t ws_frame_head(uint8_t (&out)[ws_head_max], uint8_t opcode, size_t length);

// The length of the well-formed UTF-8 sequence at the start of `text`, or 0 when none starts
// there (overlong forms, surrogates and code points past U+10FFFF are not well-formed).
size_t ws_utf8_sequence(std::span<const uint8_t> text);
// Whether all of `text` is well-formed UTF-8.
bool ws_utf8_valid(std::span<const uint8_t> text);
// Whether a client may close with `code`.
bool ws_close_code_valid(unsigned code);

#endif
