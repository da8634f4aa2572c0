// The table of session slots that the main process and every connection process share: what
// each slot's process is doing, for whom and since when. Slots go to work, not to waiting: a
// session that waits (for its first bytes, for the rest of a slow header, for its next request
// on a kept connection) gives its slot up when every slot is busy and another connection
// waits, and one client's sessions at work are held to its share of the slots.
//
// Each entry is written only by the process that holds the slot (the main process empties it
// once that process is gone) and read by the others without a lock, so no process, stopped or
// killed at any moment, can hold up another.
#ifndef WEBSRV_SERVER_SLOTS_SLOTS_H
#define WEBSRV_SERVER_SLOTS_SLOTS_H

#include <sys/socket.h>

#pragma GCC visibility push(hidden)

// What a slot's process is doing.
enum class websrv_slot_state : unsigned char {
    empty,      // no process yet (the main process is about to start one)
    accepting,  // waiting for a connection
    reading,    // reading a request header that has begun
    idle,       // a connection without a byte of its next request (new, or kept alive)
    queued,     // a whole request waiting for its client's share
    working,    // answering a request
};

// Makes the table for `slots` sessions and the server's counters (counters.h), in the main
// process before any connection process exists. Returns 0, or -1 (logged).
int websrv_slot_open(int slots);

// In a connection process: the slot it holds from now on (its entry starts as `accepting`).
void websrv_slot_enter(int slot);

// In a connection process: its slot's state from now on.
void websrv_slot_set_state(websrv_slot_state state);

// An honest client sends its request header (or TLS hello) at once: a segment of a few hundred
// bytes at least, or the whole of a small one, or a few parts of it.
inline constexpr long websrv_slot_burst = 512;

// Whether `received` bytes of a request header, not whole yet, are fewer than any honest
// client sends at once and came in three TCP segments or more on socket `fd`. False where the
// kernel does not count segments (or `fd` is no TCP socket).
bool websrv_came_dripping(int fd, long received);

// What had come of a connection when it was taken: nothing (a spare connection opened ahead),
// a request header or TLS hello that came whole (or in a burst), or a part of one (its client
// drips it, as no honest client does).
enum class websrv_arrival : unsigned char { none, whole, part };

// In a connection process whose client drips its header: the slot reads as slow already.
// True when it did not before.
bool websrv_slot_slow();

// In a connection process that has taken a connection from `client`: its slot reads as `idle`
// for nothing yet, as `reading` otherwise (a TLS handshake under way counts: no request can
// be read before it ends). A part reads as slow already: with every slot busy and another
// connection waiting, it gives its slot up at once.
void websrv_slot_arrived(const sockaddr_storage &client, websrv_arrival arrival);

// In a connection process, once its connection has shown its first bytes: records the client
// and reads the slot as `reading`. Returns false when the client holds far more connections
// than it can be using: its share of slots in sessions that have been reading a header for
// more than a second already (the connection is then refused). True without a table.
bool websrv_slot_take(const sockaddr_storage &client);

// In a connection process whose request is whole: waits (a few milliseconds at a time, at
// most until `deadline`, in websrv_now_ms milliseconds) while its client has its share of the
// slots, max(1, slots / 2), at work already; then reads the slot as `working`. Returns false
// when the deadline passed first.
bool websrv_slot_turn(long long deadline);

// In a connection process whose session waits (reading a header, idle): whether it should give
// its slot up now that a connection waits on a listening socket: no slot is empty or
// accepting, and of the sessions that wait (idle ones at once, those reading a header after
// a second), this one has waited longest.
bool websrv_slot_should_yield();

// Whether a slot is empty or its process waits for a connection (true without a table).
bool websrv_slot_any_free();

// In the main process: the slot whose session has only waited longest (idle at once, reading a
// header after a second), or -1 when none only waits.
int websrv_slot_longest_waiting();

// In the main process, once a slot's process is gone: empties the slot.
void websrv_slot_release(int slot);

#pragma GCC visibility pop

#endif
