// The programs a connection process starts (CGI programs): each is reaped once it has ended,
// so a process that serves connection after connection leaves no zombie behind, however long
// it lasts and whatever its programs do after they answered.
#ifndef WEBSRV_SUPPORT_CHILDREN_H
#define WEBSRV_SUPPORT_CHILDREN_H

#include <poll.h>
#include <sys/types.h>

#pragma GCC visibility push(hidden)

// Whether the program `pid`, a child of this process, still runs. One that has ended is reaped
// here, so its number is never signalled after it could have gone to another process.
bool websrv_program_running(pid_t pid);

// After the program's output has closed, in a process that serves more than one request:
// waits a moment for the program to end, as most do with their output, and reaps it; one that
// works on is watched from then on and reaped once it ends (websrv_programs_reap).
void websrv_program_settle(pid_t pid);

// Ends the program `pid`, a child of this process that leads a process group of its own, with
// what it started: SIGTERM to the group, and SIGKILL a second later when it is still there; then
// reaps it (websrv_program_settle). Nothing happens to a program that has ended already.
void websrv_program_stop(pid_t pid);

// Reaps every watched program that has ended. Costs nothing while none is watched.
void websrv_programs_reap();

// Puts a descriptor for each watched program into into[0..room), one that becomes readable
// when that program ends, for a wait that should reap it then. Returns how many it put.
int websrv_programs_watch(pollfd *into, int room);

#pragma GCC visibility pop

#endif
