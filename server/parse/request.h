// Parsing of a request held in the session's buffer: completeness of the header, the request
// line, the header fields and the path. Everything works in place on the NUL-terminated text
// and needs no socket, so it can be driven directly by tests and fuzzers.
#ifndef WEBSRV_SERVER_REQUEST_H
#define WEBSRV_SERVER_REQUEST_H

#include "parse/headers.h"
#include "websrv_plugin.h"

#pragma GCC visibility push(hidden)

// The most a request header may take: the buffer keeps a NUL behind it, so every search of
// the request is a text search that ends inside the buffer.
constexpr int websrv_request_capacity = WEBSRV_BUFFER_SIZE - 1;

// Whether the text in `buffer` holds the end of a header: "\r\n\r\n", or "\n\n".
bool websrv_header_complete(const char *buffer);

// What parsing the request found wrong; each has its own log line. `unsupported_version` (a
// major version other than 1) is answered 505, everything else 400.
enum class request_error {
    none,
    no_crlf,
    no_uri,
    no_protocol,
    control_character,
    bad_version,
    unsupported_version,
    folded_line,   // a header line that continues the one before it (obsolete line folding)
    blank_name,    // a blank between a header line's name and its colon
    host_count,    // two Host lines, or an HTTP/1.1 request without one
};

// Splits the request line of session->buffer into method, uri, query and protocol, then
// picks out the known header fields, indexes every header line into `headers` (when given) and
// sets cursor and header_length. A header value has no blanks at either end. A target in
// absolute form ("http://host/path") becomes its path, and its host the session's host. A
// protocol that is not "HTTP/" digit "." digit, a control character in the header, "%00" in the
// path, a folded header line, a blank before a name's colon, two Host lines and an HTTP/1.1
// request without one are refused; so is a major version other than 1. Logs what it finds
// (level 2) and what is wrong (level 1). On an error nothing after the failing step is set.
// `peer` is the client's address as text for the log.
request_error websrv_parse_request(websrv_session *session, const char *peer, websrv_header_index *headers = nullptr);

// The version the status line of every answer to `session` starts with: its own when it is an
// HTTP/1.x version, else "HTTP/1.0" (websrv_status_version).
const char *websrv_session_version(const websrv_session *session);

// The request methods the server tells apart, compared without regard to letter case.
enum class websrv_method { get, head, post, other };
websrv_method websrv_method_of(const char *method);

// Decodes session->uri in place and makes it relative: one leading "/" goes, and an empty
// path becomes "./".
void websrv_prepare_path(websrv_session *session);

// Percent-decodes `from` into `to` (which may be `from`): "%" with two hexadecimal digits
// becomes that byte; everything else, "+" included, is copied. Never longer than `from`.
void websrv_strdecode(char *to, const char *from);

// Value of a hexadecimal digit, 0 for any other character.
int websrv_hexit(char c);

#pragma GCC visibility pop

#endif
