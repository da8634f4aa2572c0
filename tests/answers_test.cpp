// Sound answers where clients, CGI programs or plug-ins misbehave: every transfer is bounded
// by the time it goes without moving a byte, hooks that report what they did not do end the
// session, and the answer the client gets never claims more than was sent.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "test_support.h"

using namespace websrv_test;

namespace {

const std::string server_binary = WEBSRV_TEST_SERVER;
const std::string http_plugin = WEBSRV_HTTP_PLUGIN;
const std::string kPage = "the page";

using Clock = std::chrono::steady_clock;

// A site with page.html and a sparse file of `big_size` bytes, served through `plugin`.
struct Served {
    Site site;
    explicit Served(off_t big_size = 0)
    {
        site.put("page.html", kPage);
        if (big_size > 0) {
            const int fd = open((site.root + "/big.bin").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            EXPECT_GE(fd, 0);
            EXPECT_EQ(ftruncate(fd, big_size), 0);
            close(fd);
        }
    }
    bool start_hostile(const std::string &misbehaviour)
    {
        return site.start(server_binary, {"-plugin", test_plugin("tp_hostile"), "-hostile-port",
                                          std::to_string(site.port), misbehaviour});
    }
    // tp_record without I/O hooks: the server's own sends, through a send buffer of 16 KiB.
    bool start_small_buffer(const std::vector<std::string> &extra = {})
    {
        std::vector<std::string> args{"-plugin", test_plugin("tp_record"), "-record-port", std::to_string(site.port),
                                      "-no-io-hooks", "-send-buffer", "16384"};
        args.insert(args.end(), extra.begin(), extra.end());
        return site.start(server_binary, args);
    }
    bool start_http(const std::vector<std::string> &extra = {})
    {
        std::vector<std::string> args{"-plugin", http_plugin, "-port", std::to_string(site.port)};
        args.insert(args.end(), extra.begin(), extra.end());
        return site.start(server_binary, args);
    }
    // The server stops cleanly after serving the next ordinary request; returns its log.
    std::string healthy_stop()
    {
        const Reply next = site.get("GET /page.html HTTP/1.0\r\n\r\n");
        EXPECT_EQ(next.status_line, "HTTP/1.0 200 Ok") << next.raw;
        EXPECT_EQ(next.body, kPage);
        EXPECT_EQ(site.stop(), 0);
        return site.log();
    }
};

}  // namespace

// ---- Plug-in hooks that report what they did not do ------------------------------------

TEST(HostileHook, ReportOutsideWhatWasAskedEndsTheSessionWithALogLine)
{
    const struct {
        const char *misbehaviour;
        const char *request;
        const char *log_line;
        size_t most_bytes;  // the most the client may receive
    } cases[] = {
        // Moving the offset back would send the file again and again, for ever.
        {"-sendfile-backwards", "GET /big.bin HTTP/1.0\r\n\r\n",
         "WebSrv Error: Plugin hostile sendfile hook reported ", 4096 + (8u << 20)},
        // Claiming more than the buffer holds would have the server read past it.
        {"-read-overreport", "GET /page.html HTTP/1.0\r\n\r\n",
         "WebSrv Error: Plugin hostile read hook reported ", 0},
        // Taking nothing, for ever, would leave the header block unsent but reported sent.
        {"-write-nothing", "GET /page.html HTTP/1.0\r\n\r\n",
         "WebSrv Error: Plugin hostile write hook reported 0 bytes of 185\n", 0},
    };
    for (const auto &c : cases) {
        Served served(8 << 20);
        ASSERT_TRUE(served.start_hostile(c.misbehaviour)) << served.site.log();
        const auto start = Clock::now();
        const std::string reply = exchange(served.site.port, c.request, 20000);
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(15)) << c.misbehaviour;
        EXPECT_LE(reply.size(), c.most_bytes) << c.misbehaviour;
        EXPECT_EQ(served.site.stop(), 0);
        EXPECT_NE(served.site.log().find(c.log_line), std::string::npos) << c.misbehaviour << "\n"
                                                                          << served.site.log();
    }
}

// ---- Transfers bounded by the time they go without moving a byte -----------------------

TEST(SlowTransfer, ClientThatNeverReadsIsCutOffThirtySecondsAfterTheLastByteMoved)
{
    Served served(256LL << 20);  // far more than any socket buffer holds
    ASSERT_TRUE(served.start_http());
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    const int small = 4096;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(served.site.port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    const std::string request = "GET /big.bin HTTP/1.0\r\n\r\n";
    ASSERT_EQ(send(fd, request.data(), request.size(), 0), static_cast<ssize_t>(request.size()));
    const auto start = Clock::now();
    // The server gives up once nothing has moved for 30 s, and says so in its log.
    while (served.site.log().find("Error: Unable to send file") == std::string::npos &&
           Clock::now() - start < std::chrono::seconds(60))
        sleep_ms(200);
    const auto waited = Clock::now() - start;
    close(fd);
    EXPECT_GE(waited, std::chrono::seconds(29));
    EXPECT_LT(waited, std::chrono::seconds(40)) << "the transfer went on past its limit";
    EXPECT_NE(served.healthy_stop().find("Error: Unable to send file; Error:"), std::string::npos);
}

// Sends `request` and reads the answer at a steady `per_second` bytes a second, through a
// small receive buffer, until the server closes the connection (or 100 s passed). Returns what
// came; *took is how long it took.
std::string read_steadily(int port, const std::string &request, size_t per_second, Clock::duration *took)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    const int small = 4096;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string got;
    const auto start = Clock::now();
    if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        send(fd, request.data(), request.size(), 0) != static_cast<ssize_t>(request.size())) {
        close(fd);
        return got;
    }
    char chunk[4096];
    bool closed = false;
    for (int tick = 1; !closed && Clock::now() - start < std::chrono::seconds(100); ++tick) {
        const size_t due = per_second * static_cast<size_t>(tick) / 10;  // ten ticks a second
        while (got.size() < due) {
            const size_t want = std::min(sizeof chunk, due - got.size());
            const ssize_t n = recv(fd, chunk, want, MSG_DONTWAIT);
            if (n <= 0) {
                closed = n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
                break;
            }
            got.append(chunk, static_cast<size_t>(n));
        }
        std::this_thread::sleep_until(start + std::chrono::milliseconds(100 * tick));
    }
    *took = Clock::now() - start;
    close(fd);
    return got;
}

// A client that reads steadily but slowly keeps a transfer going for longer than the limit:
// the 30 s count from the last byte that moved, not from the first.
TEST(SlowTransfer, SteadySlowDownloadOfAFileLastingLongerThanTheLimitArrivesWhole)
{
    constexpr off_t size = 1 << 20;
    Served served(size);
    ASSERT_TRUE(served.start_small_buffer());
    Clock::duration took{};
    const Reply reply = parse_reply(read_steadily(served.site.port, "GET /big.bin HTTP/1.0\r\n\r\n", 28 * 1024, &took));
    EXPECT_EQ(reply.status_line, "HTTP/1.0 200 Ok");
    EXPECT_EQ(reply.body.size(), static_cast<size_t>(size));
    EXPECT_GT(took, std::chrono::seconds(33)) << "the test read faster than it means to";
    EXPECT_EQ(served.site.stop(), 0);
}

TEST(SlowTransfer, SteadySlowReaderOfAPluginsMegabyteAnswerGetsItWhole)
{
    constexpr size_t size = 1 << 20;
    Served served;
    ASSERT_TRUE(served.start_small_buffer({"-request-answer-bytes", std::to_string(size)}));
    Clock::duration took{};
    const Reply reply = parse_reply(read_steadily(served.site.port, "GET /page.html HTTP/1.0\r\n\r\n", 28 * 1024, &took));
    EXPECT_EQ(reply.status_line, "HTTP/1.0 200 OK");
    EXPECT_EQ(reply.body, std::string(size, 'a'));
    EXPECT_GT(took, std::chrono::seconds(33)) << "the test read faster than it means to";
    EXPECT_EQ(served.site.stop(), 0);
}

// ---- Only regular files are served -----------------------------------------------------

TEST(NotARegularFile, DevicesFifosAndMadeUpFilesAreNotFound)
{
    // A device may act on being opened (a watchdog starts), a FIFO has no length, and a file
    // of /proc or /sys announces a size it does not have: none is a file to serve.
    Served served;
    const std::string root = served.site.root;
    ASSERT_EQ(mkfifo((root + "/fifo").c_str(), 0644), 0);
    std::vector<std::string> names{"fifo"};
    for (const char *target : {"/dev/zero", "/dev/null", "/proc/version", "/sys/devices/system/cpu/online"}) {
        if (access(target, R_OK) != 0)
            continue;
        const std::string name = std::string("link") + std::to_string(names.size());
        ASSERT_EQ(symlink(target, (root + "/" + name).c_str()), 0);
        names.push_back(name);
    }
    ASSERT_TRUE(served.start_http());
    for (const std::string &name : names) {
        const Reply reply = served.site.get("GET /" + name + " HTTP/1.0\r\n\r\n");
        EXPECT_EQ(reply.raw, expected_error_page("HTTP/1.0", 404, "Not Found", reply.header("Date"))) << name;
    }
    const std::string log = served.healthy_stop();
    for (const std::string &name : names)
        EXPECT_NE(log.find("Filename " + name + " does not exist\n"), std::string::npos) << log;
}

// ---- CGI programs that hold on -----------------------------------------------------------

TEST(CgiSession, EndsWithTheAnswerWhileTheProgramWorksOnUndisturbed)
{
    // The program answers, closes its output and works on for two seconds: the client has
    // the whole answer at once, the next request is served at once, and the program is left
    // to finish its work.
    Served served;
    const std::string root = served.site.root;
    ASSERT_EQ(mkdir((root + "/cgi-bin").c_str(), 0755), 0);
    const std::string done = served.site.dir.file("work-done");
    write_script(root + "/cgi-bin/worker",
                 "printf 'Content-Type: text/plain\\r\\n\\r\\nstarted\\n'\nexec >&-\nsleep 2\ntouch '" + done + "'");
    ASSERT_TRUE(served.start_http({"-c", "cgi-bin"}));
    const auto start = Clock::now();
    const std::string reply = exchange(served.site.port, "GET /cgi-bin/worker HTTP/1.0\r\n\r\n", 10000);
    EXPECT_EQ(reply, "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nstarted\n");
    const Reply next = served.site.get("GET /page.html HTTP/1.0\r\n\r\n");
    EXPECT_EQ(next.body, kPage);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1500)) << "the session waited for the program";
    EXPECT_FALSE(file_exists(done)) << "the program did not work on";
    for (int waited = 0; waited < 10000 && !file_exists(done); waited += 50)
        sleep_ms(50);
    EXPECT_TRUE(file_exists(done)) << "the program was ended before its work was done";
    EXPECT_EQ(served.site.stop(), 0);
}
