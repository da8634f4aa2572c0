// Programs that work on after their output closed are watched through a descriptor the kernel
// makes readable when they end (a pidfd); where the kernel has none, they are looked at each
// time the process reaps.
#include "children.h"

#include <cerrno>
#include <csignal>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "clock.h"
#include "fd_guard.h"
#include "wait.h"

namespace {

// How long a program whose output closed is waited for before it counts as working on.
constexpr int settle_ms = 100;
// How long a program told to end (SIGTERM) gets before SIGKILL follows.
constexpr int term_grace_ms = 1000;
// The programs that work on at once that are watched; one more is reaped when the process ends
// (the main process adopts it then).
constexpr int most_watched = 16;

struct watched_program {
    pid_t pid;
    int fd;  // readable once the program has ended; -1 where the kernel has no such descriptor
};

watched_program watched[most_watched];
int watched_count = 0;

// A descriptor that becomes readable when the child `pid` ends, or -1.
int end_descriptor(pid_t pid)
{
#ifdef SYS_pidfd_open
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    errno = ENOSYS;
    return -1;
#endif
}

// Whether the child has ended and is reaped now (or was, by nobody else: then it is no child).
bool reaped(pid_t pid)
{
    const pid_t got = waitpid(pid, nullptr, WNOHANG);
    return got == pid || (got < 0 && errno == ECHILD);
}

}  // namespace

bool websrv_program_running(pid_t pid)
{
    return pid > 0 && waitpid(pid, nullptr, WNOHANG) == 0;
}

void websrv_program_settle(pid_t pid)
{
    if (pid <= 0 || reaped(pid))
        return;
    fd_guard end(end_descriptor(pid));
    const long long deadline = websrv_deadline_in(settle_ms);
    if (end.get() >= 0) {
        websrv_wait_ready(end.get(), POLLIN, deadline);
    } else {
        while (websrv_now_ms() < deadline && !reaped(pid))
            websrv_pause_ms(5);
    }
    if (reaped(pid) || watched_count == most_watched)
        return;
    watched[watched_count++] = {pid, end.release()};
}

void websrv_program_stop(pid_t pid)
{
    if (!websrv_program_running(pid))
        return;
    kill(-pid, SIGTERM);
    fd_guard end(end_descriptor(pid));
    const long long deadline = websrv_deadline_in(term_grace_ms);
    if (end.get() >= 0) {
        websrv_wait_ready(end.get(), POLLIN, deadline);
    } else {
        while (websrv_now_ms() < deadline && websrv_program_running(pid))
            websrv_pause_ms(10);
    }
    if (websrv_program_running(pid))
        kill(-pid, SIGKILL);
    websrv_program_settle(pid);
}

void websrv_programs_reap()
{
    for (int i = 0; i < watched_count;) {
        if (!reaped(watched[i].pid)) {
            ++i;
            continue;
        }
        if (watched[i].fd >= 0)
            close(watched[i].fd);
        watched[i] = watched[--watched_count];
    }
}

int websrv_programs_watch(pollfd *into, int room)
{
    int put = 0;
    for (int i = 0; i < watched_count && put < room; ++i) {
        if (watched[i].fd >= 0)
            into[put++] = {watched[i].fd, POLLIN, 0};
    }
    return put;
}
