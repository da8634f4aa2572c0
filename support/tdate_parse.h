// Parsing of the dates clients send in If-Modified-Since.
#ifndef WEBSRV_SUPPORT_TDATE_PARSE_H
#define WEBSRV_SUPPORT_TDATE_PARSE_H

#include <ctime>

#pragma GCC visibility push(hidden)

// Converts an HTTP date to seconds since 1970-01-01 00:00:00 GMT; -1 when no layout fits
// (or the result does not fit time_t). `text` must not be null; text after the date is
// ignored. Logs nothing. Plug-ins reach it as tdate_parse().
time_t websrv_date_parse(const char *text);

#pragma GCC visibility pop

#endif
