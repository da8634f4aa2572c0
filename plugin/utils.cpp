// The services every part of the server and every plug-in share: the log, the allocator and
// the date parser.
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "log.h"
#include "memory.h"
#include "tdate_parse.h"
#include "websrv_plugin.h"

// Set only by the test build of the server (server/test_switches.cpp), to make chosen
// allocations fail on purpose; returns true for an allocation that must fail. The shipped
// server never sets it, so each allocation costs one test of a null pointer.
bool (*websrv_allocation_fails)(const char *call, size_t size) = nullptr;

void log_msg(int level, const char *format, ...)
{
    if (level > websrv_mcb.log_level)
        return;
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
}

void websrv_log(int level, const char *format, ...) __attribute__((alias("log_msg")));

namespace {

// Every block from websrv_malloc starts with this head, in front of what the caller gets (the
// head keeps the alignment malloc gives). A block taken while a session's memory is kept
// track of is on the session's list (a ring through `list`); any other has null links. `size`
// is what the caller has: bytes a reallocation adds behind it are zeroed.
struct alignas(alignof(max_align_t)) block_head {
    block_head *prev;
    block_head *next;
    size_t size;
};

// The most a caller may ask for: the head must fit in front of it.
constexpr size_t largest_block = SIZE_MAX - sizeof(block_head);

block_head session_blocks{&session_blocks, &session_blocks, 0};
bool tracking = false;

block_head *head_of(void *pointer) { return static_cast<block_head *>(pointer) - 1; }

void link(block_head *block)
{
    block->prev = &session_blocks;
    block->next = session_blocks.next;
    session_blocks.next->prev = block;
    session_blocks.next = block;
}

void unlink(block_head *block)
{
    if (block->next == nullptr)
        return;
    block->prev->next = block->next;
    block->next->prev = block->prev;
    block->prev = block->next = nullptr;
}

}  // namespace

// Zeroed: the memory a process hands out again held what an earlier session put there (a
// response header, a path), which a plug-in must never see.
void *websrv_malloc(size_t size)
{
    if (size > largest_block || (websrv_allocation_fails != nullptr && websrv_allocation_fails("malloc", size)))
        return nullptr;
    auto *block = static_cast<block_head *>(calloc(1, sizeof(block_head) + size));
    if (block == nullptr)
        return nullptr;
    block->size = size;
    if (tracking)
        link(block);
    return block + 1;
}

// A refused reallocation leaves the old block as it was, as realloc does when out of memory.
// The caller's bytes are kept; those a growth adds are zeroed, like a fresh block's.
void *websrv_realloc(void *pointer, size_t size)
{
    if (pointer == nullptr)
        return websrv_malloc(size);
    if (size > largest_block || (websrv_allocation_fails != nullptr && websrv_allocation_fails("realloc", size)))
        return nullptr;
    block_head *old = head_of(pointer);
    const size_t kept = old->size;
    const bool listed = old->next != nullptr;
    unlink(old);
    auto *block = static_cast<block_head *>(realloc(old, sizeof(block_head) + size));
    if (block == nullptr) {
        if (listed)
            link(old);
        return nullptr;
    }
    if (listed)
        link(block);
    if (size > kept)
        memset(reinterpret_cast<char *>(block + 1) + kept, 0, size - kept);
    block->size = size;
    return block + 1;
}

void websrv_free(void *pointer)
{
    if (pointer == nullptr)
        return;
    block_head *block = head_of(pointer);
    unlink(block);
    free(block);
}

void websrv_memory_session(bool begin)
{
    if (!begin) {
        while (session_blocks.next != &session_blocks)
            websrv_free(session_blocks.next + 1);
    }
    tracking = begin;
}

time_t tdate_parse(const char *text) { return websrv_date_parse(text); }
