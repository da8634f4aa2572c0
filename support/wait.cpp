// Deadlines and waits on descriptors.
#include "wait.h"

#include <cerrno>
#include <ctime>
#include <csignal>
#include <poll.h>

#include "clock.h"
#include "http_words.h"

namespace {

constexpr long long wait_limit_ms = websrv_wait_seconds * 1000LL;

}  // namespace

long long websrv_deadline()
{
    return websrv_deadline_in(wait_limit_ms);
}

long long websrv_deadline_in(long long ms)
{
    return websrv_now_ms() + ms;
}

bool websrv_wait_ready(int fd, short events, long long deadline)
{
    for (;;) {
        const long long left = deadline - websrv_now_ms();
        if (left <= 0)
            return false;
        pollfd target{fd, events, 0};
        const int ready = poll(&target, 1, static_cast<int>(left));
        if (ready > 0 || (ready < 0 && errno != EINTR))
            return true;
    }
}

bool websrv_try_again()
{
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
}

void websrv_pause_before_retry()
{
    websrv_pause_ms(1);
}

void websrv_pause_ms(int ms)
{
    poll(nullptr, 0, ms);  // a wait on nothing: the pause alone
}


void websrv_signal_disposition(int signo, void (*handler)(int), int flags)
{
    struct sigaction action {};  // sa_mask all zero: no signal blocked in the handler
    action.sa_handler = handler;
    action.sa_flags = SA_RESTART | flags;
    sigaction(signo, &action, nullptr);
}
