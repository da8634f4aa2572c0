// fd_guard: closes a file descriptor when it goes out of scope.
#ifndef WEBSRV_SUPPORT_FD_GUARD_H
#define WEBSRV_SUPPORT_FD_GUARD_H

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

#endif
