// The event loop of a worker process: descriptors watched with epoll, timers on the monotonic
// clock (websrv_now_ms), and the round that waits for either and runs their callbacks. It knows
// nothing of what the descriptors carry. Linux only.
//
// Conventions:
// - One loop per process, used by one thread. Make it after fork(): an epoll instance made
//   before is shared by parent and child, not copied.
// - The loop owns its epoll descriptor and its own arrays (from websrv_malloc). It never owns,
//   closes or frees the caller's descriptors, timers or callback arguments.
// - Failures return -1 with errno set (from epoll_ctl, or ENOMEM when an array could not grow)
//   and, but for websrv_loop_unwatch, leave the loop as it was.
// - Signals: block them and watch a signalfd like any other descriptor. There is no other way
//   to wake the loop from outside, and none is needed.
#ifndef WEBSRV_SUPPORT_LOOP_H
#define WEBSRV_SUPPORT_LOOP_H

#pragma GCC visibility push(hidden)

struct websrv_loop;
struct websrv_timer;

// What a descriptor is watched for and what it is ready for (an or of these).
enum : unsigned {
    websrv_loop_readable = 1,
    websrv_loop_writable = 2,
    // With readable, for a listening socket, at websrv_loop_watch: of the processes that watch
    // it this way, the kernel wakes one per connection instead of all of them.
    websrv_loop_exclusive = 4,
};

// Called for a descriptor that is ready: `ready` holds those of its watched events that are
// (an error or hang-up on the descriptor counts as both, so the next read or write reports it).
using websrv_fd_callback = void(websrv_loop *loop, int fd, unsigned ready, void *arg);
// Called once when a timer is due; the timer is no longer armed then, and may be armed again.
using websrv_timer_callback = void(websrv_loop *loop, websrv_timer *timer, void *arg);

// A timer: the caller's record, usually part of the record of what it times, set up with
// websrv_timer_set. All zero is a valid timer that is not armed and has no callback yet. It must
// stay where it is while armed, and be cancelled before it is freed.
struct websrv_timer {
    long long when;                   // monotonic milliseconds, while armed
    websrv_timer_callback *callback;  // what runs when it is due
    void *arg;                        // handed to the callback
    unsigned slot;                    // 0: not armed; else its place in the loop's heap, plus one
};

// Makes a new loop. Returns nullptr with errno set when epoll_create1 or the allocation fails.
websrv_loop *websrv_loop_create();

// Closes the loop's epoll descriptor and frees its arrays; not from one of its callbacks.
// Watched descriptors stay open; armed timers become unarmed. A null loop is ignored.
void websrv_loop_destroy(websrv_loop *loop);

// Watches `fd` for `events` (level-triggered): from the next round on, `callback(loop, fd,
// ready, arg)` runs in each round in which fd is ready for any of them. Returns 0, or -1 (EEXIST:
// fd is watched already; EPERM: fd cannot be watched, a regular file; EINVAL: no events or no
// callback; EBADF; ENOMEM).
int websrv_loop_watch(websrv_loop *loop, int fd, unsigned events, websrv_fd_callback *callback, void *arg);

// Watches a watched `fd` for `events` instead; 0 pauses it (no callback, even on hang-up, until
// changed again). Returns 0, or -1: ENOENT when fd is not watched, EINVAL for an exclusive watch
// (the kernel cannot change one: unwatch it and watch it anew), or epoll_ctl's error.
int websrv_loop_change(websrv_loop *loop, int fd, unsigned events);

// Stops watching `fd`; call it before fd is closed. Safe inside any callback: fd's callback does
// not run again, not even for an event already collected in this round. Returns 0, or -1 when fd
// was not watched (ENOENT) or epoll_ctl failed (fd closed already: EBADF); the loop forgets fd
// either way.
int websrv_loop_unwatch(websrv_loop *loop, int fd);

// Gives `timer` its callback and argument. The timer must not be armed.
inline void websrv_timer_set(websrv_timer *timer, websrv_timer_callback *callback, void *arg)
{
    timer->callback = callback;
    timer->arg = arg;
}

// Arms `timer` to run at `when` (monotonic milliseconds), or moves it there when it is armed:
// O(log n) for n armed timers, without allocation when armed already. A time already past runs
// it in the next timer phase; armed from a timer callback, in the next round's (a timer that
// re-arms itself for the past cannot hold one round forever).
// Returns 0, or -1 with ENOMEM (the loop's heap could not grow; the timer stays unarmed).
int websrv_timer_arm(websrv_loop *loop, websrv_timer *timer, long long when);

// Disarms `timer`, so that its callback does not run; an unarmed timer is left alone. O(log n).
// Cannot fail.
void websrv_timer_cancel(websrv_loop *loop, websrv_timer *timer);

// Whether `timer` is armed.
inline bool websrv_timer_armed(const websrv_timer *timer) { return timer->slot != 0; }

// One round: waits until a watched descriptor is ready, the earliest timer is due or `limit_ms`
// passed (-1: no limit of its own; 0: no wait), then runs the callbacks of the ready descriptors
// (at most 64 of them: the rest are still ready next round), then those of the timers due.
// A signal that interrupts the wait ends it early. Returns the number of callbacks run, or -1
// when epoll_wait failed otherwise (errno).
int websrv_loop_round(websrv_loop *loop, int limit_ms);

// Runs rounds until a callback calls websrv_loop_stop. Returns 0 then, or -1 when a round failed.
int websrv_loop_run(websrv_loop *loop);

// Makes websrv_loop_run return once the current round is over.
void websrv_loop_stop(websrv_loop *loop);

#pragma GCC visibility pop

#endif
