// For tests that link the server's code: resetting the control block between tests.
#pragma once

#include <cstring>

#include "registry.h"
#include "websrv_plugin.h"

namespace websrv_test {

// Frees every node both registries hold and the interface name, then zeroes the control
// block, so each test starts from nothing and leaves nothing behind. Option parsing zeroes
// the block itself without freeing, so this also runs before each parse to keep the tests
// free of leaks.
inline void release_control_block()
{
    for (websrv_list *list : {&websrv_mcb.plugins, &websrv_mcb.mime_types}) {
        for (void *n = websrv_slist_head(websrv_registry(list)); n != nullptr;) {
            void *next = websrv_slist_next(n);
            websrv_free(n);
            n = next;
        }
    }
    websrv_free(websrv_mcb.bind_device);
    memset(&websrv_mcb, 0, sizeof websrv_mcb);
}

}  // namespace websrv_test
