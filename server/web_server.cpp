// The server's outer life: options, start-up, the select/fork/wait loop and the stop.
// The main process only selects, forks and waits; each connection is served by a child.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/select.h>
#include <sys/wait.h>
#include <unistd.h>

#include "registry.h"
#include "listener.h"
#include "port_file.h"
#include "session.h"
#include "web_server.h"

namespace {

// The signal mask the loop runs with outside pselect: SIGTERM and SIGHUP blocked, so a stop
// signal can only arrive while pselect waits and is never lost between the flag test and the
// wait. `open_mask` is the mask the server started with, restored in every child.
sigset_t open_mask;

// SIGTERM and SIGHUP: the loop ends at its next turn.
void on_stop_signal(int)
{
    websrv_mcb.running = 0;
}

void child_ended(int) {}

// The copy processes of a CGI request outlive the program they serve, and with it their
// parent. The server adopts such orphans and reaps them, so none is left a zombie.
// SIGCHLD stays blocked outside the wait for the next connection.
void adopt_orphans()
{
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    struct sigaction action {};
    action.sa_handler = child_ended;
    action.sa_flags = SA_RESTART | SA_NOCLDSTOP;
    sigemptyset(&action.sa_mask);
    sigaction(SIGCHLD, &action, nullptr);
    sigset_t child_signal;
    sigemptyset(&child_signal);
    sigaddset(&child_signal, SIGCHLD);
    sigprocmask(SIG_BLOCK, &child_signal, nullptr);
}

// What is left running after the children that have ended are reaped.
enum class children_left {
    none,     // nothing: the wait for the next connection needs no timeout
    exiting,  // connection children that have reported their session over and are exiting
    orphans,  // possibly processes adopted from a CGI request, which may run for long
};

// Set when a connection child ran to its end without reporting its session over (it became
// a CGI program, or was killed): the copy processes it started may outlive it and be adopted.
// Cleared once no child is left.
bool orphans_possible = false;

// Reaps every child that has ended and says what is still running.
children_left reap_children()
{
    for (;;) {
        const pid_t pid = waitpid(-1, nullptr, WNOHANG);
        if (pid > 0)
            continue;
        if (pid < 0) {
            orphans_possible = false;
            return children_left::none;
        }
        return orphans_possible ? children_left::orphans : children_left::exiting;
    }
}

void install_stop_signals(sigset_t *stop_signals)
{
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    // Restarting calls: a wait for a child is resumed, so a request in progress is finished.
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigemptyset(stop_signals);
    const int signals[] = {SIGTERM, SIGHUP};
    for (const int signo : signals) {
        sigaction(signo, &action, nullptr);
        sigaddset(stop_signals, signo);
    }
}

// Waits a tenth of a second: the loop's brake when a resource it needs has run out.
void pause_briefly()
{
    const timespec pause{0, 100 * 1000 * 1000};
    nanosleep(&pause, nullptr);
}

// Runs one connection in a child and waits until its session is over. The child says so
// through a pipe as soon as it has closed the connection and run its clean-up, so the next
// connection does not wait for the child's exit as well (it is reaped when it has gone). A
// child that becomes a CGI program closes the pipe by its exec without a word: then the wait
// lasts until the program ends, as does a wait without the pipe.
void serve_in_child(const websrv_plugin_node *node)
{
    int done[2] = {-1, -1};
    const bool signalled = pipe2(done, O_CLOEXEC) == 0;
    // With no descriptor free here the child, which shares this descriptor table, cannot
    // accept the connection either: it stays queued and select reports it again at once.
    const bool out_of_descriptors = !signalled && (errno == EMFILE || errno == ENFILE);
    // Anything still buffered would otherwise be printed again by the child.
    fflush(stdout);
    const pid_t child = fork();
    if (child == 0) {
        sigprocmask(SIG_SETMASK, &open_mask, nullptr);
        if (signalled)
            close(done[0]);
        websrv_serve_connection(node, signalled ? done[1] : -1);
    }
    if (signalled)
        close(done[1]);
    if (child < 0) {
        if (signalled)
            close(done[0]);
        // The connection stays queued and select reports it again; a short pause keeps a
        // system out of processes from turning that into a busy loop.
        log_msg(WEBSRV_LOG_ERROR, "WebSrv Error: Unable to fork; Error:%s\n", strerror(errno));
        pause_briefly();
        return;
    }
    if (signalled) {
        char word = 0;
        ssize_t got;
        while ((got = read(done[0], &word, 1)) < 0 && errno == EINTR) {
        }
        close(done[0]);
        if (got == 1)
            return;
    }
    orphans_possible = true;
    while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
    // A short pause keeps that from turning into a storm of children until a descriptor frees.
    if (out_of_descriptors)
        pause_briefly();
}

// Closes a listening socket that no registered plug-in owns any more (its plug-in
// unregistered itself), so select stops reporting it.
void retire_listener(int fd)
{
    log_msg(WEBSRV_LOG_ERROR, "WebSrv Error: No plugin owns listening socket %d; closing it\n", fd);
    FD_CLR(fd, &websrv_mcb.listen_set);
    close(fd);
}

// Serves every ready socket, in registry order.
void serve_ready(fd_set *ready)
{
    for (const websrv_plugin_node *node : websrv_plugins()) {
        const int fd = node->listen_fd;
        if (fd < 0 || fd >= FD_SETSIZE || !FD_ISSET(fd, ready))
            continue;
        FD_CLR(fd, ready);
        serve_in_child(node);
    }
    for (int fd = 0; fd <= websrv_mcb.max_fd; ++fd) {
        if (FD_ISSET(fd, ready))
            retire_listener(fd);
    }
}

// After select failed with EBADF: drops every descriptor of the set that is no longer open.
void drop_closed_listeners()
{
    for (int fd = 0; fd <= websrv_mcb.max_fd; ++fd) {
        if (FD_ISSET(fd, &websrv_mcb.listen_set) && fcntl(fd, F_GETFD) < 0) {
            log_msg(WEBSRV_LOG_ERROR, "WebSrv Error: Listening socket %d was closed; dropping it\n", fd);
            FD_CLR(fd, &websrv_mcb.listen_set);
        }
    }
}

// Settles once, in the main process, what every connection child would otherwise do for
// itself: the time zone data is loaded (date formatting reads it on first use), and a client
// that goes away makes writes fail instead of killing the child before its clean-up (CGI
// programs get the default disposition back before they start).
void prepare_children()
{
    tzset();
    signal(SIGPIPE, SIG_IGN);
}

// Takes over SIGTERM and SIGHUP before any port is opened: a stop signal that arrives while
// start-up is still under way (a slow plug-in start hook, say) is held until the loop and then
// ends the server through the ordinary stop, instead of killing it with its port-file lines
// left behind or being overwritten by the loop's start.
void hold_stop_signals()
{
    websrv_mcb.running = 1;
    sigset_t stop_signals;
    install_stop_signals(&stop_signals);
    sigprocmask(SIG_BLOCK, &stop_signals, &open_mask);
}

void accept_loop()
{
    adopt_orphans();
    // While waiting, stop signals always get through; SIGCHLD only while orphans may run.
    sigset_t wait_quiet = open_mask;
    sigaddset(&wait_quiet, SIGCHLD);
    prepare_children();
    // A child that has reported its session over only has its exit left: it is reaped at the
    // next turn, or after this pause when no connection comes first. Waking for its SIGCHLD
    // would cost every request a signal and a second pass through the loop.
    const timespec reap_pause{0, 50 * 1000 * 1000};
    while (websrv_mcb.running != 0) {
        const children_left left = reap_children();
        // Adopted copy processes may end at any time: SIGCHLD then wakes the wait to reap them.
        const sigset_t *wait_mask = left == children_left::orphans ? &open_mask : &wait_quiet;
        const timespec *pause = left == children_left::exiting ? &reap_pause : nullptr;
        fd_set ready = websrv_mcb.listen_set;
        const int count = pselect(websrv_mcb.max_fd + 1, &ready, nullptr, nullptr, pause, wait_mask);
        if (count == 0)
            continue;
        if (count < 0) {
            if (errno == EINTR)
                continue;
            log_msg(WEBSRV_LOG_ERROR, "Web Server select failed %s\n", strerror(errno));
            if (errno == EBADF)
                drop_closed_listeners();
            continue;
        }
        serve_ready(&ready);
    }
    sigprocmask(SIG_SETMASK, &open_mask, nullptr);
}

}  // namespace

int websrv_run(int argc, char **argv)
{
    if (websrv_option_parse(argc, argv) < 0)
        return -1;
    hold_stop_signals();
    if (websrv_port_file_open() != 0 || websrv_open_listeners() != 0) {
        log_msg(WEBSRV_LOG_ERROR, "Error: Unable to start the Web Server Application. Aborting\n");
        websrv_port_file_remove_own();
        return -1;
    }
    accept_loop();
    websrv_port_file_remove_own();
    return 0;
}
