// The request body's way into a CGI program's input.
#ifndef WEBSRV_SERVER_CGI_INPUT_H
#define WEBSRV_SERVER_CGI_INPUT_H

#include <cstddef>
#include <poll.h>

#include "connection.h"

#pragma GCC visibility push(hidden)

// In the input copy process: copies the request body from the client into the program's input
// pipe `pipe_write`: the bytes that came with the header, then what the body's length still
// lacks. Returns when the body is copied or the copy failed (logged).
void websrv_cgi_copy_input(websrv_connection *c, int pipe_write);

// The same copy inside the connection's own process, turned while it waits for the program's
// output: it never blocks, so neither side can hold the other up. It owns `pipe_write` (made
// non-blocking by the caller) and closes it once the body is in, the client went away or the
// program stopped reading. What of the body it did not read stays in c->body_left.
class websrv_body_pump {
public:
    websrv_body_pump(websrv_connection *c, int pipe_write);
    ~websrv_body_pump() { finish(); }
    websrv_body_pump(const websrv_body_pump &) = delete;
    websrv_body_pump &operator=(const websrv_body_pump &) = delete;

    // Moves what can move without waiting: bytes into the program's input, and bytes from the
    // client when its socket is `readable` (or the plug-in holds some). Returns whether any
    // moved. A failed copy is logged, and the program sees the end of its input.
    bool step(bool readable);
    // Whether the copy is over.
    bool over() const { return over_; }
    // What to wait for next: the socket (for more of the body) and the program's input (room
    // for what is held; its end, the program gone, either way).
    void wait_on(pollfd *socket, pollfd *pipe) const;
    // Acts on what the wait found.
    void heard(const pollfd &socket, const pollfd &pipe);
    // The milliseconds left before the copy is given up for want of movement.
    int left_ms() const;
    // Gives the copy up (logged) when nothing has moved for websrv_wait_seconds.
    void expire();
    // Ends the copy: the program's input closes.
    void finish();

private:
    bool put();
    bool take(bool readable);
    void fail();

    websrv_connection *c_;
    int pipe_;
    long long deadline_;
    bool over_ = false;
    const char *from_ = nullptr;  // bytes held for the program
    size_t held_ = 0;
    char buffer_[WEBSRV_BUFFER_SIZE];
};

#pragma GCC visibility pop

#endif
