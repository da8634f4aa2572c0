// The server's own text loops (see text.h) and its whole-string equality (same.h).
#include "text.h"

#include <cstdint>

#include "same.h"

size_t websrv_length(const char *text)
{
    // A pointer walk: the compiler turns the indexed form of this loop back into strlen.
    const char *end = text;
    while (*end != '\0')
        ++end;
    return static_cast<size_t>(end - text);
}

namespace {

bool same_start(const char *a, const char *b, size_t most, bool nocase)
{
    for (; most > 0; --most, ++a, ++b) {
        // Two different characters are the same letter when they differ in the case bit alone.
        const unsigned folded = static_cast<unsigned char>(*a | 0x20);
        if (*a != *b && !(nocase && folded == static_cast<unsigned char>(*b | 0x20) && folded - 'a' < 26))
            return false;
        if (*a == '\0')
            return true;
    }
    return true;
}

}  // namespace

bool websrv_same_start(const char *a, const char *b, size_t most)
{
    return same_start(a, b, most, false);
}

bool websrv_same_start_nocase(const char *a, const char *b, size_t most)
{
    return same_start(a, b, most, true);
}

size_t websrv_span(const char *text, const char *set, bool in)
{
    size_t count = 0;
    while (text[count] != '\0' && (websrv_find_char(set, text[count]) != nullptr) == in)
        ++count;
    return count;
}

char *websrv_find(const char *text, const char *part)
{
    // Only the places that start with the part's first character are compared.
    const size_t length = websrv_length(part);
    for (; length == 0 || (text = websrv_find_char(text, part[0])) != nullptr; ++text) {
        if (websrv_same_start(text, part, length))
            return const_cast<char *>(text);
    }
    return nullptr;
}

char *websrv_find_char(const char *text, char c)
{
    for (; *text != '\0'; ++text) {
        if (*text == c)
            return const_cast<char *>(text);
    }
    return nullptr;
}

const char *websrv_find_byte(const char *data, char byte, size_t length)
{
    for (size_t i = 0; i < length; ++i) {
        if (data[i] == byte)
            return data + i;
    }
    return nullptr;
}

size_t websrv_length_within(const char *text, size_t most)
{
    size_t length = 0;
    while (length < most && text[length] != '\0')
        ++length;
    return length;
}

void websrv_move_down(char *to, const char *from, size_t count)
{
    for (size_t i = 0; i < count; ++i)
        to[i] = from[i];
}

bool websrv_same(const char *a, const char *b)
{
    return websrv_same_start(a, b, PTRDIFF_MAX);
}

bool websrv_same_nocase(const char *a, const char *b)
{
    return websrv_same_start_nocase(a, b, PTRDIFF_MAX);
}
