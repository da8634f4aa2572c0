// The clock every deadline and every time-limited table reads: monotonic milliseconds, which a
// change of the system's date does not move.
#ifndef WEBSRV_SUPPORT_CLOCK_H
#define WEBSRV_SUPPORT_CLOCK_H

#include <ctime>

// Milliseconds on the monotonic clock. Cannot fail.
inline long long websrv_now_ms()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

#endif
