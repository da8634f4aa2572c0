// The table of session slots, in memory all processes of the server share. Every entry has one
// writer (its slot's process) and is read without a lock: its state is written last and read
// first, so a reader sees the client and the time that belong to it.
#include "slots/slots.h"

#include <cerrno>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/mman.h>

#include "log.h"
#include "counters.h"
#include "address.h"
#include "clock.h"
#include "wait.h"
#include "websrv_plugin.h"

namespace {

// How long a session reading a header may take before it gives its slot up to a waiting
// connection, and how long a session waiting for its share sleeps between looks.
constexpr long long slow_header_ms = 1000;
constexpr int turn_pause_ms = 5;

struct slot_entry {
    websrv_slot_state state;
    long long since;           // websrv_now_ms() when it entered its state
    sockaddr_storage client;   // for reading, idle, queued and working
};

struct share_table {
    websrv_server_counters counters;
    int slots;
    slot_entry entry[1];  // `slots` of them
};

share_table *table = nullptr;
int own_slot = -1;  // in a connection process, the slot it holds

slot_entry &own() { return table->entry[own_slot]; }

websrv_slot_state state_of(const slot_entry &entry)
{
    return __atomic_load_n(&entry.state, __ATOMIC_SEQ_CST);
}

void set_state(websrv_slot_state state)
{
    own().since = websrv_now_ms();
    __atomic_store_n(&own().state, state, __ATOMIC_SEQ_CST);
}

// The share of the slots one client may have at work: half of them, at least one. Out of
// line: its two callers share it.
[[gnu::noinline]] int share()
{
    return table->slots / 2 > 1 ? table->slots / 2 : 1;
}

// The count of other entries in `state` for the client of this slot, those that entered it
// before `before` (websrv_now_ms milliseconds) only.
int count_client(websrv_slot_state state, long long before)
{
    int count = 0;
    for (int i = 0; i < table->slots; ++i) {
        const slot_entry &entry = table->entry[i];
        if (i != own_slot && state_of(entry) == state && entry.since < before &&
            websrv_address_same_host(entry.client, own().client))
            ++count;
    }
    return count;
}

// Whether an entry's session waits in a way that gives its slot up: idle, or reading a header
// for more than a second. Its order among those is its start and its index.
bool waits(const slot_entry &entry, websrv_slot_state state, long long now)
{
    return state == websrv_slot_state::idle || (state == websrv_slot_state::reading && now - entry.since > slow_header_ms);
}

websrv_server_counters unshared_counters;

}  // namespace

websrv_server_counters *websrv_counters = &unshared_counters;

int websrv_slot_open(int slots)
{
    const size_t size = sizeof(share_table) + sizeof(slot_entry) * static_cast<size_t>(slots - 1);
    void *memory = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) {
        websrv_error_errno("Unable to make the table of sessions; Error: %s\n");
        return -1;
    }
    table = static_cast<share_table *>(memory);
    table->slots = slots;
    websrv_counters = &table->counters;
    websrv_counters->started = websrv_calendar_now();
    websrv_counters->slots = slots;
    return 0;
}

void websrv_slot_enter(int slot)
{
    own_slot = slot;
    if (table != nullptr)
        set_state(websrv_slot_state::accepting);
}

void websrv_slot_set_state(websrv_slot_state state)
{
    if (table != nullptr && own_slot >= 0)
        set_state(state);
}

void websrv_slot_arrived(const sockaddr_storage &client, websrv_arrival arrival)
{
    if (table == nullptr || own_slot < 0)
        return;
    own().client = client;
    set_state(arrival == websrv_arrival::none ? websrv_slot_state::idle : websrv_slot_state::reading);
    if (arrival == websrv_arrival::part)
        websrv_slot_slow();
}

bool websrv_slot_slow()
{
    const long long slow_since = websrv_now_ms() - slow_header_ms - 1;
    if (table == nullptr || own_slot < 0 || own().since <= slow_since)
        return false;  // once: its place among the slow ones stays
    own().since = slow_since;
    return true;
}

bool websrv_slot_take(const sockaddr_storage &client)
{
    if (table == nullptr || own_slot < 0)
        return true;
    own().client = client;
    if (state_of(own()) != websrv_slot_state::reading)
        set_state(websrv_slot_state::reading);  // from its arrival: its header has begun then
    return count_client(websrv_slot_state::reading, own().since - slow_header_ms) < share();
}

bool websrv_slot_turn(long long deadline)
{
    if (table == nullptr || own_slot < 0)
        return true;
    set_state(websrv_slot_state::queued);
    // Sessions of the client that look at the same moment may both go to work: the share is a
    // bound on what one client takes from the others, and one more for a moment does no harm.
    while (count_client(websrv_slot_state::working, websrv_now_ms() + 1) >= share()) {
        if (websrv_now_ms() >= deadline)
            return false;
        websrv_pause_ms(turn_pause_ms);
    }
    set_state(websrv_slot_state::working);
    return true;
}

bool websrv_slot_any_free()
{
    if (table == nullptr)
        return true;
    for (int i = 0; i < table->slots; ++i) {
        const websrv_slot_state state = state_of(table->entry[i]);
        if (state == websrv_slot_state::empty || state == websrv_slot_state::accepting)
            return true;
    }
    return false;
}

int websrv_slot_longest_waiting()
{
    const long long now = websrv_now_ms();
    int longest = -1;
    for (int i = 0; i < table->slots; ++i) {
        const slot_entry &entry = table->entry[i];
        if (waits(entry, state_of(entry), now) && (longest < 0 || entry.since < table->entry[longest].since))
            longest = i;
    }
    return longest;
}

bool websrv_slot_should_yield()
{
    if (table == nullptr || own_slot < 0 || websrv_slot_any_free())
        return false;  // a slot is free: the waiting connection goes there
    return websrv_slot_longest_waiting() == own_slot;
}

void websrv_slot_release(int slot)
{
    if (table != nullptr && slot >= 0 && slot < table->slots)
        __atomic_store_n(&table->entry[slot].state, websrv_slot_state::empty, __ATOMIC_SEQ_CST);
}


bool websrv_came_dripping(int fd, long received)
{
    constexpr unsigned drip_segments = 3;
    tcp_info info{};
    socklen_t length = sizeof info;
    return received < websrv_slot_burst && getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) == 0 &&
           info.tcpi_data_segs_in >= drip_segments;
}
