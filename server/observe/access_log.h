// The access log of "-a": one line per request in the combined log format, written by the
// process that knows how the request's answer ended.
#ifndef WEBSRV_SERVER_ACCESS_LOG_H
#define WEBSRV_SERVER_ACCESS_LOG_H

#include <cstddef>

#include "parse/headers.h"
#include "websrv_plugin.h"

#pragma GCC visibility push(hidden)

// Every function below does nothing without "-a", and nothing in a process that serves no
// connection. None can fail; a line that cannot be written is reported on the log.

// In the connection's own process, right after accept: the answer on `session` (whose peer and
// checked user `info` holds, and whose header lines `headers` indexes once parsed) is followed
// from here on, and this process writes its line. The processes it forks (CGI copies) inherit
// the record.
void websrv_access_begin(const websrv_session *session, const websrv_session_info *info,
                         const websrv_header_index *headers);

// Keeps the request line as the client sent it from the request buffer `buffer`, before
// parsing writes into it. The first call of a session counts.
void websrv_access_request(const char *buffer);

// Reading the request header failed: it timed out (408), or the client went away (499; one
// that went away before sending a byte made no request and gets no line).
void websrv_access_read_failed(bool timed_out);

// The status of the answer this process sends: the writer of each answer the server composes
// says it before the answer goes out.
void websrv_access_status(int status);

// Notes body bytes that went out (a file's, an error page's, a program's output behind its
// header block), and whether sending failed there, so that the client did not get the whole
// answer (499).
void websrv_access_body(long long bytes, bool failed);

// An answer composed elsewhere (by a plug-in, or an nph- program) as its bytes told it: its
// status (taken when none was noted), the bytes of its body and whether a write of it failed.
void websrv_access_composed_elsewhere(int status, long long body, bool failed);

// This process no longer writes the session's line: a process it forked does (or another
// share of the session, which does not).
void websrv_access_hand_over();

// Writes the session's line, once, when this process is the one that writes it.
void websrv_access_end(const websrv_session *session);

// Opens the access log at `path` for appending (made when missing, never through a symbolic
// link, never waiting for a reader). Returns the descriptor, or -1 (logged).
int websrv_access_log_open(const char *path);

// Reopens the access log by its name, in place of the descriptor it had, when a reload was
// counted (SIGUSR1: logrotate moved the file) since this process last looked. A log that
// cannot be opened again stays as it was (logged).
void websrv_access_follow();

#pragma GCC visibility pop

#endif
