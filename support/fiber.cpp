// Fibers: the pool of stacks, the switch between the loop and a fiber (hand-written for x86-64,
// AArch64 and 32-bit ARM hard-float, the C library's ucontext elsewhere), deferred calls, stack
// measurement and the report of an overflow.
#include "fiber.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sys/mman.h>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#endif

// The switch: hand-written where the calling convention is known here, ucontext elsewhere (and
// where WEBSRV_FIBER_UCONTEXT asks for it, to test that path).
#if !defined(WEBSRV_FIBER_UCONTEXT) &&                                                         \
    ((defined(__x86_64__) && defined(__LP64__)) || (defined(__aarch64__) && defined(__LP64__)) || \
     (defined(__arm__) && defined(__ARM_PCS_VFP) && (!defined(__thumb__) || defined(__thumb2__))))
#define FIBER_SWITCH_ASM 1
#else
#define FIBER_SWITCH_ASM 0
#include <ucontext.h>
#endif

namespace {

#if FIBER_SWITCH_ASM
// Where a context that is not running goes on: its stack pointer. The registers the calling
// convention keeps across a call lie on that stack, pushed by the switch.
using context = void *;
#else
using context = ucontext_t;
#endif

// A cleanup registered by websrv_fiber_defer.
struct deferred_call {
    void (*fn)(void *);
    void *arg;
    deferred_call *next;
};

// What a new fiber starts with, kept in the topmost bytes of its stack until it has started.
struct start_args {
    void (*entry)(void *);
    void *arg;
};

}  // namespace

// A fiber's bookkeeping; its stack holds everything else.
struct websrv_fiber {
    context saved;             // where the fiber goes on when it is resumed
    char *stack;               // the mapping: guard region, then the usable stack; null until made
    deferred_call *deferred;   // most recently registered first
    websrv_fiber *next_free;   // the next in the pool's list of fibers not under way
};

// Saves the running context's callee-saved registers on its stack and its stack pointer in
// *save, then loads those of the context whose stack pointer is `load` and returns into it.
extern "C" void websrv_fiber_switch(void **save, void *load);

namespace {

// Below each stack: never accessible, so that an overflow faults instead of writing into
// whatever lies below. Wider than a page because a function whose frame is larger than the
// guard can move the stack pointer past it before it touches anything: the server has frames
// of 17 KiB. The region is address space only; it takes no memory.
constexpr size_t guard_least = 64 * 1024;
// The largest usable stack a pool accepts.
constexpr size_t stack_most = size_t{256} * 1024 * 1024;
// What a stack of a measuring pool holds where it was never used.
constexpr uintptr_t measure_pattern = ~uintptr_t{0} / 0xff * 0x5a;
// The line written when a fiber's stack overflowed; the stack size goes in between.
constexpr char overflow_before[] = "WebSrv Error: a fiber's stack overflowed (";
constexpr char overflow_after[] = " bytes)\n";
// The signal stack the overflow report runs on, when none of at least this size is in place.
constexpr size_t signal_stack_least = 64 * 1024;

struct fiber_pool {
    websrv_fiber *fibers;      // `most` records; null while no pool is open
    int most;
    int under_way;             // fibers created that have not ended
    websrv_fiber *free_list;   // fibers not under way, the one that ended last first
    size_t guard;              // bytes of each mapping's guard region
    size_t usable;             // bytes of each mapping's usable stack
    bool measure;
    size_t high_water;
    websrv_fiber *current;     // the fiber running, or null
    bool ended;                // set by a fiber's last switch back
    context loop;              // where the code outside any fiber goes on
};

fiber_pool pool;

size_t round_up(size_t size, size_t unit)
{
    return (size + unit - 1) / unit * unit;
}

char *usable_bottom(const websrv_fiber *f)
{
    return f->stack + pool.guard;
}

char *usable_top(const websrv_fiber *f)
{
    return usable_bottom(f) + pool.usable;
}

start_args *start_args_of(const websrv_fiber *f)
{
    return reinterpret_cast<start_args *>(usable_top(f)) - 1;
}

// The stack of the code outside any fiber, as AddressSanitizer knows it (learnt on each switch
// from there; unused where the sanitizer is not built in).
const void *loop_stack_bottom;
size_t loop_stack_size;

// AddressSanitizer, where it is built in, follows the switches between stacks: before one,
// leaving_stack names the stack the code goes to (and keeps the running code's own bookkeeping
// in *fake, or ends it when `fake` is null: that code never comes back); after one,
// arrived_on_stack takes the bookkeeping back and learns the stack the code came from.
#if defined(__SANITIZE_ADDRESS__)
void leaving_stack(void **fake, const void *bottom, size_t size)
{
    __sanitizer_start_switch_fiber(fake, bottom, size);
}

void arrived_on_stack(void *fake, const void **from_bottom, size_t *from_size)
{
    __sanitizer_finish_switch_fiber(fake, from_bottom, from_size);
}

// A stack going back to the pool may still be marked as the frames left on it were.
void forget_frames(const websrv_fiber *f)
{
    ASAN_UNPOISON_MEMORY_REGION(usable_bottom(f), pool.usable);
}
#else
void leaving_stack(void **, const void *, size_t) {}
void arrived_on_stack(void *, const void **, size_t *) {}
void forget_frames(const websrv_fiber *) {}
#endif

// Runs the deferred calls of the fiber `f`, each record freed before its call.
void run_deferred(websrv_fiber *f)
{
    while (deferred_call *call = f->deferred) {
        f->deferred = call->next;
        const deferred_call run = *call;
        free(call);
        run.fn(run.arg);
    }
}

[[noreturn]] void fiber_main();

#if FIBER_SWITCH_ASM
void switch_context(context *save, const context *load)
{
    websrv_fiber_switch(save, *load);
}
#else
void switch_context(context *save, const context *load)
{
    swapcontext(save, load);
}
#endif

// The code that runs first on a new fiber: the entry, then its deferred calls, then the last
// switch back to the loop. Never returns: nothing lies above it on the stack.
[[noreturn]] void fiber_main()
{
    arrived_on_stack(nullptr, &loop_stack_bottom, &loop_stack_size);
    websrv_fiber *f = pool.current;
    const start_args start = *start_args_of(f);
    start.entry(start.arg);
    run_deferred(f);
    pool.ended = true;
    leaving_stack(nullptr, loop_stack_bottom, loop_stack_size);
    switch_context(&f->saved, &pool.loop);
    abort();  // an ended fiber is never resumed
}

}  // namespace

// The switch, one per architecture. Each pushes the registers the calling convention makes the
// callee keep, stores the stack pointer through its first argument, loads the second as the
// stack pointer, pops the same registers and returns to the address on (or, on ARM, popped
// from) that stack. Each lies in a section of its own, which the link drops when unused.
#if FIBER_SWITCH_ASM && defined(__x86_64__)
// System V: rbx, rbp, r12-r15, and the control words of the SSE and x87 units (MXCSR, FPUCW).
asm(R"(
    .pushsection .text.websrv_fiber_switch,"ax",@progbits
    .globl websrv_fiber_switch
    .hidden websrv_fiber_switch
    .type websrv_fiber_switch, @function
    .p2align 4
websrv_fiber_switch:
    pushq %rbp
    pushq %rbx
    pushq %r12
    pushq %r13
    pushq %r14
    pushq %r15
    subq $8, %rsp
    stmxcsr (%rsp)
    fnstcw 4(%rsp)
    movq %rsp, (%rdi)
    movq %rsi, %rsp
    ldmxcsr (%rsp)
    fldcw 4(%rsp)
    addq $8, %rsp
    popq %r15
    popq %r14
    popq %r13
    popq %r12
    popq %rbx
    popq %rbp
    ret
    .size websrv_fiber_switch, .-websrv_fiber_switch
    .popsection
)");

namespace {
// The words the switch pops, from the stack pointer up: the control words, r15, r14, r13, r12,
// rbx, rbp, the address it returns to; then the return address fiber_main finds: none.
constexpr size_t frame_words = 9;
constexpr size_t resume_word = 7;

void fill_frame(uintptr_t *frame)
{
    asm volatile("stmxcsr %0" : "=m"(*reinterpret_cast<uint32_t *>(frame)));
    asm volatile("fnstcw %0" : "=m"(*(reinterpret_cast<uint16_t *>(frame) + 2)));
}
}  // namespace

#elif FIBER_SWITCH_ASM && defined(__aarch64__)
// AAPCS64: x19-x29, the link register x30 and the low halves of v8-v15 (d8-d15).
asm(R"(
    .pushsection .text.websrv_fiber_switch,"ax",%progbits
    .globl websrv_fiber_switch
    .hidden websrv_fiber_switch
    .type websrv_fiber_switch, %function
    .p2align 2
websrv_fiber_switch:
    sub sp, sp, #160
    stp x19, x20, [sp, #0]
    stp x21, x22, [sp, #16]
    stp x23, x24, [sp, #32]
    stp x25, x26, [sp, #48]
    stp x27, x28, [sp, #64]
    stp x29, x30, [sp, #80]
    stp d8, d9, [sp, #96]
    stp d10, d11, [sp, #112]
    stp d12, d13, [sp, #128]
    stp d14, d15, [sp, #144]
    mov x2, sp
    str x2, [x0]
    mov sp, x1
    ldp x19, x20, [sp, #0]
    ldp x21, x22, [sp, #16]
    ldp x23, x24, [sp, #32]
    ldp x25, x26, [sp, #48]
    ldp x27, x28, [sp, #64]
    ldp x29, x30, [sp, #80]
    ldp d8, d9, [sp, #96]
    ldp d10, d11, [sp, #112]
    ldp d12, d13, [sp, #128]
    ldp d14, d15, [sp, #144]
    add sp, sp, #160
    ret
    .size websrv_fiber_switch, .-websrv_fiber_switch
    .popsection
)");

namespace {
// The words the switch pops: x19-x28, x29 (no caller's frame), x30 (where it returns to),
// d8-d15.
constexpr size_t frame_words = 20;
constexpr size_t resume_word = 11;

void fill_frame(uintptr_t *) {}
}  // namespace

#elif FIBER_SWITCH_ASM && defined(__arm__)
// AAPCS with VFP: r4-r11, the link register and d8-d15; r12 rides along to keep the stack 8-byte
// aligned. Assembles as ARM or Thumb-2, whichever the compiler builds; bx returns to either.
#if defined(__thumb__)
#define FIBER_THUMB_FUNC ".thumb_func\n"
#else
#define FIBER_THUMB_FUNC ""
#endif
asm(R"(
    .pushsection .text.websrv_fiber_switch,"ax",%progbits
    .syntax unified
    .globl websrv_fiber_switch
    .hidden websrv_fiber_switch
    .type websrv_fiber_switch, %function
    .p2align 2
)" FIBER_THUMB_FUNC R"(
websrv_fiber_switch:
    push {r4-r12, lr}
    vpush {d8-d15}
    mov r2, sp
    str r2, [r0]
    mov sp, r1
    vpop {d8-d15}
    pop {r4-r12, lr}
    bx lr
    .size websrv_fiber_switch, .-websrv_fiber_switch
    .popsection
)");

namespace {
// The words the switch pops: d8-d15 (two words each), r4-r12, lr (where it returns to).
constexpr size_t frame_words = 26;
constexpr size_t resume_word = 25;

void fill_frame(uintptr_t *) {}
}  // namespace
#endif

namespace {

#if FIBER_SWITCH_ASM
// Lays out on the new stack what the switch pops, so that the first switch to the fiber
// "returns" into fiber_main with an aligned stack, and points f->saved at it.
void prepare(websrv_fiber *f)
{
    // The stack pointer fiber_main starts with is 16-byte aligned, less the return address that
    // x86-64 pushes; the words below it are what the switch pops.
    auto *top = reinterpret_cast<uintptr_t *>(reinterpret_cast<uintptr_t>(start_args_of(f)) & ~uintptr_t{15});
    uintptr_t *frame = top - frame_words;
    memset(frame, 0, frame_words * sizeof *frame);
    frame[resume_word] = reinterpret_cast<uintptr_t>(&fiber_main);
    fill_frame(frame);
    f->saved = frame;
}
#else
// The same with the C library: a context that starts fiber_main on the stack below the start
// arguments.
void prepare(websrv_fiber *f)
{
    getcontext(&f->saved);
    f->saved.uc_stack.ss_sp = usable_bottom(f);
    f->saved.uc_stack.ss_size = static_cast<size_t>(reinterpret_cast<char *>(start_args_of(f)) - usable_bottom(f));
    f->saved.uc_link = nullptr;
    makecontext(&f->saved, fiber_main, 0);
}
#endif

// Maps a stack for `f`: the guard region, inaccessible, then the usable part. Returns false,
// with errno set, when the memory could not be had.
bool make_stack(websrv_fiber *f)
{
    void *mapped = mmap(nullptr, pool.guard + pool.usable, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (mapped == MAP_FAILED)
        return false;
    if (mprotect(mapped, pool.guard, PROT_NONE) != 0) {
        const int error = errno;
        munmap(mapped, pool.guard + pool.usable);
        errno = error;
        return false;
    }
    f->stack = static_cast<char *>(mapped);
    if (pool.measure) {
        auto *word = reinterpret_cast<uintptr_t *>(usable_bottom(f));
        for (size_t i = 0; i < pool.usable / sizeof *word; ++i)
            word[i] = measure_pattern;
    }
    return true;
}

// In a measuring pool: how deep the fiber on `f`'s stack went, taken into the high-water mark,
// and the pattern laid again where it went.
void take_measure(const websrv_fiber *f)
{
    auto *word = reinterpret_cast<uintptr_t *>(usable_bottom(f));
    auto *end = reinterpret_cast<uintptr_t *>(usable_top(f));
    while (word < end && *word == measure_pattern)
        ++word;
    const auto used = static_cast<size_t>(reinterpret_cast<char *>(end) - reinterpret_cast<char *>(word));
    if (used > pool.high_water)
        pool.high_water = used;
    while (word < end)
        *word++ = measure_pattern;
}

// Puts the ended fiber `f` back in the pool, its stack kept for the next one.
void give_back(websrv_fiber *f)
{
    forget_frames(f);
    if (pool.measure)
        take_measure(f);
    f->next_free = pool.free_list;
    pool.free_list = f;
    --pool.under_way;
}

}  // namespace

int websrv_fibers_open(size_t stack_size, int most, bool measure)
{
    if (pool.fibers != nullptr) {
        errno = EBUSY;
        return -1;
    }
    if (stack_size == 0 || stack_size > stack_most || most <= 0) {
        errno = EINVAL;
        return -1;
    }
    const auto page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    auto *fibers = static_cast<websrv_fiber *>(calloc(static_cast<size_t>(most), sizeof(websrv_fiber)));
    if (fibers == nullptr)
        return -1;
    pool = fiber_pool{};
    pool.most = most;
    pool.guard = round_up(guard_least, page);
    pool.usable = round_up(stack_size, page);
    pool.measure = measure;
    for (int i = most; i-- > 0;) {
        fibers[i].next_free = pool.free_list;
        pool.free_list = &fibers[i];
    }
    pool.fibers = fibers;
    return 0;
}

int websrv_fibers_close()
{
    if (pool.fibers == nullptr)
        return 0;
    if (pool.under_way > 0) {
        errno = EBUSY;
        return -1;
    }
    websrv_fiber *fibers = pool.fibers;
    const int most = pool.most;
    pool.fibers = nullptr;  // first: the overflow report looks at the stacks through it
    pool.most = 0;
    for (int i = 0; i < most; ++i) {
        if (fibers[i].stack != nullptr)
            munmap(fibers[i].stack, pool.guard + pool.usable);
    }
    free(fibers);
    return 0;
}

websrv_fiber *websrv_fiber_create(void (*entry)(void *), void *arg)
{
    if (pool.fibers == nullptr || pool.current != nullptr) {
        errno = pool.fibers == nullptr ? EINVAL : EPERM;
        return nullptr;
    }
    websrv_fiber *f = pool.free_list;
    if (f == nullptr) {
        errno = EAGAIN;
        return nullptr;
    }
    if (f->stack == nullptr && !make_stack(f))
        return nullptr;
    pool.free_list = f->next_free;
    f->next_free = nullptr;
    f->deferred = nullptr;
    *start_args_of(f) = {entry, arg};
    prepare(f);
    ++pool.under_way;
    return f;
}

bool websrv_fiber_resume(websrv_fiber *f)
{
    if (pool.current != nullptr)
        abort();
    pool.current = f;
    pool.ended = false;
    void *fake = nullptr;
    leaving_stack(&fake, usable_bottom(f), pool.usable);
    switch_context(&pool.loop, &f->saved);
    arrived_on_stack(fake, nullptr, nullptr);
    pool.current = nullptr;
    if (!pool.ended)
        return false;
    give_back(f);
    return true;
}

void websrv_fiber_suspend()
{
    websrv_fiber *f = pool.current;
    if (f == nullptr)
        return;
    void *fake = nullptr;
    leaving_stack(&fake, loop_stack_bottom, loop_stack_size);
    switch_context(&f->saved, &pool.loop);
    arrived_on_stack(fake, &loop_stack_bottom, &loop_stack_size);
}

websrv_fiber *websrv_fiber_current()
{
    return pool.current;
}

bool websrv_fiber_defer(void (*fn)(void *), void *arg)
{
    websrv_fiber *f = pool.current;
    if (f == nullptr) {
        errno = EPERM;
        return false;
    }
    auto *call = static_cast<deferred_call *>(malloc(sizeof(deferred_call)));
    if (call == nullptr)
        return false;
    *call = {fn, arg, f->deferred};
    f->deferred = call;
    return true;
}

void websrv_fiber_cancel(websrv_fiber *f)
{
    if (pool.current != nullptr)
        abort();
    run_deferred(f);
    give_back(f);
}

size_t websrv_fiber_stack_high_water()
{
    return pool.high_water;
}

namespace {

// The SIGSEGV action in place before websrv_fibers_report_overflow.
struct sigaction before_report;
bool reporting;

// Whether `address` lies in the guard region of one of the pool's stacks.
bool in_a_guard(const char *address)
{
    for (int i = 0; pool.fibers != nullptr && i < pool.most; ++i) {
        const char *guard = pool.fibers[i].stack;
        if (guard != nullptr && address >= guard && address < guard + pool.guard)
            return true;
    }
    return false;
}

// Writes the overflow line with one write(2): a signal handler may not use stdio.
void write_overflow_line()
{
    char digits[3 * sizeof(size_t)];
    size_t count = 0;
    for (size_t n = pool.usable; count == 0 || n > 0; n /= 10)
        digits[count++] = static_cast<char>('0' + n % 10);
    char line[sizeof overflow_before + sizeof digits + sizeof overflow_after];
    size_t at = sizeof overflow_before - 1;
    memcpy(line, overflow_before, at);
    while (count > 0)
        line[at++] = digits[--count];
    memcpy(line + at, overflow_after, sizeof overflow_after - 1);
    at += sizeof overflow_after - 1;
    if (write(STDOUT_FILENO, line, at) < 0)
        return;  // nowhere to say so: the process ends all the same
}

// The SIGSEGV handler. A fault in a guard region is reported, then meets the default action;
// any other goes to the action that was in place before. A fault happens again when the
// handler returns; a signal that another process sent is raised again.
void on_segv(int signo, siginfo_t *info, void *)
{
    const bool fault = info->si_code > 0;  // from the kernel: si_addr is the address touched
    if (fault && in_a_guard(static_cast<const char *>(info->si_addr))) {
        write_overflow_line();
        struct sigaction fatal = {};
        fatal.sa_handler = SIG_DFL;
        sigaction(signo, &fatal, nullptr);
    } else {
        sigaction(signo, &before_report, nullptr);
    }
    if (!fault)
        raise(signo);
}

// Makes sure the process has a signal stack of at least `least` bytes. Returns false, with
// errno set, when none could be installed.
bool have_signal_stack(size_t least)
{
    stack_t current = {};
    if (sigaltstack(nullptr, &current) != 0)
        return false;
    if ((current.ss_flags & SS_DISABLE) == 0 && current.ss_size >= least)
        return true;
    void *memory = mmap(nullptr, least, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (memory == MAP_FAILED)
        return false;
    stack_t mine = {};
    mine.ss_sp = memory;
    mine.ss_size = least;
    if (sigaltstack(&mine, nullptr) == 0)
        return true;
    const int error = errno;
    munmap(memory, least);
    errno = error;
    return false;
}

}  // namespace

int websrv_fibers_report_overflow()
{
    if (reporting)
        return 0;
    const auto wanted = static_cast<size_t>(SIGSTKSZ);
    if (!have_signal_stack(wanted > signal_stack_least ? wanted : signal_stack_least))
        return -1;
    struct sigaction action = {};
    action.sa_sigaction = on_segv;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    if (sigaction(SIGSEGV, &action, &before_report) != 0)
        return -1;
    reporting = true;
    return 0;
}
