// What the server does for the operator beyond serving: runs as an unprivileged user once it is
// started (-u), checks a command line without serving it (-check), and rereads its files on
// SIGUSR1.
#ifndef WEBSRV_SERVER_LIFE_OPERATOR_H
#define WEBSRV_SERVER_LIFE_OPERATOR_H

#pragma GCC visibility push(hidden)

// Tells every plug-in that asks (its extension record's on_event) what happens to the server
// as a whole: a WEBSRV_EVENT_*. Returns -1 when a plug-in's check failed, else 0.
int websrv_tell_plugins(int event);

// Main process, once the sockets listen and the plug-ins have started: runs as the user (and
// group) of "-u" from now on, with that user's groups, and can never gain privileges again.
// Returns 0 (also without "-u"), or -1 after logging which user and why not.
int websrv_drop_privileges();

// "-check": checks what the start would use and prints what would be served. Returns 0, or -1
// after logging the first problem.
int websrv_check();

// Main process, on SIGUSR1: reopens the access log by its name, counts the reload (connection
// processes reopen theirs when they see it) and tells the plug-ins.
void websrv_reload();

#pragma GCC visibility pop

#endif
