// Several sessions at once (-j): they overlap, one client holds at most its share of them, the
// request header has a deadline counted from the accept, IPv6 clients are served beside IPv4
// ones, and a stop under load loses no line of the port file.
#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <csignal>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
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

// A connection to the server from the loopback address `from` (127.0.0.1 to 127.255.255.254,
// or "::1"); -1 when it cannot be made.
int connect_from(const std::string &from, int port)
{
    if (from == "::1") {
        const int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_addr = in6addr_loopback;
        address.sin6_port = htons(static_cast<uint16_t>(port));
        if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0)
            return fd;
        if (fd >= 0)
            close(fd);
        return -1;
    }
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in source{};
    source.sin_family = AF_INET;
    inet_pton(AF_INET, from.c_str(), &source.sin_addr);
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    target.sin_port = htons(static_cast<uint16_t>(port));
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&source), sizeof source) == 0 &&
        connect(fd, reinterpret_cast<sockaddr *>(&target), sizeof target) == 0)
        return fd;
    if (fd >= 0)
        close(fd);
    return -1;
}

void send_text(int fd, const std::string &text)
{
    ASSERT_EQ(send(fd, text.data(), text.size(), MSG_NOSIGNAL), static_cast<ssize_t>(text.size()));
}

// Everything the server sends on `fd` until it closes it (or `ms` pass).
std::string receive_all(int fd, int ms = 10000)
{
    std::string text;
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    char chunk[4096];
    while (Clock::now() < deadline) {
        timeval wait{0, 100 * 1000};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        const ssize_t got = recv(fd, chunk, sizeof chunk, 0);
        if (got == 0)
            break;
        if (got > 0)
            text.append(chunk, static_cast<size_t>(got));
    }
    close(fd);
    return text;
}

// The milliseconds of the recorded "time WHAT=MS pid=P" lines, in order.
std::vector<long long> moments(const std::vector<std::string> &lines, const std::string &what)
{
    std::vector<long long> found;
    const std::string prefix = "time " + what + "=";
    for (const std::string &line : lines)
        if (line.rfind(prefix, 0) == 0)
            found.push_back(std::stoll(line.substr(prefix.size())));
    return found;
}

void start_recorded(Site &site, const std::string &jobs, const std::vector<std::string> &extra = {})
{
    std::vector<std::string> args{"-j", jobs, "-plugin", test_plugin("tp_record"), "-record", site.record,
                                  "-record-port", std::to_string(site.port), "-no-io-hooks", "-record-time"};
    args.insert(args.end(), extra.begin(), extra.end());
    ASSERT_TRUE(site.start(server_binary, args)) << site.log();
}

bool ipv6_loopback_works()
{
    const int fd = socket(AF_INET6, SOCK_STREAM, 0);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    const bool works = fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    if (fd >= 0)
        close(fd);
    return works;
}

}  // namespace

TEST(Sessions, RunAtOnceUpToTheLimitAsTheHooksTimesShow)
{
    // Four clients from four addresses, each with half a request: with -j 4 all four sessions
    // start before any ends; with -j 1 the second starts only after the first has ended.
    for (const char *jobs : {"4", "1"}) {
        Site site;
        site.put("page.html", kPage);
        start_recorded(site, jobs);
        std::vector<int> clients;
        for (const char *from : {"127.0.0.1", "127.0.0.2", "127.0.0.3", "127.0.0.4"}) {
            clients.push_back(connect_from(from, site.port));
            ASSERT_GE(clients.back(), 0) << from;
            send_text(clients.back(), "GET /page.html HTTP/1.0\r\n");
        }
        const size_t expected_overlap = std::string(jobs) == "4" ? 4 : 1;
        EXPECT_TRUE(eventually([&] { return moments(site.recorded(), "start").size() >= expected_overlap; }));
        sleep_ms(300);  // time for a session that should not start yet to show that it did
        EXPECT_EQ(moments(site.recorded(), "start").size(), expected_overlap) << jobs;
        for (int fd : clients) {
            send_text(fd, "\r\n");
            const Reply reply = parse_reply(receive_all(fd));
            EXPECT_EQ(reply.body, kPage) << jobs;
        }
        EXPECT_TRUE(eventually([&] { return moments(site.recorded(), "end").size() == 4; }));
        const auto starts = moments(site.recorded(), "start");
        const auto ends = moments(site.recorded(), "end");
        ASSERT_EQ(starts.size(), 4u);
        ASSERT_EQ(ends.size(), 4u);
        // With -j 4 every session started before the first ended.
        if (expected_overlap == 4) {
            EXPECT_LE(*std::max_element(starts.begin(), starts.end()), *std::min_element(ends.begin(), ends.end()));
        }

        EXPECT_EQ(site.stop(), 0);
    }
}

// Reads from `fd` until `marker` has come (or `ms` pass).
std::string receive_until(int fd, const std::string &marker, int ms = 10000)
{
    std::string text;
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    char chunk[4096];
    while (Clock::now() < deadline && text.find(marker) == std::string::npos) {
        timeval wait{0, 100 * 1000};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        const ssize_t got = recv(fd, chunk, sizeof chunk, 0);
        if (got == 0)
            break;
        if (got > 0)
            text.append(chunk, static_cast<size_t>(got));
    }
    return text;
}

TEST(Sessions, ClientOverItsShareWaitsItsTurnWhileOthersAreServed)
{
    // -j 4: a client's share is two sessions at work. Two programs of 127.0.0.1 that wait for
    // their bodies hold it; its third request waits (it is not refused, not even after more
    // than two seconds), another address is served at once, and the third is answered as soon
    // as the share frees.
    Site site;
    site.put("page.html", kPage);
    mkdir((site.root + "/cgi-bin").c_str(), 0755);
    copy_file(CGI_PRINTENV, site.root + "/cgi-bin/printenv", 0755);
    ASSERT_TRUE(site.start(server_binary, {"-j", "4", "-c", "cgi-bin", "-plugin", http_plugin, "-port",
                                           std::to_string(site.port)}));
    std::vector<int> working;
    for (int i = 0; i < 2; ++i) {
        working.push_back(connect_from("127.0.0.1", site.port));
        send_text(working.back(), "POST /cgi-bin/printenv?interactive HTTP/1.0\r\nContent-Length: 5\r\n\r\n");
        ASSERT_NE(receive_until(working.back(), "ready\n").find("ready\n"), std::string::npos);
    }
    const int third = connect_from("127.0.0.1", site.port);
    send_text(third, "GET /page.html HTTP/1.0\r\n\r\n");
    EXPECT_EQ(receive_until(third, "HTTP/", 2500), "") << "its turn has not come";
    const int other = connect_from("127.0.0.2", site.port);
    send_text(other, "GET /page.html HTTP/1.0\r\n\r\n");
    EXPECT_EQ(parse_reply(receive_all(other, 2000)).body, kPage);
    send_text(working[0], "hello");
    EXPECT_NE(receive_all(working[0]).find("input_length=5\n"), std::string::npos);
    const Reply served = parse_reply(receive_all(third));
    EXPECT_EQ(served.status_line, "HTTP/1.0 200 Ok") << served.raw;
    send_text(working[1], "hello");
    receive_all(working[1]);
    EXPECT_EQ(site.stop(), 0);
    EXPECT_EQ(site.log().find("503"), std::string::npos) << site.log();
}

TEST(Sessions, ClientHoldingSlowHeadersIsRefused503ForMore)
{
    // Two connections of 127.0.0.1 that have been slow with their headers for over a second hold
    // its share without using it: a third gets 503 with Retry-After at once, and the slow ones
    // are still served once their headers end.
    Site site;
    site.put("page.html", kPage);
    start_recorded(site, "4");
    std::vector<int> held;
    for (int i = 0; i < 2; ++i) {
        held.push_back(connect_from("127.0.0.1", site.port));
        send_text(held.back(), "GET /page.html HTTP/1.0\r\n");
    }
    ASSERT_TRUE(eventually([&] { return moments(site.recorded(), "start").size() == 2; }));
    sleep_ms(1200);
    const int third = connect_from("127.0.0.1", site.port);
    send_text(third, "GET /page.html HTTP/1.0\r\n\r\n");
    const Reply refused = parse_reply(receive_all(third, 5000));
    EXPECT_EQ(refused.status_line, "HTTP/1.0 503 Service Unavailable") << refused.raw;
    EXPECT_EQ(refused.header("Retry-After"), "1");
    for (int fd : held) {
        send_text(fd, "\r\n");
        EXPECT_EQ(parse_reply(receive_all(fd)).body, kPage);
    }
    EXPECT_EQ(site.stop(), 0);
    EXPECT_NE(site.log().find("WebSrv Error: 127.0.0.1 holds more connections than it uses; answered 503\n"),
              std::string::npos)
        << site.log();
}

TEST(Sessions, OneClientAskingAgainAtOnceAfterEachAnswerIsNeverRefused)
{
    // With -j 2 a client's share is one session. A client that connects again the moment its
    // answer ends must find its earlier session's slot free, however late the main process
    // hears that the session is over.
    Site site;
    site.put("page.html", kPage);
    ASSERT_TRUE(site.start(server_binary, {"-j", "2", "-plugin", http_plugin, "-port", std::to_string(site.port)}));
    int refused = 0;
    for (int i = 0; i < 200; ++i) {
        const int fd = connect_from("127.0.0.1", site.port);
        ASSERT_GE(fd, 0);
        send_text(fd, "GET /page.html HTTP/1.0\r\n\r\n");
        const Reply reply = parse_reply(receive_all(fd));
        refused += reply.status_line.rfind("HTTP/1.0 200 ", 0) != 0 || reply.body != kPage;

    }
    EXPECT_EQ(refused, 0);
    EXPECT_EQ(site.stop(), 0);
}

TEST(Sessions, SlowHeaderIsCutOffThirtySecondsAfterTheAcceptHoweverItTrickles)

{
    // A byte every five seconds keeps every single read within its wait; the header as a
    // whole still has to come within the wait of the accept.
    Site site;
    site.put("page.html", kPage);
    start_recorded(site, "1");
    const int fd = connect_from("127.0.0.1", site.port);
    const auto start = Clock::now();
    const std::string request = "GET /page.html HTTP/1.0\r\nX-Slow: aaaaaaaaaaaaaaa";
    bool cut = false;
    for (size_t i = 0; i < request.size() && !cut && Clock::now() - start < std::chrono::seconds(60); ++i) {
        cut = send(fd, &request[i], 1, MSG_NOSIGNAL) != 1;
        for (int waited = 0; waited < 5000 && !cut; waited += 100) {
            sleep_ms(100);
            char byte;
            cut = recv(fd, &byte, 1, MSG_DONTWAIT) == 0;
        }
    }
    const auto waited = Clock::now() - start;
    close(fd);
    EXPECT_TRUE(cut);
    EXPECT_GE(waited, std::chrono::seconds(29));
    EXPECT_LT(waited, std::chrono::seconds(40));
    EXPECT_EQ(site.stop(), 0);
    EXPECT_NE(site.log().find("WebSrv Error: Read Timeout.\n"), std::string::npos);
}

// An attack kept up while an honest client asks: one address holds 100 connections open without
// a byte (a new one for each the server closes), and 16 more from four addresses drip a header a
// byte at a time. Slots go to work, not to waiting: the honest client's every request is answered
// within a moment, whatever the process model (-j, -r, -k). The bound is far above what the
// server needs (milliseconds) and far below what a queue of idle connections in front of the
// client cost before (10 to 30 s).
class UnderAttack : public ::testing::TestWithParam<std::vector<std::string>> {};

TEST_P(UnderAttack, HonestRequestsAreAnsweredAtOnce)
{
    Site site;
    site.put("page.html", kPage);
    std::vector<std::string> args = GetParam();
    args.insert(args.end(), {"-plugin", http_plugin, "-port", std::to_string(site.port)});
    ASSERT_TRUE(site.start(server_binary, args)) << site.log();
    std::atomic<bool> over{false};
    std::thread idle([&] {
        std::vector<int> held;
        while (!over) {
            while (held.size() < 100 && !over) {
                const int fd = connect_from("127.0.0.20", site.port);
                if (fd < 0)
                    break;
                held.push_back(fd);
            }
            char byte;
            for (size_t i = 0; i < held.size();) {
                if (recv(held[i], &byte, 1, MSG_DONTWAIT) == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
                    close(held[i]);
                    held.erase(held.begin() + static_cast<long>(i));
                } else {
                    ++i;
                }
            }
            sleep_ms(20);
        }
        for (const int fd : held)
            close(fd);
    });
    std::vector<std::thread> drips;
    for (int i = 0; i < 16; ++i) {
        drips.emplace_back([&, i] {
            const std::string header = "GET /page.html HTTP/1.0\r\nX-Slow: " + std::string(100, 'x') + "\r\n\r\n";
            while (!over) {
                const int fd = connect_from("127.0.0.3" + std::to_string(i % 4), site.port);
                for (size_t at = 0; fd >= 0 && at < header.size() && !over; ++at) {
                    if (send(fd, &header[at], 1, MSG_NOSIGNAL) != 1)
                        break;
                    sleep_ms(300);
                }
                if (fd >= 0)
                    close(fd);
            }
        });
    }
    sleep_ms(1500);  // the idle connections are handed to the server after a second without a byte
    long long slowest_ms = 0;
    int answered = 0;
    for (const auto end = Clock::now() + std::chrono::seconds(4); Clock::now() < end; ++answered) {
        const auto begin = Clock::now();
        const Reply reply = parse_reply(exchange(site.port, get_request("/page.html"), 30000));
        EXPECT_EQ(reply.body, kPage);
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - begin).count();
        slowest_ms = std::max<long long>(slowest_ms, took);
    }
    over = true;
    idle.join();
    for (std::thread &drip : drips)
        drip.join();
    EXPECT_LT(slowest_ms, 2000) << answered << " requests";
    EXPECT_EQ(site.stop(), 0);
}

INSTANTIATE_TEST_SUITE_P(Models, UnderAttack, ::testing::Values(
    std::vector<std::string>{"-j", "1"}, std::vector<std::string>{"-j", "4"},
    std::vector<std::string>{"-j", "4", "-k", "5"}, std::vector<std::string>{"-j", "1", "-r", "100"},
    std::vector<std::string>{"-j", "4", "-r", "100"}, std::vector<std::string>{"-j", "8", "-r", "100", "-k", "5"}));

TEST(Ipv6, ClientsOfTheLoopbackAddressAreServedWithTheirRealAddress)
{
    if (!ipv6_loopback_works())
        GTEST_SKIP() << "no IPv6 loopback here";
    Site site;
    site.put("page.html", kPage);
    ASSERT_EQ(mkdir((site.root + "/cgi-bin").c_str(), 0755), 0);
    copy_file(CGI_PRINTENV, site.root + "/cgi-bin/printenv", 0755);
    start_recorded(site, "2", {"-record-info", "-c", "cgi-bin"});
    // A raw socket, and curl with an address in brackets.
    int fd = connect_from("::1", site.port);
    ASSERT_GE(fd, 0);
    send_text(fd, "GET /cgi-bin/printenv HTTP/1.0\r\n\r\n");
    const std::string reply = receive_all(fd);
    EXPECT_NE(reply.find("env=[REMOTE_ADDR=::1]\n"), std::string::npos) << reply;
    EXPECT_NE(reply.find("env=[SERVER_NAME=[::1]]\n"), std::string::npos) << reply;
    const std::string curl = "curl -s -g 'http://[::1]:" + std::to_string(site.port) + "/page.html'";
    FILE *pipe = popen(curl.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    char body[64] = {};
    const size_t got = fread(body, 1, sizeof body - 1, pipe);
    pclose(pipe);
    EXPECT_EQ(std::string(body, got), kPage);
    // An IPv4 client beside it keeps its IPv4 address.
    fd = connect_from("127.0.0.1", site.port);
    send_text(fd, "GET /cgi-bin/printenv HTTP/1.0\r\n\r\n");
    EXPECT_NE(receive_all(fd).find("env=[REMOTE_ADDR=127.0.0.1]\n"), std::string::npos);
    EXPECT_EQ(site.stop(), 0);
    const auto lines = site.recorded();
    EXPECT_EQ(count_prefixed(lines, "info size=" + std::to_string(216) + " peer=[::1] "), 2u) << lines.size();
    EXPECT_EQ(count_prefixed(lines, "info size=216 peer=[127.0.0.1] "), 1u);
}

TEST(Stop, UnderLoadLosesNoLineOfThePortFile)
{
    // Clients keep asking while the server stops: every answer that comes is whole, the
    // server ends by itself, and of the shared port file only its own line goes.
    Site site;
    site.put("page.html", kPage);
    write_file(site.port_file, "80\n");
    ASSERT_TRUE(site.start(server_binary, {"-j", "4", "-plugin", http_plugin, "-port", std::to_string(site.port)}));
    write_file(site.port_file, read_file(site.port_file) + "7000\n");  // another instance's
    std::atomic<bool> stop{false};
    std::atomic<int> whole{0};
    std::atomic<int> broken{0};
    std::vector<std::thread> clients;
    // One address each, so that no client is over its share of the four slots.
    for (const std::string from : {"127.0.0.1", "127.0.0.2", "127.0.0.3", "127.0.0.4"})
        clients.emplace_back([&, from] {
            while (!stop) {
                const int fd = connect_from(from, site.port);
                if (fd < 0)
                    continue;
                if (send(fd, "GET /page.html HTTP/1.0\r\n\r\n", 27, MSG_NOSIGNAL) != 27) {
                    close(fd);
                    continue;
                }
                const std::string reply = receive_all(fd, 5000);
                if (reply.empty())
                    continue;  // refused by the stop
                (parse_reply(reply).body == kPage ? whole : broken)++;
            }
        });
    sleep_ms(500);
    const int status = site.stop();
    stop = true;
    for (std::thread &client : clients)
        client.join();
    EXPECT_EQ(status, 0);
    EXPECT_GT(whole.load(), 0);
    EXPECT_EQ(broken.load(), 0);
    EXPECT_EQ(read_file(site.port_file), "80\n7000\n");
}
