// The share of the session slots one client may hold when several sessions run at once: a
// table in memory that the main process and every connection process share.
#ifndef WEBSRV_SERVER_SHARE_H
#define WEBSRV_SERVER_SHARE_H

#include <sys/socket.h>

// Makes the table for `slots` sessions, in the main process before any connection process
// exists. With one slot there is nothing to share and no table. Returns 0, or -1 (logged).
int websrv_share_open(int slots);

// In a connection process, once it has accepted a client: records the client in its slot and
// returns whether the client holds no more than its share, max(1, slots / 2), with this
// session. When it does not, the slot is left empty again. True when there is no table.
bool websrv_share_take(int slot, const sockaddr_storage &client);

// In a connection process, before it closes its client's connection: empties the slot it
// took, so the client's next connection, which may come before the main process hears that
// this session is over, finds the slot free. Does nothing when no slot was taken.
void websrv_share_leave();

// In the main process, once a slot's session is over (or its process gone): empties the slot.
void websrv_share_release(int slot);

#endif
