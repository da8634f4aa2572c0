// fd_guard: closes a file descriptor when it goes out of scope.
#ifndef WEBSRV_SUPPORT_FD_GUARD_H
#define WEBSRV_SUPPORT_FD_GUARD_H

#include <unistd.h>

class fd_guard {
public:
    // Takes ownership of fd; a negative fd (a failed open) is allowed and never closed.
    explicit fd_guard(int fd) : fd_(fd) {}
    ~fd_guard()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    fd_guard(const fd_guard &) = delete;
    fd_guard &operator=(const fd_guard &) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

#endif
