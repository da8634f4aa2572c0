// Whole-string equality through the bounded comparisons of text.h (with no bound that matters,
// they stop at the first difference or the end).
#ifndef WEBSRV_SUPPORT_SAME_H
#define WEBSRV_SUPPORT_SAME_H

#pragma GCC visibility push(hidden)

// Out of line (text.cpp): one copy of the call with its 64-bit bound serves every caller.
bool websrv_same(const char *a, const char *b);

// Equal but for the case of ASCII letters.
bool websrv_same_nocase(const char *a, const char *b);

#pragma GCC visibility pop

#endif
