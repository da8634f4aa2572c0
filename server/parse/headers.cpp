// The index of a request's header lines.
#include <strings.h>

#include "parse/headers.h"


void websrv_header_index::clear(const char *buffer)
{
    base_ = buffer;
    count_ = 0;
}

void websrv_header_index::add(const char *name, size_t length, const char *value)
{
    if (count_ == websrv_max_header_lines)
        return;
    line_[count_++] = {static_cast<uint16_t>(name - base_), static_cast<uint16_t>(length),
                       static_cast<uint16_t>(value - base_)};
}

bool websrv_header_index::is(int i, std::string_view wanted) const
{
    return line_[i].name_length == wanted.size() && strncasecmp(base_ + line_[i].name, wanted.data(), wanted.size()) == 0;
}

const char *websrv_header_index::find(std::string_view wanted, int *lines) const
{
    const char *found = nullptr;
    int matches = 0;
    for (int i = 0; i < count_; ++i) {
        if (is(i, wanted)) {
            found = value(i);
            ++matches;
        }
    }
    if (lines != nullptr)
        *lines = matches;
    return found;
}
