// The chunked transfer coding of a request body, decoded as it arrives: no I/O, so tests and
// fuzzers can drive it with any pieces.
#ifndef WEBSRV_SERVER_PARSE_CHUNKED_H
#define WEBSRV_SERVER_PARSE_CHUNKED_H

#include <cstddef>

#pragma GCC visibility push(hidden)

// Takes the coded bytes piece by piece, however they were cut, and hands back the body's bytes.
// Strict, as a reader that others may not agree with must be: each chunk's size is hexadecimal
// (15 digits at most), lines end in CR LF, an extension (";" and what follows up to the line's
// end) and trailer lines are passed over, and no control character but a tab is taken in them.
class websrv_chunked_decoder {
public:
    // Decodes data[0..length) in place: the body's bytes among them move to the start of `data`.
    // Returns their count; *used is how many input bytes were taken (fewer than `length` only
    // once the body has ended: the rest belongs to whatever follows it).
    size_t decode(char *data, size_t length, size_t *used);

    // The body has ended: the last chunk and the trailer's empty line have come.
    bool done() const { return state_ == state::done; }
    // The bytes are no chunked coding: nothing more is taken.
    bool failed() const { return state_ == state::failed; }

private:
    enum class state : unsigned char {
        size,        // hexadecimal digits of a chunk's size
        extension,   // behind the size, up to the CR
        size_lf,     // the LF of the size line
        data,        // `left` bytes of the chunk
        data_cr,     // the CR behind a chunk's data
        data_lf,     // and its LF
        trailer,     // a trailer line (or the empty line that ends the body), up to its CR
        trailer_lf,  // the LF of a trailer line
        done,
        failed,
    };

    // Takes one byte of the coding's framing (not of a chunk's data).
    void frame(char c);

    state state_ = state::size;
    unsigned long long left_ = 0;  // bytes of the current chunk still to come (in `size`: read so far)
    int digits_ = 0;               // digits of the size read so far
    size_t line_ = 0;              // characters of the current extension or trailer line
    int trailers_ = 0;             // trailer lines so far
};

#pragma GCC visibility pop

#endif
