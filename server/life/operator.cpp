// The operator's server: -u, -check and SIGUSR1.
#include "hooks/hooks.h"
#include "life/operator.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <grp.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "confine.h"
#include "counters.h"
#include "observe/access_log.h"
#include "log.h"
#include "registry.h"
#include "settings.h"

namespace {

// The user and group of "-u USER[:GROUP]" (the user's own group without one). False after
// logging that one of them is unknown.
bool find_user(const char *spec, uid_t *uid, gid_t *gid, char (&user)[64])
{
    const char *colon = strchr(spec, ':');
    snprintf(user, sizeof user, "%.*s", static_cast<int>(colon != nullptr ? colon - spec : 63), spec);
    const passwd *account = getpwnam(user);
    const group *named = colon != nullptr ? getgrnam(colon + 1) : nullptr;
    if (account == nullptr || (colon != nullptr && named == nullptr)) {
        websrv_error("Unable to run as %s; Error: %s\n", spec, account == nullptr ? "no such user" : "no such group");
        return false;
    }
    *uid = account->pw_uid;
    *gid = named != nullptr ? named->gr_gid : account->pw_gid;
    return true;
}

}  // namespace

int websrv_tell_plugins(int event)
{
    for (const websrv_plugin_node *node : websrv_plugins()) {
        if (websrv_call_event(node->desc, event) < 0 && event == WEBSRV_EVENT_CHECK)
            return -1;
    }
    return 0;
}

int websrv_drop_privileges()
{
    const char *spec = websrv_config.run_as;
    uid_t uid;
    gid_t gid;
    char user[64];
    if (spec == nullptr)
        return 0;
    if (!find_user(spec, &uid, &gid, user))
        return -1;
    // The groups first (only root may set them), the user last; then no program started from
    // here on can gain privileges through a set-user-ID file.
    if (initgroups(user, gid) != 0 || setgid(gid) != 0 || setuid(uid) != 0 ||
        prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
        websrv_error_errno("Unable to run as %s; Error: %s\n", spec);
        return -1;
    }
    return 0;
}

namespace {

// Whether the -u user may do `mode` (access(2) bits) to `path`; logs what it may not.
bool user_may(const char *spec, const char *path, int mode, const char *what)
{
    if (access(path, mode) == 0)
        return true;
    websrv_error("%s, the user of -u, cannot %s %s; Error: %s\n", spec, what, path, websrv_errno_text());
    return false;
}

// In a child dropped to the -u user: what that user will need and may not reach. The document
// root; the access log's directory (SIGUSR1 makes the file anew there after a rotation) and the
// file itself. Files read before the drop (keys, password files) are kept from then on.
[[noreturn]] void check_as_user(const char *directory)
{
    const char *spec = websrv_config.run_as;
    bool fine = websrv_drop_privileges() == 0 && user_may(spec, directory, R_OK | X_OK, "read the directory to serve");
    if (const char *log = websrv_config.access_log_path; fine && log != nullptr) {
        char folder[WEBSRV_PATH_MAX];
        const char *slash = websrv_last_slash(log);
        snprintf(folder, sizeof folder, "%.*s", slash != nullptr ? static_cast<int>(slash - log) + 1 : 1,
                 slash != nullptr ? log : ".");
        fine = user_may(spec, folder, W_OK | X_OK, "make the access log anew in") &&
               (access(log, F_OK) != 0 || user_may(spec, log, W_OK, "write the access log"));
    }
    websrv_log_flush();
    _exit(fine ? 0 : 1);
}

// Runs check_as_user in a child of its own. False when it failed (logged there).
bool user_reaches_its_files(const char *directory)
{
    websrv_log_flush();
    const pid_t child = fork();
    if (child == 0)
        check_as_user(directory);
    int status = 0;
    while (child > 0 && waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return child > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

int websrv_check()
{
    uid_t uid;
    gid_t gid;
    char user[64];
    char directory[WEBSRV_PATH_MAX];
    if (getcwd(directory, sizeof directory) == nullptr || access(".", R_OK | X_OK) != 0) {
        websrv_error_errno("Unable to read the directory to serve; Error: %s\n");
        return -1;
    }
    if ((websrv_config.run_as != nullptr && !find_user(websrv_config.run_as, &uid, &gid, user)) ||
        websrv_tell_plugins(WEBSRV_EVENT_CHECK) < 0)
        return -1;
    if (websrv_config.run_as != nullptr && !user_reaches_its_files(directory))
        return -1;
    for (const websrv_plugin_node *node : websrv_plugins())
        websrv_log(WEBSRV_LOG_ERROR, "Would serve %s on port %d for %.*s\n", directory, node->desc.port,
                websrv_name_length(&node->desc), node->desc.name);
    if (websrv_mcb.cgi_pattern[0] != '\0')
        websrv_log(WEBSRV_LOG_ERROR, "Would run paths with %s in them as CGI programs\n", websrv_mcb.cgi_pattern);
    return 0;
}

void websrv_reload()
{
    websrv_count(&websrv_server_counters::reloads);
    websrv_access_follow();
    websrv_tell_plugins(WEBSRV_EVENT_RELOAD);
    websrv_log_flush();  // what the reload logged goes out now, not with the next child's fork
}
