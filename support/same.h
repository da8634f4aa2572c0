// Whole-string equality through the bounded C library comparisons the server calls anyway
// (with no bound that matters, they stop at the first difference or the end): one imported
// symbol fewer each, in an executable where every import costs about 60 bytes.
#ifndef WEBSRV_SUPPORT_SAME_H
#define WEBSRV_SUPPORT_SAME_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <strings.h>

#pragma GCC visibility push(hidden)

// Out of line (text.cpp): inlined with a constant text, the comparison would be turned back
// into strcmp.
bool websrv_same(const char *a, const char *b);

// Equal but for the case of ASCII letters. Out of line too: one copy of the call with its
// 64-bit bound serves every caller.
bool websrv_same_nocase(const char *a, const char *b);

#pragma GCC visibility pop

#endif
