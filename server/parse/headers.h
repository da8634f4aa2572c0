// The request's header lines, indexed once while the request is parsed: every line that has a
// name (the text before its first colon) in the order the client sent them, repeated names
// kept. Everything that reads a header the session record has no field for looks it up here.
#ifndef WEBSRV_SERVER_PARSE_HEADERS_H
#define WEBSRV_SERVER_PARSE_HEADERS_H

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "websrv_plugin.h"

#pragma GCC visibility push(hidden)

// The most lines a request header can hold: "a:" and its CR LF is the shortest line with a name.
inline constexpr int websrv_max_header_lines = WEBSRV_BUFFER_SIZE / 4;

class websrv_header_index {
public:
    // Empty; the lines' room is not cleared (a connection's record is made per connection).
    websrv_header_index() {}
    // Empties the index for a request held in `buffer` (the session's request buffer).
    void clear(const char *buffer);
    // Adds a line: `length` bytes of name at `name`, and its value (NUL-terminated), both in the
    // buffer. A line beyond websrv_max_header_lines is dropped (none can be).
    void add(const char *name, size_t length, const char *value);

    int count() const { return count_; }
    std::string_view name(int i) const { return {base_ + line_[i].name, line_[i].name_length}; }
    const char *value(int i) const { return base_ + line_[i].value; }
    // Whether line i is named `wanted`, ignoring letter case.
    bool is(int i, std::string_view wanted) const;

    // The value of the last line named `wanted` (ignoring letter case), or nullptr; *lines, when
    // given, is the number of such lines.
    const char *find(std::string_view wanted, int *lines = nullptr) const;

private:
    struct line {
        uint16_t name;         // offsets into the buffer
        uint16_t name_length;
        uint16_t value;
    };
    const char *base_ = nullptr;
    int count_ = 0;
    line line_[websrv_max_header_lines];
};

#pragma GCC visibility pop

#endif
