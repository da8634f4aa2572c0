// Reading an answer the server did not compose as it goes out.
#include "respond/foreign.h"

#include <cstring>

#include "decimal.h"
#include "parse/cgi_output.h"

namespace {

// The head of the answer kept for reading its lines: the status line and the header lines the
// server looks at come first in any answer it could keep a connection for.
constexpr size_t head_size = 2048;

struct foreign_state {
    int socket = -1;
    websrv_foreign_answer answer{0, false, false, false, -1, 0};
    bool line_feed = false;  // the last byte was a line feed (or a CR behind one)
    size_t kept = 0;
};

foreign_state state;
char head[head_size];

// The status of a status line "VERSION NNN ..." at the start of `data`, or 0.
int status_of(const char *data, size_t length)
{
    const char *space = static_cast<const char *>(memchr(data, ' ', length));
    long long status = 0;
    if (space == nullptr ||
        websrv_read_decimal({space + 1, static_cast<size_t>(data + length - space - 1)}, 1000, &status) != 3)
        return 0;
    return static_cast<int>(status);
}

// Reads the kept header lines once the header block has ended: its length and its wish to
// keep the connection (the status line, first, is no header line and is passed over).
void read_head()
{
    const cgi_header header = websrv_cgi_scan_header(head, state.kept);
    state.answer.length = header.content_length;
    state.answer.keep_alive = header.says_keep_alive;
}

}  // namespace

void websrv_foreign_begin(int socket)
{
    state.socket = socket;
    state.answer = {0, false, false, false, -1, 0};
    state.line_feed = false;
    state.kept = 0;
}

void websrv_foreign_sent(int fd, const char *data, size_t length, bool failed)
{
    websrv_foreign_answer &answer = state.answer;
    if (fd != state.socket)
        return;
    answer.failed = answer.failed || failed;
    if (answer.status == 0 && state.kept == 0)
        answer.status = status_of(data, length);
    // The header block ends at an empty line: a line feed, perhaps a CR, a line feed.
    size_t i = 0;
    for (; !answer.header_done && i < length; ++i) {
        if (data[i] == '\n')
            answer.header_done = state.line_feed;
        if (data[i] != '\r')
            state.line_feed = data[i] == '\n';
        if (state.kept < head_size)
            head[state.kept++] = data[i];
        if (answer.header_done)
            read_head();
    }
    answer.body += static_cast<long long>(length - i);
}

const websrv_foreign_answer &websrv_foreign()
{
    return state.answer;
}
