// Reading decimal numbers out of text that a client, a program or the environment wrote.
#ifndef WEBSRV_SUPPORT_DECIMAL_H
#define WEBSRV_SUPPORT_DECIMAL_H

#include <cstddef>
#include <string_view>

#pragma GCC visibility push(hidden)

// Reads the decimal digits at the start of `text` (no sign, no blanks). Stores their value
// through `value`, held at `ceiling` when it would be larger, and returns how many digits
// there were: 0 when `text` does not start with a digit (then `value` is 0). Cannot fail.
size_t websrv_read_decimal(std::string_view text, long long ceiling, long long *value);

// The count of spaces and tabs at the start of `text`.
size_t websrv_blanks(std::string_view text);

#pragma GCC visibility pop

#endif
