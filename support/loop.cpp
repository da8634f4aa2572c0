// The event loop: a record per descriptor in one array indexed by descriptor, the armed timers
// in a binary heap ordered by time, and the round that waits in epoll_wait and runs both.
#include "loop.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <sys/epoll.h>
#include <unistd.h>

#include "clock.h"
#include "websrv_plugin.h"

namespace {

// Ready descriptors one epoll_wait collects; the others are still ready in the next round.
constexpr int batch = 64;
// The arrays start this large and double whenever they must grow.
constexpr unsigned first_capacity = 64;

// What the loop keeps per descriptor number: 16 bytes on 32-bit ARM, 24 on x86-64.
struct watch_record {
    websrv_fd_callback *callback;  // null while the descriptor is not watched
    void *arg;
    unsigned events;      // websrv_loop_* flags watched for; 0 while paused
    unsigned generation;  // counts the watches of this number, so that an event collected for
                          // an earlier watch (unwatched in this round, the number reused) is dropped
};

}  // namespace

struct websrv_loop {
    int epoll_fd;
    bool stopping;          // websrv_loop_run returns after this round
    bool in_timers;         // timer callbacks are running
    long long timers_now;   // when the running timer phase started
    watch_record *records;  // indexed by descriptor
    unsigned record_count;
    unsigned timer_count;   // armed timers: heap[0..timer_count)
    websrv_timer **heap;    // heap[i] is due no later than heap[2i+1] and heap[2i+2]
    unsigned heap_capacity;
    epoll_event ready[batch];
};

namespace {

// Grows `array` (`capacity` items) to hold at least `need` items; the items added are zero, as
// websrv_realloc gives them. Returns false with ENOMEM, the array unchanged, when it cannot.
template <typename Item>
bool make_room(Item *&array, unsigned &capacity, unsigned need)
{
    if (need <= capacity)
        return true;
    unsigned grown = capacity == 0 ? first_capacity : capacity;
    while (grown < need)
        grown = grown > UINT_MAX / 2 ? need : grown * 2;
    void *bigger = grown > SIZE_MAX / sizeof(Item) ? nullptr : websrv_realloc(array, grown * sizeof(Item));
    if (bigger == nullptr) {
        errno = ENOMEM;
        return false;
    }
    array = static_cast<Item *>(bigger);
    capacity = grown;
    return true;
}

// ---- Descriptors ------------------------------------------------------------------------

// The record of a watched `fd`, or nullptr with ENOENT.
watch_record *watched(websrv_loop *loop, int fd)
{
    if (fd >= 0 && static_cast<unsigned>(fd) < loop->record_count && loop->records[fd].callback != nullptr)
        return &loop->records[fd];
    errno = ENOENT;
    return nullptr;
}

// epoll_ctl for `fd` with the epoll flags for `events`; the event data carries the descriptor
// and its record's generation. Returns 0, or -1 with errno.
int control(websrv_loop *loop, int op, int fd, unsigned events)
{
    epoll_event event{};
    if (events & websrv_loop_readable)
        event.events |= EPOLLIN;
    if (events & websrv_loop_writable)
        event.events |= EPOLLOUT;
    if (events & websrv_loop_exclusive)
        event.events |= EPOLLEXCLUSIVE;
    event.data.u64 = uint64_t{loop->records[fd].generation} << 32 | static_cast<uint32_t>(fd);
    return epoll_ctl(loop->epoll_fd, op, fd, &event);
}

// The websrv_loop_* flags for what epoll reported; an error or a hang-up makes both.
unsigned ready_flags(uint32_t happened)
{
    unsigned ready = 0;
    if (happened & (EPOLLIN | EPOLLERR | EPOLLHUP))
        ready |= websrv_loop_readable;
    if (happened & (EPOLLOUT | EPOLLERR | EPOLLHUP))
        ready |= websrv_loop_writable;
    return ready;
}

// Runs the callbacks for the first `count` collected events, skipping those whose watch ended
// or changed since. Returns how many ran.
int run_descriptors(websrv_loop *loop, int count)
{
    int ran = 0;
    for (int i = 0; i < count; ++i) {
        const uint64_t data = loop->ready[i].data.u64;
        const int fd = static_cast<int>(data & UINT32_MAX);
        // A copy: the callback may watch another descriptor, which can move the array.
        const watch_record record = loop->records[fd];
        const unsigned ready = ready_flags(loop->ready[i].events) & record.events;
        if (record.callback == nullptr || record.generation != data >> 32 || ready == 0)
            continue;
        record.callback(loop, fd, ready, record.arg);
        ++ran;
    }
    return ran;
}

// ---- Timers -----------------------------------------------------------------------------

void place(websrv_loop *loop, websrv_timer *timer, unsigned at)
{
    loop->heap[at] = timer;
    timer->slot = at + 1;
}

// Moves the timer at `at` towards the root while it is due before its parent. Returns its place.
unsigned sift_up(websrv_loop *loop, unsigned at)
{
    websrv_timer *timer = loop->heap[at];
    while (at > 0) {
        const unsigned parent = (at - 1) / 2;
        if (loop->heap[parent]->when <= timer->when)
            break;
        place(loop, loop->heap[parent], at);
        at = parent;
    }
    place(loop, timer, at);
    return at;
}

// Moves the timer at `at` away from the root while a child of it is due before it.
void sift_down(websrv_loop *loop, unsigned at)
{
    websrv_timer *timer = loop->heap[at];
    for (;;) {
        unsigned child = 2 * at + 1;
        if (child >= loop->timer_count)
            break;
        if (child + 1 < loop->timer_count && loop->heap[child + 1]->when < loop->heap[child]->when)
            ++child;
        if (timer->when <= loop->heap[child]->when)
            break;
        place(loop, loop->heap[child], at);
        at = child;
    }
    place(loop, timer, at);
}

// Puts the timer at `at`, whose time changed, where its time belongs.
void settle(websrv_loop *loop, unsigned at)
{
    if (sift_up(loop, at) == at)
        sift_down(loop, at);
}

// Runs the callbacks of the timers due when the phase starts; one armed during the phase waits
// for the next round (websrv_timer_arm). Returns how many ran.
int run_timers(websrv_loop *loop)
{
    loop->timers_now = websrv_now_ms();
    loop->in_timers = true;
    int ran = 0;
    while (loop->timer_count > 0 && loop->heap[0]->when <= loop->timers_now) {
        websrv_timer *timer = loop->heap[0];
        websrv_timer_cancel(loop, timer);
        timer->callback(loop, timer, timer->arg);
        ++ran;
    }
    loop->in_timers = false;
    return ran;
}

// How long the round may wait: until the earliest timer, and at most limit_ms (-1: no limit).
int wait_ms(const websrv_loop *loop, int limit_ms)
{
    if (loop->timer_count == 0)
        return limit_ms;
    const long long left = loop->heap[0]->when - websrv_now_ms();
    if (left <= 0)
        return 0;
    if (limit_ms >= 0 && limit_ms < left)
        return limit_ms;
    return left < INT_MAX ? static_cast<int>(left) : INT_MAX;
}

}  // namespace

// ---- The loop ---------------------------------------------------------------------------

websrv_loop *websrv_loop_create()
{
    auto *loop = static_cast<websrv_loop *>(websrv_malloc(sizeof(websrv_loop)));
    if (loop == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    loop->epoll_fd = epoll_create1(EPOLL_CLOEXEC);  // not handed to the programs a worker starts
    if (loop->epoll_fd < 0) {
        const int error = errno;
        websrv_free(loop);
        errno = error;
        return nullptr;
    }
    return loop;
}

void websrv_loop_destroy(websrv_loop *loop)
{
    if (loop == nullptr)
        return;
    for (unsigned i = 0; i < loop->timer_count; ++i)
        loop->heap[i]->slot = 0;
    close(loop->epoll_fd);
    websrv_free(loop->records);
    websrv_free(loop->heap);
    websrv_free(loop);
}

int websrv_loop_watch(websrv_loop *loop, int fd, unsigned events, websrv_fd_callback *callback, void *arg)
{
    if (fd < 0 || events == 0 || callback == nullptr) {
        errno = fd < 0 ? EBADF : EINVAL;
        return -1;
    }
    if (!make_room(loop->records, loop->record_count, static_cast<unsigned>(fd) + 1))
        return -1;
    watch_record &record = loop->records[fd];
    if (record.callback != nullptr) {
        errno = EEXIST;
        return -1;
    }
    ++record.generation;
    if (control(loop, EPOLL_CTL_ADD, fd, events) != 0)
        return -1;
    record.callback = callback;
    record.arg = arg;
    record.events = events;
    return 0;
}

int websrv_loop_change(websrv_loop *loop, int fd, unsigned events)
{
    watch_record *record = watched(loop, fd);
    if (record == nullptr)
        return -1;
    if ((record->events | events) & websrv_loop_exclusive) {
        errno = EINVAL;
        return -1;
    }
    // A paused descriptor is out of the epoll set: hang-ups are reported whatever one asks for.
    const int op = record->events == 0 ? EPOLL_CTL_ADD : events == 0 ? EPOLL_CTL_DEL : EPOLL_CTL_MOD;
    if (events == record->events || control(loop, op, fd, events) == 0) {
        record->events = events;
        return 0;
    }
    return -1;
}

int websrv_loop_unwatch(websrv_loop *loop, int fd)
{
    watch_record *record = watched(loop, fd);
    if (record == nullptr)
        return -1;
    const bool in_set = record->events != 0;
    record->callback = nullptr;
    record->arg = nullptr;
    record->events = 0;
    return in_set ? control(loop, EPOLL_CTL_DEL, fd, 0) : 0;
}

int websrv_timer_arm(websrv_loop *loop, websrv_timer *timer, long long when)
{
    if (timer->slot == 0) {
        if (!make_room(loop->heap, loop->heap_capacity, loop->timer_count + 1))
            return -1;
        place(loop, timer, loop->timer_count++);
    }
    // Not again in the same timer phase: a timer that re-arms itself cannot hold a round.
    timer->when = loop->in_timers && when <= loop->timers_now ? loop->timers_now + 1 : when;
    settle(loop, timer->slot - 1);
    return 0;
}

void websrv_timer_cancel(websrv_loop *loop, websrv_timer *timer)
{
    if (timer->slot == 0)
        return;
    const unsigned at = timer->slot - 1;
    timer->slot = 0;
    websrv_timer *last = loop->heap[--loop->timer_count];
    if (last != timer) {
        place(loop, last, at);
        settle(loop, at);
    }
}

int websrv_loop_round(websrv_loop *loop, int limit_ms)
{
    int count = epoll_wait(loop->epoll_fd, loop->ready, batch, wait_ms(loop, limit_ms));
    if (count < 0) {
        if (errno != EINTR)
            return -1;
        count = 0;  // a signal: the round goes on to the timers due, and ends
    }
    const int ran = run_descriptors(loop, count);
    return ran + run_timers(loop);
}

int websrv_loop_run(websrv_loop *loop)
{
    loop->stopping = false;
    while (!loop->stopping) {
        if (websrv_loop_round(loop, -1) < 0)
            return -1;
    }
    return 0;
}

void websrv_loop_stop(websrv_loop *loop)
{
    loop->stopping = true;
}
