// The response writer in process, over a socket pair: error pages and header blocks byte for
// byte, the version text of the status line, the write and read primitives and their choice
// of hook, send/recv or write/read, also on descriptors above the select() limit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include "registry.h"
#include "respond/response.h"
#include "read/io.h"
#include "session.h"
#include "control_block.h"
#include "test_support.h"

using websrv_test::StdoutCapture;

using websrv_test::release_control_block;

namespace {

constexpr int kPort = 5555;
constexpr time_t kMtime = 784111777;  // Sun, 06 Nov 1994 08:49:37 GMT

// What the hooks below saw and what they answer.
struct hook_spy {
    int calls = 0;
    int fd = -1;
    std::string bytes;
    int result = 0;  // < 0: fail with errno EIO; > 0: take at most this count
    bool overreport = false;  // report `result` even when given fewer bytes
} spy;

int spy_write(int fd, const void *buf, int len)
{
    ++spy.calls;
    spy.fd = fd;
    spy.bytes.assign(static_cast<const char *>(buf), static_cast<size_t>(len));
    if (spy.result < 0) {
        errno = EIO;
        return -1;
    }
    return spy.overreport ? spy.result : std::min(spy.result, len);
}

int spy_read(int fd, void *buf, size_t len)
{
    ++spy.calls;
    spy.fd = fd;
    const size_t n = std::min(len, spy.bytes.size());
    memcpy(buf, spy.bytes.data(), n);
    return spy.result != 0 ? spy.result : static_cast<int>(n);
}

websrv_plugin_desc descriptor(int (*on_write)(int, const void *, int) = nullptr)
{
    websrv_plugin_desc desc;
    memset(&desc, 0, sizeof desc);
    desc.version_major = WEBSRV_VERSION_MAJOR;
    strcpy(desc.name, "resp");
    desc.port = kPort;
    desc.on_write = on_write;
    return desc;
}

// Everything waiting on `fd`, without blocking.
std::string drain(int fd)
{
    std::string text;
    char chunk[8192];
    ssize_t got;
    while ((got = recv(fd, chunk, sizeof chunk, MSG_DONTWAIT)) > 0)
        text.append(chunk, static_cast<size_t>(got));
    return text;
}

// Checks the Date line of `response` (an HTTP date of 29 characters, within a few seconds of
// now) and returns it, so the expected bytes can be built around it.
std::string date_of(const std::string &response)
{
    const size_t start = response.find("\r\nDate: ");
    if (start == std::string::npos) {
        ADD_FAILURE() << "no Date line in: " << response;
        return "";
    }
    const size_t end = response.find("\r\n", start + 2);
    const std::string date = response.substr(start + 8, end - start - 8);
    EXPECT_TRUE(websrv_test::is_http_date(date)) << date;
    const time_t when = tdate_parse(date.c_str());
    EXPECT_LE(std::abs(static_cast<long>(when - time(nullptr))), 5L) << date;
    return date;
}

class Response : public ::testing::Test {
protected:
    websrv_connection connection{};
    websrv_session &session = connection.session;
    int peer = -1;
    char protocol[16] = "HTTP/1.0";

    void SetUp() override
    {
        release_control_block();
        websrv_mcb.log_level = 2;
        websrv_mcb.version_major = WEBSRV_VERSION_MAJOR;
        spy = hook_spy{};
        int pair[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
        session.socket = pair[0];
        peer = pair[1];
        session.port = kPort;
        session.protocol = protocol;
    }
    void TearDown() override
    {
        close(session.socket);
        close(peer);
        release_control_block();
    }

    void register_plugin(int (*on_write)(int, const void *, int) = nullptr)
    {
        const websrv_plugin_desc desc = descriptor(on_write);
        websrv_mcb.log_level = 1;
        ASSERT_EQ(websrv_register_plugin(&desc), 0);
        websrv_mcb.log_level = 2;
    }

    // Runs `send` with the log captured into *log; returns its result.
    template <class Send>
    int logged(Send &&send, std::string *log)
    {
        StdoutCapture capture;
        const int result = send();
        *log = capture.finish();
        return result;
    }
};

}  // namespace

TEST_F(Response, NotFoundPageForHttp10IsExactly221Bytes)
{
    register_plugin();
    std::string log;
    EXPECT_EQ(logged([&] { return websrv_send_error(&connection, 404); }, &log), 0);
    const std::string response = drain(peer);
    const std::string date = date_of(response);
    EXPECT_EQ(response, websrv_test::expected_error_page("HTTP/1.0", 404, "Not Found", date));
    EXPECT_EQ(response.size(), 221u);
    EXPECT_EQ(response.find("\r\n\r\n") + 4, 108u) << "status line and header";
    EXPECT_EQ(log, "Succesfully transmitted error response packet of 221 bytes\n");
}

TEST_F(Response, ErrorPagesOfEveryStatusFollowTheSameForm)
{
    register_plugin();
    const struct {
        int status;
        const char *reason;
    } cases[] = {{400, "Bad Request"}, {404, "Not Found"}, {500, "Internal Server Error"},
                 {501, "Not Implemented"}};
    for (const auto &c : cases) {
        std::string log;
        EXPECT_EQ(logged([&] { return websrv_send_error(&connection, c.status); }, &log), 0);
        const std::string response = drain(peer);
        const std::string expected = websrv_test::expected_error_page("HTTP/1.0", c.status, c.reason, date_of(response));
        EXPECT_EQ(response, expected) << c.status;
        EXPECT_EQ(log, "Succesfully transmitted error response packet of " +
                           std::to_string(expected.size()) + " bytes\n");
    }
}

TEST_F(Response, BadRequestAndNotImplementedPagesAreExactlyTheseBytes)
{
    // Written out whole, not put together from pieces: only the Date value is taken from the
    // response. The helper that the wire tests compare pages with must give the same bytes.
    register_plugin();
    const struct {
        int status;
        const char *reason;
        std::string before_date, after_date;
        size_t size;  // with a 29-character date
    } cases[] = {
        {400, "Bad Request", "HTTP/1.0 400 Bad Request\r\nServer: TAVRIX/1.0\r\nDate: ",
         "\r\nContent-Type: text/html\r\n\r\n"
         "<HTML>\n<HEAD><TITLE>400 Bad Request</TITLE></HEAD>\n</HTML>"
         "<HR>\nTAVRIX/1.0 Error: 400 Bad Request</TITLE></HEAD>\n</HR>",
         227},
        {501, "Not Implemented", "HTTP/1.0 501 Not Implemented\r\nServer: TAVRIX/1.0\r\nDate: ",
         "\r\nContent-Type: text/html\r\n\r\n"
         "<HTML>\n<HEAD><TITLE>501 Not Implemented</TITLE></HEAD>\n</HTML>"
         "<HR>\nTAVRIX/1.0 Error: 501 Not Implemented</TITLE></HEAD>\n</HR>",
         239},
    };
    for (const auto &c : cases) {
        std::string log;
        EXPECT_EQ(logged([&] { return websrv_send_error(&connection, c.status); }, &log), 0);
        const std::string response = drain(peer);
        const std::string date = date_of(response);
        EXPECT_EQ(response, c.before_date + date + c.after_date) << c.status;
        EXPECT_EQ(response.size(), c.size) << c.status;
        EXPECT_EQ(websrv_test::expected_error_page("HTTP/1.0", c.status, c.reason, date), response)
            << c.status;
    }
}

TEST_F(Response, HeaderBlockForA1234ByteHtmlFileIs188BytesInOrder)
{
    register_plugin();
    std::string log;
    EXPECT_EQ(logged([&] { return websrv_send_response(&connection, 200, 1234, "text/html", &kMtime); },
                     &log),
              0);
    const std::string response = drain(peer);
    const std::string expected = "HTTP/1.0 200 Ok\r\n"
                                 "Server: TAVRIX/1.0\r\n"
                                 "Date: " + date_of(response) + "\r\n"
                                 "Last-Modified: Sun, 06 Nov 1994 08:49:37 GMT\r\n"
                                 "Content-Type: text/html\r\n"
                                 "Content-Length: 1234\r\n"
                                 "Connection: close\r\n"
                                 "\r\n";
    EXPECT_EQ(response, expected);
    EXPECT_EQ(response.size(), 188u);
    EXPECT_EQ(log, "Succesfully transmitted response packet of 188 bytes\n");
}

TEST_F(Response, NotModifiedCarriesTypeAndDateButNoLength)
{
    register_plugin();
    std::string log;
    EXPECT_EQ(logged([&] { return websrv_send_response(&connection, 304, 0, "image/png", &kMtime); },
                     &log),
              0);
    const std::string response = drain(peer);
    EXPECT_EQ(response, "HTTP/1.0 304 Not Modified\r\n"
                        "Server: TAVRIX/1.0\r\n"
                        "Date: " + date_of(response) + "\r\n"
                        "Last-Modified: Sun, 06 Nov 1994 08:49:37 GMT\r\n"
                        "Content-Type: image/png\r\n"
                        "Connection: close\r\n"
                        "\r\n");
}

TEST_F(Response, OptionalLinesAreLeftOutWhenNotGiven)
{
    register_plugin();
    std::string log;
    EXPECT_EQ(logged([&] { return websrv_send_response(&connection, 200, 0, nullptr, nullptr); }, &log), 0);
    const std::string response = drain(peer);
    EXPECT_EQ(response, "HTTP/1.0 200 Ok\r\n"
                        "Server: TAVRIX/1.0\r\n"
                        "Date: " + date_of(response) + "\r\n"
                        "Connection: close\r\n"
                        "\r\n");
}

TEST_F(Response, LengthsOfTwoGibibytesAndMoreArePrintedWhole)
{
    register_plugin();
    const struct {
        off_t length;
        const char *text;
    } cases[] = {{2147483647LL, "2147483647"},
                 {2147483648LL, "2147483648"},
                 {2147483649LL, "2147483649"},
                 {4294967296LL, "4294967296"},
                 {5368709120LL, "5368709120"}};
    for (const auto &c : cases) {
        std::string log;
        EXPECT_EQ(logged([&] { return websrv_send_response(&connection, 200, c.length, "text/plain", &kMtime); },
                         &log),
                  0);
        const std::string response = drain(peer);
        EXPECT_NE(response.find("\r\nContent-Length: " + std::string(c.text) + "\r\nConnection: close\r\n\r\n"),
                  std::string::npos)
            << response;
    }
}

TEST_F(Response, StatusLineEchoesTheRequestsVersion)
{
    register_plugin();
    strcpy(protocol, "HTTP/1.1");
    std::string log;
    logged([&] { return websrv_send_response(&connection, 200, 10, "text/html", &kMtime); }, &log);
    EXPECT_EQ(drain(peer).rfind("HTTP/1.1 200 Ok\r\nServer: TAVRIX/1.0\r\n", 0), 0u);
    logged([&] { return websrv_send_error(&connection, 404); }, &log);
    const std::string page = drain(peer);
    EXPECT_EQ(page, websrv_test::expected_error_page("HTTP/1.1", 404, "Not Found", date_of(page)));
}

TEST_F(Response, RequestWithoutVersionIsAnsweredAsHttp10)
{
    register_plugin();
    session.protocol = nullptr;
    std::string log;
    EXPECT_EQ(logged([&] { return websrv_send_error(&connection, 400); }, &log), 0);
    const std::string page = drain(peer);
    EXPECT_EQ(page, websrv_test::expected_error_page("HTTP/1.0", 400, "Bad Request", date_of(page)));
}

TEST_F(Response, VersionFieldThatIsNoVersionGivesAWholeResponseAsHttp10)
{
    register_plugin();
    for (size_t length : {65u, 300u, 4000u}) {
        std::string version(length, 'H');
        session.protocol = version.data();
        std::string log;
        EXPECT_EQ(logged([&] { return websrv_send_error(&connection, 404); }, &log), 0);
        const std::string page = drain(peer);
        EXPECT_EQ(page, websrv_test::expected_error_page("HTTP/1.0", 404, "Not Found", date_of(page))) << length;

        EXPECT_EQ(logged([&] { return websrv_send_response(&connection, 200, 1234, "text/html", &kMtime); },
                         &log),
                  0);
        const std::string head = drain(peer);
        EXPECT_EQ(head.size(), 188u) << length;
        EXPECT_EQ(head.rfind("HTTP/1.0 200 Ok\r\n", 0), 0u) << length;
        EXPECT_EQ(head.substr(head.size() - 4), "\r\n\r\n") << length;
        EXPECT_EQ(log, "Succesfully transmitted response packet of 188 bytes\n");
    }
    // Nor is a short text that is no version: a status line starts with one.
    for (const char *odd : {"FOO/9", "HTTP/1.0 ", "HTTP/11"}) {
        std::string version = odd;
        session.protocol = version.data();
        std::string log;
        logged([&] { return websrv_send_error(&connection, 404); }, &log);
        EXPECT_EQ(drain(peer).rfind("HTTP/1.0 404 Not Found\r\n", 0), 0u) << odd;
    }
}

TEST_F(Response, WriteHookReceivesTheWholeResponseInOneCall)
{
    spy.result = 221;
    register_plugin(spy_write);
    std::string log;
    EXPECT_EQ(logged([&] { return websrv_send_error(&connection, 404); }, &log), 0);
    EXPECT_EQ(spy.calls, 1);
    EXPECT_EQ(spy.fd, session.socket);
    EXPECT_EQ(spy.bytes, websrv_test::expected_error_page("HTTP/1.0", 404, "Not Found", date_of(spy.bytes)));
    EXPECT_EQ(drain(peer), "") << "with a write hook the server itself sends nothing";
}

TEST_F(Response, ShortWritesByTheHookAreContinuedUntilTheBlockIsOut)
{
    spy.result = 5;
    register_plugin(spy_write);
    std::string log;
    EXPECT_EQ(logged([&] { return websrv_send_response(&connection, 200, 1234, "text/html", &kMtime); },
                     &log),
              0);
    EXPECT_EQ(spy.calls, 38);  // 37 calls of 5 bytes and one of the last 3
    EXPECT_EQ(spy.bytes, "\n\r\n");
    EXPECT_EQ(log, "Succesfully transmitted response packet of 188 bytes\n");
}

TEST_F(Response, HookClaimingMoreThanItWasGivenFailsTheResponse)
{
    spy.result = 500;
    spy.overreport = true;
    register_plugin(spy_write);
    std::string log;
    EXPECT_EQ(logged([&] { return websrv_send_error(&connection, 404); }, &log), -1);
    EXPECT_EQ(spy.calls, 1);
    EXPECT_EQ(log, "WebSrv Error: Plugin resp write hook reported 500 bytes of 221\n"
                   "Sending the response failed: Input/output error\n");
}

TEST_F(Response, FailingWriteIsReportedWithTheSystemsReason)
{
    spy.result = -1;
    register_plugin(spy_write);
    std::string log;
    EXPECT_EQ(logged([&] { return websrv_send_error(&connection, 404); }, &log), -1);
    EXPECT_EQ(log, "Sending the response failed: Input/output error\n");
}

TEST_F(Response, ClientThatWentAwayMakesTheSendFailWithoutASignal)
{
    register_plugin();
    close(peer);
    peer = -1;
    std::string log;
    EXPECT_EQ(logged([&] { return websrv_send_response(&connection, 200, 1, "text/html", &kMtime); }, &log),
              -1);
    EXPECT_EQ(log, "Sending the response failed: Broken pipe\n");
}

TEST_F(Response, UnregisteredPluginsConnectionIsAnsweredThroughThePlainSocket)
{
    spy.result = 221;
    register_plugin(spy_write);
    websrv_mcb.log_level = 1;
    ASSERT_EQ(websrv_unregister_plugin("resp"), 0);
    websrv_mcb.log_level = 2;
    std::string log;
    EXPECT_EQ(logged([&] { return websrv_send_error(&connection, 404); }, &log), 0);
    EXPECT_EQ(spy.calls, 0);
    const std::string page = drain(peer);
    EXPECT_EQ(page, websrv_test::expected_error_page("HTTP/1.0", 404, "Not Found", date_of(page)));
    EXPECT_EQ(log, "WebSrv Error: No plugin found for port 5555\n"
                   "Succesfully transmitted error response packet of 221 bytes\n");
}

// ---- The write and read primitives -----------------------------------------------------

namespace {

struct Pipe {
    int read_end = -1, write_end = -1;
    Pipe()
    {
        int fds[2];
        if (pipe(fds) == 0) {
            read_end = fds[0];
            write_end = fds[1];
        }
    }
    ~Pipe()
    {
        close(read_end);
        close(write_end);
    }
};

std::string read_some(int fd)
{
    char chunk[256];
    const ssize_t got = read(fd, chunk, sizeof chunk);
    return got > 0 ? std::string(chunk, static_cast<size_t>(got)) : "";
}

}  // namespace

TEST(WriteHandler, WithoutDescriptorWritesWithWrite)
{
    Pipe p;
    EXPECT_EQ(websrv_write_handler(p.write_end, "hello", 5, nullptr), 5);
    EXPECT_EQ(read_some(p.read_end), "hello");
}

TEST(WriteHandler, DescriptorWithoutHookSendsOnTheSocket)
{
    // send() is for sockets only, so a pipe tells which call was made.
    Pipe p;
    const websrv_plugin_desc plain = descriptor();
    EXPECT_EQ(websrv_write_handler(p.write_end, "hello", 5, &plain), -1);
    EXPECT_EQ(errno, ENOTSOCK);
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    EXPECT_EQ(websrv_write_handler(pair[0], "hello", 5, &plain), 5);
    EXPECT_EQ(read_some(pair[1]), "hello");
    close(pair[0]);
    close(pair[1]);
}

TEST(WriteHandler, HookAloneWritesAndIsCalledUntilEveryByteIsTaken)
{
    spy = hook_spy{};
    spy.result = 3;
    Pipe p;
    const websrv_plugin_desc hooked = descriptor(spy_write);
    EXPECT_EQ(websrv_write_handler(p.write_end, "hello", 5, &hooked), 5);
    EXPECT_EQ(spy.calls, 2);
    EXPECT_EQ(spy.fd, p.write_end);
    EXPECT_EQ(spy.bytes, "lo");

    const int flags = fcntl(p.read_end, F_GETFL);
    fcntl(p.read_end, F_SETFL, flags | O_NONBLOCK);
    EXPECT_EQ(read_some(p.read_end), "") << "the server wrote nothing itself";
}

TEST(ReadHandler, ChoosesReadRecvOrTheHook)
{
    Pipe p;
    ASSERT_EQ(write(p.write_end, "abc", 3), 3);
    char buf[16] = {};
    EXPECT_EQ(websrv_read_handler(p.read_end, buf, sizeof buf, nullptr), 3);
    EXPECT_STREQ(buf, "abc");

    ASSERT_EQ(write(p.write_end, "abc", 3), 3);
    const websrv_plugin_desc plain = descriptor();
    EXPECT_EQ(websrv_read_handler(p.read_end, buf, sizeof buf, &plain), -1) << "recv on a pipe";
    EXPECT_EQ(errno, ENOTSOCK);

    spy = hook_spy{};
    spy.bytes = "xy";
    websrv_plugin_desc hooked = descriptor();
    hooked.on_read = spy_read;
    memset(buf, 0, sizeof buf);
    EXPECT_EQ(websrv_read_handler(p.read_end, buf, sizeof buf, &hooked), 2);
    EXPECT_EQ(spy.calls, 1);
    EXPECT_EQ(spy.fd, p.read_end);
    EXPECT_STREQ(buf, "xy");
}

TEST(ReadHandler, HookClaimingMoreThanItWasAskedForFails)
{
    Pipe p;
    ASSERT_EQ(write(p.write_end, "a", 1), 1);  // readable, so the hook is called
    spy = hook_spy{};
    spy.bytes = "xy";
    spy.result = 4096;
    websrv_plugin_desc hooked = descriptor();
    hooked.on_read = spy_read;
    char buf[16] = {};
    websrv_mcb.log_level = 1;
    StdoutCapture capture;
    EXPECT_EQ(websrv_read_handler(p.read_end, buf, 8, &hooked), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(capture.finish(), "WebSrv Error: Plugin resp read hook reported 4096 bytes of 8\n");

}

TEST(ReadHandler, EndOfStreamGivesZero)

{
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    close(pair[1]);
    char buf[16];
    const websrv_plugin_desc plain = descriptor();
    EXPECT_EQ(websrv_read_handler(pair[0], buf, sizeof buf, &plain), 0);
    close(pair[0]);
}

// Descriptor numbers far beyond the 1024 bits of a select() set.
TEST(HighDescriptors, ReadAndWriteWorkAboveTheSelectLimit)
{
    rlimit limit;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    const rlimit saved = limit;
    const int targets[] = {1500, 5000};
    const rlim_t needed = 5001;
    if (limit.rlim_cur < needed) {
        limit.rlim_cur = std::min<rlim_t>(needed, limit.rlim_max);
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    for (int target : targets) {
        if (static_cast<rlim_t>(target) >= limit.rlim_cur)
            continue;  // checked below: at least the first one must run
        int pair[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
        ASSERT_EQ(dup2(pair[0], target), target);
        close(pair[0]);
        const websrv_plugin_desc plain = descriptor();

        EXPECT_EQ(websrv_write_handler(target, "ping", 4, &plain), 4) << target;
        EXPECT_EQ(websrv_write_handler(target, "!", 1, nullptr), 1) << target;
        EXPECT_EQ(read_some(pair[1]), "ping!") << target;

        ASSERT_EQ(write(pair[1], "pong", 4), 4);
        char buf[16] = {};
        EXPECT_EQ(websrv_read_handler(target, buf, sizeof buf, &plain), 4) << target;
        EXPECT_STREQ(buf, "pong");
        ASSERT_EQ(write(pair[1], "x", 1), 1);
        EXPECT_EQ(websrv_read_handler(target, buf, sizeof buf, nullptr), 1) << target;
        close(target);
        close(pair[1]);
    }
    EXPECT_GT(limit.rlim_cur, static_cast<rlim_t>(targets[0])) << "descriptor 1500 could not be tested";
    setrlimit(RLIMIT_NOFILE, &saved);
}
