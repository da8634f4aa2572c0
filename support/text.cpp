// The server's own text searches (see text.h) and its whole-string equality (same.h).
#include "text.h"

#include <cstdint>
#include <cstring>
#include <strings.h>

#include "same.h"

size_t websrv_span(const char *text, const char *set, bool in)
{
    size_t count = 0;
    while (text[count] != '\0' && (strchr(set, text[count]) != nullptr) == in)
        ++count;
    return count;
}

char *websrv_find(const char *text, const char *part)
{
    // Only the places that start with the part's first character are compared.
    const size_t length = strlen(part);
    for (; length == 0 || (text = strchr(text, part[0])) != nullptr; ++text) {
        if (strncmp(text, part, length) == 0)
            return const_cast<char *>(text);
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
    return strncmp(a, b, PTRDIFF_MAX) == 0;
}

bool websrv_same_nocase(const char *a, const char *b)
{
    return strncasecmp(a, b, PTRDIFF_MAX) == 0;
}
