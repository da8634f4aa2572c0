// The control socket between the main process and each connection process: one byte a word.
#ifndef WEBSRV_SERVER_CONTROL_H
#define WEBSRV_SERVER_CONTROL_H

#include <sys/socket.h>

#pragma GCC visibility push(hidden)

enum websrv_control_word : char {
    // From a connection process:
    websrv_word_taken = 'a',  // it has taken a connection (the next waiting child may be forked)
    websrv_word_waits = 'w',  // its session only waits while every slot is busy
    websrv_word_done = 'd',   // its session is over, the slot is free
    // From the main process:
    websrv_word_yield = 'y',  // give the slot up to a connection that waits for one
    websrv_word_stop = 's',   // the server stops: keep and take no connection any more
};

// Says `word` on `fd`; unless `wait`, only if the socket has room at once. A peer that is gone
// is no error here: the other side learns it from the end of the stream.
inline void websrv_control_say(int fd, websrv_control_word word, bool wait)
{
    (void)!send(fd, &word, 1, MSG_NOSIGNAL | (wait ? 0 : MSG_DONTWAIT));
}

#pragma GCC visibility pop

#endif
