// Request framing: the body's length as a kept connection must trust it, and keep-alive.
#include "parse/framing.h"

#include <climits>
#include <cstring>
#include <strings.h>
#include <string_view>

#include "log.h"
#include "keep.h"
#include "decimal.h"
#include "settings.h"

namespace {

// A body length the server cannot count (it would overflow) is refused, not cut to fit.
constexpr long long longest_body = LLONG_MAX;

// The value of a Content-Length line: one run of decimal digits, blanks behind it allowed.
// -1 for anything else.
long long length_value(const char *value)
{
    std::string_view text(value, strlen(value));
    long long length = 0;
    const size_t digits = websrv_read_decimal(text, longest_body, &length);
    text.remove_prefix(digits);
    return digits > 0 && length < longest_body && websrv_blanks(text) == text.size() ? length : -1;
}

// Whether the request's version is HTTP/1.1 or later (its own version text, as sent).
bool at_least_http11(const char *protocol)
{
    return protocol != nullptr && strncmp(protocol, "HTTP/1.", 7) == 0 && protocol[7] >= '1' && protocol[7] <= '9';
}

// Whether the comma-separated list `list` (null: none) holds `token`, ignoring letter case.
bool lists(const char *list, const char *token)
{
    const size_t length = strlen(token);
    for (const char *at = list; at != nullptr && *at != '\0'; ++at) {
        const bool starts = at == list || at[-1] == ',' || at[-1] == ' ' || at[-1] == '\t';
        if (starts && strncasecmp(at, token, length) == 0 && (at[length] == '\0' || strchr(" \t,", at[length]) != nullptr))
            return true;
    }
    return false;
}

// Whether the client asks to keep the connection: HTTP/1.1 unless it says close, HTTP/1.0
// only when it says keep-alive (in its last Connection line).
bool wants_keep_alive(const websrv_connection *c)
{
    const char *connection = c->headers.find("Connection");
    return !lists(connection, "close") && (lists(connection, "keep-alive") || at_least_http11(c->session.protocol));
}

// Reads the Content-Length lines. Returns the body's length (0 without one), or -1 when they
// cannot be trusted: a value that is not one run of digits, values that differ, or a name
// with blanks before its colon (which some readers take and others do not).
long long body_length(const websrv_connection *c)
{
    long long length = 0;
    bool seen = false;
    for (int i = 0; i < c->headers.count(); ++i) {
        const std::string_view name = c->headers.name(i);
        size_t bare = name.size();  // without the blanks at its end
        while (bare > 0 && (name[bare - 1] == ' ' || name[bare - 1] == '\t'))
            --bare;
        if (bare != 14 || strncasecmp(name.data(), "Content-Length", 14) != 0)
            continue;
        const long long value = bare == name.size() ? length_value(c->headers.value(i)) : -1;
        if (value < 0 || (seen && value != length))
            return -1;
        length = value;
        seen = true;
    }
    return length;
}

// How the request says its body is coded: not at all (no Transfer-Encoding line), chunked, or
// in a way the server cannot take. Two lines, or one beside a Content-Length, leave the body's
// end to the reader's guess: refused as untrustworthy.
enum class coding { none, chunked, unknown, untrustworthy };

coding body_coding(const websrv_connection *c)
{
    int lines = 0;
    const char *coded = c->headers.find("Transfer-Encoding", &lines);
    if (lines == 0)
        return coding::none;
    if (lines > 1 || c->headers.find("Content-Length") != nullptr)
        return coding::untrustworthy;
    return strcasecmp(coded, "chunked") == 0 ? coding::chunked : coding::unknown;
}

}  // namespace

int websrv_frame_request(websrv_connection *c)
{
    const coding coded = body_coding(c);
    const long long length = coded == coding::none ? body_length(c) : 0;
    if (length < 0 || coded == coding::untrustworthy || coded == coding::unknown) {
        if (coded == coding::unknown)
            websrv_error("%s sent a transfer coding other than chunked\n", c->info.peer_text);
        else
            websrv_error("%s sent a Content-Length that cannot be trusted\n", c->info.peer_text);
        websrv_keep_lost(c);
        return coded == coding::unknown ? 501 : 400;
    }
    c->body_length = length;
    c->chunked = coded == coding::chunked;
    const long long arrived = c->session.received - c->session.header_length;
    c->body_left = length > arrived ? length - arrived : 0;
    c->says_close = lists(c->headers.find("Connection"), "close");
    websrv_keep_from_request(c, wants_keep_alive(c), websrv_expects_continue(c));
    return 0;
}

bool websrv_expects_continue(const websrv_connection *c)
{
    const char *expect = c->headers.find("Expect");
    return (c->body_left > 0 || c->chunked) && expect != nullptr && strcasecmp(expect, "100-continue") == 0 &&
           at_least_http11(c->session.protocol);
}
