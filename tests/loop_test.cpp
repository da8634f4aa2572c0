// The event loop on pipes, socket pairs and a listening socket: what its callbacks see, in which
// round and order, and what its calls refuse.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "clock.h"
#include "fd_guard.h"
#include "loop.h"

extern bool (*websrv_allocation_fails)(const char *call, size_t size);

namespace {

using loop_ptr = std::unique_ptr<websrv_loop, decltype(&websrv_loop_destroy)>;
loop_ptr new_loop() { return loop_ptr(websrv_loop_create(), websrv_loop_destroy); }

constexpr unsigned readable = websrv_loop_readable, writable = websrv_loop_writable, both = readable | writable;

// Two connected descriptors, closed at the end: a pipe (0 reads, 1 writes) or a socket pair.
struct fd_pair {
    explicit fd_pair(bool sockets = false)
    {
        EXPECT_EQ(sockets ? socketpair(AF_UNIX, SOCK_STREAM, 0, end) : pipe(end), 0);
    }
    fd_pair(const fd_pair &) = delete;
    ~fd_pair() { shut(0), shut(1); }
    void shut(int i) { close(end[i]), end[i] = -1; }
    int end[2];
};

// What descriptor callbacks saw: descriptor and ready flags, in the order they ran.
struct seen {
    std::vector<std::pair<int, unsigned>> calls;
};
void note(websrv_loop *, int fd, unsigned ready, void *arg)
{
    static_cast<seen *>(arg)->calls.push_back({fd, ready});
}

TEST(Loop, DescriptorsAreReportedForWhatTheyAreReadyForUntilUnwatched)
{
    const struct {
        const char *what;
        bool sockets, data, peer_closed;
        int end;  // the one watched
        unsigned events, changed_to, expected;
    } cases[] = {
        {"pipe with data", false, true, false, 0, readable, readable, readable},
        {"empty pipe", false, false, false, 0, readable, readable, 0},
        {"pipe's write end", false, false, false, 1, writable, writable, writable},
        {"socket with data, both", true, true, false, 0, both, both, both},
        {"socket with data, changed to writable", true, true, false, 0, readable, writable, writable},
        {"socket whose peer closed", true, false, true, 0, readable, readable, readable},
        {"paused socket whose peer closed", true, false, true, 0, readable, 0, 0},
        {"pipe whose writer closed", false, false, true, 0, readable, readable, readable},
    };
    for (const auto &c : cases) {
        loop_ptr loop = new_loop();
        fd_pair pair(c.sockets);
        const int fd = pair.end[c.end];
        if (c.data) {
            ASSERT_EQ(write(pair.end[1], "x", 1), 1);
        }
        if (c.peer_closed)
            pair.shut(1);
        seen s;
        ASSERT_EQ(websrv_loop_watch(loop.get(), fd, c.events, note, &s), 0) << c.what;
        ASSERT_EQ(websrv_loop_change(loop.get(), fd, c.changed_to), 0) << c.what;
        EXPECT_EQ(websrv_loop_round(loop.get(), 0), c.expected != 0) << c.what;
        if (c.expected != 0) {
            EXPECT_EQ(s.calls, (decltype(s.calls){{fd, c.expected}})) << c.what;
        }
        EXPECT_EQ(websrv_loop_unwatch(loop.get(), fd), 0) << c.what;
        EXPECT_EQ(websrv_loop_round(loop.get(), 0), 0) << c.what << ", unwatched";
    }
}

// Two readable pipes; the callback of each unwatches both read ends and, with `reuse`, puts an
// empty pipe's read end at the other's number (closing the other) and watches it anew.
struct rivals {
    fd_pair pipes[2];
    seen s;
    bool reuse;
    fd_pair fresh;
};
void unwatch_rival(websrv_loop *loop, int fd, unsigned ready, void *arg)
{
    auto *r = static_cast<rivals *>(arg);
    note(loop, fd, ready, &r->s);
    const int other = r->pipes[r->pipes[0].end[0] == fd ? 1 : 0].end[0];
    EXPECT_EQ(websrv_loop_unwatch(loop, fd), 0);
    EXPECT_EQ(websrv_loop_unwatch(loop, other), 0);
    if (r->reuse) {
        EXPECT_EQ(dup2(r->fresh.end[0], other), other);
        EXPECT_EQ(websrv_loop_watch(loop, other, readable, note, &r->s), 0);
    }
}

TEST(Loop, ADescriptorUnwatchedByAnEarlierCallbackOfTheRoundIsNotReported)
{
    for (const bool reuse : {false, true}) {
        loop_ptr loop = new_loop();
        rivals r;
        r.reuse = reuse;
        for (fd_pair &p : r.pipes) {
            ASSERT_EQ(write(p.end[1], "x", 1), 1);
            ASSERT_EQ(websrv_loop_watch(loop.get(), p.end[0], readable, unwatch_rival, &r), 0);
        }
        EXPECT_EQ(websrv_loop_round(loop.get(), 0), 1) << "reuse " << reuse;
        EXPECT_EQ(websrv_loop_round(loop.get(), 0), 0) << "reuse " << reuse;  // the fresh pipe is empty
        EXPECT_EQ(r.s.calls.size(), 1u) << "reuse " << reuse;
    }
}

// Timers named by letters; each one due appends its letter.
struct lettered {
    websrv_timer timers[4]{};
    std::string fired;
    int rearm_by = 0, rearms_left = 0;  // for a timer that re-arms itself
};
void append(websrv_loop *loop, websrv_timer *timer, void *arg)
{
    auto *l = static_cast<lettered *>(arg);
    l->fired += static_cast<char>('A' + (timer - l->timers));
    if (l->rearms_left-- > 0) {
        EXPECT_EQ(websrv_timer_arm(loop, timer, websrv_now_ms() + l->rearm_by), 0);
    }
}

TEST(Loop, TimersRunInTheOrderOfTheirTimesAsArmedCancelledAndMoved)
{
    constexpr long long never = 1LL << 40;  // milliseconds: far beyond any test's run
    const struct {
        const char *script;  // letter, then '+' and a time, or '-' to cancel
        const char *fired;
    } cases[] = {
        {"A+30 B+10 C+20 D+40", "BCAD"},
        {"A+10 B+20 C+30 B-", "AC"},
        {"A+10 B+20 C+30 D+40 A-", "BCD"},
        {"D- A+10 A- A-", ""},
        {"A+10 B+20 C+30 A+40", "BCA"},
        {"A+10 B+20 C+30 C+5", "CAB"},
        {"A+10 B+20 A+1099511627776", "B"},
        {"A+1099511627776 B+20 A+10", "AB"},
    };
    for (const auto &c : cases) {
        loop_ptr loop = new_loop();
        lettered l;
        const long long past = websrv_now_ms() - 1000;
        for (const char *op = c.script; *op != '\0'; op += strcspn(op, " "), op += *op == ' ') {
            websrv_timer *timer = &l.timers[op[0] - 'A'];
            websrv_timer_set(timer, append, &l);
            if (op[1] == '-')
                websrv_timer_cancel(loop.get(), timer);
            else
                ASSERT_EQ(websrv_timer_arm(loop.get(), timer, past + atoll(op + 2)), 0) << c.script;
        }
        EXPECT_EQ(websrv_loop_round(loop.get(), 0), static_cast<int>(strlen(c.fired))) << c.script;
        EXPECT_EQ(l.fired, c.fired) << c.script;
        for (websrv_timer &t : l.timers)
            EXPECT_EQ(websrv_timer_armed(&t), t.when - past >= never) << c.script << " " << l.fired;
    }
}

TEST(Loop, ATimerReArmedInItsOwnCallbackRunsOncePerRound)
{
    for (const int by : {-5, 0, 5}) {
        loop_ptr loop = new_loop();
        lettered l;
        l.rearm_by = by;
        l.rearms_left = 2;
        websrv_timer_set(&l.timers[0], append, &l);
        ASSERT_EQ(websrv_timer_arm(loop.get(), &l.timers[0], websrv_now_ms()), 0);
        for (const char *expected : {"A", "AA", "AAA"}) {
            websrv_loop_round(loop.get(), 10000);  // a limit, should the timer be lost
            EXPECT_EQ(l.fired, expected) << "re-armed by " << by;
        }
        EXPECT_FALSE(websrv_timer_armed(&l.timers[0]));
    }
}

volatile sig_atomic_t alarmed = 0;

TEST(Loop, TheWaitEndsAtTheNextTimerOrTheLimit)
{
    const struct {
        int timer_in;  // milliseconds from now; -1: no timer
        int limit;
        bool fires;
    } cases[] = {{30, -1, true}, {3600000, 20, false}, {-1, 20, false}, {20, 3600000, true}};
    // A watchdog: were a wait not to end, the alarm ends it, and the test fails instead of hanging.
    struct sigaction on_alarm {}, before {};
    on_alarm.sa_handler = [](int) { alarmed = 1; };
    sigaction(SIGALRM, &on_alarm, &before);
    for (const auto &c : cases) {
        loop_ptr loop = new_loop();
        lettered l;
        const long long start = websrv_now_ms();
        websrv_timer_set(&l.timers[0], append, &l);
        if (c.timer_in >= 0) {
            ASSERT_EQ(websrv_timer_arm(loop.get(), &l.timers[0], start + c.timer_in), 0);
        }
        alarm(30);
        EXPECT_EQ(websrv_loop_round(loop.get(), c.limit), c.fires ? 1 : 0) << c.timer_in << " " << c.limit;
        alarm(0);
        EXPECT_FALSE(alarmed) << c.timer_in << " " << c.limit;
        EXPECT_GE(websrv_now_ms() - start, c.fires ? c.timer_in : c.limit) << c.timer_in << " " << c.limit;
    }
    sigaction(SIGALRM, &before, nullptr);
}

void unwatch_self(websrv_loop *loop, int fd, unsigned, void *arg)
{
    ++(*static_cast<std::vector<int> *>(arg))[static_cast<size_t>(fd)];
    EXPECT_EQ(websrv_loop_unwatch(loop, fd), 0);
}
void log_when(websrv_loop *, websrv_timer *timer, void *arg)
{
    static_cast<std::vector<long long> *>(arg)->push_back(timer->when);
}

TEST(Loop, TenThousandDescriptorsAndTimersEachRunOnceInOrder)
{
    rlimit before{}, raised{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &before), 0);
    raised = {before.rlim_max, before.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &raised), 0);
    const int count = static_cast<int>(std::min<rlim_t>(10000, (before.rlim_max - 64) / 2 * 2));
    loop_ptr loop = new_loop();
    std::vector<fd_pair> pipes(static_cast<size_t>(count / 2));
    std::vector<int> runs(static_cast<size_t>(pipes.back().end[1] + 1));  // callbacks by descriptor
    for (fd_pair &p : pipes) {
        ASSERT_EQ(write(p.end[1], "x", 1), 1);
        ASSERT_EQ(websrv_loop_watch(loop.get(), p.end[0], readable, unwatch_self, &runs), 0);
        ASSERT_EQ(websrv_loop_watch(loop.get(), p.end[1], writable, unwatch_self, &runs), 0);
    }
    std::vector<websrv_timer> timers(10000);
    std::vector<long long> fired, expected;
    const long long past = websrv_now_ms() - 100000;
    for (size_t i = 0; i < timers.size(); ++i) {
        websrv_timer_set(&timers[i], log_when, &fired);
        const long long shuffled = static_cast<long long>(i * 7919 % 10007);  // each i its own
        ASSERT_EQ(websrv_timer_arm(loop.get(), &timers[i], past + shuffled), 0);
    }
    for (size_t i = 0; i < timers.size(); ++i) {
        if (i % 3 == 0)
            websrv_timer_cancel(loop.get(), &timers[i]);
        else if (i % 5 == 0) {
            EXPECT_EQ(websrv_timer_arm(loop.get(), &timers[i], past + static_cast<long long>(i)), 0);
        }
        if (websrv_timer_armed(&timers[i]))
            expected.push_back(timers[i].when);
    }
    std::sort(expected.begin(), expected.end());
    int ran = 0;
    for (int round = 0; round < count && ran < count + static_cast<int>(expected.size()); ++round)
        ran += websrv_loop_round(loop.get(), 0);
    EXPECT_EQ(ran, count + static_cast<int>(expected.size()));
    EXPECT_EQ(fired, expected);
    for (const fd_pair &p : pipes)
        EXPECT_TRUE(runs.at(size_t(p.end[0])) == 1 && runs.at(size_t(p.end[1])) == 1) << p.end[0];
    EXPECT_EQ(websrv_loop_round(loop.get(), 0), 0);
    pipes.clear();
    setrlimit(RLIMIT_NOFILE, &before);
}

int sock = -1, plain = -1;  // the descriptors the cases below use
int watch(websrv_loop *loop, int fd, unsigned more = 0)
{
    return websrv_loop_watch(loop, fd, readable | more, note, nullptr);
}
bool no_memory(const char *, size_t) { return true; }
websrv_timer unarmed{};

TEST(Loop, CallsThatCannotBeCarriedOutFailWithTheirReasonAndChangeNothing)
{
    using L = websrv_loop *;
    const struct {
        const char *what;
        int (*run)(websrv_loop *);
        int error;
    } cases[] = {
        {"watching a regular file", [](L l) { return watch(l, plain); }, EPERM},
        {"watching twice", [](L l) { return watch(l, sock), watch(l, sock); }, EEXIST},
        {"changing an unwatched one", [](L l) { return websrv_loop_change(l, sock, writable); }, ENOENT},
        {"changing an exclusive watch",
         [](L l) { return watch(l, sock, websrv_loop_exclusive), websrv_loop_change(l, sock, writable); }, EINVAL},
        {"unwatching after close",
         [](L l) { const int fd = dup(sock); watch(l, fd), close(fd); return websrv_loop_unwatch(l, fd); }, EBADF},
        {"watching without memory", [](L l) { return websrv_allocation_fails = no_memory, watch(l, sock); }, ENOMEM},
        {"arming without memory",
         [](L l) { return websrv_allocation_fails = no_memory, websrv_timer_arm(l, &unarmed, 0); }, ENOMEM},
    };
    fd_pair pair(true);
    FILE *file = tmpfile();
    ASSERT_NE(file, nullptr);
    sock = pair.end[0], plain = fileno(file);
    ASSERT_EQ(write(pair.end[1], "x", 1), 1);  // so that a watch or timer left behind would run
    websrv_timer_set(&unarmed, [](websrv_loop *, websrv_timer *, void *) {}, nullptr);
    for (const auto &c : cases) {
        loop_ptr loop = new_loop();
        errno = 0;
        EXPECT_EQ(c.run(loop.get()), -1) << c.what;
        EXPECT_EQ(errno, c.error) << c.what;
        websrv_allocation_fails = nullptr;
        websrv_loop_unwatch(loop.get(), sock);  // what the case watched on purpose
        EXPECT_EQ(websrv_loop_round(loop.get(), 0), 0) << c.what;
    }
    fclose(file);
}

// A worker process for the exclusive watch: reports 'r' once it watches `listener`, then an 'a'
// for each connection it accepts and an 'e' for each time it woke to find none.
void take_connection(websrv_loop *, int listener, unsigned, void *report)
{
    const int connection = accept(listener, nullptr, nullptr);
    const char outcome = connection >= 0 ? 'a' : 'e';
    close(connection);
    (void)!write(*static_cast<int *>(report), &outcome, 1);
}
[[noreturn]] void accept_worker(int listener, int report)
{
    websrv_loop *loop = websrv_loop_create();
    if (loop == nullptr ||
        websrv_loop_watch(loop, listener, readable | websrv_loop_exclusive, take_connection, &report) != 0)
        _exit(1);
    (void)!write(report, "r", 1);
    websrv_loop_run(loop);
    _exit(1);
}

// Whether process `pid` sleeps: a worker does only in its loop's wait.
bool sleeps(pid_t pid)
{
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    const std::string stat((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const size_t end = stat.rfind(") ");
    return end != std::string::npos && stat.compare(end + 2, 1, "S") == 0;
}

// The next report of the workers, or '?' after 30 seconds without one or once both have ended.
char next_report(int from)
{
    pollfd wait{from, POLLIN, 0};
    char c = '?';
    return poll(&wait, 1, 30000) == 1 && read(from, &c, 1) == 1 ? c : '?';
}

TEST(Loop, AnExclusiveWatchSharedByTwoProcessesWakesOneOfThemPerConnection)
{
    const fd_guard listening(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    const int listener = listening.get();
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 16), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length), 0);
    fd_pair report;
    struct processes {
        pid_t pid[2]{-1, -1};
        ~processes()
        {
            for (pid_t p : pid)
                p > 0 && kill(p, SIGKILL) == 0 && waitpid(p, nullptr, 0);
        }
    } workers;
    for (pid_t &pid : workers.pid) {
        ASSERT_GE(pid = fork(), 0);
        if (pid == 0)
            accept_worker(listener, report.end[1]);
    }
    report.shut(1);
    ASSERT_EQ(std::string() + next_report(report.end[0]) + next_report(report.end[0]), "rr");
    std::string reports;
    constexpr int connections = 40;
    for (int i = 0; i <= connections; ++i) {
        // Both wait in their loop before each connection, so either could be woken.
        const long long deadline = websrv_now_ms() + 30000;
        while (!(sleeps(workers.pid[0]) && sleeps(workers.pid[1])) && websrv_now_ms() < deadline)
            usleep(1000);
        ASSERT_LT(websrv_now_ms(), deadline) << "the workers did not both wait in their loop";
        if (i == connections)
            break;
        const int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ASSERT_EQ(connect(client, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
        for (char c = 0; c != 'a' && c != '?';)
            reports += c = next_report(report.end[0]);
        close(client);
    }
    fcntl(report.end[0], F_SETFL, O_NONBLOCK);
    for (char c; read(report.end[0], &c, 1) == 1;)
        reports += c;
    EXPECT_EQ(reports, std::string(connections, 'a'));
}

}  // namespace
