// The command line: resets the control block, registers the built-in MIME types, acts on
// each option in turn and loads plug-ins, offering unknown options to their option hooks.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include "hooks/hooks.h"
#include "confine.h"
#include "observe/access_log.h"
#include "http_words.h"
#include "log.h"
#include "options.h"
#include "decimal.h"
#include "registry.h"
#include "settings.h"
#include "websrv_plugin.h"

namespace {

// What the settings are when the command line does not say otherwise.
constexpr websrv_settings default_settings = {
    .cgi_silence_seconds = websrv_wait_seconds,
    .max_sessions = 1,
    .access_log_fd = -1,
    .keep_alive_seconds = 0,
    .connections_per_process = 1,
    .access_log_path = nullptr,
    .run_as = nullptr,
};

}  // namespace

// The settings start as the defaults (no access log open, not descriptor 0), before any parse.
websrv_settings websrv_config = default_settings;
bool websrv_checking = false;

namespace {

// The count of decimal digits at the start of `text`.
constexpr int digits_of(const char *text)
{
    int count = 0;
    while (text[count] >= '0' && text[count] <= '9')
        ++count;
    return count;
}

// The decimal number at the start of `text`: the control block's interface version numbers
// are read from the version text ("1.0") when the server is built.
constexpr unsigned short version_number(const char *text)
{
    unsigned short value = 0;
    for (int i = 0; i < digits_of(text); ++i)
        value = static_cast<unsigned short>(value * 10 + (text[i] - '0'));
    return value;
}
constexpr unsigned short version_major = version_number(websrv_version_text);
constexpr unsigned short version_minor = version_number(websrv_version_text + digits_of(websrv_version_text) + 1);

// The longest a CGI program may be allowed to stay silent: a day.
constexpr long long longest_silence = 24 * 60 * 60;
// The most sessions served at once: each is a process of its own.
constexpr long long most_sessions = 256;
// The longest a kept connection may wait for its next request: an hour.
constexpr long long longest_keep_alive = 60 * 60;
// The most connections one process serves before a fresh one takes its place.
constexpr long long most_connections = 1000000;

struct builtin_mime {
    const char *ext;
    const char *type;
};

// Loads the shared object at `path` and calls its plugin_init. Returns 0, or -1 after
// logging why the object could not be loaded or has no plugin_init.
int load_plugin(const char *path)
{
    void *handle = dlopen(path, RTLD_NOW | RTLD_GLOBAL);
    if (handle == nullptr) {
        websrv_log(WEBSRV_LOG_ERROR, "Unable to load plugin %s Error: %s.\n", path, dlerror());
        return -1;
    }
    dlerror();
    void *symbol = dlsym(handle, "plugin_init");
    if (symbol == nullptr) {
        const char *why = dlerror();
        websrv_log(WEBSRV_LOG_ERROR, "Unable to initialize plugin %s Error: %s.\n", path,
                why != nullptr ? why : "plugin_init is null");
        return -1;
    }
    // The handle is never closed: the plug-in's code stays in use until the process ends.
    reinterpret_cast<int (*)()>(symbol)();
    return 0;
}

// Offers argv[*index] to the option hooks of the registered plug-ins, in registry order.
// Returns 0 when a plug-in took it (and advanced *index), -1 when one rejected it or none
// took it.
int delegate_option(int *index, char **argv)
{
    const int before = *index;
    for (const websrv_plugin_node *node : websrv_plugins()) {
        // The hook may unregister its own node (to register again on another port, say),
        // so the descriptor is copied before the call (the walk has its next node already).
        const websrv_plugin_desc desc = node->desc;
        const int result = websrv_call_option(desc, index, argv);
        if (result == 0 && *index > before)
            return 0;
        if (result == -1 || result == 0) {
            // A hook that claims the option without moving past it would have the parser
            // ask about the same argument forever: that counts as a rejection.
            *index = before;
            websrv_error("Plugin %.*s rejected the option\n",
                    websrv_name_length(&desc), desc.name);
            return -1;
        }
        *index = before;  // declined: the next plug-in sees the argument unchanged
    }
    websrv_error("Invalid option %s specified. Aborting!\n", argv[before]);
    return -1;
}

// Logs the settings that parsing ended with.
void log_summary()
{
    if (websrv_mcb.cgi_pattern[0] == '\0')
        websrv_log(WEBSRV_LOG_ERROR, "WebSrv Warning: No CGI pattern specified; CGI Processing is disabled.\n");
    char cwd[WEBSRV_PATH_MAX];
    const char *shown = getcwd(cwd, sizeof cwd) != nullptr ? cwd : "(unreadable)";
    websrv_log(WEBSRV_LOG_DETAIL, "Web Server Options \n");
    websrv_log(WEBSRV_LOG_DETAIL, "       Working Directory is %s.\n", shown);
    websrv_log(WEBSRV_LOG_DETAIL, "       CGI Pattern is %s.\n", websrv_mcb.cgi_pattern);
}

// Reads the value of a numeric option ("-t", "-j"...): a whole number from `least` to `most`.
// Returns 0, or -1 after logging what the option needs.
int read_option_number(const char *option, const char *value, long long least, long long most, const char *unit,
                       int *number)
{
    long long read = 0;
    const size_t digits = websrv_read_decimal({value, strlen(value)}, most + 1, &read);
    if (digits == 0 || value[digits] != '\0' || read < least || read > most) {
        websrv_error("%s needs a number of %s from %lld to %lld, not \"%s\"\n", option,
                unit, least, most, value);
        return -1;
    }
    *number = static_cast<int>(read);
    return 0;
}

// ---- The setters, one per option ----------------------------------------------------------

int set_run_as(const char *value)
{
    websrv_config.run_as = value;
    return 0;
}

int set_check(const char *)
{
    websrv_checking = true;
    return 0;
}

int set_verbose(const char *)
{
    websrv_mcb.log_level = WEBSRV_LOG_DETAIL;
    return 0;
}

int set_cgi_pattern(const char *value)
{
    const size_t length = strnlen(value, sizeof websrv_mcb.cgi_pattern);
    if (length >= sizeof websrv_mcb.cgi_pattern) {
        websrv_error("CGI pattern is too long; limit to %d characters\n",
                static_cast<int>(sizeof websrv_mcb.cgi_pattern));
        return -1;
    }
    memcpy(websrv_mcb.cgi_pattern, value, length + 1);
    return 0;
}

int set_silence(const char *value)
{
    return read_option_number("-t", value, 1, longest_silence, "seconds", &websrv_config.cgi_silence_seconds);
}

int set_sessions(const char *value)
{
    return read_option_number("-j", value, 1, most_sessions, "sessions", &websrv_config.max_sessions);
}

int set_keep_alive(const char *value)
{
    return read_option_number("-k", value, 0, longest_keep_alive, "seconds", &websrv_config.keep_alive_seconds);
}

int set_connections(const char *value)
{
    return read_option_number("-r", value, 1, most_connections, "connections", &websrv_config.connections_per_process);
}

// Whether the access log at `path` could be opened: it may be written, or it is missing and
// its directory may be written. Logs why not.
bool log_could_open(const char *path)
{
    const char *slash = websrv_last_slash(path);
    char directory[WEBSRV_PATH_MAX];
    snprintf(directory, sizeof directory, "%.*s", slash != nullptr ? static_cast<int>(slash - path) + 1 : 1,
             slash != nullptr ? path : ".");
    if (access(path, W_OK) == 0 || (errno == ENOENT && access(directory, W_OK | X_OK) == 0))
        return true;
    websrv_error_errno("Unable to open the access log %s; Error: %s\n", path);
    return false;
}

// "-a": the access log, opened once the whole command line is read (open_access_log).
int set_access_log(const char *path)
{
    websrv_config.access_log_path = path;
    return 0;
}

// Opens the access log of "-a" for appending (made when missing, never through a symbolic
// link, never waiting for a reader). With "-check", only looks whether it could. Returns 0, or
// -1 after logging why not.
int open_access_log()
{
    const char *path = websrv_config.access_log_path;
    if (path == nullptr)
        return 0;
    if (websrv_checking)
        return log_could_open(path) ? 0 : -1;
    websrv_config.access_log_fd = websrv_access_log_open(path);
    return websrv_config.access_log_fd < 0 ? -1 : 0;
}

int set_interface(const char *value)
{
    const size_t size = strlen(value) + 1;
    auto *copy = static_cast<char *>(websrv_malloc(size));
    if (copy == nullptr) {
        websrv_log(WEBSRV_LOG_ERROR, "WebSrv Memory Allocation Failure\n");
        return -1;
    }
    memcpy(copy, value, size);
    websrv_free(websrv_mcb.bind_device);
    websrv_mcb.bind_device = copy;
    return 0;
}

int set_directory(const char *value)
{
    if (chdir(value) != 0) {
        // The line it always had, then one that names the directory.
        const char *why = websrv_errno_text();
        websrv_error("Unable to change directory; Error: %s\n", why);
        websrv_error("-d %s: %s\n", value, why);
        return -1;
    }
    return 0;
}

constexpr websrv_option server_options[] = {
    {"-plugin\0path", load_plugin},
    {"-d\0directory", set_directory},
    {"-c\0pattern", set_cgi_pattern},
    {"-t\0seconds", set_silence},
    {"-a\0file", set_access_log},
    {"-j\0n", set_sessions},
    {"-k\0seconds", set_keep_alive},
    {"-r\0n", set_connections},
    {"-i\0interface", set_interface},
    {"-u\0user[:group]", set_run_as},
    {"-v", set_verbose},
    {"-check", set_check},
};

// The row of the server's option `arg`, or nullptr when it is none of the server's.
const websrv_option *server_option(const char *arg)
{
    for (const websrv_option &option : server_options) {
        if (strcmp(option.name(), arg) == 0)
            return &option;
    }
    return nullptr;
}

// Acts on the server's option at argv[*index] and moves past it and its value. Returns 0, or
// -1 after logging why not.
int take_server_option(const websrv_option &option, int *index, int argc, char **argv)
{
    const bool valued = option.value()[0] != '\0';
    // An option standing last has no value: it is as invalid as an unknown one.
    if (valued && (*index + 1 >= argc || argv[*index + 1] == nullptr)) {
        websrv_error("Invalid option %s specified. Aborting!\n", option.name());
        return -1;
    }
    if (option.set(valued ? argv[*index + 1] : nullptr) < 0)
        return -1;
    *index += valued ? 2 : 1;
    return 0;
}

}  // namespace

std::span<const websrv_option> websrv_server_options()
{
    return server_options;
}

int websrv_option_parse(int argc, char **argv)
{
    const builtin_mime builtins[] = {{"html", "text/html"}, {"gif", "image/gif"}, {"", ""}};

    memset(&websrv_mcb, 0, sizeof websrv_mcb);
    if (websrv_config.access_log_fd >= 0)
        close(websrv_config.access_log_fd);
    websrv_config = default_settings;
    websrv_checking = false;

    websrv_mcb.version_major = version_major;
    websrv_mcb.version_minor = version_minor;
    websrv_mcb.log_level = WEBSRV_LOG_ERROR;
    for (const builtin_mime *m = builtins; m->ext[0] != '\0'; ++m) {
        if (websrv_add_supported_mime(m->ext, m->type) < 0)
            return -1;
    }

    if (argc == 1) {
        websrv_log(WEBSRV_LOG_ERROR, "TAVRIX: WEB Server Version %s\n", websrv_version_text);  // the banner
        return -1;
    }

    int index = 1;
    while (index < argc) {
        const websrv_option *option = server_option(argv[index]);
        if (option != nullptr ? take_server_option(*option, &index, argc, argv) < 0 : delegate_option(&index, argv) < 0)
            return -1;
    }

    if (websrv_mcb.plugins.head == nullptr) {
        websrv_error("No plugins nothing to do.\n");
        return -1;
    }
    if (open_access_log() < 0)
        return -1;
    log_summary();
    return 0;
}
