// Fuzzes the request intake the way a connection child runs it: the bytes a client sent, in
// the session's 4096-byte zeroed buffer (at most 4095 of them, so a NUL always follows), are
// checked for a complete header, parsed, and the path is prepared. Then the session must only
// point into the buffer, and the parse must only have written NULs over delimiters.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "http_words.h"
#include "parse/request.h"
#include "websrv_plugin.h"

namespace {

constexpr size_t capacity = WEBSRV_BUFFER_SIZE - 1;

bool inside(const char *p, const char *buffer) { return fuzz::text_inside(p, buffer, WEBSRV_BUFFER_SIZE); }

bool null_or_inside(const char *p, const char *buffer) { return p == nullptr || inside(p, buffer); }

void check_error_leaves_rest_unset(const websrv_session &s, request_error error)
{
    if (error == request_error::no_crlf)
        FUZZ_CHECK(s.method == nullptr && s.uri == nullptr);
    if (error == request_error::no_uri)
        FUZZ_CHECK(s.uri == nullptr && s.query == nullptr);
    // A request line refused for what it holds (a control character, "%00", a version that
    // is none or not 1.x) or for header lines that cannot be read (folded, a blank before a
    // colon, Host lines other than one) was split first; the header behind it never is.
    if (error == request_error::no_crlf || error == request_error::no_uri || error == request_error::no_protocol)
        FUZZ_CHECK(s.protocol == nullptr);
    FUZZ_CHECK(s.cursor == s.buffer && s.header_length == 0);
    FUZZ_CHECK(s.host == nullptr && s.user_agent == nullptr && s.content_length == nullptr &&
               s.content_type == nullptr && s.if_modified_since == nullptr &&
               s.authorization == nullptr);
}

void check_parsed(const websrv_session &s, const char *original)
{
    const char *buffer = s.buffer;
    FUZZ_CHECK(s.method != nullptr && inside(s.method, buffer));
    FUZZ_CHECK(s.uri != nullptr && inside(s.uri, buffer));
    FUZZ_CHECK(s.protocol != nullptr && inside(s.protocol, buffer));
    FUZZ_CHECK(null_or_inside(s.query, buffer));
    // The tokens end at their delimiters.
    FUZZ_CHECK(strchr(s.method, ' ') == nullptr);
    FUZZ_CHECK(strchr(s.uri, ' ') == nullptr && strchr(s.uri, '?') == nullptr);
    FUZZ_CHECK(strpbrk(s.protocol, "\r\n") == nullptr);
    FUZZ_CHECK(websrv_is_http_version(s.protocol) && s.protocol[5] == '1');

    for (const char *value : {s.host, s.user_agent, s.content_length, s.content_type,
                              s.if_modified_since, s.authorization}) {
        FUZZ_CHECK(null_or_inside(value, buffer));
        if (value != nullptr) {
            FUZZ_CHECK(value[0] != ' ' && value[0] != '\t');
            FUZZ_CHECK(strstr(value, "\r\n") == nullptr);
        }
    }

    // The header ends where the parse stopped, within the text that was received.
    FUZZ_CHECK(s.header_length == s.cursor - s.buffer);
    FUZZ_CHECK(s.header_length > 0 && s.header_length <= s.received);
    FUZZ_CHECK(static_cast<size_t>(s.header_length) <= strlen(original));

    // A target in absolute form ("http://host/path"): its host moved one place left to end
    // with a NUL before the path, which is the uri.
    const bool absolute = s.host != nullptr && s.host < s.protocol;
    if (absolute) {
        FUZZ_CHECK(s.host <= s.uri && (s.uri[0] == '\0' || s.uri[0] == '/'));
        FUZZ_CHECK(memcmp(s.host, original + (s.host - buffer) + (s.uri[0] == '/'), strlen(s.host)) == 0);
    }
    // Parsing only overwrites delimiters with NUL, and the blanks that end a header line; the
    // body behind the header is untouched.
    for (size_t i = 0; i < WEBSRV_BUFFER_SIZE; ++i) {
        if (absolute && buffer + i >= s.host && buffer + i < s.uri)
            continue;
        if (buffer[i] != original[i])
            FUZZ_CHECK(buffer[i] == '\0' && strchr(" \t?\r\n", original[i]) != nullptr &&
                       original[i] != '\0');
    }
}

void check_prepared(const websrv_session &s, const std::string &raw_uri)
{
    // A decoded NUL ends the path early, as it does for every later use of it.
    std::string expected = fuzz::decoded(raw_uri);
    expected.resize(std::min(expected.size(), expected.find('\0')));
    if (!expected.empty() && expected[0] == '/')
        expected.erase(0, 1);
    if (expected.empty()) {
        FUZZ_CHECK(strcmp(s.uri, "./") == 0);
        return;
    }
    // Decoding happens in place: the path stays in the buffer and never grows.
    FUZZ_CHECK(inside(s.uri, s.buffer));
    FUZZ_CHECK(strlen(s.uri) <= raw_uri.size());
    FUZZ_CHECK(std::string(s.uri) == expected);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // Log everything, as the server does with -v, so the log lines format every field the
    // parse sets; the log goes to standard output, which the fuzzer does not need.
    websrv_mcb.log_level = 2;
    if (freopen("/dev/null", "w", stdout) == nullptr)
        abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > capacity)
        size = capacity;
    websrv_session session{};
    session.buffer = static_cast<char *>(websrv_malloc(WEBSRV_BUFFER_SIZE));
    memset(session.buffer, 0, WEBSRV_BUFFER_SIZE);
    memcpy(session.buffer, data, size);
    session.cursor = session.buffer;
    session.received = static_cast<int>(size);
    session.socket = -1;

    // The child parses only once the header is complete.
    if (websrv_header_complete(session.buffer)) {
        char original[WEBSRV_BUFFER_SIZE];
        memcpy(original, session.buffer, sizeof original);

        const request_error error = websrv_parse_request(&session, "192.0.2.1");
        // Only a request without any CR LF after its leading empty lines (CRs and LFs, skipped
        // when anything follows them) is refused for lacking one.
        const char *request = original + strspn(original, "\r\n");
        if (*request == '\0')
            request = original;
        FUZZ_CHECK((error == request_error::no_crlf) == (strstr(request, "\r\n") == nullptr));

        if (error != request_error::none) {
            check_error_leaves_rest_unset(session, error);
        } else {
            check_parsed(session, original);
            const std::string raw_uri = session.uri;
            websrv_prepare_path(&session);
            check_prepared(session, raw_uri);
        }
    }
    websrv_free(session.buffer);
    return 0;
}
