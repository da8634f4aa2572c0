// The operator's server: -u, -check and SIGUSR1.
#include "life/operator.h"

#include <cstdio>
#include <cstring>
#include <grp.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <unistd.h>

#include "counters.h"
#include "end/access_log.h"
#include "log.h"
#include "registry.h"
#include "settings.h"
#include "text.h"

namespace {

// The user and group of "-u USER[:GROUP]" (the user's own group without one). False after
// logging that one of them is unknown.
bool find_user(const char *spec, uid_t *uid, gid_t *gid, char (&user)[64])
{
    const char *colon = websrv_find_char(spec, ':');
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
        const auto on_event = WEBSRV_EXT_HOOK(websrv_ext_of(&node->desc), on_event);
        if (on_event != nullptr && on_event(event) < 0 && event == WEBSRV_EVENT_CHECK)
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
