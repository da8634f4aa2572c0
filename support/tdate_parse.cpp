// websrv_date_parse(): turns an HTTP date, as a client sends it in If-Modified-Since, into seconds
// since 1970-01-01 00:00:00 GMT. The day and month name tables and their lookups live here too.
#include "tdate_parse.h"

#include <cstring>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>


namespace {

// The day names, Sunday first, and the month names, January first, in full and lower case,
// one behind the other: a name's number is its place. A name is matched in full or by its
// first three letters ("may" is both).
constexpr char day_names[] = "sunday\0monday\0tuesday\0wednesday\0thursday\0friday\0saturday";
constexpr char month_names[] =
    "january\0february\0march\0april\0may\0june\0july\0august\0september\0october\0november\0december";
constexpr int day_count = 7;
constexpr int month_count = 12;
// Longer than any name with its zero.
constexpr size_t longest_name = 10;

// Days of a common year that lie before the first of each month.
constexpr short monthtab[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};

// Room for the 400 letters a name field may take (the "%400[" width below) and the zero.
constexpr int name_buffer_size = 500;

// Looks `key` (lower case) up among the `count` names of `names`: on a match (the full name,
// or its first three letters) stores its number through `value` and returns true; otherwise
// returns false and leaves `value` alone.
bool find_name(const char *key, const char *names, int count, long *value)
{
    const bool abbreviation = strnlen(key, 4) == 3;
    for (int i = 0; i < count; ++i, names += strlen(names) + 1) {
        if (strncmp(key, names, abbreviation ? 3 : longest_name) == 0) {
            *value = i;
            return true;
        }
    }
    return false;
}

// Lower-cases `text` in place, so that names match whatever case the client wrote them in.
void lower_case_in_place(char *text)
{
    // The server never sets a locale: upper case is A to Z, as in the C locale.
    for (char *cp = text; *cp != '\0'; ++cp) {
        if (*cp >= 'A' && *cp <= 'Z')
            *cp = static_cast<char>(*cp - 'A' + 'a');
    }
}

// 1 and the day number (0 = Sunday) through `value` when `name` is a day name, else 0.
// Lower-cases `name` in place.
int scan_wday(char *name, long *value)
{
    lower_case_in_place(name);
    return find_name(name, day_names, day_count, value);
}

// 1 and the month number (0 = January) through `value` when `name` is a month name, else 0.
// Lower-cases `name` in place.
int scan_mon(char *name, long *value)
{
    lower_case_in_place(name);
    return find_name(name, month_names, month_count, value);
}

// The fields of a date as scanned, before any range or year adjustment.
struct date_fields {
    int mday = 0;
    int year = 0;
    int hour = 0;
    int min = 0;
    int sec = 0;
    long mon = 0;
};

// The seven layouts, tried in order, one behind the other: for each, the fields its conversions
// fill, in their order, as digits (0 the day name, 1 the month name, 2 the day of the month,
// 3 the year, 4 the hour, 5 the minute, 6 the second), then its format. Every name field is
// limited to 400 letters and every buffer holds 500 bytes, so no scan can write past a
// buffer. A longer word leaves letters behind that no layout accepts, and a 400-letter prefix
// is never a real name. The trailing " GMT" of layouts 1, 2, 5 and 6 follows the last field,
// so it is not needed for the count and text after it is ignored.
constexpr char layouts[] =
    "213456\0%d-%400[a-zA-Z]-%d %d:%d:%d GMT\0"                  // 06-Nov-94 08:49:37 GMT
    "213456\0%d %400[a-zA-Z] %d %d:%d:%d GMT\0"                  // 06 Nov 1994 08:49:37 GMT
    "456213\0%d:%d:%d GMT %d-%400[a-zA-Z]-%d\0"                  // 08:49:37 GMT 06-Nov-94
    "456213\0%d:%d:%d GMT %d %400[a-zA-Z] %d\0"                  // 08:49:37 GMT 06 Nov 1994
    "0213456\0%400[a-zA-Z], %d-%400[a-zA-Z]-%d %d:%d:%d GMT\0"   // Sunday, 06-Nov-94 08:49:37 GMT
    "0213456\0%400[a-zA-Z], %d %400[a-zA-Z] %d %d:%d:%d GMT\0"   // Sun, 06 Nov 1994 08:49:37 GMT
    "0124563\0%400[a-zA-Z] %400[a-zA-Z] %d %d:%d:%d GMT %d";      // Sun Nov 6 08:49:37 GMT 1994
constexpr int most_fields = 7;

// Tries the layouts in order on `cp`; true and the fields of the first that fits: every field
// scanned, the month name one, and the day name (where the layout has one) one too. The day
// name is only checked for being one; it is not compared with the date.
bool scan_date(const char *cp, date_fields *f)
{
    char str_wday[name_buffer_size];
    char str_mon[name_buffer_size];
    long wday = 0;
    void *const targets[most_fields] = {str_wday, str_mon, &f->mday, &f->year, &f->hour, &f->min, &f->sec};
    for (const char *order = layouts; order < layouts + sizeof layouts;) {
        const int count = static_cast<int>(strlen(order));
        const char *format = order + count + 1;
        void *to[most_fields];
        for (int i = 0; i < most_fields; ++i)
            to[i] = targets[order[i < count ? i : 0] - '0'];  // a layout of six takes a spare seventh
        if (sscanf(cp, format, to[0], to[1], to[2], to[3], to[4], to[5], to[6]) == count &&
            (order[0] != '0' || scan_wday(str_wday, &wday)) && scan_mon(str_mon, &f->mon))
            return true;
        order = format + strlen(format) + 1;
    }
    return false;
}

// Seconds since the epoch for the scanned fields, or -1 when they do not fit time_t.
time_t date_seconds(const date_fields &f)
{
    // Years count from 1900: 1994 and 94 are both 94, two-digit 00 to 69 are 2000 to 2069,
    // and 70 to 1900 are taken as they stand. Neither step can overflow an int.
    int year = f.year;
    if (year > 1900)
        year -= 1900;
    else if (year < 70)
        year += 100;

    // No field's range is checked: 31 February is 3 March of a common year and 25:00:00 is
    // 01:00:00 of the next day. The fields are ints as scanned, so the sum is computed in
    // 64-bit arithmetic, where it cannot overflow for any int values (its magnitude stays
    // below 2^57). A result that does not fit time_t (possible only where time_t is 32 bits)
    // is returned as -1, the same as text that is not a date: the caller then treats the
    // date as older than any file and sends the file.
    const int64_t y = year;
    int64_t days = (y - 70) * 365 + (y - 69) / 4 + monthtab[f.mon] + (int64_t{f.mday} - 1);
    if (f.mon >= 2) {
        const int64_t full_year = y + 1900;
        if (full_year % 400 == 0 || (full_year % 4 == 0 && full_year % 100 != 0))
            ++days;
    }
    const int64_t seconds = ((days * 24 + f.hour) * 60 + f.min) * 60 + f.sec;
    time_t result;
    if (__builtin_add_overflow(seconds, 0, &result))
        return -1;
    return result;
}

}  // namespace

time_t websrv_date_parse(const char *text)
{
    // Only spaces and tabs are skipped here. A "%d" first field skips any white space by
    // itself; a name field does not.
    const char *cp = text;
    while (*cp == ' ' || *cp == '\t')
        ++cp;
    date_fields fields;
    if (!scan_date(cp, &fields))
        return -1;
    return date_seconds(fields);
}
