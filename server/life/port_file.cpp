// The port file: locked appends at start-up and the locked rewrite at stop.
#include "life/port_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "log.h"
#include "fd_guard.h"
#include "websrv_plugin.h"

namespace {

// The ports this instance appended, in the order it wrote them.
int *own_ports = nullptr;
int own_count = 0;
int own_capacity = 0;
int port_fd = -1;  // the descriptor under websrv_mcb.port_file

// Holds an exclusive lock on a descriptor for as long as it lives.
class file_lock {
public:
    explicit file_lock(int fd) : fd_(fd)
    {
        while (flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
    ~file_lock() { flock(fd_, LOCK_UN); }
    file_lock(const file_lock &) = delete;
    file_lock &operator=(const file_lock &) = delete;

private:
    int fd_;
};

// A websrv_malloc'ed block, released when it goes out of scope.
class heap_block {
public:
    heap_block() = default;
    ~heap_block() { websrv_free(data_); }
    heap_block(const heap_block &) = delete;
    heap_block &operator=(const heap_block &) = delete;
    // Grows the block to `size` bytes, keeping its contents. Returns false when out of memory.
    bool resize(size_t size)
    {
        void *grown = websrv_realloc(data_, size);
        if (grown == nullptr)
            return false;
        data_ = static_cast<char *>(grown);
        return true;
    }
    char *data() const { return data_; }

private:
    char *data_ = nullptr;
};

bool remember_port(int port)
{
    if (own_count == own_capacity) {
        const int capacity = own_capacity == 0 ? 8 : own_capacity * 2;
        void *grown = websrv_realloc(own_ports, sizeof(int) * static_cast<size_t>(capacity));
        if (grown == nullptr)
            return false;
        own_ports = static_cast<int *>(grown);
        own_capacity = capacity;
    }
    own_ports[own_count++] = port;
    return true;
}

// Reads the whole file behind fd into `block`. Returns the byte count, or -1 (errno set).
ssize_t read_all(int fd, heap_block &block)
{
    size_t capacity = 256;
    size_t length = 0;
    if (!block.resize(capacity)) {
        errno = ENOMEM;
        return -1;
    }
    for (;;) {
        if (length == capacity) {
            capacity *= 2;
            if (!block.resize(capacity)) {
                errno = ENOMEM;
                return -1;
            }
        }
        const ssize_t got = pread(fd, block.data() + length, capacity - length,
                                  static_cast<off_t>(length));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return -1;
        if (got == 0)
            return static_cast<ssize_t>(length);
        length += static_cast<size_t>(got);
    }
}

bool write_all(int fd, const char *data, size_t length)
{
    size_t done = 0;
    while (done < length) {
        const ssize_t put = pwrite(fd, data + done, length - done, static_cast<off_t>(done));
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false;
        done += static_cast<size_t>(put);
    }
    return true;
}

// Whether the port file's path still names the file opened at start (the one descriptor `fd`
// refers to). A file removed, or replaced by another file, a directory or a link, is not ours
// to edit: the stop leaves it alone and says why.
bool still_named_by(int fd, const char *path)
{
    struct stat named;
    struct stat opened;
    int error = 0;
    // What the path names itself, a link not followed (as lstat tells it): opened for its
    // attributes only.
    const fd_guard name(open(path, O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (name.get() < 0 || fstat(name.get(), &named) != 0)
        error = errno;
    else if (S_ISDIR(named.st_mode))
        error = EISDIR;
    else if (S_ISLNK(named.st_mode))
        error = ELOOP;
    else if (fstat(fd, &opened) != 0 || opened.st_dev != named.st_dev || opened.st_ino != named.st_ino)
        error = ESTALE;
    if (error != 0)
        websrv_error("Unable to rewrite %s Error: %s\n", path, strerror(error));
    return error == 0;
}

// Removes this instance's own lines through the descriptor opened at start, in place, under
// the lock.
void rewrite_without_own(int fd)
{
    const char *path = websrv_port_file_path();
    if (!still_named_by(fd, path))
        return;
    // Appending was for the start; the rewrite writes at offsets.
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_APPEND);
    file_lock lock(fd);
    heap_block content;
    const ssize_t length = read_all(fd, content);
    if (length < 0) {
        websrv_error_errno("Unable to rewrite %s Error: %s\n", path);
        return;
    }
    const size_t kept = websrv_port_lines_remove(content.data(), static_cast<size_t>(length),
                                                 own_ports, own_count);
    if (kept == static_cast<size_t>(length))
        return;  // none of our lines is there any more: nothing to write
    // The kept lines are a subsequence of the old ones, so writing them over the start of
    // the file and cutting it after them never needs more room than the file had.
    if (!write_all(fd, content.data(), kept) || ftruncate(fd, static_cast<off_t>(kept)) != 0)
        websrv_error_errno("Unable to rewrite %s Error: %s\n", path);
}

// Whether the line text[start..end) reads exactly `port` in decimal.

bool line_is_port(const char *text, size_t start, size_t end, int port)
{
    char digits[16];
    const int n = snprintf(digits, sizeof digits, "%d", port);
    return n > 0 && end - start == static_cast<size_t>(n) && strncmp(text + start, digits, end - start) == 0;
}

}  // namespace

size_t websrv_port_lines_remove(char *text, size_t length, const int *own, int own_total)
{
    for (int i = 0; i < own_total; ++i) {
        // Search from the last line backwards: a stale line with the same port, left by an
        // instance that was killed, lies before ours, so the last match is the one we wrote.
        size_t end = length;
        while (end > 0) {
            const size_t line_end = text[end - 1] == '\n' ? end - 1 : end;
            size_t start = line_end;
            while (start > 0 && text[start - 1] != '\n')
                --start;
            if (line_is_port(text, start, line_end, own[i])) {
                memmove(text + start, text + end, length - end);
                length -= end - start;
                break;
            }
            end = start;
        }
    }
    return length;
}

int websrv_port_file_open()
{
    const char *path = websrv_port_file_path();
    // Opened as "a+" would open it, except that a symbolic link is refused: a server running
    // as root would otherwise append to, and at its stop edit, whatever file the link names.
    // Close-on-exec: CGI programs have no business with the port file.
    const int fd = open(path, O_RDWR | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0 && errno == ELOOP) {
        websrv_error("The port file %s is a symbolic link; refusing it\n", path);
        return -1;
    }
    port_fd = fd;
    websrv_mcb.port_file = fd >= 0 ? fdopen(fd, "a+") : nullptr;
    port_fd = fd;
    if (websrv_mcb.port_file == nullptr) {
        websrv_log_errno("Unable to open %s Error: %s\n", path);
        if (fd >= 0)
            close(fd);
        return -1;
    }
    return 0;
}

int websrv_port_file_append(int port)
{
    // The line goes straight to the file (opened for appending), in one write: the stream's
    // buffer stays empty, so nothing of it can be written twice or late.
    const int fd = port_fd;
    if (!remember_port(port)) {
        websrv_log(WEBSRV_LOG_ERROR, "WebSrv Memory Allocation Failure\n");
        return -1;
    }
    file_lock lock(fd);
    // A line another program left without its "\n" would swallow ours: end it first.
    struct stat st;
    char last = '\n';
    const bool unended = fstat(fd, &st) == 0 && st.st_size > 0 && pread(fd, &last, 1, st.st_size - 1) == 1 &&
                         last != '\n';
    char line[16];
    const int length = snprintf(line, sizeof line, "%s%d\n", unended ? "\n" : "", port);
    const ssize_t put = write(fd, line, static_cast<size_t>(length));
    if (put != length) {
        const int error = put < 0 ? errno : EIO;
        --own_count;  // the line did not make it into the file
        websrv_error("Unable to write port %d to %s Error: %s\n", port,
                websrv_port_file_path(), strerror(error));
        return -1;
    }
    return 0;
}

void websrv_port_file_remove_own()
{
    FILE *file = websrv_mcb.port_file;
    if (file == nullptr)
        return;
    websrv_mcb.port_file = nullptr;
    if (own_count > 0)
        rewrite_without_own(port_fd);
    fclose(file);
}
