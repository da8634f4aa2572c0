// Measuring, comparing, searching and moving text with the server's own short loops in place
// of the C library's strlen, strncmp, strncasecmp, strspn, strcspn, strstr, strnlen, strchr,
// memchr and memmove: in this executable every imported function costs about 70 bytes besides
// its calls, more than its loop here.
#ifndef WEBSRV_SUPPORT_TEXT_H
#define WEBSRV_SUPPORT_TEXT_H

#include <cstddef>

#pragma GCC visibility push(hidden)

// The length of `text` (as strlen).
size_t websrv_length(const char *text);

// Whether `a` and `b` are the same in their first `most` characters (or up to where both end
// together), as strncmp(a, b, most) == 0 tells; the second with A to Z taken as a to z, as
// strncasecmp tells in the C locale, the one the server runs in.
bool websrv_same_start(const char *a, const char *b, size_t most);
bool websrv_same_start_nocase(const char *a, const char *b, size_t most);

// The count of characters at the start of `text` that are in `set` (as strspn does), or, with
// `in` false, that are not (as strcspn does).
size_t websrv_span(const char *text, const char *set, bool in = true);

// Where `part` first occurs in `text`, or nullptr (as strstr finds it).
char *websrv_find(const char *text, const char *part);

// Where the character `c` (not the terminating zero) first occurs in `text`, or nullptr (as
// strchr finds it).
char *websrv_find_char(const char *text, char c);

// Where `byte` first occurs in data[0..length), or nullptr (as memchr finds it).
const char *websrv_find_byte(const char *data, char byte, size_t length);

// The length of `text`, but at most `most`: no byte beyond text[most - 1] is read (as strnlen).
size_t websrv_length_within(const char *text, size_t most);

// Copies `count` bytes from `from` to `to`, which lies before it in the same buffer (the two
// may overlap), front to back: memmove for the one direction the server moves text in.
void websrv_move_down(char *to, const char *from, size_t count);

#pragma GCC visibility pop

#endif
