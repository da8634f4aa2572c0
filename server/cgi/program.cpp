// The start of a program: vfork, so that the server's memory is not copied for a process that
// replaces itself at once; the child does nothing but system calls, and tells the parent through
// their shared memory what went wrong.
#include "cgi/program.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include "log.h"

namespace {

// How much lower than the server's the program's scheduling priority is.
constexpr int program_niceness = 10;

// What the child found, written by it before it ends or becomes the program.
struct start_report {
    int directory_error;
    int exec_error;
};

// Marks every descriptor from `first` up close-on-exec: a program gets its three standard ones
// and nothing the server holds or inherited from whoever started it (a socket, a file, a pipe).
void close_on_exec_from(int first)
{
#ifdef CLOSE_RANGE_CLOEXEC
    if (close_range(static_cast<unsigned>(first), ~0U, CLOSE_RANGE_CLOEXEC) == 0)
        return;
#endif
    // A kernel without close_range: every number up to the descriptor limit.
    rlimit limit{};
    const rlim_t last = getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < 65536 ? limit.rlim_cur : 65536;
    for (int fd = first; static_cast<rlim_t>(fd) < last; ++fd)
        fcntl(fd, F_SETFD, FD_CLOEXEC);
}

// The program's standard descriptors: input (or /dev/null), output, and the server's log (its
// own standard output) as error output.
void set_standard_descriptors(const websrv_program_plan &plan)
{
    const int empty = plan.input < 0 ? open("/dev/null", O_RDONLY | O_CLOEXEC) : -1;
    const int log_fd = fcntl(1, F_DUPFD_CLOEXEC, 3);
    if (dup2(plan.input >= 0 ? plan.input : empty, 0) < 0)
        close(0);
    dup2(plan.output, 1);
    if (log_fd >= 0)
        dup2(log_fd, 2);
    else
        close(2);
}

// The signal settings a program starts with: every signal's default action (the server ignores
// SIGPIPE; handlers end with the exec anyway) and none blocked.
void reset_signals()
{
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigaction(SIGPIPE, &action, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
}

// In the child, sharing the parent's memory until it execs or ends: system calls only.
[[noreturn]] void become(const websrv_program_plan &plan, volatile start_report *report)
{
    set_standard_descriptors(plan);
    close_on_exec_from(3);
    setpgid(0, 0);
    errno = 0;
    if (nice(program_niceness) < 0 && errno != 0)
        errno = 0;  // an unchanged priority is no reason not to run
    if (chdir(plan.directory[0] != '\0' ? plan.directory : "/") != 0)
        report->directory_error = errno;
    reset_signals();
    execve(plan.absolute_path, plan.arguments, plan.environment);
    report->exec_error = errno;
    if (plan.failure != nullptr)
        (void)!write(1, plan.failure, plan.failure_length);
    _exit(127);
}

}  // namespace

pid_t websrv_program_start(const websrv_program_plan &plan)
{
    volatile start_report report{0, 0};
    websrv_log_flush();  // nothing buffered may be printed twice
    const pid_t pid = vfork();
    if (pid == 0)
        become(plan, &report);
    if (pid < 0)
        return -1;
    setpgid(pid, pid);  // as the program does itself: whichever comes first
    if (report.directory_error != 0)
        websrv_error("Unable to change to the directory of %s; Error: %s\n", plan.path, strerror(report.directory_error));
    if (report.exec_error != 0) {
        // The first line is the one the log has always carried, without a line end of its own;
        // the second completes it with what went wrong.
        websrv_log(WEBSRV_LOG_ERROR, "Internal Web server error");
        websrv_log(WEBSRV_LOG_ERROR, ": %s: %s\n", plan.path, strerror(report.exec_error));
    }
    return pid;
}
