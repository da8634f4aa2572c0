// Deadlines and waits on descriptors, on the monotonic clock: what bounds every transfer.
#ifndef WEBSRV_SUPPORT_WAIT_H
#define WEBSRV_SUPPORT_WAIT_H

#pragma GCC visibility push(hidden)

// A point in time websrv_wait_seconds (or `ms` milliseconds) from now, on the monotonic
// clock, in milliseconds.
long long websrv_deadline();
long long websrv_deadline_in(long long ms);

// Waits until fd is ready for `events` (POLLIN or POLLOUT), at most until `deadline`. Returns
// false when the deadline passed first; true when ready, or when the wait itself failed (the
// I/O call that follows then reports the descriptor's own error).
bool websrv_wait_ready(int fd, short events, long long deadline);

// Pauses for a moment: a call that said "try again" although its descriptor was ready is not
// retried in a busy loop.
void websrv_pause_before_retry();

// Whether errno says that the call which just failed may be tried again: EAGAIN (EWOULDBLOCK,
// nothing to read or no room to write yet) or EINTR (a signal came first).
bool websrv_try_again();

// Pauses for `ms` milliseconds (less when a signal comes).
void websrv_pause_ms(int ms);

// Sets what the signal `signo` does to `handler` (SIG_IGN, SIG_DFL or a function), with
// interrupted calls restarted and the sigaction flags `flags` besides.
void websrv_signal_disposition(int signo, void (*handler)(int), int flags = 0);

#pragma GCC visibility pop

#endif
