// The server's counters (websrv_server_counters): beside the table of session slots, in memory
// every process of the server shares (share.h). Each process adds to them on its own, without a
// lock: a counter is a single word, added to atomically.
#ifndef WEBSRV_SERVER_COUNTERS_H
#define WEBSRV_SERVER_COUNTERS_H

#include "websrv_plugin.h"

#pragma GCC visibility push(hidden)

// The counters; before websrv_slot_open made them, a record of this process's own (the unit
// tests count there).
extern websrv_server_counters *websrv_counters;

// Adds `amount` to one counter.
template <typename Counter>
void websrv_count(Counter websrv_server_counters::*counter, Counter amount = 1)
{
    __atomic_add_fetch(&(websrv_counters->*counter), amount, __ATOMIC_RELAXED);
}

#pragma GCC visibility pop

#endif
