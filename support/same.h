// Whole-string equality through the bounded C library comparisons the server calls anyway
// (with no bound that matters, they stop at the first difference or the end): one imported
// symbol fewer each, in an executable where every import costs about 60 bytes.
#ifndef WEBSRV_SUPPORT_SAME_H
#define WEBSRV_SUPPORT_SAME_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <strings.h>

inline bool websrv_same(const char *a, const char *b)
{
    return strncmp(a, b, PTRDIFF_MAX) == 0;
}

// Equal but for the case of ASCII letters.
inline bool websrv_same_nocase(const char *a, const char *b)
{
    return strncasecmp(a, b, PTRDIFF_MAX) == 0;
}

#endif
