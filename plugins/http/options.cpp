// The option hooks of the stock plug-ins: option tables, values, port numbers and paths.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "stock.h"

const char *option_value(int index, char **argv)
{
    const char *value = argv[index + 1];
    if (value == nullptr)
        log_msg(WEBSRV_LOG_ERROR, "%s: %s needs a value\n", stock_name, argv[index]);
    return value;
}

int option_port(const char *option, const char *value)
{
    if (value == nullptr)
        value = "";
    char *end = nullptr;
    const long port = strtol(value, &end, 10);
    // Digits only: no sign, no blanks, nothing behind the number.
    if (*value < '0' || *value > '9' || *end != '\0' || port < 1 || port > 65535) {
        log_msg(WEBSRV_LOG_ERROR, "%s: %s needs a port number from 1 to 65535, not \"%s\"\n", stock_name,
                option, value);
        return -1;
    }
    return static_cast<int>(port);
}

bool option_path(const char *option, const char *value, char (&out)[stock_path_size])
{
    size_t length = 0;
    if (value[0] != '/') {
        if (getcwd(out, sizeof out) == nullptr) {
            log_msg(WEBSRV_LOG_ERROR, "%s: %s %s: getcwd failed: %s\n", stock_name, option, value,
                    strerror(errno));
            return false;
        }
        length = strlen(out);
        if (length > 1 && length + 1 < sizeof out)
            out[length++] = '/';
    }
    const size_t rest = strlen(value);
    if (value[0] == '\0' || length + rest >= sizeof out) {
        log_msg(WEBSRV_LOG_ERROR, "%s: %s needs a file path of 1 to %d characters\n", stock_name, option,
                static_cast<int>(sizeof out) - 1);
        return false;
    }
    memcpy(out + length, value, rest + 1);
    return true;
}

websrv_session_info *session_info(websrv_session *session)
{
    auto *info = static_cast<websrv_session_info *>(session->reserved);
    return info != nullptr && info->size >= sizeof *info ? info : nullptr;
}

int option_move_to_port(websrv_plugin_desc *desc, const char *option, const char *value)
{
    const int port = option_port(option, value);
    if (port < 0)
        return -1;
    // Registration copies the descriptor, so moving to another port is: drop the copy the
    // server holds (if any), change ours, register it again.
    websrv_unregister_plugin(desc->name);
    desc->port = port;
    return websrv_register_plugin(desc);
}

int option_take(std::span<const stock_option> table, int *index, char **argv)
{
    for (const stock_option &option : table) {
        if (strcmp(argv[*index], option.name) != 0)
            continue;
        for (int i = 0; i < option.values && !option.reports_missing; ++i) {
            if (option_value(*index + i, argv) == nullptr)
                return option_rejected;
        }
        if (option.set(argv + *index + 1) < 0)
            return option_rejected;
        *index += 1 + option.values;
        return option_taken;
    }
    return option_not_ours;
}
