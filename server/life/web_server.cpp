// The server's outer life: options, start-up, the main loop and the stop. The main process
// never serves a connection: it keeps one child waiting for the next connection whenever a
// session slot is free (-j: one slot by default), or, when processes serve many connections
// (-r), a process in every slot; it learns from each child when it has taken a connection and
// when it is about to end, asks a session that only waits to give its slot up when every slot
// is busy and a connection waits, and reaps the processes that have ended.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <poll.h>

#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "accept/accept.h"
#include "control.h"
#include "log.h"
#include "life/listener.h"
#include "life/operator.h"
#include "life/port_file.h"
#include "clock.h"
#include "wait.h"
#include "registry.h"
#include "session.h"
#include "settings.h"
#include "slots/slots.h"
#include "life/web_server.h"

namespace {

// The signal mask the loop runs with outside its wait: SIGTERM and SIGHUP (and SIGCHLD)
// blocked, so a stop signal can only arrive while the loop waits and is never lost between the
// flag test and the wait. `open_mask` is the mask the server started with, restored in every
// child.
sigset_t open_mask;

// SIGTERM and SIGHUP: the loop ends at its next turn.
void on_stop_signal(int)
{
    websrv_mcb.running = 0;
}

// SIGUSR1: the loop rereads the server's files at its next turn.
volatile sig_atomic_t reload_asked = 0;

void on_reload_signal(int)
{
    reload_asked = 1;
}

void child_ended(int) {}

// One session slot: free, or held by a child that waits for a connection or serves one. `fd`
// is the main process's end of the child's control socket (-1 for a free slot). `reaped`:
// the child has ended and been reaped, so it is not to be waited for.
struct child_slot {
    pid_t pid;
    int fd;
    bool accepted;
    bool stop_sent;
    bool reaped;
};

constexpr child_slot free_entry{0, -1, false, false, false};
child_slot *slots = nullptr;
int slot_count = 0;
// What the main loop waits on: the control socket of every held slot, and the slot of each;
// then, when every slot is busy, the listening sockets.
pollfd *watched = nullptr;
int *watched_slot = nullptr;
int listener_count = 0;
// When a session was last asked to give its slot up (websrv_now_ms), or 0. The listening
// sockets are looked at again only once it has had time to (or a slot has become free).
long long yield_asked = 0;
constexpr long long yield_wait_ms = 250;
// Connection processes whose session is over (they said so, or closed their control socket)
// and that have not been reaped yet: the loop reaps them after a short pause if nothing else
// wakes it, and the stop waits for them.
pid_t *exiting = nullptr;
int exiting_count = 0;
int exiting_capacity = 0;
// Set when forking a waiting child failed or one ended without taking a connection (for lack
// of a descriptor, say): the next try comes after a pause instead of at once, so a system out
// of a resource does not turn the loop into a storm of children.
bool brake = false;
constexpr long brake_pause_ns = 100 * 1000 * 1000;

// Adds `signo` to `set`, as sigaddset does: on Linux a signal set is an array of words in which
// signal n is bit n - 1 (so a zeroed set is the empty one), and the C library call would cost
// more than this.
void add_signal(sigset_t *set, int signo)
{
    constexpr int word_bits = 8 * sizeof(unsigned long);
    reinterpret_cast<unsigned long *>(set)[(signo - 1) / word_bits] |= 1UL << ((signo - 1) % word_bits);
}

// Processes left behind by a session (a CGI program that works on, a helper a plug-in started)
// become the main process's children when their parent ends, so it can reap them.
void adopt_orphans()
{
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    websrv_signal_disposition(SIGCHLD, child_ended, SA_NOCLDSTOP);
    sigset_t child_signal{};  // all zero: the empty set
    add_signal(&child_signal, SIGCHLD);
    sigprocmask(SIG_BLOCK, &child_signal, nullptr);
}

// Adds SIGTERM, SIGHUP and SIGUSR1 to *stop_signals (an empty set) and sets their handlers.
void install_stop_signals(sigset_t *stop_signals)
{
    *stop_signals = sigset_t{};  // the empty set
    const int signals[] = {SIGTERM, SIGHUP, SIGUSR1};
    for (const int signo : signals) {
        websrv_signal_disposition(signo, signo == SIGUSR1 ? on_reload_signal : on_stop_signal);
        add_signal(stop_signals, signo);
    }
}

// Notes that the process `pid` has been reaped: it is no longer waited for, or, when it still
// holds a slot (its word has not been read yet), it will not be.
void forget_child(pid_t pid)
{
    for (int i = 0; i < exiting_count; ++i) {
        if (exiting[i] == pid) {
            exiting[i] = exiting[--exiting_count];
            return;
        }
    }
    for (int i = 0; i < slot_count; ++i)
        slots[i].reaped = slots[i].reaped || (slots[i].fd >= 0 && slots[i].pid == pid);
}

// Reaps every child that has ended.
void reap_children()
{
    pid_t pid;
    while ((pid = waitpid(-1, nullptr, WNOHANG)) > 0)
        forget_child(pid);
}

// At the stop, once every session is over: waits for the processes of the last sessions to
// end, so none is left behind unreaped. Processes a session left running on purpose (a CGI
// program that works on) are not waited for.
void reap_session_processes()
{
    // A listed process has not been reaped, so its number cannot have gone to another.
    while (exiting_count > 0) {
        const pid_t pid = exiting[--exiting_count];
        while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
}

// Forks a child into the free slot `index` that waits for the next connection. A system out
// of processes or descriptors brakes the loop instead of turning into a storm of children.
void fork_waiting_child(int index)
{
    int control[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, control) != 0) {
        websrv_error_errno("Unable to make a control socket; Error:%s\n");
        brake = true;
        return;
    }
    websrv_log_flush();  // anything still buffered would otherwise be printed again by the child
    const pid_t main_pid = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        sigprocmask(SIG_SETMASK, &open_mask, nullptr);
        close(control[0]);
        // A waiting child holds the listening sockets: it is killed with the main process,
        // so a server that is killed leaves nothing accepting on its ports and a new one can
        // bind them at once. The check covers a main process that died before the request.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != main_pid)
            _exit(0);
        websrv_serve_next(control[1], index);
    }

    close(control[1]);
    if (pid < 0) {
        close(control[0]);
        websrv_error_errno("Unable to fork; Error:%s\n");
        brake = true;
        return;
    }
    slots[index] = {pid, control[0], false, false, false};
}

// Whether processes serve many connections each (-r): then every slot keeps a process, which
// goes back to waiting after each connection.
bool processes_last()
{
    return websrv_config.connections_per_process > 1;
}

// Keeps one child waiting for the next connection while a slot is free and the server runs;
// when processes last, a child in every free slot.
void keep_a_child_waiting()
{
    int free_slot = -1;
    for (int i = 0; i < slot_count; ++i) {
        if (slots[i].fd >= 0 && !slots[i].accepted && !processes_last())
            return;  // one waits already
        if (slots[i].fd < 0 && free_slot < 0)
            free_slot = i;
    }
    if (free_slot < 0 || brake)
        return;
    fork_waiting_child(free_slot);
    if (processes_last())
        keep_a_child_waiting();
}

// When a connection waits on a listening socket and every slot is busy: asks the session that
// has only waited longest (idle, or slow with its header) to give its slot up.
void ask_to_yield()
{
    const int slot = websrv_slot_longest_waiting();
    yield_asked = websrv_now_ms();
    if (slot >= 0 && slots[slot].fd >= 0)
        websrv_control_say(slots[slot].fd, websrv_word_yield, false);
}

// Adds the listening sockets to what the loop waits on, when every slot is busy, a session only
// waits, and none is still on its way out after being asked to give its slot up. Sets *recheck
// when every slot is busy: a session may come to only wait (a header grows slow) meanwhile.
nfds_t watch_listeners(nfds_t count, bool *recheck)
{
    if (yield_asked != 0 && websrv_now_ms() - yield_asked >= yield_wait_ms)
        yield_asked = 0;
    *recheck = !websrv_slot_any_free();
    if (!*recheck || yield_asked != 0 || websrv_slot_longest_waiting() < 0)
        return count;
    for (const websrv_plugin_node *node : websrv_plugins()) {
        if (node->listen_fd >= 0 && count < static_cast<nfds_t>(slot_count + listener_count)) {
            watched[count] = {node->listen_fd, POLLIN, 0};
            watched_slot[count++] = -1;
        }
    }
    return count;
}

// Frees a slot whose session is over, or whose child is gone without a word. Its child is
// waited for until it has been reaped (it may have been already, before its word was read).
void free_slot(child_slot &slot, int index)
{
    yield_asked = 0;  // a slot is free: waiting connections go there
    close(slot.fd);
    websrv_slot_release(index);
    if (!slot.reaped && exiting_count < exiting_capacity)
        exiting[exiting_count++] = slot.pid;
    slot = free_entry;
}

// Reads what the child of slot `index` has to say (a waiting session's word has the listening
// sockets looked at again at once); the end of the stream: it is gone (killed, or it ended
// without a connection: then the next one waits a moment, in case accepting fails for lack of a
// resource).
void hear_from(int index)
{
    child_slot &slot = slots[index];
    char words[16];
    const ssize_t got = recv(slot.fd, words, sizeof words, MSG_DONTWAIT);
    if (got < 0 && websrv_try_again())
        return;
    if (got <= 0) {
        if (!slot.accepted && !slot.stop_sent)
            brake = true;
        free_slot(slot, index);
        return;
    }
    for (ssize_t i = 0; i < got; ++i) {
        if (words[i] == websrv_word_taken)
            slot.accepted = true;
        if (words[i] == websrv_word_waits)
            yield_asked = 0;
        if (words[i] == websrv_word_done) {
            free_slot(slot, index);
            return;
        }
    }
}

// Waits for word from the children (or a stop signal, or, when nothing else is pending, the
// end of a process adopted from a session), then acts on it.
void wait_and_hear()
{
    nfds_t count = 0;
    for (int i = 0; i < slot_count; ++i) {
        if (slots[i].fd >= 0) {
            watched[count] = {slots[i].fd, POLLIN, 0};
            watched_slot[count++] = i;
        }
    }
    const nfds_t children = count;
    bool recheck = false;
    count = watch_listeners(count, &recheck);
    // A child that said its session is over only has its exit left: it is reaped at the next
    // turn, or after this pause. Waking for its SIGCHLD would cost every request a signal and a
    // second turn of the loop; when nothing else is pending, SIGCHLD may wake the wait. While a
    // session is on its way out of a slot asked for, the listening sockets are looked at again
    // after a moment.
    constexpr long reap_pause_ns = 50 * 1000 * 1000;
    constexpr long yield_pause_ns = yield_wait_ms * 1000 * 1000;
    sigset_t quiet = open_mask;
    add_signal(&quiet, SIGCHLD);
    const bool pending = exiting_count > 0;
    const timespec pause{0, brake ? brake_pause_ns : pending ? reap_pause_ns : yield_pause_ns};
    const bool paused = brake || pending || recheck;
    const int ready = ppoll(watched, count, paused ? &pause : nullptr, pending ? &quiet : &open_mask);
    brake = false;  // the pause is over (or something woke the loop first)
    if (ready <= 0)
        return;

    bool connection_waits = false;
    for (nfds_t i = 0; i < count; ++i) {
        if (watched[i].revents != 0 && i < children)
            hear_from(watched_slot[i]);
        connection_waits = connection_waits || (watched[i].revents != 0 && i >= children);
    }
    if (connection_waits)
        ask_to_yield();
}

// Tells every child that the server stops: one that waits for a connection ends without one, a
// session that only waits (for the next request on a kept connection) ends, and one with a
// request under way finishes it and keeps its connection no longer.
void stop_waiting_children()
{
    for (int i = 0; i < slot_count; ++i) {
        if (slots[i].fd >= 0 && !slots[i].stop_sent) {
            websrv_control_say(slots[i].fd, websrv_word_stop, false);
            slots[i].stop_sent = true;
        }
    }
}

bool any_slot_held()
{
    for (int i = 0; i < slot_count; ++i) {
        if (slots[i].fd >= 0)
            return true;
    }
    return false;
}

// Settles once, in the main process, what every connection child would otherwise do for
// itself: the time zone data is loaded (date formatting reads it on first use), and a client
// that goes away makes writes fail instead of killing the child before its clean-up (CGI
// programs get the default disposition back before they start).
void prepare_children()
{
    const time_t epoch = 0;
    struct tm parts;
    localtime_r(&epoch, &parts);  // loads the zone data, as tzset() would
    websrv_signal_disposition(SIGPIPE, SIG_IGN);
}

// Takes over SIGTERM and SIGHUP before any port is opened: a stop signal that arrives while
// start-up is still under way (a slow plug-in start hook, say) is held until the loop and then
// ends the server through the ordinary stop, instead of killing it with its port-file lines
// left behind or being overwritten by the loop's start.
void hold_stop_signals()
{
    websrv_mcb.running = 1;
    sigset_t stop_signals{};  // zeroed: Linux's empty set
    install_stop_signals(&stop_signals);
    sigprocmask(SIG_BLOCK, &stop_signals, &open_mask);
}

// The slots, one per session that may run at once. Returns 0, or -1 (logged).
int open_slots()
{
    slot_count = websrv_config.max_sessions;
    for (const websrv_plugin_node *node : websrv_plugins())
        listener_count += node->listen_fd >= 0;
    const size_t count = static_cast<size_t>(slot_count);
    const size_t waited_on = count + static_cast<size_t>(listener_count);
    slots = static_cast<child_slot *>(websrv_malloc(sizeof(child_slot) * count));
    watched = static_cast<pollfd *>(websrv_malloc(sizeof(pollfd) * waited_on));
    watched_slot = static_cast<int *>(websrv_malloc(sizeof(int) * waited_on));
    exiting_capacity = slot_count + 64;
    exiting = static_cast<pid_t *>(websrv_malloc(sizeof(pid_t) * static_cast<size_t>(exiting_capacity)));
    if (slots == nullptr || watched == nullptr || watched_slot == nullptr || exiting == nullptr) {
        websrv_log(WEBSRV_LOG_ERROR, "WebSrv Memory Allocation Failure\n");
        return -1;
    }
    for (int i = 0; i < slot_count; ++i)
        slots[i] = free_entry;
    return 0;
}

// Serves until a stop signal comes; then takes no further connection, lets the sessions in
// progress end (each within its own time limits) and returns.
void main_loop()
{
    adopt_orphans();
    prepare_children();
    while (websrv_mcb.running != 0) {
        reap_children();
        keep_a_child_waiting();
        wait_and_hear();
        if (reload_asked != 0) {
            reload_asked = 0;
            websrv_reload();
        }
    }
    stop_waiting_children();
    websrv_close_listeners();
    while (any_slot_held()) {
        reap_children();
        wait_and_hear();
    }
    reap_session_processes();
    reap_children();

    sigprocmask(SIG_SETMASK, &open_mask, nullptr);
}

// Opens /dev/null in place of a standard descriptor (input, output, error) the server was
// started without: otherwise the next file it opens (the access log, the port file) would take
// that number, and the CGI gateway, which sets up a program's standard descriptors, would
// replace it.
void ensure_standard_descriptors()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF)
            open("/dev/null", O_RDWR);
    }
}

}  // namespace

int websrv_run(int argc, char **argv)
{
    ensure_standard_descriptors();
    if (websrv_option_parse(argc, argv) < 0)
        return -1;
    if (websrv_checking)
        return websrv_check();
    hold_stop_signals();
    // The shared table and counters come first: start-up hands the counters to the plug-ins.
    // The privileges go once the ports listen and the plug-ins have read their keys.
    if (websrv_port_file_open() != 0 || websrv_slot_open(websrv_config.max_sessions) != 0 ||
        websrv_open_listeners() != 0 || open_slots() != 0 || websrv_drop_privileges() != 0) {
        websrv_log(WEBSRV_LOG_ERROR, "Error: Unable to start the Web Server Application. Aborting\n");
        websrv_port_file_remove_own();
        return -1;
    }
    websrv_tell_plugins(WEBSRV_EVENT_READY);
    main_loop();
    websrv_port_file_remove_own();
    return 0;
}
