// Bounded decimal reading: the value can never overflow, whatever the digits.
#include "decimal.h"

size_t websrv_read_decimal(std::string_view text, long long ceiling, long long *value)
{
    long long total = 0;
    size_t digits = 0;
    for (; digits < text.size() && text[digits] >= '0' && text[digits] <= '9'; ++digits) {
        const int digit = text[digits] - '0';
        total = total > (ceiling - digit) / 10 ? ceiling : total * 10 + digit;
    }
    *value = total;
    return digits;
}

size_t websrv_blanks(std::string_view text)
{
    size_t count = 0;
    while (count < text.size() && (text[count] == ' ' || text[count] == '\t'))
        ++count;
    return count;
}
