// Fibers: request code that waits runs on a stack of its own, so a worker can set it aside at a
// wait and serve other requests meanwhile, with the code written as if it blocked.
//
// The contract:
//  1. One pool per process (a worker is single-threaded; nothing here is thread-safe). Only the
//     code outside any fiber (the event loop) creates, resumes and cancels fibers; a fiber hands
//     control back only by suspending or by ending.
//  2. A fiber must not block the process: a wait is the caller's business (register what to wait
//     for with the loop, then websrv_fiber_suspend). Switching saves only what a function call
//     keeps (the callee-saved registers, the stack pointer and, on x86-64, the floating-point
//     control words). errno is the process's, not the fiber's: read it before suspending.
//  3. Signals: the handlers are the process's. A handler runs on whatever stack is in use, a
//     fiber's too, so it must fit in what is left of that stack; it never resumes, suspends or
//     cancels a fiber. A fiber leaves the signal mask as it found it before it suspends: the
//     hand-written switches keep one mask for all, the C library's swaps it with each context.
//  4. The stack: each fiber has a fixed one (websrv_fiber_stack_default usable bytes unless
//     the pool is opened with another size), mapped on demand, kept for the next fiber once its
//     fiber ended, and never grown. Below it lies a guard region of 64 KiB that nothing may
//     touch, wider than any stack frame of the server (the largest are 17 KiB): an overflow
//     faults there (SIGSEGV), so it ends the process rather than corrupting another fiber's
//     stack or the heap. A frame larger than the guard could step over it: large arrays belong
//     on the heap. Pages a fiber never touched take no memory.
//  5. A fiber may fork; the child goes on on a copy of that stack and must exec or _exit: it
//     has no loop to suspend to.
//  6. Deferred calls (websrv_fiber_defer) run, last registered first, when their fiber ends,
//     however it ends: they are how a fiber's descriptors and memory are released on cancel.
#ifndef WEBSRV_SUPPORT_FIBER_H
#define WEBSRV_SUPPORT_FIBER_H

#include <cstddef>

#pragma GCC visibility push(hidden)

// A fiber of the pool. Opaque; valid from websrv_fiber_create until websrv_fiber_resume
// reports that it ended or websrv_fiber_cancel ended it.
struct websrv_fiber;

// The usable stack of a fiber unless the pool is opened with another size.
constexpr size_t websrv_fiber_stack_default = 64 * 1024;

// Opens the process's pool: at most `most` fibers under way at once, each with `stack_size`
// usable bytes of stack (rounded up to whole pages). Stacks are made when first needed. With
// `measure`, each new stack is filled with a pattern so that websrv_fiber_stack_high_water can
// tell how deep fibers went (every stack page then takes memory). Returns 0, or -1 with errno
// set: EBUSY when a pool is open already, EINVAL for a size or count of zero or a size too
// large, ENOMEM.
int websrv_fibers_open(size_t stack_size, int most, bool measure = false);

// Closes the pool and unmaps its stacks. Returns 0 (also when none was open), or -1 with errno
// EBUSY, leaving the pool as it was, while a fiber is under way (cancel them first).
int websrv_fibers_close();

// Makes a fiber that runs entry(arg) from its first websrv_fiber_resume on (nothing of it runs
// before). Outside any fiber only. Returns the fiber, or nullptr with errno set: EAGAIN when
// `most` fibers are under way, EINVAL when no pool is open, EPERM when called on a fiber, or
// what mmap said when no new stack could be had. The pool owns the fiber; the caller holds the
// pointer until the fiber ended.
websrv_fiber *websrv_fiber_create(void (*entry)(void *), void *arg);

// Runs `f` (a fiber that has not ended) until it suspends or ends. Outside any fiber only: a
// call on a fiber aborts the process. Returns true when `f` ended: its deferred calls have run,
// its stack is back in the pool and `f` must not be used again; false when it suspended.
bool websrv_fiber_resume(websrv_fiber *f);

// On a fiber: suspends it, returning to the code that resumed it; returns when the fiber is
// resumed. Outside any fiber it returns at once.
void websrv_fiber_suspend();

// The fiber the calling code runs on, or nullptr outside any fiber.
websrv_fiber *websrv_fiber_current();

// On a fiber: registers fn(arg) to run when the fiber ends, by returning from its entry or by
// websrv_fiber_cancel; the calls run last registered first. A deferred call must not suspend.
// Returns false, having registered nothing, outside any fiber (errno EPERM) or without memory
// for the record (ENOMEM): the caller then releases its resource itself.
bool websrv_fiber_defer(void (*fn)(void *), void *arg);

// Ends the suspended fiber `f` without resuming its code (a worker that stops with requests
// under way): runs its deferred calls, on the caller's stack and with no current fiber, and
// gives its stack back. Outside any fiber only: a call on a fiber aborts the process.
void websrv_fiber_cancel(websrv_fiber *f);

// The most stack, in bytes, that a fiber of a pool opened with `measure` used, over the fibers
// that ended (or were cancelled) since the pool was opened; 0 without `measure`. Cannot fail.
size_t websrv_fiber_stack_high_water();

// Makes a fault in a fiber's guard region, a stack overflow, say so before the process dies:
// installs a SIGSEGV handler that runs on a signal stack of its own and writes one line to
// standard output ("WebSrv Error: a fiber's stack overflowed (65536 bytes)"), then lets the
// signal end the process as it would have without the handler. Any other SIGSEGV goes to the
// action that was in place before. Call once per process; later calls do nothing. Returns 0,
// or -1 with errno set when the signal stack or the handler could not be installed.
int websrv_fibers_report_overflow();

#pragma GCC visibility pop

#endif
