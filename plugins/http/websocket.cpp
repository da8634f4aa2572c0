// "-websocket PREFIX PROGRAM": a WebSocket upgrade under PREFIX is answered 101, and PROGRAM runs
// with the CGI environment of that request for as long as the connection lasts. Each text
// message of the client reaches the program's standard input as one line; each line the program
// writes goes to the client as one text message. The connection's process relays between the
// two (frames in ws_frame.cpp). Everything that touches the server's side goes through its
// services table: the request's header lines, the answers (101 and refusals), the program's
// start and end (as a CGI program's, with the same environment), the client's bytes (through
// the hooks that carry the connection, so wss:// works on https.so's TLS port) and the waits.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <strings.h>
#include <time.h>
#include <unistd.h>

#include "sha1.h"
#include "stock.h"
#include "websrv_answer.h"
#include "ws_frame.h"

namespace {

constexpr int max_routes = 8;
constexpr char accept_guid[] = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
constexpr size_t key_length = 24;  // 16 bytes in base64
constexpr size_t accept_length = 28;  // 20 bytes in base64
constexpr int ping_after_ms = 20 * 1000;  // client silence before the server pings
constexpr int stall_ms = 30 * 1000;       // a send that moves nothing this long ends the connection
constexpr int close_wait_ms = 2000;       // for the client's close after the server's
constexpr size_t client_buffer_size = 16 * 1024;

struct ws_route {
    char prefix[stock_path_size];  // without its leading "/" (nor a trailing one)
    char program[stock_path_size];  // absolute
};

ws_route routes[max_routes];
int route_count = 0;

int set_websocket(char **values)
{
    const char *prefix = values[0];
    size_t length = strlen(prefix);
    while (length > 1 && prefix[length - 1] == '/')
        --length;
    if (route_count == max_routes || prefix[0] != '/' || length >= stock_path_size || strchr(prefix, '?') != nullptr) {
        log_msg(WEBSRV_LOG_ERROR, "%s: -websocket needs a path that starts with \"/\" (at most %d of them), not \"%s\"\n",
                stock_name, max_routes, prefix);
        return -1;
    }
    ws_route &route = routes[route_count];
    if (!option_path(values[-1], values[1], route.program))
        return -1;
    if (access(route.program, X_OK) != 0) {
        log_msg(WEBSRV_LOG_ERROR, "%s: -websocket %s: %s is no program: %s\n", stock_name, prefix, values[1],
                strerror(errno));
        return -1;
    }
    snprintf(route.prefix, sizeof route.prefix, "%.*s", static_cast<int>(length - 1), prefix + 1);
    ++route_count;
    return 0;
}

constexpr stock_option options[] = {
    {"-websocket", 2, "prefix program", false, set_websocket},
};

// The route whose prefix the path lies under (whole components), or nullptr.
const ws_route *route_for(const char *uri)
{
    for (int i = 0; i < route_count; ++i) {
        const size_t length = strlen(routes[i].prefix);
        if (length == 0 || (strncmp(uri, routes[i].prefix, length) == 0 && (uri[length] == '\0' || uri[length] == '/')))
            return &routes[i];
    }
    return nullptr;
}

// ---- the handshake ------------------------------------------------------------------------

// Whether the comma-separated list `value` holds `token` (ignoring case).
bool has_token(const char *value, const char *token)
{
    const size_t length = strlen(token);
    for (const char *at = value; at != nullptr; at = strchr(at, ',')) {
        at += strspn(at, ", \t");
        if (strncasecmp(at, token, length) == 0 && strchr(", \t", at[length]) != nullptr)
            return true;
    }
    return false;
}

// Whether the key is 16 bytes in base64, as the client must send them.
bool key_valid(const char *key)
{
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    return key != nullptr && strlen(key) == key_length && strspn(key, alphabet) == key_length - 2 &&
           strcmp(key + key_length - 2, "==") == 0;
}

// Whether a browser's Origin names the host it asks (a page of this device), or there is none:
// otherwise any site the user visits could open the device's programs with the user's password.
// Host and port are compared whole; with "-host" that host must also be one of the device's,
// or a site whose name an attacker points at the device (DNS rebinding) would pass.
bool same_origin(const websrv_session *session)
{
    const char *origin = websrv_answer_field(session, "Origin");
    return origin == nullptr || (websrv_answer_names_host(origin, session->host) && host_is_ours(session->host));
}

// The status that refuses the request, or 0 when it is a WebSocket upgrade the server takes.
int upgrade_fault(const websrv_session *session)
{
    const char *upgrade = websrv_answer_field(session, "Upgrade");
    const char *connection = websrv_answer_field(session, "Connection");
    const char *version = websrv_answer_field(session, "Sec-WebSocket-Version");
    if (upgrade == nullptr || !has_token(upgrade, "websocket"))
        return 400;
    if (version == nullptr || strcmp(version, "13") != 0)
        return 426;
    if (strcmp(session->method, "GET") != 0 || strcmp(session->protocol, "HTTP/1.1") != 0 || connection == nullptr ||
        !has_token(connection, "upgrade") || !key_valid(websrv_answer_field(session, "Sec-WebSocket-Key")) ||
        session->host == nullptr || (session->content_length != nullptr && strcmp(session->content_length, "0") != 0))
        return 400;
    return same_origin(session) ? 0 : 403;
}

int refuse(websrv_session *session, int status)
{
    static const char text[] = "This path takes WebSocket connections only.\n";
    const char *extra = status == 426 ? "Upgrade: websocket\r\nSec-WebSocket-Version: 13\r\n" : nullptr;
    return websrv_answer_send(session, status, "text/plain", extra, text, sizeof text - 1);
}

// Sec-WebSocket-Accept for `key`: the base64 of SHA-1 over the key and the protocol's GUID.
void accept_value(const char *key, char (&out)[accept_length + 1])
{
    static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    uint8_t text[key_length + sizeof accept_guid];
    memcpy(text, key, key_length);
    memcpy(text + key_length, accept_guid, sizeof accept_guid - 1);
    uint8_t digest[sha1_size];
    sha1({text, key_length + sizeof accept_guid - 1}, digest);
    size_t at = 0;
    for (size_t i = 0; i < sha1_size; i += 3) {
        const uint32_t group = static_cast<uint32_t>(digest[i]) << 16 | digest[i + 1] << 8 | (i + 2 < sha1_size ? digest[i + 2] : 0);
        for (int k = 0; k < 4; ++k)
            out[at++] = digits[(group >> (18 - 6 * k)) & 63];
    }
    out[accept_length - 1] = '=';  // 20 bytes: the last group has two, one pad
    out[accept_length] = '\0';
}

void send_switch(websrv_session *session)
{
    char accept[accept_length + 1];
    accept_value(websrv_answer_field(session, "Sec-WebSocket-Key"), accept);
    char lines[128];
    snprintf(lines, sizeof lines, "Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Accept: %s\r\n", accept);
    websrv_answer_send(session, 101, nullptr, lines, nullptr, 0);
}

// ---- the program ----------------------------------------------------------------------------

// The program of a connection, started by the server as it starts CGI programs (its environment,
// directory, process group, priority, signals), with its input and output as pipes.
struct program {
    pid_t pid = -1;
    int input = -1;   // its standard input: the lines of the client's messages
    int output = -1;  // its standard output: the lines that become messages
};

long long now_ms()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

// Ends the program with what it started (SIGTERM, then SIGKILL); with `leave`, a program that
// ended its output may work on. Either way the server reaps it once it ends.
void end_program(program &p, bool leave)
{
    if (p.input >= 0)
        close(p.input);
    if (p.output >= 0)
        close(p.output);
    p.input = p.output = -1;
    if (p.pid > 0)
        websrv_answer_services->program_end(p.pid, leave ? 1 : 0);
    p.pid = -1;
}

// ---- the relay ------------------------------------------------------------------------------

// The relay's buffers, in the plug-in's zeroed memory: only what a connection uses is touched.
ws_reader reader;
uint8_t client_bytes[client_buffer_size];
uint8_t inbound[ws_message_max + 1];  // a message and its line feed, on its way to the program
uint8_t outbound[ws_message_max + 1];  // the program's output, up to a line and its line feed
uint8_t frame[ws_head_max + 3 * ws_message_max];  // a frame to the client (U+FFFD takes 3 bytes)
uint8_t *const payload = frame + ws_head_max;

constexpr char replacement[] = "\xEF\xBF\xBD";  // U+FFFD, for bytes of a line that are no UTF-8

// Where a full buffer of output may be cut without splitting a character: before a sequence
// that has begun at its end and not ended.
size_t character_boundary(const uint8_t *text, size_t length)
{
    for (size_t back = 1; back <= 3 && back <= length; ++back) {
        const uint8_t byte = text[length - back];
        if ((byte & 0xC0) == 0xC0)
            return (byte >= 0xF0 ? 4u : byte >= 0xE0 ? 3u : 2u) > back ? length - back : length;
        if ((byte & 0xC0) != 0x80)
            break;
    }
    return length;
}

// One WebSocket connection, from the 101 to its end: frames of the client to lines of the
// program and lines of the program to messages, pings on silence, and the close.
class relay {
public:
    relay(websrv_session *session, program &p);
    void run();

private:
    // Notes how the connection ends: the close code to send (0: none; ws_no_status: a close
    // without one), whether to wait for the client's close, whether to end the program. False.
    bool stop(uint16_t code, bool await, bool end = true)
    {
        end_code_ = code;
        await_ = await;
        end_program_ = end;
        return false;
    }
    bool send(uint8_t opcode, size_t length);
    bool send_control(uint8_t opcode, std::span<const uint8_t> data);
    bool send_line(std::span<const uint8_t> line);
    bool pass_lines(bool ended);
    bool read_program();
    int read_client();
    bool digest_client();
    bool on_event(const ws_event &event);
    bool feed_program();
    bool timers();
    int next_wait_ms() const;
    void await_close();
    void finish();

    websrv_session *session_;
    const websrv_services &server_;
    program &program_;
    uint16_t end_code_ = 0;
    bool await_ = false;
    bool end_program_ = true;
    long long heard_at_ = 0;     // when the client's last bytes came
    long long ping_at_ = 0;      // when the ping that waits for an answer went out
    bool pinged_ = false;
    long long progress_at_ = 0;  // when the program last took input
    size_t client_have_ = 0;
    size_t client_used_ = 0;
    size_t inbound_length_ = 0;
    size_t inbound_sent_ = 0;
    size_t outbound_length_ = 0;
};

relay::relay(websrv_session *session, program &p)
    : session_(session), server_(*websrv_answer_services), program_(p)
{
    reader.reset();
    // Frames the client sent right behind its request are in the request's buffer.
    const char *behind = session->cursor;
    const size_t count = static_cast<size_t>(session->buffer + session->received - behind);
    client_have_ = count < sizeof client_bytes ? count : sizeof client_bytes;
    memcpy(client_bytes, behind, client_have_);
}

// Sends a frame whose payload lies at `payload`. False when the client takes nothing for 30 s
// or is gone.
bool relay::send(uint8_t opcode, size_t length)
{
    uint8_t head[ws_head_max];
    const size_t size = ws_frame_head(head, opcode, length);
    uint8_t *start = payload - size;
    memcpy(start, head, size);
    return server_.send(session_, start, size + length) == 0;
}

bool relay::send_control(uint8_t opcode, std::span<const uint8_t> data)
{
    if (!data.empty())
        memcpy(payload, data.data(), data.size());
    return send(opcode, data.size());
}

// A line of the program's output as a text message; bytes that are no UTF-8 become U+FFFD.
bool relay::send_line(std::span<const uint8_t> line)
{
    size_t length = 0;
    while (!line.empty()) {
        const size_t sequence = ws_utf8_sequence(line);
        const size_t taken = sequence != 0 ? sequence : 1;
        memcpy(payload + length, sequence != 0 ? line.data() : reinterpret_cast<const uint8_t *>(replacement),
               sequence != 0 ? sequence : sizeof replacement - 1);
        length += sequence != 0 ? sequence : sizeof replacement - 1;
        line = line.subspan(taken);
    }
    return send(ws_text, length);
}

// Sends each whole line of output (without its line feed, or CR LF); a line that fills the
// buffer goes as it is, and at the program's end what is left.
bool relay::pass_lines(bool ended)
{
    size_t start = 0;
    while (const void *feed = memchr(outbound + start, '\n', outbound_length_ - start)) {
        const size_t next = static_cast<size_t>(static_cast<const uint8_t *>(feed) - outbound) + 1;
        const size_t end = next - 1 - (next - 1 > start && outbound[next - 2] == '\r');
        if (!send_line({outbound + start, end - start}))
            return stop(0, false);
        start = next;
    }
    size_t rest = outbound_length_ - start;
    memmove(outbound, outbound + start, rest);
    while (rest == sizeof outbound || (ended && rest > 0)) {
        // A line longer than a message may be goes out in messages of at most that length.
        const size_t most = rest < ws_message_max ? rest : ws_message_max;
        const size_t cut = ended && rest == most ? rest : character_boundary(outbound, most);
        if (!send_line({outbound, cut}))
            return stop(0, false);
        memmove(outbound, outbound + cut, rest - cut);
        rest -= cut;
    }
    outbound_length_ = rest;
    return true;
}

// The program's output: lines to pass on, or its end, which closes the connection (1000).
bool relay::read_program()
{
    const ssize_t got = read(program_.output, outbound + outbound_length_, sizeof outbound - outbound_length_);
    if (got < 0 && (errno == EAGAIN || errno == EINTR))
        return true;
    if (got <= 0)
        return pass_lines(true) && stop(ws_normal, true, false);
    outbound_length_ += static_cast<size_t>(got);
    return pass_lines(false);
}

// Reads the client's next bytes (once the last ones are used up): above 0 when some came, 0
// when none yet, below 0 when the client is gone.
int relay::read_client()
{
    const long got = server_.receive(session_, client_bytes, sizeof client_bytes);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return 0;
    if (got <= 0)
        return -1;
    client_have_ = static_cast<size_t>(got);
    client_used_ = 0;
    heard_at_ = now_ms();
    pinged_ = false;
    return got;
}

// Acts on the frames in the client's bytes, while the program has taken the last message.
bool relay::digest_client()
{
    while (inbound_length_ == 0 && client_used_ < client_have_) {
        std::span<const uint8_t> rest(client_bytes + client_used_, client_have_ - client_used_);
        const ws_event event = reader.take(rest);
        client_used_ = client_have_ - rest.size();
        if (event.kind != ws_kind::none && !on_event(event))
            return false;
    }
    return true;
}

bool relay::on_event(const ws_event &event)
{
    switch (event.kind) {
    case ws_kind::text:
        // A line feed would make two lines of one message.
        if (!event.data.empty() && memchr(event.data.data(), '\n', event.data.size()) != nullptr)
            return stop(ws_unsupported, true);
        if (program_.input < 0)
            return true;  // the program closed its input: nobody reads the message
        if (!event.data.empty())
            memcpy(inbound, event.data.data(), event.data.size());
        inbound[event.data.size()] = '\n';
        inbound_length_ = event.data.size() + 1;
        inbound_sent_ = 0;
        progress_at_ = now_ms();
        return true;
    case ws_kind::binary:
        return stop(ws_unsupported, true);  // lines of text only
    case ws_kind::ping:
        return send_control(ws_pong, event.data) || stop(0, false);
    case ws_kind::close:
        return stop(event.code, false);  // answered with the same code
    case ws_kind::fail:
        return stop(event.code, false);
    default:
        return true;
    }
}

// Passes what it can of the waiting message into the program's input.
bool relay::feed_program()
{
    if (inbound_length_ == 0)
        return true;
    const ssize_t put = write(program_.input, inbound + inbound_sent_, inbound_length_ - inbound_sent_);
    if (put > 0) {
        inbound_sent_ += static_cast<size_t>(put);
        progress_at_ = now_ms();
    } else if (errno != EAGAIN && errno != EINTR) {
        close(program_.input);  // the program closed its input: messages go nowhere from here on
        program_.input = -1;
        inbound_sent_ = inbound_length_;
    }
    if (inbound_sent_ == inbound_length_)
        inbound_length_ = inbound_sent_ = 0;
    return true;
}

// A program that takes no input for 30 s while a message waits ends the connection (1011); a
// client silent for 20 s gets a ping, and one that does not answer it in 20 s is gone.
bool relay::timers()
{
    const long long now = now_ms();
    if (inbound_length_ > 0)
        return now - progress_at_ < stall_ms || stop(ws_internal_error, true);
    if (pinged_)
        return now - ping_at_ < ping_after_ms || stop(0, false);
    if (now - heard_at_ < ping_after_ms)
        return true;
    pinged_ = true;
    ping_at_ = now;
    return send_control(ws_ping, {}) || stop(0, false);
}

int relay::next_wait_ms() const
{
    const long long due = inbound_length_ > 0 ? progress_at_ + stall_ms : (pinged_ ? ping_at_ : heard_at_) + ping_after_ms;
    const long long left = due - now_ms();
    return left > 0 ? static_cast<int>(left) : 0;
}

void relay::run()
{
    heard_at_ = now_ms();
    while (digest_client() && feed_program() && timers()) {
        const bool reading = inbound_length_ == 0 && client_used_ == client_have_;
        pollfd watched[3] = {{reading ? session_->socket : -1, POLLIN, 0},
                             {program_.output, POLLIN, 0},
                             {inbound_length_ > 0 ? program_.input : -1, POLLOUT, 0}};
        if (server_.wait(watched, 3, next_wait_ms()) < 0 && errno != EINTR)
            break;
        if (watched[0].revents != 0 && read_client() < 0) {
            stop(0, false);  // gone without a close
            break;
        }
        if (watched[1].revents != 0 && !read_program())
            break;
    }
    finish();
}

// After the server's close: the client's answer, read for a moment (what else comes is dropped).
void relay::await_close()
{
    const long long deadline = now_ms() + close_wait_ms;
    for (;;) {
        while (client_used_ < client_have_) {
            std::span<const uint8_t> rest(client_bytes + client_used_, client_have_ - client_used_);
            const ws_kind kind = reader.take(rest).kind;
            client_used_ = client_have_ - rest.size();
            if (kind == ws_kind::close || kind == ws_kind::fail)
                return;
        }
        pollfd watched = {session_->socket, POLLIN, 0};
        const long long left = deadline - now_ms();
        if (left <= 0 || server_.wait(&watched, 1, static_cast<int>(left)) <= 0 || read_client() < 0)
            return;
    }
}

void relay::finish()
{
    if (end_code_ != 0) {
        const size_t length = end_code_ != ws_no_status ? 2 : 0;
        payload[0] = static_cast<uint8_t>(end_code_ >> 8);
        payload[1] = static_cast<uint8_t>(end_code_);
        if (send(ws_close, length) && await_)
            await_close();
    }
    end_program(program_, !end_program_);
}

}  // namespace

std::span<const stock_option> websocket_options()
{
    return options;
}

int websocket_route(websrv_session *session)
{
    const ws_route *route = route_for(session->uri);
    if (route == nullptr)
        return 1;
    if (const int status = upgrade_fault(session); status != 0)
        return refuse(session, status);
    if (websrv_answer_services == nullptr)
        return websrv_answer_send(session, 500, "text/plain", nullptr, "The program cannot start.\n", 26);
    program p;
    char script[stock_path_size + 1];
    snprintf(script, sizeof script, "/%s", route->prefix);
    p.pid = websrv_answer_services->program_start(session, route->program, script, &p.input, &p.output);
    if (p.pid < 0)
        return websrv_answer_send(session, 500, "text/plain", nullptr, "The program cannot start.\n", 26);
    send_switch(session);
    log_msg(WEBSRV_LOG_DETAIL, "%s: WebSocket /%s to %s\n", stock_name, session->uri, route->program);
    relay connection(session, p);
    connection.run();
    return 0;
}
