// The last step of every request no plug-in answered: CGI or a static file.
#ifndef WEBSRV_SERVER_STATIC_FILE_H
#define WEBSRV_SERVER_STATIC_FILE_H

#include <sys/stat.h>

#include "websrv_plugin.h"

// Serves `path` (relative to the working directory, writable, known to exist with the
// attributes in *st) on the session's connection: through the CGI gateway when the path
// contains the CGI pattern, otherwise as a static file. Answers 404 for a file outside the
// working directory or one that cannot be opened, 304 when If-Modified-Since is not older
// than the file, else 200 with the whole file. Never exits the process.
void websrv_process_file(websrv_session *session, char *path, const struct stat *st,
                         const websrv_plugin_desc *desc);

// Whether the directory part of `path` (everything before its last "/") lies inside the
// working directory, after links and ".." are resolved: the directory itself or below it,
// compared by whole path components. Paths without "/" are inside. Sets *resolved to false
// when a directory could not be resolved (then the answer is "not inside").
bool websrv_path_inside_cwd(const char *path, bool *resolved);

// The content type for `path` from the MIME registry: the text after its last "." (not a
// "." at position 0), compared ignoring case; "text/plain" when there is none or no match.
const char *websrv_content_type(const char *path);

#endif
