// Server-side control of the shared allocator (not visible to plug-ins).
#ifndef WEBSRV_PLUGIN_MEMORY_H
#define WEBSRV_PLUGIN_MEMORY_H

#pragma GCC visibility push(hidden)

// Starts (true) or ends (false) keeping track of the blocks websrv_malloc and websrv_realloc
// hand out: at the end, every block taken since the start and not given back is freed. A
// process that serves many sessions brackets each with it, so that what a session (or a
// plug-in's hook) leaks cannot add up. Cannot fail.
void websrv_memory_session(bool begin);

#pragma GCC visibility pop

#endif
