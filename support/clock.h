// The clocks: monotonic milliseconds for every deadline and every time-limited table (a change
// of the system's date does not move them), and the calendar time for dates.
#ifndef WEBSRV_SUPPORT_CLOCK_H
#define WEBSRV_SUPPORT_CLOCK_H

#include <ctime>

// Milliseconds on the monotonic clock. Cannot fail. Never inlined, as websrv_calendar_now.
__attribute__((noinline)) inline long long websrv_now_ms()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Seconds since the epoch, the calendar time that dates answers and log lines. Never inlined:
// one copy of the call serves its many callers.
__attribute__((noinline)) inline time_t websrv_calendar_now()
{
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return now.tv_sec;
}

#endif
