// Starting a program for a request (a CGI program, or a plug-in's through the services table):
// the process that becomes it, set up as every program of the server's is.
#ifndef WEBSRV_SERVER_CGI_PROGRAM_H
#define WEBSRV_SERVER_CGI_PROGRAM_H

#include <cstddef>
#include <sys/types.h>

#pragma GCC visibility push(hidden)

// What the program is and gets. Everything is ready before the start: the process that becomes
// the program shares the caller's memory until then (vfork), and does system calls only.
struct websrv_program_plan {
    const char *path;            // as the log names it
    const char *absolute_path;   // for execve
    const char *directory;       // to run in ("" for "/")
    char *const *arguments;      // null-terminated
    char *const *environment;    // null-terminated
    int input;                   // its standard input, or -1 for one that ends at once
    int output;                  // its standard output
    const char *failure;         // written to `output` when it cannot be run (null: nothing)
    size_t failure_length;
};

// Starts the program: standard input and output as planned, standard error the server's log,
// nothing else of the server's descriptors, a process group of its own (so that what it starts
// ends with it), a priority lowered by 10, the default signal dispositions and an empty signal
// mask, in its directory. Returns its process id, which the caller waits for (support/children.h);
// -1 when no process could be made. A program that could not be run gets its failure text
// written, ends at once, and the log says why ("Internal Web server error: PATH: ERROR").
pid_t websrv_program_start(const websrv_program_plan &plan);

#pragma GCC visibility pop

#endif
