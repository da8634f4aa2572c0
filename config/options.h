// The server's own command-line options, one table row each: a new option is one row.
#ifndef WEBSRV_CONFIG_OPTIONS_H
#define WEBSRV_CONFIG_OPTIONS_H

#include <cstring>
#include <span>


#pragma GCC visibility push(hidden)

// A row: the option as typed and, behind its NUL, the name its value has in the manual's line
// for it (".BI \-j " n"", "" when it takes none); then what acts on it (the value is null when
// it takes none; returns 0, or -1 after logging why not). The two names share one array: the
// table is as small as it can be.
struct websrv_option {
    char names[16];
    int (*set)(const char *value);

    const char *name() const { return names; }
    const char *value() const { return names + strlen(names) + 1; }
};

// The options, in the order the manual lists them.
std::span<const websrv_option> websrv_server_options();

#pragma GCC visibility pop

#endif
