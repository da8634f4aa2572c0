// fd_guard: closes a file descriptor when it goes out of scope; pipe_ends: a pipe's two.
#ifndef WEBSRV_SUPPORT_FD_GUARD_H
#define WEBSRV_SUPPORT_FD_GUARD_H

#include <fcntl.h>
#include <unistd.h>

class fd_guard {
public:
    // Takes ownership of fd; a negative fd (a failed open) is allowed and never closed.
    explicit fd_guard(int fd = -1) : fd_(fd) {}
    ~fd_guard() { reset(); }
    fd_guard(const fd_guard &) = delete;
    fd_guard &operator=(const fd_guard &) = delete;
    int get() const { return fd_; }
    // Closes the descriptor held (if any) and takes ownership of `fd` instead.
    void reset(int fd = -1)
    {
        if (fd_ >= 0)
            close(fd_);
        fd_ = fd;
    }
    // Gives the descriptor up without closing it.
    int release()
    {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_;
};

// A pipe whose two ends (read, write) close themselves; both are close-on-exec.
struct pipe_ends {
    fd_guard read;
    fd_guard write;
    // Makes the pipe. False (errno set) when it cannot be made.
    bool open()
    {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0)
            return false;
        read.reset(fds[0]);
        write.reset(fds[1]);
        return true;
    }
};

#endif
