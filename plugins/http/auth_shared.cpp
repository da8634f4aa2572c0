// The state the connection children share for password checks: an anonymous shared mapping
// made in the main process before the first connection, so every child inherits it. A robust
// shared lock guards it: a child killed while it holds the lock leaves the tables wiped (they
// may be half-written), never locked.
#include "auth_shared.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "clock.h"
#include "shared_lock.h"
#include "stock.h"

namespace {

constexpr int verified_slots = 64;
constexpr int failure_slots = 128;
constexpr int64_t milliseconds = 1000;

struct verified_entry {
    credential_key key;
    int64_t expires;  // monotonic milliseconds; 0: empty
};

struct failure_entry {
    client_address address;
    int64_t window_start;   // monotonic milliseconds of the first failure counted; 0: empty
    int64_t blocked_until;  // monotonic milliseconds
    int count;
};

struct shared_tables {
    pthread_mutex_t lock;
    verified_entry verified[verified_slots];
    failure_entry failures[failure_slots];
};

shared_tables *tables = nullptr;

// The clock of the tables: monotonic milliseconds. A copy of the plug-in built for the tests
// (with WEBSRV_TEST_CLOCK, never shipped) runs it ahead by the milliseconds written in the
// file that WEBSRV_TEST_CLOCK_FILE names, read at each look, so that a test sees a minute
// pass without waiting for it. The shipped plug-in has no such path.
int64_t now_ms()
{
#ifdef WEBSRV_TEST_CLOCK
    long long ahead = 0;
    const char *path = getenv("WEBSRV_TEST_CLOCK_FILE");
    const int fd = path != nullptr ? open(path, O_RDONLY | O_CLOEXEC) : -1;
    char text[32] = "";
    if (fd >= 0) {
        (void)!read(fd, text, sizeof text - 1);
        close(fd);
        ahead = atoll(text);
    }
    return websrv_now_ms() + ahead;
#else
    return websrv_now_ms();
#endif
}

void wipe(shared_tables *t)
{
    memset(t->verified, 0, sizeof t->verified);
    memset(t->failures, 0, sizeof t->failures);
}

// Holds the tables' lock while it lives. `held()` is false when the lock could not be had (or
// there are no tables); the caller then goes on without the shared state (a cache miss, no
// block). Tables whose last holder died mid-update are wiped: they may be half-written.
class table_lock {
public:
    table_lock() : guard_(tables != nullptr ? &tables->lock : nullptr)
    {
        if (guard_.recovered())
            wipe(tables);
    }
    bool held() const { return guard_.held(); }

private:
    websrv_shared_guard guard_;
};

// Compares two keys in time that does not depend on where they differ.
bool same_key(const credential_key &a, const credential_key &b)
{
    uint8_t difference = 0;
    for (size_t i = 0; i < sizeof a; ++i)
        difference |= a[i] ^ b[i];
    return difference == 0;
}

// How recently an entry mattered: 0 for an empty one, else its last failure or the end of
// its block, whichever is later.
int64_t last_use(const failure_entry &entry)
{
    if (entry.window_start == 0)
        return 0;
    return entry.blocked_until > entry.window_start ? entry.blocked_until : entry.window_start;
}

// The failure entry of `address`, or a fresh one for it in place of the entry that mattered
// least recently (an address under a block is replaced last).
failure_entry *failure_slot(const client_address &address)
{
    failure_entry *victim = nullptr;
    for (failure_entry &entry : tables->failures) {
        if (entry.window_start != 0 && memcmp(entry.address, address, sizeof address) == 0)
            return &entry;
        if (victim == nullptr || last_use(entry) < last_use(*victim))
            victim = &entry;
    }
    memset(victim, 0, sizeof *victim);
    memcpy(victim->address, address, sizeof address);
    return victim;
}

}  // namespace

bool shared_open()
{
    void *memory = mmap(nullptr, sizeof(shared_tables), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) {
        log_msg(WEBSRV_LOG_ERROR, "%s: mmap of %d bytes for the password cache failed: %s\n", stock_name,
                static_cast<int>(sizeof(shared_tables)), strerror(errno));
        return false;
    }
    auto *t = static_cast<shared_tables *>(memory);
    const int result = websrv_shared_lock_init(&t->lock);
    if (result != 0) {
        log_msg(WEBSRV_LOG_ERROR, "%s: pthread_mutex_init for the password cache failed: %s\n", stock_name,
                strerror(result));
        munmap(memory, sizeof(shared_tables));
        return false;
    }
    wipe(t);
    tables = t;
    return true;
}

bool shared_verified(const credential_key &key)
{
    table_lock lock;
    if (!lock.held())
        return false;
    const int64_t now = now_ms();
    bool found = false;
    for (const verified_entry &entry : tables->verified)
        found |= entry.expires > now && same_key(entry.key, key);
    return found;
}

void shared_remember(const credential_key &key)
{
    table_lock lock;
    if (!lock.held())
        return;
    const int64_t now = now_ms();
    verified_entry *slot = &tables->verified[0];
    for (verified_entry &entry : tables->verified) {
        if (same_key(entry.key, key)) {
            slot = &entry;
            break;
        }
        if (entry.expires < slot->expires)
            slot = &entry;  // the emptiest, else the one that expires first
    }
    memcpy(slot->key, key, sizeof key);
    slot->expires = now + verified_seconds * milliseconds;
}

int shared_blocked_seconds(const client_address &address)
{
    table_lock lock;
    if (!lock.held())
        return 0;
    const int64_t now = now_ms();
    for (const failure_entry &entry : tables->failures) {
        if (entry.window_start != 0 && entry.blocked_until > now && memcmp(entry.address, address, sizeof address) == 0)
            return static_cast<int>((entry.blocked_until - now + milliseconds - 1) / milliseconds);
    }
    return 0;
}

void shared_failure(const client_address &address)
{
    table_lock lock;
    if (!lock.held())
        return;
    const int64_t now = now_ms();
    failure_entry *entry = failure_slot(address);
    if (entry->window_start == 0 || now - entry->window_start > failure_window_seconds * milliseconds) {
        entry->window_start = now;
        entry->count = 0;
    }
    if (++entry->count >= failure_limit) {
        entry->blocked_until = now + blocked_seconds * milliseconds;
        entry->count = 0;
        entry->window_start = now;
    }
}
