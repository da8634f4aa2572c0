// The server's own command-line options, one table row each: a new option is one row.
#ifndef WEBSRV_CONFIG_OPTIONS_H
#define WEBSRV_CONFIG_OPTIONS_H

#include <span>

// A row: the option as typed, the name its value has in the manual's line for it
// (".BI \-j " n"", "" when it takes none), and what acts on it (the value is null when it
// takes none; returns 0, or -1 after logging why not).
struct websrv_option {
    char name[8];
    char value[10];
    int (*set)(const char *value);
};

// The options, in the order the manual lists them.
std::span<const websrv_option> websrv_server_options();

#endif
