// The HTTP words of plugin/websrv_words.h as the server and the stock plug-ins (C++) use them,
// and what needs the C library's time functions: the date. Header-only, so plug-ins use the same
// words without the executable exporting anything.
#ifndef WEBSRV_SUPPORT_HTTP_WORDS_H
#define WEBSRV_SUPPORT_HTTP_WORDS_H

#include <cstddef>
#include <cstdio>
#include <ctime>

#include "websrv_words.h"

inline constexpr char websrv_version_text[] = WEBSRV_VERSION_TEXT;
inline constexpr char websrv_server_token[] = WEBSRV_SERVER_TOKEN;
inline constexpr int websrv_wait_seconds = WEBSRV_WAIT_SECONDS;
inline constexpr char websrv_index_file[] = WEBSRV_INDEX_FILE;
inline constexpr size_t websrv_date_size = WEBSRV_DATE_SIZE;

// Who speaks a reason phrase (see websrv_words.h).
inline constexpr websrv_voice websrv_voice_server = WEBSRV_VOICE_SERVER;
inline constexpr websrv_voice websrv_voice_file = WEBSRV_VOICE_FILE;
inline constexpr websrv_voice websrv_voice_program = WEBSRV_VOICE_PROGRAM;
inline constexpr unsigned websrv_voice_answer = WEBSRV_VOICE_ANSWER;

// The phrase `voice` gives `status`, or nullptr when it has none for it. Never inlined: the walk
// over the table is kept once, not in every caller.
__attribute__((noinline)) inline const char *websrv_known_reason(int status, unsigned voice = websrv_voice_server)
{
    return websrv_status_phrase(status, voice);
}

// The phrase `voice` gives `status`; "Something" for a status it has no words for (clients act on
// the number).
inline const char *websrv_reason(int status, unsigned voice = websrv_voice_server)
{
    const char *known = websrv_known_reason(status, voice);
    return known != nullptr ? known : "Something";
}

// Writes the error page for `status` and `reason` into out[0..size), cut to fit. Returns the
// length the whole page has (as snprintf does). Never inlined: a program that builds the page in
// several places keeps one copy of the call.
__attribute__((noinline)) inline int websrv_error_page(char *out, size_t size, int status, const char *reason)
{
    return snprintf(out, size, WEBSRV_ERROR_PAGE, status, reason, websrv_server_token, status, reason);
}

// Formats `when` as an HTTP date into `text`; "" when it cannot be formatted.
inline void websrv_http_date(time_t when, char (&text)[websrv_date_size])
{
    struct tm parts;
    if (gmtime_r(&when, &parts) == nullptr || strftime(text, sizeof text, WEBSRV_DATE_FORMAT, &parts) == 0)
        text[0] = '\0';
}

#endif
