// The WebSocket frame reader: a frame's head (2 to 14 bytes) is collected, checked and read,
// then its payload is unmasked into the message (data frames) or the control buffer as it comes.
#include "ws_frame.h"


namespace {

constexpr uint8_t fin_bit = 0x80;
constexpr uint8_t reserved_bits = 0x70;
constexpr uint8_t opcode_bits = 0x0F;
constexpr uint8_t mask_bit = 0x80;
constexpr uint8_t length_bits = 0x7F;
constexpr uint8_t length_16 = 126;  // a 16-bit length follows
constexpr uint8_t length_64 = 127;  // a 64-bit length follows
constexpr size_t mask_size = 4;

bool is_control(uint8_t opcode)
{
    return (opcode & 0x8) != 0;
}

bool is_known(uint8_t opcode)
{
    return opcode <= ws_binary || (opcode >= ws_close && opcode <= ws_pong);
}

// The extra bytes of the head that the first two announce: the longer length, then the mask.
size_t extra_head(uint8_t second)
{
    const uint8_t length = second & length_bits;
    return (length == length_16 ? 2 : length == length_64 ? 8 : 0) + ((second & mask_bit) != 0 ? mask_size : 0);
}

}  // namespace

void ws_reader::reset()
{
    head_have_ = 0;
    head_need_ = 2;
    in_payload_ = false;
    message_kind_ = 0;
    message_length_ = 0;
    control_length_ = 0;
    ended_ = {};
}

ws_event ws_reader::fail(uint16_t code)
{
    ended_ = {ws_kind::fail, code, {}};
    return ended_;
}

// Collects the head's bytes; true once it is whole.
bool ws_reader::take_head(std::span<const uint8_t> &in)
{
    while (head_have_ < head_need_ && !in.empty()) {
        head_[head_have_++] = in.front();
        in = in.subspan(1);
        if (head_have_ == 2)
            head_need_ = 2 + extra_head(head_[1]);
    }
    return head_have_ == head_need_;
}

// Checks a whole head and readies the payload's copy; a failure when the frame breaks a rule.
ws_event ws_reader::head_done()
{
    fin_ = (head_[0] & fin_bit) != 0;
    opcode_ = head_[0] & opcode_bits;
    const uint8_t short_length = head_[1] & length_bits;
    if ((head_[0] & reserved_bits) != 0 || !is_known(opcode_) || (head_[1] & mask_bit) == 0)
        return fail(ws_protocol_error);  // no extension agreed; clients must mask
    if (is_control(opcode_) && (!fin_ || short_length > ws_control_max))
        return fail(ws_protocol_error);
    if (!is_control(opcode_) && (opcode_ == ws_continuation) != (message_kind_ != 0))
        return fail(ws_protocol_error);  // a continuation of nothing, or a message inside one
    uint64_t length = short_length;
    const size_t extra = short_length == length_16 ? 2 : short_length == length_64 ? 8 : 0;
    if (extra > 0) {
        length = 0;
        for (size_t i = 0; i < extra; ++i)
            length = length << 8 | head_[2 + i];
        const uint64_t least = short_length == length_16 ? length_16 : 0x10000;
        if (length < least || (length >> 63) != 0)
            return fail(ws_protocol_error);  // not the shortest form, or the top bit set
    }
    if (!is_control(opcode_) && length > ws_message_max - message_length_)
        return fail(ws_too_big);
    if (opcode_ != ws_continuation && !is_control(opcode_))
        message_kind_ = opcode_;
    left_ = length;
    mask_at_ = 0;
    control_length_ = is_control(opcode_) ? 0 : control_length_;
    in_payload_ = true;
    return {};
}

// A frame's payload is all there: a whole control frame or message is an event.
ws_event ws_reader::frame_done()
{
    in_payload_ = false;
    head_have_ = 0;
    head_need_ = 2;
    const std::span<const uint8_t> control(control_, control_length_);
    switch (opcode_) {
    case ws_ping:
        return {ws_kind::ping, 0, control};
    case ws_pong:
        return {ws_kind::pong, 0, control};
    case ws_close: {
        if (control.size() == 1)
            return fail(ws_protocol_error);
        const uint16_t code = control.empty() ? ws_no_status : static_cast<uint16_t>(control[0] << 8 | control[1]);
        if (!control.empty() && !ws_close_code_valid(code))
            return fail(ws_protocol_error);
        const std::span<const uint8_t> reason = control.empty() ? control : control.subspan(2);
        if (!ws_utf8_valid(reason))
            return fail(ws_invalid_data);
        ended_ = {ws_kind::close, code, reason};
        return ended_;
    }
    default:
        break;
    }
    if (!fin_)
        return {};
    const std::span<const uint8_t> message(message_, message_length_);
    const bool text = message_kind_ == ws_text;
    message_kind_ = 0;
    message_length_ = 0;
    if (text && !ws_utf8_valid(message))
        return fail(ws_invalid_data);
    return {text ? ws_kind::text : ws_kind::binary, 0, message};
}

ws_event ws_reader::take(std::span<const uint8_t> &in)
{
    while (ended_.kind == ws_kind::none) {
        if (!in_payload_) {
            if (!take_head(in))
                return {};
            if (const ws_event failed = head_done(); failed.kind != ws_kind::none)
                return failed;
        }
        const size_t piece = left_ < in.size() ? static_cast<size_t>(left_) : in.size();
        uint8_t *to = is_control(opcode_) ? control_ + control_length_ : message_ + message_length_;
        const uint8_t *mask = head_ + head_need_ - mask_size;
        for (size_t i = 0; i < piece; ++i)
            to[i] = in[i] ^ mask[(mask_at_ + i) % mask_size];
        in = in.subspan(piece);
        left_ -= piece;
        mask_at_ += piece;
        (is_control(opcode_) ? control_length_ : message_length_) += piece;
        if (left_ > 0)
            return {};
        if (const ws_event event = frame_done(); event.kind != ws_kind::none)
            return event;
    }
    return ended_;
}

size_t ws_frame_head(uint8_t (&out)[ws_head_max], uint8_t opcode, size_t length)
{
    out[0] = static_cast<uint8_t>(fin_bit | opcode);
    if (length < length_16) {
        out[1] = static_cast<uint8_t>(length);
        return 2;
    }
    const size_t bytes = length <= 0xFFFF ? 2 : 8;
    out[1] = bytes == 2 ? length_16 : length_64;
    for (size_t i = 0; i < bytes; ++i)
        out[2 + i] = static_cast<uint8_t>(static_cast<uint64_t>(length) >> (8 * (bytes - 1 - i)));
    return 2 + bytes;
}

size_t ws_utf8_sequence(std::span<const uint8_t> text)
{
    if (text.empty())
        return 0;
    const uint8_t lead = text[0];
    if (lead < 0x80)
        return 1;
    // The sequence's length and the range its second byte must lie in: narrower after E0
    // (overlong), ED (surrogates), F0 (overlong) and F4 (past U+10FFFF).
    size_t length = 0;
    uint8_t low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : low;
        high = lead == 0xED ? 0x9F : high;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : low;
        high = lead == 0xF4 ? 0x8F : high;
    }
    if (length == 0 || text.size() < length || text[1] < low || text[1] > high)
        return 0;
    for (size_t i = 2; i < length; ++i) {
        if ((text[i] & 0xC0) != 0x80)
            return 0;
    }
    return length;
}

bool ws_utf8_valid(std::span<const uint8_t> text)
{
    while (!text.empty()) {
        const size_t length = ws_utf8_sequence(text);
        if (length == 0)
            return false;
        text = text.subspan(length);
    }
    return true;
}

bool ws_close_code_valid(unsigned code)
{
    // The codes defined for closing (1004 to 1006 and 1015 are never sent), and those of
    // libraries and applications.
    return (code >= 1000 && code <= 1003) || (code >= 1007 && code <= 1014) || (code >= 3000 && code <= 4999);
}
