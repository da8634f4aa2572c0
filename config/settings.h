// Settings from the command line that have no field in the control block, whose layout is
// fixed: the server's own options, read by the parts they concern.
#ifndef WEBSRV_CONFIG_SETTINGS_H
#define WEBSRV_CONFIG_SETTINGS_H

#pragma GCC visibility push(hidden)

struct websrv_settings {
    int cgi_silence_seconds;  // -t: how long a CGI program may stay silent before it is given up
    int max_sessions;         // -j: sessions served at once
    int access_log_fd;        // -a: the access log, open for appending; -1 without one
    int keep_alive_seconds;   // -k: how long a connection may wait idle for its next request; 0: one request each
    int connections_per_process;  // -r: connections one process serves, one after another
    const char *access_log_path;  // -a: the access log's path, for reopening it (SIGUSR1)
    const char *run_as;           // -u: "user" or "user:group" to run as once started, or null
};

// "-check" is on the command line: options are checked, nothing is opened for good.
extern bool websrv_checking;

// The settings in force; option parsing resets them to their defaults first.
extern websrv_settings websrv_config;

#pragma GCC visibility pop

#endif
