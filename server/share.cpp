// The per-client share of the session slots. Each slot holds the client its session serves;
// a connection process counts the slots that hold its own client under a process-shared lock,
// which a process that dies holding it cannot leave locked (the lock is robust).
#include "share.h"

#include <cerrno>
#include <cstring>
#include <sys/mman.h>

#include "accept/address.h"
#include "shared_lock.h"
#include "websrv_plugin.h"

namespace {

struct slot_entry {
    bool used;
    sockaddr_storage client;
};

struct share_table {
    pthread_mutex_t lock;
    int slots;
    slot_entry entry[1];  // `slots` of them
};

share_table *table = nullptr;
int own_slot = -1;  // in a connection process, the slot its client was recorded in

}  // namespace

int websrv_share_open(int slots)
{
    if (slots <= 1)
        return 0;
    const size_t size = sizeof(share_table) + sizeof(slot_entry) * static_cast<size_t>(slots - 1);
    void *memory = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED || websrv_shared_lock_init(&static_cast<share_table *>(memory)->lock) != 0) {
        log_msg(WEBSRV_LOG_ERROR, "WebSrv Error: Unable to make the table of sessions; Error: %s\n", strerror(errno));
        return -1;
    }
    table = static_cast<share_table *>(memory);
    table->slots = slots;
    return 0;
}

bool websrv_share_take(int slot, const sockaddr_storage &client)
{
    if (table == nullptr || slot < 0 || slot >= table->slots)
        return true;
    const int share = table->slots / 2 > 1 ? table->slots / 2 : 1;
    const websrv_shared_guard lock(&table->lock);
    int held = 0;
    for (int i = 0; i < table->slots; ++i)
        held += table->entry[i].used && websrv_address_same_host(table->entry[i].client, client);
    if (held >= share)
        return false;
    table->entry[slot].client = client;
    table->entry[slot].used = true;
    own_slot = slot;
    return true;
}

void websrv_share_leave()
{
    websrv_share_release(own_slot);
    own_slot = -1;
}

void websrv_share_release(int slot)
{
    if (table == nullptr || slot < 0 || slot >= table->slots)
        return;
    const websrv_shared_guard lock(&table->lock);
    table->entry[slot].used = false;
}
