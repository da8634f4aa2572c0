// CGI requests against the real binary: the program's environment and arguments, request
// bodies, the status line built from the program's output, refused methods and paths, and
// the server staying healthy (serving the next request, leaving no process behind).
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <dirent.h>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <random>
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

// One request on a new connection; CGI programs get more time than files.
std::string round_trip(int port, const std::string &request, int ms = 10000)
{
    return exchange(port, request, ms);
}

std::string body_of(const std::string &reply)
{
    const size_t end = reply.find("\r\n\r\n");
    return end == std::string::npos ? "" : reply.substr(end + 4);
}

std::vector<std::string> lines_with(const std::string &text, const std::string &prefix)
{
    std::vector<std::string> found;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = text.substr(start, end - start);
        if (line.rfind(prefix, 0) == 0)
            found.push_back(line);
        start = end + 1;
    }
    return found;
}

// A docroot with cgi-bin/printenv and scripts, served by the real binary with pattern
// "cgi-bin".
class CgiServer : public ::testing::Test {
protected:
    TempDir dir;
    std::string root = dir.file("www");
    int port = 0;
    std::unique_ptr<ServerProcess> server;

    void SetUp() override
    {
        mkdir(root.c_str(), 0755);
        mkdir((root + "/cgi-bin").c_str(), 0755);
        mkdir((root + "/docs").c_str(), 0755);
        write_file(root + "/index.html", "<p>index</p>\n");
        copy_program(CGI_PRINTENV, "cgi-bin/printenv");
        script("cgi-bin/plain", "printf 'Content-Type: text/plain\\r\\n\\r\\nhello\\n'");
    }

    void TearDown() override
    {
        if (server && server->alive()) {
            EXPECT_EQ(server->stop(SIGTERM), 0);
            EXPECT_EQ(server->output().find("Web Server select failed"), std::string::npos);
        }
    }

    void copy_program(const std::string &from, const std::string &to) { copy_file(from, root + "/" + to, 0755); }

    // A shell CGI program with the given body.
    void script(const std::string &name, const std::string &body) { write_script(root + "/" + name, body); }

    void start(const std::vector<std::string> &extra = {})
    {
        port = free_port();
        std::vector<std::string> args{"-plugin", http_plugin, "-port", std::to_string(port),
                                      "-c", "cgi-bin", "-d", root};
        args.insert(args.end(), extra.begin(), extra.end());
        server = std::make_unique<ServerProcess>(server_binary, args, dir.file("webport"), dir.path());
        ASSERT_TRUE(server->wait_ready({port})) << server->output();
    }

    // The next ordinary request is served, and every process the server made has ended.
    void expect_healthy()
    {
        const std::string reply = round_trip(port, get_request("/index.html"));
        EXPECT_EQ(reply.rfind("HTTP/1.0 200 Ok\r\n", 0), 0u) << reply;
        EXPECT_NE(reply.find("<p>index</p>"), std::string::npos);
        const std::vector<std::string> left = children_left_after(server->pid(), 3000);
        EXPECT_TRUE(left.empty()) << "processes left: " << left.size() << " first: " << left[0];
    }

    std::string log()
    {
        server->stop(SIGTERM);
        return server->output();
    }
};

// The environment lines of a printenv reply; the client's port, which the test cannot know
// before it connects, is written as "*".
std::vector<std::string> environment_of(const std::string &reply)
{
    std::vector<std::string> lines = lines_with(body_of(reply), "env=");
    for (std::string &line : lines)
        if (line.rfind("env=[REMOTE_PORT=", 0) == 0 && line.size() > 19)
            line = "env=[REMOTE_PORT=*]";
    return lines;
}

TEST_F(CgiServer, ProgramReceivesExactlyTheCgiEnvironmentInOrder)
{
    start();
    const std::string p = std::to_string(port);
    const auto common = [&](const std::string &method, const std::string &protocol, const std::string &name) {
        return std::vector<std::string>{"env=[SERVER_SOFTWARE=TAVRIX/1.0]", "env=[SERVER_NAME=" + name + "]",
                                        "env=[GATEWAY_INTERFACE=CGI/1.1]", "env=[SERVER_PROTOCOL=" + protocol + "]",
                                        "env=[SERVER_PORT=" + p + "]", "env=[REQUEST_METHOD=" + method + "]",
                                        "env=[SCRIPT_NAME=/cgi-bin/printenv]"};
    };
    const auto located = [&](const std::string &uri) {
        return std::vector<std::string>{"env=[REMOTE_ADDR=127.0.0.1]", "env=[REMOTE_PORT=*]",
                                        "env=[REQUEST_URI=" + uri + "]", "env=[DOCUMENT_ROOT=" + root + "]",
                                        "env=[SCRIPT_FILENAME=" + root + "/cgi-bin/printenv]",
                                        "env=[REDIRECT_STATUS=200]"};
    };
    const auto join = [](std::vector<std::vector<std::string>> parts) {
        std::vector<std::string> all;
        for (auto &part : parts)
            all.insert(all.end(), part.begin(), part.end());
        return all;
    };
    std::string many_headers;
    std::vector<std::string> many_entries;
    for (int i = 0; i < 60; ++i) {
        char name[16];
        snprintf(name, sizeof name, "X-H%02d", i);
        many_headers += std::string(name) + ": v" + std::to_string(i) + "\r\n";
        many_entries.push_back(std::string("env=[HTTP_X_H") + (name + 3) + "=v" + std::to_string(i) + "]");
    }
    const struct {
        const char *what;
        std::string request;
        std::vector<std::string> environment;
    } cases[] = {
        {"GET with headers",
         get_request("/cgi-bin/printenv?x=1",
                     "Host: device.local:8080\r\nContent-Type: text/plain\r\nContent-Length: 0\r\n"
                     "User-Agent: t\r\nCookie: a=1\r\nAuthorization: Basic dTpw\r\nProxy: evil\r\n"
                     "Cookie: b=2\r\nAccept-Language: de\r\n"),
         join({common("GET", "HTTP/1.0", "device.local"),
               {"env=[QUERY_STRING=x=1]", "env=[CONTENT_TYPE=text/plain]", "env=[CONTENT_LENGTH=0]"},
               located("/cgi-bin/printenv?x=1"),
               {"env=[HTTP_HOST=device.local:8080]", "env=[HTTP_USER_AGENT=t]", "env=[HTTP_COOKIE=a=1; b=2]",
                "env=[HTTP_ACCEPT_LANGUAGE=de]"}})},
        {"no headers, no query, method in lower case",
         "get /cgi-bin/printenv HTTP/1.0\r\n\r\n",
         join({common("get", "HTTP/1.0", "127.0.0.1"), {"env=[QUERY_STRING=]"}, located("/cgi-bin/printenv")})},
        {"POST",
         "POST /cgi-bin/printenv HTTP/1.0\r\nHost: [::1]:8080\r\nContent-Length: 3\r\n\r\nabc",
         join({common("POST", "HTTP/1.0", "[::1]"), {"env=[QUERY_STRING=]", "env=[CONTENT_LENGTH=3]"},
               located("/cgi-bin/printenv"), {"env=[HTTP_HOST=[::1]:8080]"}})},
        {"path info", get_request("/cgi-bin/printenv/items/7%20x?a=b"),
         join({common("GET", "HTTP/1.0", "127.0.0.1"), {"env=[QUERY_STRING=a=b]"},
               located("/cgi-bin/printenv/items/7%20x?a=b"),
               {"env=[PATH_INFO=/items/7 x]", "env=[PATH_TRANSLATED=" + root + "/items/7 x]"}})},
        {"sixty headers", get_request("/cgi-bin/printenv", many_headers),
         join({common("GET", "HTTP/1.0", "127.0.0.1"), {"env=[QUERY_STRING=]"}, located("/cgi-bin/printenv"),
               many_entries})},
    };
    for (const auto &c : cases) {
        const std::string reply = round_trip(port, c.request);
        EXPECT_NE(reply.find(" 200 OK\r\nContent-Type: text/plain\r\n\r\n"), std::string::npos) << c.what << reply;
        // Nothing of the server's own environment (it runs with WEBSRV_TEST_PORT_FILE, PATH...).
        EXPECT_EQ(environment_of(reply), c.environment) << c.what << "\n" << reply;
    }
    EXPECT_EQ(lines_with(body_of(round_trip(port, get_request("/cgi-bin/printenv"))), "argv"),
              std::vector<std::string>{"argv[0]=[cgi-bin/printenv]"});
    expect_healthy();
}

TEST_F(CgiServer, ProgramRunsInItsOwnDirectory)
{
    write_file(root + "/cgi-bin/beside.txt", "found beside\n");
    script("cgi-bin/reader", "printf 'Content-Type: text/plain\\r\\n\\r\\n'; pwd; cat beside.txt");
    start();
    EXPECT_EQ(body_of(round_trip(port, get_request("/cgi-bin/reader"))), root + "/cgi-bin\nfound beside\n");
    expect_healthy();
}

TEST_F(CgiServer, QueryWordsBecomeDecodedArguments)
{
    struct Case {
        std::string query;
        std::vector<std::string> arguments;
        std::string query_entry;
    };
    std::vector<std::string> many;
    std::string query25;
    for (int i = 1; i <= 25; ++i) {
        query25 += (i > 1 ? "+w" : "w") + std::to_string(i);
        if (i <= 18)
            many.push_back("w" + std::to_string(i));
    }
    const std::vector<Case> cases{
        {"?a+b%20c", {"a", "b c"}, "a+b%20c"},
        {"?x=1", {}, "x=1"},
        {"?+a++", {"", "a", ""}, "+a++"},
        {"?", {}, ""},
        {"?%41%3d", {"A="}, "%41%3d"},
        {"?" + query25, many, query25},
    };
    start();
    for (const Case &c : cases) {
        const std::string reply = round_trip(port, get_request("/cgi-bin/printenv" + c.query));
        std::vector<std::string> expected{"argv[0]=[cgi-bin/printenv]"};
        for (size_t i = 0; i < c.arguments.size(); ++i)
            expected.push_back("argv[" + std::to_string(i + 1) + "]=[" + c.arguments[i] + "]");
        EXPECT_EQ(lines_with(body_of(reply), "argv"), expected) << c.query;
        EXPECT_EQ(lines_with(body_of(reply), "env=[QUERY_STRING="),
                  std::vector<std::string>{"env=[QUERY_STRING=" + c.query_entry + "]"})
            << c.query;
    }
    expect_healthy();
}

TEST_F(CgiServer, PostBodyThatArrivedWithTheHeaderReachesTheProgram)
{
    start();
    const std::string body = "name=sensor&interval=60";
    const std::string reply = round_trip(
        port, "POST /cgi-bin/printenv HTTP/1.0\r\nContent-Length: " + std::to_string(body.size()) +
                  "\r\n\r\n" + body);
    EXPECT_NE(reply.find(input_report(body)), std::string::npos) << reply;
    expect_healthy();
}

TEST_F(CgiServer, MegabyteBodySentInPiecesArrivesByteForByte)
{
    start();
    std::mt19937 random(7);
    std::string body(1 << 20, '\0');
    for (char &c : body)
        c = static_cast<char>(random());
    Client client(port);
    client.send_all("POST /cgi-bin/printenv HTTP/1.0\r\nContent-Length: " + std::to_string(body.size()) +
                    "\r\n\r\n" + body.substr(0, 100));
    for (size_t at = 100; at < body.size(); at += 70000) {
        client.send_all(body.substr(at, 70000));
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const std::string reply = client.read_all(10000);
    EXPECT_NE(reply.find(input_report(body)), std::string::npos) << reply.substr(0, 300);
    expect_healthy();
}

TEST_F(CgiServer, BytesBehindTheAnnouncedBodyAreNotTheProgramsInput)
{
    start();
    const std::string reply = round_trip(
        port, "POST /cgi-bin/printenv HTTP/1.0\r\nContent-Length: 5\r\n\r\nhelloGET / HTTP/1.0\r\n\r\n");
    EXPECT_NE(reply.find(input_report("hello")), std::string::npos) << reply;
    expect_healthy();
}

TEST_F(CgiServer, PostWithoutUsableLengthForwardsOnlyWhatArrivedWithTheHeader)
{
    start();
    // A length that is no length is refused (400) before any program starts; without one, the
    // bytes that came with the header are the whole body.
    const struct {
        std::string length_header;
        const char *answer;
    } cases[] = {{"", "input_length=5\n"}, {"Content-Length: -5\r\n", "HTTP/1.0 400 Bad Request\r\n"},
                 {"Content-Length: abc\r\n", "HTTP/1.0 400 Bad Request\r\n"}};
    for (const auto &c : cases) {
        Client client(port);
        // The client keeps its side open: nothing more may be waited for.
        client.send_all("POST /cgi-bin/printenv HTTP/1.0\r\n" + c.length_header + "\r\nearly");
        const auto begin = std::chrono::steady_clock::now();
        const std::string reply = client.read_all(10000);
        EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(5)) << c.length_header;
        EXPECT_NE(reply.find(c.answer), std::string::npos) << c.length_header << reply;
    }
    expect_healthy();
}

TEST_F(CgiServer, LowerCasePostGetsItsBodyCopiedLikePost)
{
    // Methods are compared without regard to case: the body reaches the program through the
    // input copy, also when it arrives after the program has started.
    start({"-v"});
    Client client(port);
    client.send_all("post /cgi-bin/printenv?interactive HTTP/1.0\r\nContent-Length: 5\r\n\r\n");
    const std::string first = client.read_until("ready\n", 10000);
    ASSERT_NE(first.find("ready\n"), std::string::npos) << first;
    client.send_all("hello");
    const std::string reply = first + client.read_all(10000);
    EXPECT_NE(reply.find(input_report("hello")), std::string::npos) << reply;
    expect_healthy();
    const std::string output = log();
    EXPECT_NE(output.find("Starting the Input Redirector"), std::string::npos);
    EXPECT_NE(output.find("Starting the Output Redirector"), std::string::npos);
}

TEST_F(CgiServer, ProgramThatReadsItsInputOnAGetSeesItsEndAtOnce)
{
    // Without a body the program's input is empty: a program that reads it to its end (a
    // form handler, wc -c) answers at once instead of holding the server for the client.
    script("cgi-bin/count", "n=$(wc -c); printf 'Content-Type: text/plain\\r\\n\\r\\n%s\\n' \"$n\"");
    start();
    for (const char *method : {"GET", "get", "HEAD"}) {
        Client client(port);
        client.send_all(std::string(method) + " /cgi-bin/count HTTP/1.0\r\n\r\n");
        const std::string reply = client.read_all(5000);
        EXPECT_TRUE(client.closed()) << method << ": the answer never ended";
        EXPECT_EQ(reply, std::string("HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n") +
                             (std::string(method) == "HEAD" ? "" : "0\n"))
            << method;
    }
    expect_healthy();
}

// A chunked body is decoded whole before the program starts, which then sees its length in
// CONTENT_LENGTH (curl sends chunked for "-T -" and streamed uploads); the connection ends with
// the answer.
TEST_F(CgiServer, ChunkedBodyReachesTheProgramDecodedWithItsLength)
{
    start();
    const std::string large(300000, 'z');
    std::string coded_large;
    for (size_t at = 0; at < large.size(); at += 70000) {
        const std::string piece = large.substr(at, 70000);
        char size[16];
        snprintf(size, sizeof size, "%zx", piece.size());
        coded_large += std::string(size) + ";ext=1\r\n" + piece + "\r\n";
    }
    const struct {
        const char *what;
        std::string head;  // behind the request line
        std::string coded;
        std::string body;
    } cases[] = {
        {"two chunks", "", "5\r\nhello\r\n6\r\n world\r\n0\r\n\r\n", "hello world"},
        {"upper-case size, trailer", "", "A\r\n0123456789\r\n0\r\nX-Sum: 1\r\n\r\n", "0123456789"},
        {"empty body", "", "0\r\n\r\n", ""},
        {"large, with extensions", "", coded_large + "0\r\n\r\n", large},
        {"HTTP/1.1 and a coding name in capitals", "Host: a\r\n", "3\r\nabc\r\n0\r\n\r\n", "abc"},
    };
    for (const auto &c : cases) {
        const bool http11 = !c.head.empty();
        const std::string reply = round_trip(port, std::string("POST /cgi-bin/printenv HTTP/1.") + (http11 ? "1" : "0") +
                                                   "\r\n" + c.head + "Transfer-Encoding: " + (http11 ? "CHUNKED" : "chunked") +
                                                   "\r\n\r\n" + c.coded);
        EXPECT_NE(reply.find("env=[CONTENT_LENGTH=" + std::to_string(c.body.size()) + "]"), std::string::npos)
            << c.what << reply.substr(0, 600);
        EXPECT_NE(reply.find(input_report(c.body)), std::string::npos) << c.what;
    }
    expect_healthy();
}

TEST_F(CgiServer, ChunkedBodyPastTheBoundIsRefused413AndTheProgramNeverRuns)
{
    script("cgi-bin/marker", "touch \"$(dirname \"$0\")/ran\"; printf 'Content-Type: text/plain\\r\\n\\r\\n'");
    start();
    Client client(port);
    ASSERT_TRUE(client.send_all("POST /cgi-bin/marker HTTP/1.0\r\nTransfer-Encoding: chunked\r\n\r\n"));
    const std::string chunk = "100000\r\n" + std::string(0x100000, 'x') + "\r\n";
    for (int i = 0; i < 9 && client.send_all(chunk); ++i) {
    }
    const Reply reply = parse_reply(client.read_all(10000));
    EXPECT_EQ(reply.raw, expected_error_page("HTTP/1.0", 413, "Content Too Large", reply.header("Date")));
    EXPECT_FALSE(file_exists(root + "/cgi-bin/ran"));
    expect_healthy();
}

TEST_F(CgiServer, ChunkedBodyOfAClientThatWaitsIsAskedForWith100Continue)
{
    start();
    Client client(port);
    ASSERT_TRUE(client.send_all("POST /cgi-bin/printenv HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\n"
                                "Expect: 100-continue\r\n\r\n"));
    EXPECT_EQ(client.read_until("\r\n\r\n"), "HTTP/1.1 100 Continue\r\n\r\n");
    ASSERT_TRUE(client.send_all("4\r\nbody\r\n0\r\n\r\n"));
    const std::string reply = client.read_all(10000);
    EXPECT_NE(reply.find(input_report("body")), std::string::npos) << reply;
    expect_healthy();
}

// A header value is what stands between the blanks after its colon and those at its line's end;
// a request that asks to close its connection is told it closes.
TEST_F(CgiServer, HeaderValuesLoseTheirBlanksAndConnectionCloseIsAnswered)
{
    start();
    const std::string reply =
        round_trip(port, "GET /cgi-bin/printenv HTTP/1.1\r\nHost: a \r\nX-B: \t b  \r\nConnection: close\r\n\r\n");
    EXPECT_NE(reply.find("env=[HTTP_X_B=b]\n"), std::string::npos) << reply;
    EXPECT_NE(reply.find("env=[SERVER_NAME=a]\n"), std::string::npos) << reply;
    EXPECT_EQ(reply.rfind("HTTP/1.1 200 OK\r\nConnection: close\r\n", 0), 0u) << reply;
    expect_healthy();
}

// A client that closes its sending side after its request (as HTTP/1.0 clients and scripts
// may) is still there: a slow program's answer reaches it, a silent one's 504 does, and an
// event stream goes on.
TEST_F(CgiServer, ClientThatClosesItsSendingSideStillGetsTheAnswer)
{
    script("cgi-bin/slow", "sleep 1.5; printf 'Content-Type: text/plain\\r\\n\\r\\nlate\\n'");
    script("cgi-bin/mute", "exec sleep 30");
    script("cgi-bin/events", "printf 'Content-Type: text/event-stream\\r\\n\\r\\ndata: one\\n\\n'; sleep 0.5; "
                             "printf 'data: two\\n\\n'");
    start({"-t", "3"});
    const struct {
        const char *program;
        std::string expected;  // the whole answer, or (events) what its body ends with
    } cases[] = {
        {"slow", "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nlate\n"},
        {"mute", "504"},
        {"events", "data: two\n\n"},
    };
    for (const auto &c : cases) {
        Client client(port);
        ASSERT_TRUE(client.send_all(get_request(std::string("/cgi-bin/") + c.program)));
        shutdown(client.fd(), SHUT_WR);
        const Reply reply = parse_reply(client.read_all(15000));
        if (c.expected == "504")
            EXPECT_EQ(reply.raw, expected_error_page("HTTP/1.0", 504, "Gateway Timeout", reply.header("Date")));
        else if (std::string(c.program) == "events")
            EXPECT_TRUE(reply.body.ends_with(c.expected)) << reply.raw;
        else
            EXPECT_EQ(reply.raw, c.expected);
    }
    expect_healthy();
}

TEST_F(CgiServer, ClientThatClosesBeforeTheWholeBodyGivesTheProgramAnEndOfInput)
{
    start();
    Client client(port);
    client.send_all("POST /cgi-bin/printenv HTTP/1.0\r\nContent-Length: 1000\r\n\r\n0123456789");
    shutdown(client.fd(), SHUT_WR);
    const std::string reply = client.read_all(10000);
    EXPECT_NE(reply.find("input_length=10\n"), std::string::npos) << reply;
    expect_healthy();
}

TEST_F(CgiServer, ProgramThatIgnoresItsBodyStillAnswers)
{
    script("cgi-bin/ignore", "printf 'Content-Type: text/plain\\r\\n\\r\\nignored\\n'");
    start();
    const std::string body(200000, 'x');
    const std::string reply = round_trip(
        port, "POST /cgi-bin/ignore HTTP/1.0\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
    EXPECT_EQ(reply, "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nignored\n");
    expect_healthy();
}

struct OutputCase {
    const char *name;
    std::string program_output;  // printf format for the script
    std::string reply;           // what the client receives; "" for the server's 500 page
};

TEST_F(CgiServer, StatusLineFollowsTheProgramsHeaderLines)
{
    const std::vector<OutputCase> cases{
        {"plain", "Content-Type: text/html\\r\\n\\r\\n<p>x</p>",
         "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\n<p>x</p>"},
        {"created", "Status: 201\\r\\nContent-Type: text/plain\\r\\n\\r\\nmade",
         "HTTP/1.0 201 Something\r\nContent-Type: text/plain\r\n\r\nmade"},
        // The program's own reason phrase for a code the server does not know; the server's
        // own for one it knows.
        {"own_reason", "Status: 201 Created \\r\\n\\r\\n", "HTTP/1.0 201 Created\r\n\r\n"},
        {"known_reason", "Status: 404 Gone Away\\r\\n\\r\\n", "HTTP/1.0 404 Not Found\r\n\r\n"},
        // A program named nph-... writes the whole response; it goes out untouched.
        {"nph-raw", "HTTP/1.1 299 Mine\\r\\nX-Raw: 1\\r\\n\\r\\nraw", "HTTP/1.1 299 Mine\r\nX-Raw: 1\r\n\r\nraw"},

        {"missing", "Status: 404 Not Found\\r\\nContent-Type: text/plain\\r\\n\\r\\ngone",
         "HTTP/1.0 404 Not Found\r\nContent-Type: text/plain\r\n\r\ngone"},
        {"late_status", "Content-Type: text/plain\\r\\nStatus: 503\\r\\nX-A: 1\\r\\n\\r\\nbusy",
         "HTTP/1.0 503 Service Temporarily Overloaded\r\nContent-Type: text/plain\r\nX-A: 1\r\n\r\nbusy"},
        {"letters", "Status: abc\\r\\n\\r\\n", ""},
        // Header names in any letter case.
        {"lower_case", "status: 404\\r\\ncontent-type: text/plain\\r\\n\\r\\ngone",
         "HTTP/1.0 404 Not Found\r\ncontent-type: text/plain\r\n\r\ngone"},
        {"upper_case", "STATUS: 503\\r\\n\\r\\n", "HTTP/1.0 503 Service Temporarily Overloaded\r\n\r\n"},
        {"lower_case_redirect", "location: /index.html\\r\\n\\r\\n",
         "HTTP/1.0 302 Found\r\nlocation: /index.html\r\n\r\n"},
        // At most nine digits: ten would not always fit an int, so they count as no number
        // (and a status outside 100 to 599 is the program's failure).
        {"nine_digits", "Status: 000000404\\r\\n\\r\\n", "HTTP/1.0 404 Not Found\r\n\r\n"},
        {"ten_digits", "Status: 0000000404\\r\\n\\r\\n", ""},
        {"out_of_range", "Status: 123456789\\r\\n\\r\\n", ""},
        // A header that comes in several writes is read whole before it is answered.
        {"pieces", "Status: 403\\r\\n'; sleep 0.3; printf 'Content-Type: text/plain\\r\\n'; sleep 0.3; "
                   "printf '\\r\\nno", "HTTP/1.0 403 Forbidden\r\nContent-Type: text/plain\r\n\r\nno"},
        {"split_end", "Content-Type: text/plain'; sleep 0.3; printf '\\r\\n\\r\\nbody\\n",
         "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nbody\n"},
        // Beside a Location line the program's Status stands (a 307 keeps its method, a 303
        // changes it); Location alone is 302.
        {"redirect", "Status: 301\\r\\nLocation: /index.html\\r\\n\\r\\n",
         "HTTP/1.0 301 Something\r\nLocation: /index.html\r\n\r\n"},
        {"see_other", "Status: 303 See Other\\r\\nLocation: /index.html\\r\\n\\r\\n",
         "HTTP/1.0 303 See Other\r\nLocation: /index.html\r\n\r\n"},
        {"temporary", "Location: /index.html\\r\\nStatus: 307 Temporary Redirect\\r\\n\\r\\n",
         "HTTP/1.0 307 Temporary Redirect\r\nLocation: /index.html\r\n\r\n"},
        {"created_at", "Status: 201 Created\\r\\nLocation: /docs/new\\r\\nContent-Type: text/plain\\r\\n\\r\\nmade",
         "HTTP/1.0 201 Created\r\nLocation: /docs/new\r\nContent-Type: text/plain\r\n\r\nmade"},
        {"body_mentions_status", "Content-Type: text/plain\\r\\n\\r\\nStatus: 500\\nLocation: x\\n",
         "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nStatus: 500\nLocation: x\n"},
        {"lf_only", "Content-Type: text/plain\\n\\nbody", "HTTP/1.0 200 OK\r\nContent-Type: text/plain\n\nbody"},
    };
    for (const OutputCase &c : cases)
        script(std::string("cgi-bin/") + c.name, "printf '" + c.program_output + "'");
    start();
    for (const OutputCase &c : cases) {
        const std::string reply = round_trip(port, get_request(std::string("/cgi-bin/") + c.name));
        if (c.reply.empty())
            EXPECT_EQ(reply, expected_error_page("HTTP/1.0", 500, "Internal Server Error", parse_reply(reply).header("Date")))
                << c.name;
        else
            EXPECT_EQ(reply, c.reply) << c.name;
    }
    expect_healthy();
    const std::string output = log();
    EXPECT_NE(output.find("TODO: Handling of the redirect command.\n"), std::string::npos);
}

TEST_F(CgiServer, LargeOutputArrivesWhole)
{
    script("cgi-bin/big", "printf 'Content-Type: application/octet-stream\\r\\n\\r\\n'; head -c 3000000 /dev/zero | tr '\\0' 'z'");
    start();
    const std::string reply = round_trip(port, get_request("/cgi-bin/big"));
    EXPECT_EQ(body_of(reply), std::string(3000000, 'z'));
    expect_healthy();
}

TEST_F(CgiServer, ProgramWithoutAHeaderGetsBadGateway)
{
    script("cgi-bin/silent", "exit 0");
    script("cgi-bin/no_newline", "printf 'Content-Type: text/plain'");
    start();
    for (const char *program : {"/cgi-bin/silent", "/cgi-bin/no_newline"}) {
        const std::string reply = round_trip(port, get_request(program));
        EXPECT_EQ(reply, expected_error_page("HTTP/1.0", 502, "Bad Gateway", parse_reply(reply).header("Date")))
            << program;
    }
    expect_healthy();
    const std::string output = log();
    EXPECT_NE(output.find("No header information\n"), std::string::npos) << output;
    EXPECT_NE(output.find("Unable to get the end of the header after 4096 bytes\n"), std::string::npos) << output;
}

TEST_F(CgiServer, ProgramThatCannotBeStartedGetsAServerError)
{
    write_file(root + "/cgi-bin/not_executable", "#!/bin/sh\necho hi\n");
    chmod((root + "/cgi-bin/not_executable").c_str(), 0644);
    start();
    const std::string reply = round_trip(port, get_request("/cgi-bin/not_executable"));
    EXPECT_EQ(reply.rfind("HTTP/1.0 500 Internal Error\r\nContent-Type: text/html\r\n\r\n", 0), 0u) << reply;
    expect_healthy();
    const std::string output = log();
    EXPECT_NE(output.find("Internal Web server error: cgi-bin/not_executable: Permission denied\n"),
              std::string::npos)
        << output;
}

TEST_F(CgiServer, RefusedMethodsStartNoProcess)
{
    script("cgi-bin/marker", "touch \"$(dirname \"$0\")/ran\"; printf 'Content-Type: text/plain\\r\\n\\r\\n'");
    start({"-v"});
    for (const char *method : {"PUT", "DELETE", "OPTIONS", "GETX"}) {

        const std::string reply = round_trip(port, std::string(method) + " /cgi-bin/marker HTTP/1.0\r\n\r\n");
        EXPECT_EQ(reply.rfind("HTTP/1.0 501 Not Implemented\r\n", 0), 0u) << method << reply;
    }
    EXPECT_FALSE(file_exists(root + "/cgi-bin/ran"));
    expect_healthy();
    EXPECT_EQ(log().find("Redirector"), std::string::npos);
}

TEST_F(CgiServer, PatternIsAPlainSubstringOfThePath)
{
    script("docs/about-cgi-bin.txt", "printf 'Content-Type: text/plain\\r\\n\\r\\nran\\n'");
    write_file(root + "/docs/cgi.txt", "static\n");
    start();
    EXPECT_EQ(body_of(round_trip(port, get_request("/docs/about-cgi-bin.txt"))), "ran\n");
    EXPECT_EQ(round_trip(port, get_request("/docs/cgi.txt")).rfind("HTTP/1.0 200 Ok\r\n", 0), 0u);
    expect_healthy();
}

TEST_F(CgiServer, ProgramsOutsideTheWorkingDirectoryAreNeverRun)
{
    // A program outside the docroot that would leave a trace if it ran.
    const std::string outside = dir.file("outside-cgi-bin");
    mkdir(outside.c_str(), 0755);
    write_script(outside + "/evil", "touch " + dir.file("pwned") + "\nprintf 'Content-Type: text/plain\\r\\n\\r\\npwned\\n'");
    symlink(outside.c_str(), (root + "/cgi-bin/linked").c_str());
    start();
    for (const std::string target :
         {"/cgi-bin/../../outside-cgi-bin/evil", "/cgi-bin/%2e%2e/%2e%2e/outside-cgi-bin/evil",
          "/cgi-bin/%2E%2e/..%2f../outside-cgi-bin/evil", "/cgi-bin/linked/evil",
          "/cgi-bin/../../../../../../bin/sh?-c+id", "//bin/sh?-c+id"}) {
        const std::string reply = round_trip(port, get_request(target));
        EXPECT_EQ(reply.rfind("HTTP/1.0 404 Not Found\r\n", 0), 0u) << target << "\n" << reply;
        EXPECT_EQ(reply.find("pwned"), std::string::npos) << target;
        EXPECT_EQ(reply.find("uid="), std::string::npos) << target;
    }
    EXPECT_FALSE(file_exists(dir.file("pwned")));
    expect_healthy();
}

TEST_F(CgiServer, DemoFormRoundTrip)
{
    copy_program(DEMO_FORM_CGI, "cgi-bin/form.cgi");
    start();
    const std::string body = "name=my+device%21&interval=30";
    const std::string reply = round_trip(port, "POST /cgi-bin/form.cgi HTTP/1.0\r\nContent-Length: " +
                                                 std::to_string(body.size()) + "\r\n\r\n" + body);
    EXPECT_EQ(reply.rfind("HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\n", 0), 0u) << reply;
    EXPECT_NE(reply.find("<dt>name</dt><dd>my device!</dd>"), std::string::npos) << reply;
    EXPECT_NE(reply.find("<dt>interval</dt><dd>30</dd>"), std::string::npos) << reply;
    expect_healthy();
}

TEST_F(CgiServer, ProgramSilentLongerThanTheReadWaitIsGivenUpOn)
{
    script("cgi-bin/sleepy", "sleep 32; printf 'Content-Type: text/plain\\r\\n\\r\\nlate\\n'");
    start();
    const auto begin = std::chrono::steady_clock::now();
    const std::string reply = round_trip(port, get_request("/cgi-bin/sleepy"), 40000);
    const auto waited = std::chrono::steady_clock::now() - begin;
    // The server gives up after the read wait and answers in the program's place.
    EXPECT_EQ(reply, expected_error_page("HTTP/1.0", 504, "Gateway Timeout", parse_reply(reply).header("Date")));
    EXPECT_GE(waited, std::chrono::seconds(29));
    EXPECT_LT(waited, std::chrono::seconds(32));
    expect_healthy();
    const std::string output = log();
    EXPECT_NE(output.find("WebSrv Error: Read Timeout.\nRedirect Output Failed Error:"), std::string::npos)
        << output;
}

TEST_F(CgiServer, ProgramSilentPastItsLimitGetsGatewayTimeoutAndIsEnded)
{
    script("cgi-bin/sleepy", "sleep 5; printf 'Content-Type: text/plain\\r\\n\\r\\nlate\\n'");
    script("cgi-bin/half", "printf 'Content-Type: text/plain\\r\\n'; sleep 5; printf '\\r\\nlate\\n'");
    start({"-t", "1"});
    for (const char *program : {"/cgi-bin/sleepy", "/cgi-bin/half"}) {
        const auto begin = std::chrono::steady_clock::now();
        const std::string reply = round_trip(port, get_request(program));
        EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(4)) << program;
        EXPECT_EQ(reply, expected_error_page("HTTP/1.0", 504, "Gateway Timeout", parse_reply(reply).header("Date")))
            << program;
    }
    expect_healthy();  // the programs were ended: no process is left
    const std::string output = log();
    EXPECT_NE(output.find("CGI program cgi-bin/sleepy gave no answer in 1 s; ending it\n"), std::string::npos) << output;
}

TEST_F(CgiServer, BadGatewayOnAKeptConnectionClosesIt)
{
    // The program may still be writing: what follows its malformed header is no request.
    script("cgi-bin/broken", "printf 'Content-Length: 4\\r\\nno colon\\r\\n\\r\\nbody'");
    start({"-k", "5"});
    Client client(port);
    ASSERT_TRUE(client.send_all("GET /cgi-bin/broken HTTP/1.1\r\nHost: x\r\n\r\n"));
    const std::string reply = client.read_all(5000);
    EXPECT_EQ(reply, expected_error_page("HTTP/1.1", 502, "Bad Gateway", parse_reply(reply).header("Date")));
    EXPECT_TRUE(client.closed());
    expect_healthy();
}

}  // namespace

TEST_F(CgiServer, PasswordAndTlsAPluginReportedReachTheProgramWithItsHeaderLine)
{
    port = free_port();
    const std::string record = test_plugin("tp_record");
    server = std::make_unique<ServerProcess>(
        server_binary,
        std::vector<std::string>{"-c", "cgi-bin", "-d", root, "-plugin", record, "-record", dir.file("record"),
                                 "-record-port", std::to_string(port), "-no-io-hooks", "-remote-user", "alice",
                                 "-tls", "-header-line", "X-Test: 1"},
        dir.file("webport"), dir.path());
    ASSERT_TRUE(server->wait_ready({port})) << server->output();
    const std::string reply = round_trip(port, get_request("/cgi-bin/printenv"));
    ASSERT_EQ(reply.rfind("HTTP/1.0 200 OK\r\nX-Test: 1\r\nContent-Type: text/plain\r\n\r\n", 0), 0u) << reply;
    const std::vector<std::string> env = lines_with(body_of(reply), "env=");
    const std::vector<std::string> tail(env.end() - std::min<size_t>(env.size(), 4), env.end());
    EXPECT_EQ(tail, (std::vector<std::string>{"env=[REDIRECT_STATUS=200]", "env=[AUTH_TYPE=Basic]",
                                              "env=[REMOTE_USER=alice]", "env=[HTTPS=on]"}))
        << reply;
}

TEST_F(CgiServer, SlowProgramGivenTimeWithTheSilenceOptionIsAnswered)
{
    // A firmware update or a scan may need longer than the default 30 s before it answers.
    script("cgi-bin/slowscan", "sleep 32; printf 'Content-Type: text/plain\\r\\n\\r\\nscanned\\n'");
    start({"-t", "60"});
    EXPECT_EQ(round_trip(port, get_request("/cgi-bin/slowscan"), 45000),
              "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nscanned\n");
    expect_healthy();
    EXPECT_EQ(log().find("gave no answer"), std::string::npos);
}

// ---- Programs written with the usual CGI libraries --------------------------------------

namespace {

// A multipart/form-data body with one field and one file, as browsers send an upload form.
std::string multipart(const std::string &boundary, const std::string &file)
{
    return "--" + boundary + "\r\nContent-Disposition: form-data; name=\"x\"\r\n\r\n7\r\n--" + boundary +
           "\r\nContent-Disposition: form-data; name=\"upload\"; filename=\"up.bin\"\r\n"
           "Content-Type: application/octet-stream\r\n\r\n" + file + "\r\n--" + boundary + "--\r\n";
}

}  // namespace

TEST_F(CgiServer, ProgramsOnCgiPmAndOnPythonsLibrarySeeTheRequestAsThePeersGiveIt)
{
    copy_program(CGI_FORM_PL, "cgi-bin/form.pl");
    copy_program(CGI_FORM_PY, "cgi-bin/form.py");
    std::string file;
    uint32_t sum = 0;
    for (size_t i = 0; i < (1u << 20); ++i) {
        file += static_cast<char>((i * 131 + i / 509) & 0xff);
        sum += static_cast<unsigned char>(file.back());
    }
    start();
    const std::string host = "127.0.0.1:" + std::to_string(port);
    for (const std::string script : {"form.pl", "form.py"}) {
        const std::string self = "http://" + host + "/cgi-bin/" + script;
        const auto ask = [&](const std::string &request) { return round_trip(port, request, 30000); };
        // Self-URLs: a form that submits to itself must reach the program again.
        std::string reply = ask(get_request("/cgi-bin/" + script + "?a=1&b=x%20y", "Host: " + host + "\r\n"));
        EXPECT_NE(reply.find("\nurl=" + self + "\n"), std::string::npos) << script << reply;
        EXPECT_NE(reply.find("self_url=" + self + "?a=1"), std::string::npos) << script << reply;
        EXPECT_NE(reply.find("param a=1\nparam b=x y\n"), std::string::npos) << script << reply;
        if (script == "form.pl") {
            EXPECT_NE(reply.find("action=\"/cgi-bin/form.pl?a=1&amp;b=x%20y\""), std::string::npos) << reply;
        }

        // A form posted the usual way, and an upload of a megabyte.
        reply = ask("POST /cgi-bin/" + script + " HTTP/1.0\r\nHost: " + host +
                    "\r\nContent-Type: application/x-www-form-urlencoded\r\nContent-Length: 7\r\n\r\na=1&b=2");
        EXPECT_NE(reply.find("param a=1\nparam b=2\n"), std::string::npos) << script << reply;
        const std::string body = multipart("b0undary", file);
        reply = ask("POST /cgi-bin/" + script + " HTTP/1.0\r\nHost: " + host +
                    "\r\nContent-Type: multipart/form-data; boundary=b0undary\r\nContent-Length: " +
                    std::to_string(body.size()) + "\r\n\r\n" + body);
        EXPECT_NE(reply.find("upload upload=up.bin length=1048576 sum=" + std::to_string(sum) + "\n"),
                  std::string::npos)
            << script << reply.substr(0, 400);
        EXPECT_NE(reply.find("param x=7\n"), std::string::npos) << script;
        // A session by cookie, a redirect and a status of the program's choosing.
        reply = ask(get_request("/cgi-bin/" + script + "?action=login"));
        EXPECT_NE(reply.find("\r\nSet-Cookie: session=abc123; path=/\r\n"), std::string::npos) << script << reply;
        reply = ask(get_request("/cgi-bin/" + script, "Cookie: theme=dark; session=abc123\r\n"));
        EXPECT_NE(reply.find("\nsession=abc123\n"), std::string::npos) << script << reply;
        reply = ask(get_request("/cgi-bin/" + script + "?action=redirect"));
        EXPECT_EQ(reply.rfind("HTTP/1.0 302 Found\r\n", 0), 0u) << script << reply;
        EXPECT_NE(reply.find("\r\nLocation: /index.html\r\n"), std::string::npos) << script << reply;
        reply = ask(get_request("/cgi-bin/" + script + "?action=forbid"));
        EXPECT_EQ(reply.rfind("HTTP/1.0 403 Forbidden\r\n", 0), 0u) << script << reply;
    }
    expect_healthy();
}
