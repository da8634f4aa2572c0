// The text work of the CGI gateway, kept free of I/O so tests and fuzzers can drive it:
// splitting a query into program arguments, and reading the header block at the start of a
// program's output.
#ifndef WEBSRV_SERVER_CGI_OUTPUT_H
#define WEBSRV_SERVER_CGI_OUTPUT_H

#include <cstddef>

#pragma GCC visibility push(hidden)

// Splits `query` in place into its "+"-separated words, percent-decoding each, and stores
// pointers to them (into `query`) in words[0..max). Every "+" ends a word, so empty words
// count; a last empty word is left out; words beyond `max` are dropped. A query holding "="
// has no words. Returns the number of words stored.
int websrv_cgi_query_words(char *query, char **words, int max);

// What the header block at the start of a program's output asks for.
struct cgi_header {
    int status;                // the Status line's number, else 302 with a Location line, else 200
    bool has_location;         // a "Location:" header line
    size_t status_line_start;  // where the program's "Status:" line starts in the chunk
    size_t status_line_length; // its length with its line end; 0 without a Status line
    size_t header_end = 0;     // where the header block ends: behind its empty line, or the
                               // chunk's length when the chunk holds no empty line
    size_t reason_start = 0;   // the program's own reason phrase behind the Status number,
    size_t reason_length = 0;  // without blanks around it or the line end; 0 for none
    long long content_length = -1;  // the program's Content-Length, one run of digits; -1 without
    bool says_close = false;   // the header says "Connection: close"
    bool says_keep_alive = false;  // the header says "Connection: keep-alive"
    bool event_stream = false;     // the answer is server-sent events ("text/event-stream")
    int bad_line = 0;          // the first line (from 1) that is no "Name: value" line, or the
                               // line at which the chunk ends before the header's empty line;
                               // 0 when the header block is sound
};

// Scans the header lines at the start of chunk[0..length) (up to the first empty line or the
// end of the chunk; names compared ignoring case). Only header lines count: a body that
// mentions "Status:" changes nothing. A sound header line has a name of visible characters
// before its colon and no control character but a tab; its line ends in LF or CR LF.
cgi_header websrv_cgi_scan_header(const char *chunk, size_t length);

// Removes the program's Status line (if any) from the chunk, in place. Returns the new length.
size_t websrv_cgi_drop_status_line(char *chunk, size_t length, const cgi_header &header);

#pragma GCC visibility pop

#endif
