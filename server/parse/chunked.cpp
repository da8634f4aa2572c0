// Decoding the chunked transfer coding, one byte of framing at a time and a chunk's data in
// runs.
#include "parse/chunked.h"

#include <cstring>

namespace {

// A size of more hexadecimal digits than this could not be counted.
constexpr int most_size_digits = 15;
// The longest extension or trailer line taken, and the most trailer lines: nothing a client
// needs, and an endless stream of either would otherwise hold the session.
constexpr size_t longest_line = 4096;
constexpr int most_trailer_lines = 64;

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    const char lower = static_cast<char>(c | 0x20);
    return lower >= 'a' && lower <= 'f' ? lower - 'a' + 10 : -1;
}

// Whether `c` may stand in an extension or a trailer line: visible characters, blanks, and the
// bytes of UTF-8 text; no other control character.
bool line_character(char c)
{
    const unsigned char u = static_cast<unsigned char>(c);
    return u == '\t' || (u >= 0x20 && u != 0x7f);
}

}  // namespace

void websrv_chunked_decoder::frame(char c)
{
    switch (state_) {
    case state::size:
        if (const int digit = hex_digit(c); digit >= 0 && digits_ < most_size_digits) {
            left_ = left_ * 16 + static_cast<unsigned>(digit);
            ++digits_;
        } else if (digits_ > 0 && (c == ';' || c == ' ' || c == '\t')) {
            state_ = state::extension;
        } else {
            state_ = digits_ > 0 && c == '\r' ? state::size_lf : state::failed;
        }
        line_ = 0;
        return;
    case state::extension:
        state_ = c == '\r' ? state::size_lf : line_character(c) && ++line_ < longest_line ? state::extension : state::failed;
        return;
    case state::size_lf:
        // The last chunk (size 0) is followed by the trailer.
        state_ = c != '\n' ? state::failed : left_ == 0 ? state::trailer : state::data;
        line_ = 0;
        return;
    case state::data_cr:
        state_ = c == '\r' ? state::data_lf : state::failed;
        return;
    case state::data_lf:
        state_ = c == '\n' ? state::size : state::failed;
        digits_ = 0;
        return;
    case state::trailer:
        state_ = c == '\r' ? state::trailer_lf : line_character(c) && ++line_ < longest_line ? state::trailer : state::failed;
        return;
    case state::trailer_lf:
        // An empty line ends the trailer, and the body with it.
        state_ = c != '\n' ? state::failed : line_ == 0 ? state::done : ++trailers_ < most_trailer_lines ? state::trailer : state::failed;
        line_ = 0;
        return;
    default:
        return;
    }
}

size_t websrv_chunked_decoder::decode(char *data, size_t length, size_t *used)
{
    size_t in = 0;
    size_t out = 0;
    while (in < length && state_ != state::done && state_ != state::failed) {
        if (state_ != state::data) {
            frame(data[in++]);
            continue;
        }
        const size_t run = left_ < length - in ? static_cast<size_t>(left_) : length - in;
        memmove(data + out, data + in, run);
        in += run;
        out += run;
        left_ -= run;
        if (left_ == 0)
            state_ = state::data_cr;
    }
    *used = in;
    return out;
}
