// Fibers: switching between the loop and fibers (values, order, the registers a call keeps),
// the pool of stacks, deferred calls, the stack measure, the memory an idle stack takes and the
// report of an overflow.
#include <gtest/gtest.h>

#include <alloca.h>
#include <cerrno>
#include <cfenv>
#include <chrono>
#include <cstdint>
#include <csignal>
#include <cstdio>
#include <string>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "fiber.h"

namespace {

// A pool open for the length of a test; closing it fails while a fiber is left under way.
struct open_pool {
    explicit open_pool(size_t stack_size = websrv_fiber_stack_default, int most = 4, bool measure = false)
    {
        EXPECT_EQ(websrv_fibers_open(stack_size, most, measure), 0) << "errno " << errno;
    }
    ~open_pool() { EXPECT_EQ(websrv_fibers_close(), 0) << "a fiber was left under way"; }
};

// ---- Switching -------------------------------------------------------------------------

// What the loop and a fiber hand each other.
struct exchange {
    long sent;
    long answered;
    websrv_fiber *seen_current;
};

// Answers each number sent with 2n + 1 and suspends; a negative number ends it.
void answer_each(void *arg)
{
    auto *x = static_cast<exchange *>(arg);
    x->seen_current = websrv_fiber_current();
    for (;;) {
        x->answered = 2 * x->sent + 1;
        if (x->sent < 0)
            return;
        websrv_fiber_suspend();
    }
}

TEST(FiberSwitch, ValuesPassBothWaysAcrossManySuspends)
{
    open_pool pool;
    exchange x = {};
    websrv_fiber *f = websrv_fiber_create(answer_each, &x);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(websrv_fiber_current(), nullptr);
    constexpr long rounds = 100000;
    const auto began = std::chrono::steady_clock::now();
    for (long i = 1; i <= rounds; ++i) {
        x.sent = i;
        ASSERT_FALSE(websrv_fiber_resume(f)) << "round " << i;
        ASSERT_EQ(x.answered, 2 * i + 1) << "round " << i;
    }
    const std::chrono::duration<double, std::nano> took = std::chrono::steady_clock::now() - began;
    EXPECT_EQ(x.seen_current, f);
    EXPECT_EQ(websrv_fiber_current(), nullptr);
    x.sent = -1;
    EXPECT_TRUE(websrv_fiber_resume(f));
    EXPECT_EQ(x.answered, -1);
    // For information only: a resume and a suspend are two switches.
    printf("[   info   ] a switch took %.1f ns (%ld round trips)\n", took.count() / (2.0 * rounds), rounds);
}

// A fiber that notes its name and step on each run, three runs, then ends on the fourth.
struct stepper {
    std::string *log;
    char name;
};

void note_steps(void *arg)
{
    auto *s = static_cast<stepper *>(arg);
    for (char step = '0'; step < '3'; ++step) {
        *s->log += s->name;
        *s->log += step;
        websrv_fiber_suspend();
    }
}

TEST(FiberSwitch, TwoFibersInterleaveInTheOrderTheLoopResumesThem)
{
    const struct {
        const char *order;
        const char *log;
    } cases[] = {
        {"ababab", "a0b0a1b1a2b2"},
        {"aaabbb", "a0a1a2b0b1b2"},
        {"abbbaa", "a0b0b1b2a1a2"},
        {"baabba", "b0a0a1b1b2a2"},
    };
    for (const auto &c : cases) {
        open_pool pool;
        std::string log;
        stepper a = {&log, 'a'}, b = {&log, 'b'};
        websrv_fiber *fa = websrv_fiber_create(note_steps, &a);
        websrv_fiber *fb = websrv_fiber_create(note_steps, &b);
        ASSERT_TRUE(fa != nullptr && fb != nullptr);
        for (const char *at = c.order; *at != '\0'; ++at)
            EXPECT_FALSE(websrv_fiber_resume(*at == 'a' ? fa : fb)) << c.order;
        EXPECT_EQ(log, c.log) << c.order;
        EXPECT_TRUE(websrv_fiber_resume(fa)) << c.order;
        EXPECT_TRUE(websrv_fiber_resume(fb)) << c.order;
    }
}

// Values from sources the compiler cannot see through, so that it must hold them across a call:
// more integers and doubles than there are callee-saved registers. The loop and the fiber hold
// different ones.
struct held_values {
    long longs[10];
    double doubles[8];
};
volatile held_values loop_values = {{11, -22, 33, -44, 55, -66, 77, -88, 99, -110},
                                    {1.25, -2.5, 3.75, -5.0, 6.25, -7.5, 8.75, -10.0}};
volatile held_values fiber_values = {{12, -23, 34, -45, 56, -67, 78, -89, 100, -111},
                                     {1.5, -2.75, 4.0, -5.25, 6.5, -7.75, 9.0, -10.25}};

// Holds the values of `v` across call(arg) and returns how many came back changed, each compared
// with a fresh read of its source.
int changed_across(const volatile held_values &v, void (*call)(void *), void *arg)
{
    const long i0 = v.longs[0], i1 = v.longs[1], i2 = v.longs[2], i3 = v.longs[3], i4 = v.longs[4],
               i5 = v.longs[5], i6 = v.longs[6], i7 = v.longs[7], i8 = v.longs[8], i9 = v.longs[9];
    const double d0 = v.doubles[0], d1 = v.doubles[1], d2 = v.doubles[2], d3 = v.doubles[3],
                 d4 = v.doubles[4], d5 = v.doubles[5], d6 = v.doubles[6], d7 = v.doubles[7];
    call(arg);
    return (i0 != v.longs[0]) + (i1 != v.longs[1]) + (i2 != v.longs[2]) + (i3 != v.longs[3]) +
           (i4 != v.longs[4]) + (i5 != v.longs[5]) + (i6 != v.longs[6]) + (i7 != v.longs[7]) +
           (i8 != v.longs[8]) + (i9 != v.longs[9]) + (d0 != v.doubles[0]) + (d1 != v.doubles[1]) +
           (d2 != v.doubles[2]) + (d3 != v.doubles[3]) + (d4 != v.doubles[4]) +
           (d5 != v.doubles[5]) + (d6 != v.doubles[6]) + (d7 != v.doubles[7]);
}

// Puts other values into the callee-saved registers (all but the frame pointer), so that a
// switch that failed to restore one hands over a wrong value.
#if defined(__x86_64__)
#define SCRAMBLE_REGISTERS()                                                                  \
    asm volatile("movq $-1, %%rbx\n movq $-2, %%r12\n movq $-3, %%r13\n movq $-4, %%r14\n"   \
                 "movq $-5, %%r15\n" ::: "rbx", "r12", "r13", "r14", "r15")
#elif defined(__aarch64__)
#define SCRAMBLE_REGISTERS()                                                                  \
    asm volatile("mov x19, #-1\n mov x20, #-2\n mov x21, #-3\n mov x22, #-4\n mov x23, #-5\n" \
                 "mov x24, #-6\n mov x25, #-7\n mov x26, #-8\n mov x27, #-9\n mov x28, #-10\n" \
                 "fmov d8, #-1.0\n fmov d9, #-2.0\n fmov d10, #-3.0\n fmov d11, #-4.0\n"      \
                 "fmov d12, #-5.0\n fmov d13, #-6.0\n fmov d14, #-7.0\n fmov d15, #-8.0\n" ::: \
                 "x19", "x20", "x21", "x22", "x23", "x24", "x25", "x26", "x27", "x28", "d8",   \
                 "d9", "d10", "d11", "d12", "d13", "d14", "d15")
#elif defined(__arm__) && defined(__ARM_PCS_VFP)
#define SCRAMBLE_REGISTERS()                                                                  \
    asm volatile("mvn r4, #0\n mvn r5, #1\n mvn r6, #2\n mvn r8, #3\n mvn r9, #4\n"           \
                 "mvn r10, #5\n vmov.f64 d8, #-1.0\n vmov.f64 d9, #-2.0\n"                    \
                 "vmov.f64 d10, #-3.0\n vmov.f64 d11, #-4.0\n vmov.f64 d12, #-5.0\n"         \
                 "vmov.f64 d13, #-6.0\n vmov.f64 d14, #-7.0\n vmov.f64 d15, #-8.0\n" ::: "r4", \
                 "r5", "r6", "r8", "r9", "r10", "d8", "d9", "d10", "d11", "d12", "d13", "d14", \
                 "d15")
#else
#define SCRAMBLE_REGISTERS() ((void)0)
#endif

// A switch with other values in the registers. (The empty statement after it keeps it from
// becoming a tail call, before which the registers would be restored.)
void scramble_then_suspend()
{
    SCRAMBLE_REGISTERS();
    websrv_fiber_suspend();
    asm volatile("");
}

bool scramble_then_resume(websrv_fiber *f)
{
    SCRAMBLE_REGISTERS();
    const bool ended = websrv_fiber_resume(f);
    asm volatile("");
    return ended;
}

void suspend(void *)
{
    websrv_fiber_suspend();
}

void resume(void *f)
{
    websrv_fiber_resume(static_cast<websrv_fiber *>(f));
}

// The fiber's side: suspends with other values in the registers, then holds its own values
// across a suspend.
void hold_across_a_suspend(void *changed)
{
    scramble_then_suspend();
    *static_cast<int *>(changed) = changed_across(fiber_values, suspend, nullptr);
}

TEST(FiberSwitch, ValuesInCalleeSavedRegistersSurviveBothWays)
{
    open_pool pool;
    int fiber_changed = -1;
    websrv_fiber *f = websrv_fiber_create(hold_across_a_suspend, &fiber_changed);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(changed_across(loop_values, resume, f), 0) << "held by the loop across a resume";
    EXPECT_FALSE(scramble_then_resume(f));
    EXPECT_TRUE(scramble_then_resume(f));
    EXPECT_EQ(fiber_changed, 0) << "held by the fiber across a suspend";
}

#if defined(__x86_64__)
// 1/3 in the rounding mode in force, by the SSE unit (MXCSR).
double third()
{
    static volatile double one = 1, three = 3;
    return one / three;
}

struct rounding_seen {
    int x87;
    double sse;
};

void round_upward_across_a_suspend(void *arg)
{
    auto *seen = static_cast<rounding_seen *>(arg);
    fesetround(FE_UPWARD);
    websrv_fiber_suspend();
    seen->x87 = fegetround();  // reads the x87 control word
    seen->sse = third();
}

TEST(FiberSwitch, EachContextKeepsItsFloatingPointRoundingMode)
{
    open_pool pool;
    ASSERT_EQ(fegetround(), FE_TONEAREST);
    const double nearest = third();
    rounding_seen seen = {};
    websrv_fiber *f = websrv_fiber_create(round_upward_across_a_suspend, &seen);
    ASSERT_NE(f, nullptr);
    EXPECT_FALSE(websrv_fiber_resume(f));
    EXPECT_EQ(fegetround(), FE_TONEAREST) << "the fiber's mode came out to the loop";
    EXPECT_EQ(third(), nearest);
    fesetround(FE_DOWNWARD);
    EXPECT_TRUE(websrv_fiber_resume(f));
    EXPECT_EQ(fegetround(), FE_DOWNWARD);
    fesetround(FE_TONEAREST);
    EXPECT_EQ(seen.x87, FE_UPWARD) << "x87 control word";
    EXPECT_GT(seen.sse, nearest) << "MXCSR";
}
#endif

// ---- The pool and deferred calls -------------------------------------------------------

// Notes where its first frame is (on its stack), suspends once, ends.
void note_stack_and_suspend(void *where)
{
    *static_cast<uintptr_t *>(where) = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    websrv_fiber_suspend();
}

TEST(FiberPool, HoldsAtMostItsLimitAndAnEndedFiberGivesItsStackToTheNext)
{
    open_pool pool(websrv_fiber_stack_default, 2);
    uintptr_t a_at = 0, b_at = 0, c_at = 0;
    websrv_fiber *a = websrv_fiber_create(note_stack_and_suspend, &a_at);
    websrv_fiber *b = websrv_fiber_create(note_stack_and_suspend, &b_at);
    ASSERT_TRUE(a != nullptr && b != nullptr);
    EXPECT_FALSE(websrv_fiber_resume(a));
    EXPECT_FALSE(websrv_fiber_resume(b));
    EXPECT_NE(a_at, b_at);
    errno = 0;
    EXPECT_EQ(websrv_fiber_create(note_stack_and_suspend, &c_at), nullptr) << "a third of two";
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_TRUE(websrv_fiber_resume(a));
    websrv_fiber *c = websrv_fiber_create(note_stack_and_suspend, &c_at);
    ASSERT_NE(c, nullptr) << "the place of the fiber that ended";
    EXPECT_FALSE(websrv_fiber_resume(c));
    EXPECT_EQ(c_at, a_at) << "the stack of the fiber that ended, not a new one";
    EXPECT_TRUE(websrv_fiber_resume(b));
    EXPECT_TRUE(websrv_fiber_resume(c));
}

struct deferred_note {
    std::vector<int> *ran;
    int number;
};

void note_deferred(void *arg)
{
    auto *note = static_cast<deferred_note *>(arg);
    note->ran->push_back(note->number);
}

// Registers three deferred calls, then suspends; ends when resumed.
void defer_three_then_suspend(void *arg)
{
    auto *notes = static_cast<deferred_note *>(arg);
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(websrv_fiber_defer(note_deferred, &notes[i]));
    websrv_fiber_suspend();
}

TEST(FiberPool, DeferredCallsRunLastFirstWhenTheFiberEndsOrIsCancelled)
{
    errno = 0;
    EXPECT_FALSE(websrv_fiber_defer(note_deferred, nullptr)) << "outside any fiber";
    EXPECT_EQ(errno, EPERM);
    for (const bool cancel : {false, true}) {
        open_pool pool(websrv_fiber_stack_default, 1);
        std::vector<int> ran;
        deferred_note notes[] = {{&ran, 1}, {&ran, 2}, {&ran, 3}};
        websrv_fiber *f = websrv_fiber_create(defer_three_then_suspend, notes);
        ASSERT_NE(f, nullptr);
        EXPECT_FALSE(websrv_fiber_resume(f));
        EXPECT_TRUE(ran.empty()) << "ran while the fiber was under way";
        if (cancel)
            websrv_fiber_cancel(f);
        else
            EXPECT_TRUE(websrv_fiber_resume(f));
        EXPECT_EQ(ran, (std::vector<int>{3, 2, 1})) << (cancel ? "cancelled" : "ended");
        websrv_fiber *next = websrv_fiber_create(defer_three_then_suspend, notes);
        EXPECT_NE(next, nullptr) << "the only place is free again";
        if (next != nullptr)
            websrv_fiber_cancel(next);
    }
}

// ---- The stack -------------------------------------------------------------------------

constexpr size_t recursion_frame = 1024;

// Recurses `depth` times, each frame holding recursion_frame bytes.
int recurse(int depth)
{
    volatile char frame[recursion_frame];
    frame[0] = static_cast<char>(depth);
    frame[recursion_frame - 1] = 0;
    return depth > 0 ? recurse(depth - 1) + frame[0] : frame[0];
}

void recurse_to(void *depth)
{
    recurse(*static_cast<int *>(depth));
}

TEST(FiberStack, TheMeasureSeesHowDeepARecursionWent)
{
    open_pool pool(websrv_fiber_stack_default, 1, true);
    EXPECT_EQ(websrv_fiber_stack_high_water(), 0u);
    size_t before = 0;
    for (int depth : {2, 12, 36}) {
        websrv_fiber *f = websrv_fiber_create(recurse_to, &depth);
        ASSERT_NE(f, nullptr);
        EXPECT_TRUE(websrv_fiber_resume(f));
        const size_t seen = websrv_fiber_stack_high_water();
        EXPECT_GE(seen, depth * recursion_frame) << depth << " frames";
        // Frames are a little larger than their array (and larger still under a sanitizer).
        EXPECT_LT(seen, depth * 2 * recursion_frame + 4096) << depth << " frames";
        EXPECT_GT(seen, before) << depth << " frames";
        before = seen;
    }
}

// How many pages of the 64 KiB that end with the page of `at` are resident.
size_t resident_pages_below(uintptr_t at)
{
    const auto page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    const size_t span = websrv_fiber_stack_default;
    auto *end = reinterpret_cast<char *>((at / page + 1) * page);
    std::vector<unsigned char> in_memory(span / page);
    EXPECT_EQ(mincore(end - span, span, in_memory.data()), 0) << "errno " << errno;
    size_t resident = 0;
    for (const unsigned char flags : in_memory)
        resident += flags & 1;
    return resident;
}

void note_stack(void *where)
{
    *static_cast<uintptr_t *>(where) = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
}

TEST(FiberStack, PagesAFiberNeverTouchedTakeNoMemoryUnlessMeasuring)
{
    const auto page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    for (const bool measure : {false, true}) {
        open_pool pool(websrv_fiber_stack_default, 1, measure);
        uintptr_t at = 0;
        websrv_fiber *f = websrv_fiber_create(note_stack, &at);
        ASSERT_NE(f, nullptr);
        EXPECT_TRUE(websrv_fiber_resume(f));
        const size_t resident = resident_pages_below(at);
        if (measure) {
            EXPECT_GE(resident, websrv_fiber_stack_default / page - 1) << "measuring";
        } else {
            EXPECT_LE(resident, 2u) << "not measuring";
            printf("[   info   ] a fiber that did nothing: %zu KiB of its stack resident\n", resident * page / 1024);
        }
    }
}

// ---- Overflow ----------------------------------------------------------------------------

// Recurses without end (as far as the stack goes), each frame `bytes` large and touched first at
// its lowest address: a frame larger than a page moves past one page at once.
size_t dig(size_t bytes, size_t depth)
{
    auto *frame = static_cast<volatile char *>(alloca(bytes));
    frame[0] = 1;
    if (depth > (size_t{1} << 30))
        return 0;
    return dig(bytes, depth + 1) + frame[0];
}

void dig_forever(void *bytes)
{
    dig(*static_cast<size_t *>(bytes), 0);
}

// Touches a page nothing may touch that lies outside every guard region.
void touch_forbidden(void *)
{
    void *page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (page != MAP_FAILED)
        *static_cast<volatile char *>(page) = 1;
}

// In a child process with its standard output on `out`: runs a fiber that digs with frames of
// `bytes` (or, for 0, touches a forbidden page) in a pool that reports overflows.
[[noreturn]] void run_faulting_fiber(int out, size_t bytes)
{
    dup2(out, STDOUT_FILENO);
    const rlimit no_core = {0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
    signal(SIGSEGV, SIG_DFL);
    if (websrv_fibers_open(websrv_fiber_stack_default, 1) != 0 || websrv_fibers_report_overflow() != 0)
        _exit(2);
    websrv_fiber *f = websrv_fiber_create(bytes > 0 ? dig_forever : touch_forbidden, &bytes);
    if (f != nullptr)
        websrv_fiber_resume(f);
    _exit(3);
}

TEST(FiberOverflow, AFiberThatOverflowsEndsTheProcessBySigsegvAndSaysSo)
{
    const std::string overflow_line = "WebSrv Error: a fiber's stack overflowed (" +
                                      std::to_string(websrv_fiber_stack_default) + " bytes)\n";
    const struct {
        const char *what;
        size_t frame_bytes;
        bool reported;
    } cases[] = {
        {"small frames", 256, true},
        {"frames of 20 KiB, larger than any of the server's", 20 * 1024, true},
        {"a fault outside the guard regions", 0, false},
    };
    for (const auto &c : cases) {
        int pipe_ends[2];
        ASSERT_EQ(pipe(pipe_ends), 0);
        fflush(stdout);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            close(pipe_ends[0]);
            run_faulting_fiber(pipe_ends[1], c.frame_bytes);
        }
        close(pipe_ends[1]);
        std::string output;
        char buffer[256];
        for (ssize_t got; (got = read(pipe_ends[0], buffer, sizeof buffer)) != 0;) {
            if (got > 0)
                output.append(buffer, static_cast<size_t>(got));
            else if (errno != EINTR)
                break;
        }
        close(pipe_ends[0]);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGSEGV)
            << c.what << ": status " << status;
        EXPECT_EQ(output, c.reported ? overflow_line : "") << c.what;
    }
}

}  // namespace
