// The plug-in hooks across real connections, seen through the tp_record plug-in: the order
// in which a session meets them, what each hook's result makes the server do, and what
// happens when a hook misbehaves or the client goes away in the middle of a response.
#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "test_support.h"
#include "websrv_plugin.h"

using namespace websrv_test;

namespace {

const std::string server_binary = WEBSRV_TEST_SERVER;
const std::string kWarning = "WebSrv Warning: No CGI pattern specified; CGI Processing is disabled.\n";

void start(Site &site, const std::vector<std::string> &options = {}, bool verbose = false)
{
    std::vector<std::string> args;
    if (verbose)
        args.push_back("-v");
    args.insert(args.end(), {"-plugin", test_plugin("tp_record"), "-record", site.record, "-record-port",
                             std::to_string(site.port)});
    args.insert(args.end(), options.begin(), options.end());
    ASSERT_TRUE(site.start(server_binary, args)) << site.log();
}

// The first word of each recorded line: the hooks in the order they were called.
std::vector<std::string> hooks_called(const Site &site)
{
    std::vector<std::string> hooks;
    for (const std::string &line : site.recorded())
        hooks.push_back(line.substr(0, line.find(' ')));
    return hooks;
}

using Hooks = std::vector<std::string>;

}  // namespace

// ---- Order -----------------------------------------------------------------------------

TEST(HookOrder, FileRequestMeetsEveryHookInTurn)
{
    Site site;
    site.put("page.html", "the page");
    start(site);
    const Reply reply = site.get("GET /page.html HTTP/1.0\r\n\r\n");
    EXPECT_EQ(reply.status_line, "HTTP/1.0 200 Ok");
    EXPECT_EQ(reply.body, "the page");
    EXPECT_EQ(site.stop_cleanly(), kWarning);
    EXPECT_EQ(hooks_called(site), (Hooks{"init", "read", "request", "write", "sendfile", "end"}))
        << joined(site.recorded());
    EXPECT_EQ(site.recorded_line("write "), "write len=" + std::to_string(reply.head.size()) + " sent=" +
                                                std::to_string(reply.head.size()));
    EXPECT_EQ(site.recorded_line("sendfile "), "sendfile count=8 sent=8");
}

TEST(HookOrder, DirectoryRequestAsksTheDirectoryHookAfterTheRequestHook)
{
    Site site;
    site.put("index.html", "index");
    start(site);
    const Reply reply = site.get("GET / HTTP/1.0\r\n\r\n");
    EXPECT_EQ(reply.body, "index");
    site.stop_cleanly();
    EXPECT_EQ(hooks_called(site),
              (Hooks{"init", "read", "request", "directory", "write", "sendfile", "end"}))
        << joined(site.recorded());
    EXPECT_NE(site.recorded_line("request ").find(" uri=[./] "), std::string::npos);
}

TEST(HookOrder, MissingPathIsAnswered404BeforeTheRequestHook)
{
    Site site;
    start(site);
    const Reply reply = site.get("GET /missing.html HTTP/1.0\r\n\r\n");
    EXPECT_EQ(reply.raw, expected_error_page("HTTP/1.0", 404, "Not Found", reply.header("Date")));
    site.stop_cleanly();
    EXPECT_EQ(hooks_called(site), (Hooks{"init", "read", "write", "end"})) << joined(site.recorded());
}

TEST(HookOrder, MalformedRequestLineIsAnswered400WithoutTheRequestHook)
{
    Site site;
    site.put("x", "x");
    start(site);
    const Reply reply = site.get("GET /x\r\n\r\n");
    EXPECT_EQ(reply.raw, expected_error_page("HTTP/1.0", 400, "Bad Request", reply.header("Date")));
    site.stop_cleanly();
    EXPECT_EQ(hooks_called(site), (Hooks{"init", "read", "write", "end"})) << joined(site.recorded());
}

TEST(HookOrder, EveryReadOfAPieceGoesThroughTheReadHook)
{
    Site site;
    site.put("page.html", "p");
    start(site, {"-read-bytewise"}, true);
    const std::string request = "GET /page.html HTTP/1.0\r\nHost: h\r\n\r\n";
    const Reply reply = site.get(request);
    EXPECT_EQ(reply.body, "p");
    const std::string log = site.stop_cleanly();
    const auto lines = site.recorded();
    EXPECT_EQ(count_prefixed(lines, "read len="), request.size());
    EXPECT_EQ(count_prefixed(lines, "read len=4095 got=1"), 1u) << "the first read offers the whole buffer";
    EXPECT_EQ(count_prefixed(lines, "read len=4094 got=1"), 1u);
    size_t received = 0;
    for (size_t at = log.find("Received 1/4096 bytes.\n"); at != std::string::npos;
         at = log.find("Received 1/4096 bytes.\n", at + 1))
        ++received;
    EXPECT_EQ(received, request.size());
    EXPECT_NE(log.find("Host is ==>h\n"), std::string::npos);
}

// ---- Results of the hooks --------------------------------------------------------------

TEST(RequestHook, AnsweringItselfGetsNothingAddedByTheServer)
{
    Site site;
    site.put("page.html", "the page");
    start(site, {"-request-answer"});
    const std::string reply = exchange(site.port, "GET /page.html HTTP/1.0\r\n\r\n");
    EXPECT_EQ(reply, "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nanswered by record\n");
    EXPECT_EQ(site.stop_cleanly(), kWarning + "Web Server receive packet failed\n");
    EXPECT_EQ(hooks_called(site), (Hooks{"init", "read", "request", "write", "end"}))
        << joined(site.recorded());
}

TEST(RequestHook, FailingIsAnsweredAsWithoutTheHook)
{
    Site site;
    site.put("page.html", "the page");
    start(site, {"-request-fail"});
    const Reply reply = site.get("GET /page.html HTTP/1.0\r\n\r\n");
    EXPECT_EQ(reply.status_line, "HTTP/1.0 200 Ok");
    EXPECT_EQ(reply.body, "the page");
    EXPECT_EQ(site.stop_cleanly(), kWarning);
    EXPECT_EQ(hooks_called(site), (Hooks{"init", "read", "request", "write", "sendfile", "end"}));
}

TEST(SessionInitHook, FailingStillEndsTheSessionThroughTheEndHook)
{
    Site site;
    site.put("page.html", "the page");
    start(site, {"-init-fail"});
    Client client(site.port);
    client.send_all("GET /page.html HTTP/1.0\r\n\r\n");
    EXPECT_EQ(client.read_all(), "");
    EXPECT_TRUE(client.closed());
    EXPECT_EQ(site.stop_cleanly(), kWarning +
                              "Web Srv Error: Plugin Initialization for record Failed\n"
                              "Web Server receive packet failed\n");
    EXPECT_EQ(hooks_called(site), (Hooks{"init", "end"})) << joined(site.recorded());
}

TEST(SessionEndHook, SeesTheSocketClosedAndTheBufferStillValid)
{
    Site site;
    site.put("page.html", "the page");
    start(site);
    site.get("GET /page.html HTTP/1.0\r\n\r\n");
    site.get("BREW /nothing HTTP/1.0\r\n\r\n");
    site.stop_cleanly();
    const auto lines = site.recorded();
    std::vector<std::string> ends;
    for (const std::string &line : lines)
        if (line.rfind("end ", 0) == 0)
            ends.push_back(line);
    // The buffer holds the request, parsed in place: its first token ends at a NUL.
    EXPECT_EQ(ends, (Hooks{"end closed=1 buffer=[GET]", "end closed=1 buffer=[BREW]"})) << joined(lines);
}

TEST(SessionEndHook, ProcessItLeavesBehindIsReapedWhileTheServerIsIdle)
{
    Site site;
    site.put("page.html", "the page");
    start(site, {"-end-helper", "1500"});
    const pid_t server = site.server().pid();
    const long ticks_before = cpu_ticks(server);
    EXPECT_EQ(site.get("GET /page.html HTTP/1.0\r\n\r\n").status_line, "HTTP/1.0 200 Ok");
    // The helper outlives the connection's child, so the server adopts it.
    pid_t helper = 0;
    for (int waited = 0; waited < 1000 && helper == 0; waited += 5) {
        for (const std::string &line : site.recorded())
            if (line.rfind("helper pid=", 0) == 0)
                helper = static_cast<pid_t>(std::stoi(line.substr(11)));
        sleep_ms(helper == 0 ? 5 : 0);
    }
    ASSERT_GT(helper, 0) << joined(site.recorded());
    bool adopted = false;
    for (int waited = 0; waited < 1200 && !adopted; waited += 5) {
        adopted = status_field(helper, "PPid") == std::to_string(server);
        sleep_ms(adopted ? 0 : 5);
    }
    EXPECT_TRUE(adopted) << "helper's parent: " << status_field(helper, "PPid");
    // With no further connection it must still be reaped, not left a zombie.
    const std::vector<std::string> left = children_left_after(server, 5000);
    EXPECT_TRUE(left.empty()) << left.size() << " left, first: " << left.front();
    EXPECT_EQ(status_field(helper, "State"), "");
    // Waiting for it did not keep the server busy.
    EXPECT_LT(cpu_ticks(server) - ticks_before, 50);
    site.stop_cleanly();
    EXPECT_EQ(count_prefixed(site.recorded(), "end "), 1u);
}

TEST(DirectoryHook, PathItWritesIsServed)
{
    Site site;
    ASSERT_EQ(mkdir((site.root + "/docs").c_str(), 0755), 0);
    site.put("docs/manual.html", "manual");
    start(site, {"-directory", "docs/manual.html"});
    const Reply reply = site.get("GET /docs/ HTTP/1.0\r\n\r\n");
    EXPECT_EQ(reply.status_line, "HTTP/1.0 200 Ok");
    EXPECT_EQ(reply.header("Content-Type"), "text/html");
    EXPECT_EQ(reply.body, "manual");
    site.stop_cleanly();
}

TEST(DirectoryHook, PathThatDoesNotExistIsNotFound)
{
    Site site;
    site.put("index.html", "index");
    start(site, {"-directory", "nothing.html"});
    const Reply reply = site.get("GET / HTTP/1.0\r\n\r\n");
    EXPECT_EQ(reply.raw, expected_error_page("HTTP/1.0", 404, "Not Found", reply.header("Date")));
    site.stop_cleanly();
    EXPECT_EQ(hooks_called(site), (Hooks{"init", "read", "request", "directory", "write", "end"}));
}

TEST(DirectoryHook, FailingEndsTheSessionWithoutAResponse)
{
    Site site;
    site.put("index.html", "index");
    start(site, {"-directory-fail"});
    Client client(site.port);
    client.send_all("GET / HTTP/1.0\r\n\r\n");
    EXPECT_EQ(client.read_all(), "");
    EXPECT_TRUE(client.closed());
    EXPECT_EQ(site.stop_cleanly(), kWarning + "Web Server receive packet failed\n");
    EXPECT_EQ(hooks_called(site), (Hooks{"init", "read", "request", "directory", "end"}));
}

TEST(WriteHook, ShortWritesAreContinuedUntilTheHeaderBlockIsOut)
{
    // A hook that takes 20 bytes a call is called again for the rest: the client gets the
    // whole header block before the body, and the log says so only then.
    Site site;
    const std::string page(1234, 'p');  // a header block of 188 bytes
    site.put("page.html", page);
    start(site, {"-short-write", "20"}, true);
    const Reply reply = parse_reply(exchange(site.port, "GET /page.html HTTP/1.0\r\n\r\n"));
    EXPECT_EQ(reply.status_line, "HTTP/1.0 200 Ok");
    EXPECT_EQ(reply.head.size(), 188u);
    EXPECT_EQ(reply.header("Content-Length"), "1234");
    EXPECT_EQ(reply.body, page);
    const std::string log = site.stop_cleanly();
    EXPECT_NE(log.find("Succesfully transmitted response packet of 188 bytes\n"), std::string::npos) << log;
    EXPECT_NE(log.find("Succesfully transmitted file of 1234 bytes File was 1234 bytes long\n"),
              std::string::npos);
    const auto lines = site.recorded();
    EXPECT_EQ(count_prefixed(lines, "write "), 10u) << joined(lines);
    EXPECT_EQ(site.recorded_line("write "), "write len=188 sent=20");
    EXPECT_EQ(count_prefixed(lines, "write len=8 sent=8"), 1u) << joined(lines);
}


// ---- Bodies are never cut short silently -----------------------------------------------

TEST(SendfileHook, MovingLittlePerCallStillDeliversTheWholeFile)
{
    Site site;
    std::string content;
    for (int i = 0; content.size() < 300000; ++i)
        content += std::to_string(i) + ",";
    content.resize(300000);
    site.put("data.txt", content);
    start(site, {"-sendfile-chunk", "1000"}, true);
    const Reply reply = site.get("GET /data.txt HTTP/1.0\r\n\r\n", 20000);
    EXPECT_EQ(reply.header("Content-Length"), "300000");
    EXPECT_EQ(reply.body.size(), content.size());
    EXPECT_TRUE(reply.body == content) << "the body differs from the file";
    const std::string log = site.stop_cleanly();
    EXPECT_NE(log.find("Succesfully transmitted file of 300000 bytes File was 300000 bytes long\n"),
              std::string::npos)
        << log;
    const auto lines = site.recorded();
    EXPECT_EQ(count_prefixed(lines, "sendfile count="), 300u);
    EXPECT_EQ(count_prefixed(lines, "sendfile count=300000 sent=1000"), 1u) << "the first call asks for all";
    EXPECT_EQ(count_prefixed(lines, "sendfile count=1000 sent=1000"), 1u) << "the last call asks for the rest";
}

// ---- A client that goes away -----------------------------------------------------------

TEST(Disconnect, ClientResettingMidResponseStillLetsTheSessionEnd)
{
    // Once with the server's own sendfile, once through the plug-in's hooks.
    for (bool io_hooks : {false, true}) {
        Site site;
        const std::string path = site.root + "/large.bin";
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ftruncate(fd, 256LL << 20), 0);  // far more than the socket buffers hold
        close(fd);
        start(site, io_hooks ? std::vector<std::string>{} : std::vector<std::string>{"-no-io-hooks"});
        {
            Client client(site.port);
            ASSERT_TRUE(client.send_all("GET /large.bin HTTP/1.0\r\n\r\n"));
            const std::string start_of_reply = client.read_until("\r\n\r\n");
            EXPECT_EQ(start_of_reply.rfind("HTTP/1.0 200 Ok\r\n", 0), 0u) << io_hooks;
            client.reset();
        }
        const std::string log = site.stop_cleanly();
        EXPECT_NE(log.find("Error: Unable to send file; Error:"), std::string::npos) << io_hooks << log;
        const auto lines = site.recorded();
        ASSERT_FALSE(lines.empty()) << io_hooks;
        EXPECT_EQ(lines.back(), "end closed=1 buffer=[GET]") << io_hooks << "\n" << joined(lines);
    }
}

// ---- A plug-in that unregisters itself during its session ------------------------------

TEST(Unregister, ResponseStillGoesOutThroughThePlainSocket)
{
    for (const char *hook : {"init", "request"}) {
        Site site;
        site.put("page.html", "the page");
        start(site, {"-unregister-in", hook});
        const Reply reply = site.get("GET /page.html HTTP/1.0\r\n\r\n");
        EXPECT_EQ(reply.head.rfind("HTTP/1.0 200 Ok\r\nServer: TAVRIX/1.0\r\n", 0), 0u) << hook;
        EXPECT_EQ(reply.header("Content-Length"), "8") << hook;
        EXPECT_EQ(reply.body, "the page") << hook;
        const std::string log = site.stop_cleanly();
        EXPECT_NE(log.find("WebSrv Error: No plugin found for port " + std::to_string(site.port) + "\n"),
                  std::string::npos)
            << hook << log;
        const auto lines = site.recorded();
        EXPECT_EQ(count_prefixed(lines, "unregister result=0"), 1u) << hook << joined(lines);
        EXPECT_EQ(count_prefixed(lines, "write "), 0u) << hook << ": the header went out without the hook";
        EXPECT_EQ(count_prefixed(lines, "end "), 0u) << hook << ": no plug-in is left to tell";
    }
}

TEST(Unregister, ErrorResponseStillGoesOutThroughThePlainSocket)
{
    Site site;
    start(site, {"-unregister-in", "init"});
    const Reply reply = site.get("GET /missing HTTP/1.0\r\n\r\n");
    EXPECT_EQ(reply.raw, expected_error_page("HTTP/1.0", 404, "Not Found", reply.header("Date")));
    site.stop_cleanly();
    EXPECT_EQ(count_prefixed(site.recorded(), "write "), 0u);
}

// ---- The session's info record ---------------------------------------------------------

TEST(SessionInfo, PeerReachesThePluginAndItsHeaderLineEveryHeaderBlock)
{
    Site site;
    site.put("page.html", "the page");
    start(site, {"-record-info", "-header-line", "X-Frame-Options: DENY"});
    const struct {
        const char *request;
        const char *status_line;
    } cases[] = {
        {"GET /page.html HTTP/1.0\r\n\r\n", "HTTP/1.0 200 Ok"},
        {"GET /page.html HTTP/1.0\r\nIf-Modified-Since: Sun, 06 Nov 1994 08:49:37 GMT\r\n\r\n",
         "HTTP/1.0 304 Not Modified"},
        {"GET /missing.html HTTP/1.0\r\n\r\n", "HTTP/1.0 404 Not Found"},
        {"GET\r\n\r\n", "HTTP/1.0 400 Bad Request"},
    };
    for (const auto &c : cases) {
        const Reply reply = site.get(c.request);
        EXPECT_EQ(reply.status_line, c.status_line) << c.request;
        // The plug-in's line is the last of the header block, whatever the answer.
        const std::string tail = "\r\nX-Frame-Options: DENY\r\n\r\n";
        EXPECT_EQ(reply.head.size() >= tail.size() ? reply.head.substr(reply.head.size() - tail.size()) : "", tail)
            << c.request << reply.raw;
    }
    site.stop_cleanly();
    const std::string info = site.recorded_line("info ");
    const std::string expected = "info size=" + std::to_string(sizeof(websrv_session_info)) +
                                 " peer=[127.0.0.1] peer_port=";
    EXPECT_EQ(info.rfind(expected, 0), 0u) << info;
    EXPECT_EQ(info.substr(info.size() - 9), " family=2") << info;
    EXPECT_EQ(info.find("peer_port=0 "), std::string::npos) << info;
}
