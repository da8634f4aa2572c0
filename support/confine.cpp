// Confinement of request paths: the directory a path names must lie inside the working
// directory, whatever links and ".." components lead there.
#include "confine.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "paths.h"

const char *websrv_last_slash(const char *path)
{
    const char *slash = nullptr;
    for (; *path != '\0'; ++path)
        slash = *path == '/' ? path : slash;
    return slash;
}

bool websrv_path_inside_cwd(const char *path, bool *resolved)
{
    *resolved = true;
    const char *slash = websrv_last_slash(path);
    if (slash == nullptr)
        return true;
    char cwd[PATH_MAX];
    char dir[PATH_MAX];
    char real_dir[PATH_MAX];
    const size_t dir_length = static_cast<size_t>(slash - path);
    if (dir_length >= sizeof dir || getcwd(cwd, sizeof cwd) == nullptr) {
        *resolved = false;
        return false;
    }
    // "/x" names the root directory's x.
    memcpy(dir, path, dir_length);
    dir[dir_length] = '\0';
    if (realpath(dir_length == 0 ? "/" : dir, real_dir) == nullptr) {
        *resolved = false;
        return false;
    }
    return websrv_path_under(real_dir, cwd);
}

