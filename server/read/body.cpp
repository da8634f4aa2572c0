// A chunked request body, decoded into a temporary file as it arrives.
#include "read/body.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "fd_guard.h"
#include "log.h"
#include "keep.h"
#include "parse/chunked.h"
#include "parse/framing.h"
#include "read/io.h"
#include "respond/response.h"
#include "wait.h"

namespace {

// An unnamed file that goes when its last descriptor is closed: in memory where the kernel
// offers that, else in the temporary directory.
int unnamed_file()
{
    const int fd = memfd_create("websrv-body", MFD_CLOEXEC);
    if (fd >= 0 || errno != ENOSYS)
        return fd;
    return open(P_tmpdir, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
}

// Writes all of data[0..length) to the file. False after logging.
bool put(int fd, const char *data, size_t length)
{
    while (length > 0) {
        const ssize_t wrote = write(fd, data, length);
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0) {
            websrv_error_errno("Unable to keep a request body; Error: %s\n");
            return false;
        }
        data += wrote;
        length -= static_cast<size_t>(wrote);
    }
    return true;
}

// Decodes data[0..length) and adds the body's bytes to the file. Returns 0 to go on, or the
// status that refuses the body.
int take(websrv_chunked_decoder &decoder, int fd, char *data, size_t length, long long *total)
{
    size_t used = 0;
    const size_t body = decoder.decode(data, length, &used);
    *total += static_cast<long long>(body);
    if (decoder.failed())
        return 400;
    if (*total > websrv_chunked_body_limit)
        return 413;
    return put(fd, data, body) ? 0 : 500;
}

}  // namespace

namespace {

// Reads a body of known length (c->body_length, of which what came with the header is in the
// buffer) into buf. Returns its length, or -1 with errno.
long read_sized(websrv_connection *c, char *buf, size_t size)
{
    const websrv_session &s = c->session;
    if (static_cast<unsigned long long>(c->body_length) > size) {
        errno = EFBIG;
        return -1;
    }
    const size_t length = static_cast<size_t>(c->body_length);
    const size_t arrived = static_cast<size_t>(s.received - s.header_length);
    size_t have = arrived < length ? arrived : length;
    memcpy(buf, s.cursor, have);
    if (have < length && websrv_expects_continue(c) && !websrv_send_continue(c))
        return -1;
    while (have < length) {
        const int got = websrv_read_until(s.socket, buf + have, length - have, websrv_connection_desc(c), websrv_deadline());
        if (got <= 0) {
            if (got == 0)
                errno = ECONNRESET;
            return -1;
        }
        have += static_cast<size_t>(got);
    }
    c->body_left = 0;
    return static_cast<long>(length);
}

// Reads a chunked body into buf, decoding it. Returns its length, or -1 with errno.
long read_chunked(websrv_connection *c, char *buf, size_t size)
{
    websrv_session &s = c->session;
    websrv_chunked_decoder decoder;
    size_t have = 0;
    char piece[WEBSRV_BUFFER_SIZE];
    char *data = s.cursor;
    size_t length = static_cast<size_t>(s.received - s.header_length);
    for (bool asked = false;;) {
        size_t used = 0;
        const size_t body = decoder.decode(data, length, &used);
        if (decoder.failed() || have + body > size) {
            errno = decoder.failed() ? EBADMSG : EFBIG;
            return -1;
        }
        memcpy(buf + have, data, body);
        have += body;
        if (decoder.done())
            return static_cast<long>(have);
        if (!asked && websrv_expects_continue(c) && !websrv_send_continue(c))
            return -1;
        asked = true;
        const int got = websrv_read_until(s.socket, piece, sizeof piece, websrv_connection_desc(c), websrv_deadline());
        if (got <= 0) {
            if (got == 0)
                errno = ECONNRESET;
            return -1;
        }
        data = piece;
        length = static_cast<size_t>(got);
    }
}

}  // namespace

long websrv_read_body(websrv_connection *c, void *buf, size_t size)
{
    if (c->body_taken) {
        errno = EALREADY;
        return -1;
    }
    const long got = c->chunked ? read_chunked(c, static_cast<char *>(buf), size)
                                : read_sized(c, static_cast<char *>(buf), size);
    c->body_taken = got >= 0;
    return got;
}

websrv_spooled_body websrv_spool_chunked_body(websrv_connection *c)
{
    fd_guard file(unnamed_file());
    if (file.get() < 0) {
        websrv_error_errno("Unable to keep a request body; Error: %s\n");
        return {-1, 0, 500};
    }
    websrv_session &s = c->session;
    websrv_chunked_decoder decoder;
    long long total = 0;
    int refusal = take(decoder, file.get(), s.cursor, static_cast<size_t>(s.received - s.header_length), &total);
    if (refusal == 0 && !decoder.done() && websrv_expects_continue(c) && !websrv_send_continue(c))
        return {-1, 0, 0};
    char piece[WEBSRV_BUFFER_SIZE];
    while (refusal == 0 && !decoder.done()) {
        const int got = websrv_read_until(s.socket, piece, sizeof piece, websrv_connection_desc(c), websrv_deadline());
        if (got <= 0) {
            websrv_error("%s did not send the whole of its chunked body\n", c->info.peer_text);
            return {-1, 0, 0};
        }
        refusal = take(decoder, file.get(), piece, static_cast<size_t>(got), &total);
    }
    if (refusal != 0) {
        websrv_error("%s sent a chunked body that is %s\n", c->info.peer_text,
                refusal == 413 ? "too long" : refusal == 400 ? "not coded right" : "not kept");
        return {-1, 0, refusal};
    }
    lseek(file.get(), 0, SEEK_SET);
    return {file.release(), total, 0};
}

bool websrv_consume_body(websrv_connection *c)
{
    // A client that waits to be told to go on sends no body: there is none to drop.
    if (c->body_left > websrv_most_dropped || websrv_expects_continue(c))
        return c->body_left == 0;
    const websrv_plugin_desc *desc = websrv_connection_desc(c);
    char scrap[WEBSRV_BUFFER_SIZE];
    while (c->body_left > 0) {
        const size_t want = c->body_left < static_cast<long long>(sizeof scrap) ? static_cast<size_t>(c->body_left)
                                                                                 : sizeof scrap;
        const int got = websrv_read_until(c->session.socket, scrap, want, desc, websrv_deadline());
        if (got <= 0)
            return false;
        c->body_left -= got;
    }
    return true;
}
