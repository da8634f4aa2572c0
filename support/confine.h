// Confinement of request paths to the server's working directory.
#ifndef WEBSRV_SUPPORT_CONFINE_H
#define WEBSRV_SUPPORT_CONFINE_H

#pragma GCC visibility push(hidden)

// Whether the directory part of `path` (everything before its last "/") lies inside the
// working directory, after links and ".." are resolved: the directory itself or below it,
// compared by whole path components. Paths without "/" are inside. Sets *resolved to false
// when a directory could not be resolved (then the answer is "not inside").
bool websrv_path_inside_cwd(const char *path, bool *resolved);

// The last "/" of `path`, or nullptr when it has none.
const char *websrv_last_slash(const char *path);

#pragma GCC visibility pop

#endif
