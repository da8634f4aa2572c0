// The request body's way into a CGI program's input: a pump that never blocks, turned by a copy
// process of its own beside the connection's process, or, on a connection that lasts, by the
// connection's process while it waits for the program's output (one process, one reader of
// the connection).
#include "cgi/cgi_input.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <unistd.h>

#include "clock.h"
#include "log.h"
#include "keep.h"
#include "read/io.h"
#include "wait.h"

websrv_body_pump::websrv_body_pump(websrv_connection *c, int pipe_write)
    : c_(c), pipe_(pipe_write), deadline_(websrv_deadline())
{
    const websrv_session &s = c->session;
    // Bytes behind the body (the next request on a kept connection) are not the program's.
    const long long arrived = s.received - s.header_length;
    held_ = static_cast<size_t>(arrived < c->body_length ? arrived : c->body_length);
    from_ = s.cursor;
    over_ = held_ == 0 && c->body_left == 0;
}

void websrv_body_pump::finish()
{
    over_ = true;
    if (pipe_ >= 0)
        close(pipe_);
    pipe_ = -1;
}

// A failed copy: the program sees the end of its input, the connection cannot go on.
void websrv_body_pump::fail()
{
    websrv_keep_lost(c_);
    finish();
}

bool websrv_body_pump::put()
{
    const ssize_t put = write(pipe_, from_, held_);
    if (put > 0) {
        from_ += put;
        held_ -= static_cast<size_t>(put);
        return true;
    }
    if (put < 0 && !websrv_try_again()) {
        websrv_error("Write to PIPE failed errno:%d\n", errno);
        fail();  // the program reads no more
        return true;
    }
    return false;
}

bool websrv_body_pump::take(bool readable)
{
    const websrv_plugin_desc *desc = websrv_connection_desc(c_);
    if (!readable && !websrv_read_pending(c_->session.socket, desc))
        return false;
    const size_t want = c_->body_left < static_cast<long long>(sizeof buffer_) ? static_cast<size_t>(c_->body_left)
                                                                               : sizeof buffer_;
    const int got = websrv_read_now(c_->session.socket, buffer_, want, desc);
    if (got > 0) {
        c_->body_left -= got;
        from_ = buffer_;
        held_ = static_cast<size_t>(got);
        return true;
    }
    if (got < 0 && websrv_try_again())
        return false;
    if (got < 0)
        websrv_error_errno("In redirect input Error:%s\n");
    fail();  // the client went away or broke off
    return true;
}

bool websrv_body_pump::step(bool readable)
{
    if (over_)
        return false;
    bool moved = held_ > 0 && put();
    if (!over_ && held_ == 0 && c_->body_left > 0)
        moved = take(readable) || moved;
    if (!over_ && held_ == 0 && c_->body_left == 0)
        finish();  // the whole body is in: the program sees the end of its input
    if (moved)
        deadline_ = websrv_deadline();
    return moved;
}

void websrv_body_pump::expire()
{
    if (over_ || websrv_now_ms() < deadline_)
        return;
    // Nothing moved for the wait: the program took nothing, or the client sent nothing.
    if (held_ > 0) {
        websrv_error("Timeout \n");
        websrv_error("Write to PIPE failed errno:%d\n", ETIMEDOUT);
    } else {
        websrv_error("Read Timeout.\n");
        websrv_error("In redirect input Error:%s\n", strerror(ETIMEDOUT));
    }
    fail();
}

void websrv_body_pump::wait_on(pollfd *socket, pollfd *pipe) const
{
    *socket = {c_->session.socket, static_cast<short>(!over_ && held_ == 0 && c_->body_left > 0 ? POLLIN : 0), 0};
    // The program's input is watched even when nothing is to be written: its end (the program
    // is gone) ends the copy.
    *pipe = {pipe_, static_cast<short>(!over_ && held_ > 0 ? POLLOUT : 0), 0};
}

void websrv_body_pump::heard(const pollfd &socket, const pollfd &pipe)
{
    if (!over_ && held_ == 0 && (pipe.revents & (POLLERR | POLLHUP)) != 0) {
        fail();  // the program closed its input: what the client still sends goes nowhere
        return;
    }
    step((socket.revents & (POLLIN | POLLHUP | POLLERR)) != 0);
}

int websrv_body_pump::left_ms() const
{
    const long long left = deadline_ - websrv_now_ms();
    return left > 0 ? static_cast<int>(left) : 0;
}

void websrv_cgi_copy_input(websrv_connection *c, int pipe_write)
{
    websrv_log(WEBSRV_LOG_DETAIL, "Starting the Input Redirector PID:%d\n", static_cast<int>(getpid()));
    // Without a Content-Length line, what came with the header is all the body there is.
    if (c->session.content_length == nullptr)
        c->body_length = c->session.received - c->session.header_length;
    websrv_body_pump pump(c, pipe_write);
    pump.step(false);
    while (!pump.over()) {
        pollfd watched[2];
        pump.wait_on(&watched[0], &watched[1]);
        if (poll(watched, 2, pump.left_ms()) > 0)
            pump.heard(watched[0], watched[1]);
        pump.expire();
    }
}
