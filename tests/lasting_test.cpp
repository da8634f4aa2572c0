// Sessions that last, at the wire with the real binary: keep-alive (-k) for HTTP/1.1 and 1.0,
// requests sent one behind the other, bodies left unread, 100-continue, the idle limit; slots
// that waiting sessions give up; processes that serve many connections (-r) for a plug-in that
// consents and a fresh one for a plug-in that does not; memory a session leaks given back.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "test_support.h"

using namespace websrv_test;

namespace {

const std::string server_binary = WEBSRV_TEST_SERVER;

// The resident kB of the server's child processes (waiting ones included), zombies left out.
std::vector<long> children_rss(pid_t server)
{
    std::vector<long> sizes;
    DIR *proc = opendir("/proc");
    while (const dirent *entry = proc != nullptr ? readdir(proc) : nullptr) {
        const int pid = atoi(entry->d_name);
        const std::string stat = pid > 0 ? read_file("/proc/" + std::to_string(pid) + "/stat") : "";
        const size_t paren = stat.rfind(')');
        char state = 0;
        int parent = 0;
        if (paren != std::string::npos && sscanf(stat.c_str() + paren + 2, "%c %d", &state, &parent) == 2 &&
            parent == server && state != 'Z')
            sizes.push_back(std::stol("0" + status_field(pid, "VmRSS")));
    }
    if (proc != nullptr)
        closedir(proc);
    return sizes;
}
const std::string http_plugin = WEBSRV_HTTP_PLUGIN;
using Clock = std::chrono::steady_clock;

// A site with a page, a CGI program that gives its length and one that does not, and one that
// answers without reading the body it was sent.
class Lasting : public ::testing::Test {
protected:
    Site site;

    void SetUp() override
    {
        site.put("page.html", "the page");
        site.put("other.txt", "other text");
        mkdir((site.root + "/cgi-bin").c_str(), 0755);
        write_script(site.root + "/cgi-bin/sized", "printf 'Content-Type: text/plain\\r\\nContent-Length: 6\\r\\n\\r\\nsized\\n'");
        write_script(site.root + "/cgi-bin/unsized", "printf 'Content-Type: text/plain\\r\\n\\r\\nunsized\\n'");
        write_script(site.root + "/cgi-bin/echo", "body=$(head -c \"$CONTENT_LENGTH\"); "
                                                  "printf 'Content-Length: %d\\r\\n\\r\\n%s' ${#body} \"$body\"");
        write_script(site.root + "/cgi-bin/parent", "printf 'Content-Type: text/plain\\r\\nContent-Length: 16\\r\\n\\r\\n'; "
                                                    "printf 'parent=%09d\\n' $PPID");
        write_script(site.root + "/cgi-bin/closing", "printf 'Content-Length: 7\\r\\nConnection: close\\r\\n\\r\\nclosing'");
        copy_file(CGI_PRINTENV, site.root + "/cgi-bin/printenv", 0755);
    }

    // Starts the server with the server's `options` and http.so's `plugin_options`.
    void start(const std::vector<std::string> &options, const std::vector<std::string> &plugin_options = {})
    {
        std::vector<std::string> args = options;
        args.insert(args.end(), {"-c", "cgi-bin", "-plugin", http_plugin, "-port", std::to_string(site.port)});
        args.insert(args.end(), plugin_options.begin(), plugin_options.end());
        ASSERT_TRUE(site.start(server_binary, args)) << site.log();
    }
};

// The answers in `raw`, split by their lengths (an answer without one runs to the end); the
// first has no body when it answers a HEAD request.
std::vector<Reply> split_answers(std::string raw, bool head_first = false)
{
    std::vector<Reply> answers;
    while (!raw.empty()) {
        const size_t end = raw.find("\r\n\r\n");
        if (end == std::string::npos)
            break;
        Reply reply = parse_reply(raw.substr(0, end + 4));
        bool sized = false;
        const std::string length = reply.header("Content-Length", &sized);
        const bool bodiless = reply.status_line.find(" 304 ") != std::string::npos ||
                              reply.status_line.find(" 100 ") != std::string::npos ||
                              (head_first && answers.empty());
        const size_t body = bodiless ? 0 : sized ? std::stoul(length) : raw.size() - end - 4;
        answers.push_back(parse_reply(raw.substr(0, end + 4 + body)));
        raw.erase(0, end + 4 + body);
    }
    return answers;
}

std::string get(const std::string &target, const std::string &version = "HTTP/1.1", const std::string &lines = "")
{
    return "GET " + target + " " + version + "\r\nHost: h\r\n" + lines + "\r\n";
}

// One conversation on one connection of a server started with -k 30: what the client sends, in
// pieces (each sent once the answers to the one before are in), the status lines that come
// back, and whether the server keeps the connection at the end.
struct Conversation {
    const char *name;
    std::vector<std::string> pieces;
    std::vector<std::string> statuses;
    bool kept;
    const char *last_body = nullptr;  // the last answer's body, when checked
};
void PrintTo(const Conversation &c, std::ostream *os) { *os << c.name; }
class KeepAlive : public Lasting, public ::testing::WithParamInterface<Conversation> {};

TEST_P(KeepAlive, AnswersInOrderAndKeepsTheConnectionAsAsked)
{
    const Conversation &c = GetParam();
    SCOPED_TRACE(c.name);
    // The idle limit lies far beyond the reads below: a connection the server wrongly keeps is
    // seen open, not closed by the limit while the test still reads.
    start({"-k", "30"});
    Client client(site.port);
    std::vector<Reply> answers;
    for (const std::string &piece : c.pieces) {
        ASSERT_TRUE(client.send_all(piece));
        // Reads until the answers to this piece are in (or the server closes).
        std::string raw;
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        size_t wanted = answers.size() + 1;
        for (std::vector<Reply> got; Clock::now() < deadline && !client.closed(); raw += client.read_until("\r\n\r\n", 300)) {
            got = split_answers(raw, piece.rfind("HEAD", 0) == 0);
            if (answers.size() + got.size() >= wanted && (got.empty() || got.back().raw.size() == got.back().head.size() + got.back().body.size()))
                break;
        }
        for (const Reply &answer : split_answers(raw, piece.rfind("HEAD", 0) == 0))
            answers.push_back(answer);
    }
    // Whatever else comes before the connection ends, or within a moment on a kept one.
    for (const Reply &answer : split_answers(client.read_all(c.kept ? 500 : 5000)))
        answers.push_back(answer);
    std::vector<std::string> statuses;
    for (const Reply &answer : answers)
        statuses.push_back(answer.status_line);
    EXPECT_EQ(statuses, c.statuses);
    EXPECT_EQ(client.closed(), !c.kept);
    if (c.last_body != nullptr && !answers.empty()) {
        EXPECT_EQ(answers.back().body, c.last_body);
    }
    for (size_t i = 0; i + 1 < answers.size(); ++i) {
        if (answers[i].status_line.find(" 100 ") == std::string::npos) {
            EXPECT_EQ(answers[i].header("Connection"), "keep-alive") << i;
        }
    }
    for (const Reply &answer : answers)
        EXPECT_LE(count_of(answer.head, "\nConnection:"), 1u) << answer.head;
}

const std::string ok11 = "HTTP/1.1 200 Ok";
const std::string ok10 = "HTTP/1.0 200 Ok";

INSTANTIATE_TEST_SUITE_P(Lasting, KeepAlive, ::testing::ValuesIn(std::vector<Conversation>{
    {"Http11KeepsTheConnectionUntilItSaysClose",
     {get("/page.html"), get("/other.txt"), get("/page.html", "HTTP/1.1", "Connection: close\r\n")},
     {ok11, ok11, ok11}, false, "the page"},
    {"Http10KeepsItOnlyWhenAsked",
     {get("/page.html", "HTTP/1.0", "Connection: keep-alive\r\n"), get("/other.txt", "HTTP/1.0")},
     {ok10, ok10}, false, "other text"},
    {"RequestsSentTogetherAreAnsweredInOrder",
     {get("/other.txt") + get("/missing.html") + get("/page.html") + get("/cgi-bin/sized")},
     {ok11, "HTTP/1.1 404 Not Found", ok11, "HTTP/1.1 200 OK"}, true, "sized\n"},
    {"HeadAnswerHasNoBodyAndTheNextFollows",
     {"HEAD /page.html HTTP/1.1\r\nHost: h\r\n\r\n" + get("/other.txt")}, {ok11, ok11}, true, "other text"},
    {"BodyTheProgramDidNotReadIsDroppedBeforeTheNext",
     {"POST /cgi-bin/sized HTTP/1.1\r\nHost: h\r\nContent-Length: 10\r\n\r\n0123456789" + get("/page.html")},
     {"HTTP/1.1 200 OK", ok11}, true, "the page"},
    {"BodyAStaticFileDidNotNeedIsDroppedBeforeTheNext",
     {"POST /page.html HTTP/1.1\r\nHost: h\r\nContent-Length: 5\r\n\r\nabcde" + get("/other.txt")},
     {ok11, ok11}, true, "other text"},
    {"ProgramOutputWithoutALengthCloses", {get("/cgi-bin/unsized") + get("/page.html")}, {"HTTP/1.1 200 OK"}, false,
     "unsized\n"},
    {"UntrustedLengthIsRefusedAndCloses",
     {"POST /cgi-bin/sized HTTP/1.1\r\nHost: h\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\nab" + get("/page.html")},
     {"HTTP/1.1 400 Bad Request"}, false},
    {"ChunkedBodyCloses",
     {"POST /page.html HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n" +
      get("/other.txt")},
     {ok11}, false, "the page"},
    {"ProgramsOwnConnectionCloseCloses", {get("/cgi-bin/closing") + get("/page.html")}, {"HTTP/1.1 200 OK"}, false,
     "closing"},
    {"ContinueComesBeforeTheBodyIsRead",
     {"POST /cgi-bin/echo HTTP/1.1\r\nHost: h\r\nExpect: 100-continue\r\nContent-Length: 5\r\n\r\n", "hello",
      get("/page.html")},
     {"HTTP/1.1 100 Continue", "HTTP/1.1 200 OK", ok11}, true, "the page"},
}), RowName());

TEST_F(Lasting, KeptConnectionClosesAfterItsIdleTime)
{
    start({"-k", "1"});
    Client client(site.port);
    ASSERT_TRUE(client.send_all(get("/page.html")));
    EXPECT_NE(client.read_until("the page"), "");
    const auto begin = Clock::now();
    client.read_all(5000);
    EXPECT_TRUE(client.closed());
    const auto idle = Clock::now() - begin;
    EXPECT_GE(idle, std::chrono::milliseconds(900));
    EXPECT_LT(idle, std::chrono::milliseconds(3000));
}

// A stop does not wait out the idle time of kept connections, in processes of one connection as
// in ones that last.
TEST_F(Lasting, StopEndsKeptConnectionsThatWaitForTheirNextRequest)
{
    for (const char *processes : {"1", "10"}) {
        start({"-j", "2", "-k", "30", "-r", processes});
        Client first(site.port);
        Client second(site.port);
        for (Client *client : {&first, &second}) {
            ASSERT_TRUE(client->send_all(get("/page.html")));
            EXPECT_NE(client->read_until("the page"), "");
        }
        const auto begin = Clock::now();
        EXPECT_EQ(site.stop(), 0);
        for (Client *client : {&first, &second}) {
            client->read_all(10000);
            EXPECT_TRUE(client->closed()) << "-r " << processes;
        }
        EXPECT_LT(Clock::now() - begin, std::chrono::milliseconds(10000)) << "-r " << processes;
    }
}

// A password check belongs to its request: the next request on the connection, to a path that
// asks for none, shows its program no user and logs none.
TEST_F(Lasting, AuthenticatedUserIsForgottenByTheNextRequest)
{
    // The password "secret", hashed with SHA-256 crypt.
    write_file(site.dir.file("users"), "admin:$5$websrvtest$k3zoxh.wvRujH6ofkgLPlEWguK1xinT//HXGCf8Xd7A\n");
    const std::string user = "said=\"user=${REMOTE_USER-none} type=${AUTH_TYPE-none}\"; "
                             "printf 'Content-Length: %d\\r\\n\\r\\n%s' ${#said} \"$said\"";
    write_script(site.root + "/cgi-bin/user", user);
    write_script(site.root + "/cgi-bin/open", user);
    const std::string log = site.dir.file("access.log");
    start({"-k", "30", "-a", log}, {"-auth", "/cgi-bin/user", site.dir.file("users")});
    Client client(site.port);
    ASSERT_TRUE(client.send_all(get("/cgi-bin/user", "HTTP/1.1", "Authorization: Basic YWRtaW46c2VjcmV0\r\n")));
    const Reply checked = parse_reply(client.read_until("type=Basic"));
    ASSERT_EQ(checked.body, "user=admin type=Basic") << checked.raw;
    ASSERT_EQ(checked.header("Connection"), "keep-alive") << checked.raw;
    ASSERT_TRUE(client.send_all(get("/cgi-bin/open", "HTTP/1.1", "Connection: close\r\n")));
    const Reply open = parse_reply(client.read_all());
    EXPECT_EQ(open.body, "user=none type=none") << open.raw;
    EXPECT_EQ(site.stop(), 0);
    const std::vector<std::string> lines = read_lines(log);
    ASSERT_EQ(lines.size(), 2u) << joined(lines);
    EXPECT_EQ(lines[0].rfind("127.0.0.1 - admin [", 0), 0u) << lines[0];
    EXPECT_EQ(lines[1].rfind("127.0.0.1 - - [", 0), 0u) << lines[1];
}

// A connection carries 1000 requests: the answer to the thousandth says it closes, and nothing
// after it is served.
TEST_F(Lasting, ThousandthRequestIsTheLastOnItsConnection)
{
    start({"-k", "30"});
    Client client(site.port);
    std::string batch;
    for (int i = 0; i < 100; ++i)
        batch += get("/page.html");
    std::vector<Reply> answers;
    for (int round = 0; round < 10; ++round) {
        ASSERT_TRUE(client.send_all(batch)) << round;
        std::string raw;
        const auto deadline = Clock::now() + std::chrono::seconds(20);
        while (count_of(raw, "the page") < 100 && !client.closed() && Clock::now() < deadline)
            raw += client.read_until("the page", 1000);
        const std::vector<Reply> got = split_answers(raw);
        ASSERT_EQ(got.size(), 100u) << "round " << round;
        answers.insert(answers.end(), got.begin(), got.end());
    }
    for (size_t i = 0; i + 1 < answers.size(); ++i)
        ASSERT_EQ(answers[i].header("Connection"), "keep-alive") << "answer " << i + 1;
    EXPECT_EQ(answers.back().header("Connection"), "close") << answers.back().head;
    client.send_all(get("/other.txt"));  // may fail: the server has closed
    EXPECT_EQ(client.read_all(5000), "") << "request 1001 was served";
    EXPECT_TRUE(client.closed());
}

// An answer a plug-in writes itself keeps the connection only when it sends the whole length
// it claims: a shorter one would run into the next answer.
struct ClaimCase {
    const char *name;
    const char *claim;  // the Content-Length tp_record's answer "hello" claims
    bool kept;
};
void PrintTo(const ClaimCase &c, std::ostream *os) { *os << c.name; }
class PluginAnswer : public Lasting, public ::testing::WithParamInterface<ClaimCase> {};

TEST_P(PluginAnswer, KeepsTheConnectionOnlyBehindItsWholeLength)
{
    const ClaimCase &c = GetParam();
    ASSERT_TRUE(site.start(server_binary, {"-k", "30", "-plugin", test_plugin("tp_record"), "-record-port",
                                           std::to_string(site.port), "-no-io-hooks", "-consent",
                                           "-request-answer-claim", c.claim}))
        << site.log();
    {
        Client client(site.port);
        ASSERT_TRUE(client.send_all(get("/page.html")));
        EXPECT_NE(client.read_until("hello"), "");
        client.send_all(get("/page.html"));  // may fail where the server has closed
        const std::string rest = c.kept ? client.read_until("hello") : client.read_all();
        EXPECT_EQ(rest, c.kept ? "HTTP/1.1 200 Ok\r\nContent-Length: 5\r\nConnection: keep-alive\r\n\r\nhello" : "");
        if (c.kept)
            client.read_all(300);  // nothing more comes, and the connection stays
        EXPECT_EQ(client.closed(), !c.kept);
    }
    EXPECT_EQ(site.stop(), 0);
}

INSTANTIATE_TEST_SUITE_P(Lasting, PluginAnswer, ::testing::Values(
    ClaimCase{"WholeAnswerKeepsIt", "5", true},
    ClaimCase{"AnswerShortOfItsLengthCloses", "10", false}), RowName());

// -j 1: a kept connection between requests, and a connection that never sends a byte, hold the
// one slot only until another client comes; in a process of one connection (the main process
// asks) and in one that lasts (it sees the waiting connection itself).
class OnlySlot : public Lasting, public ::testing::WithParamInterface<const char *> {};

TEST_P(OnlySlot, WaitingSessionsGiveItUpToAConnectionThatWaits)
{
    start({"-k", "30", "-r", GetParam()});
    Client kept(site.port);
    ASSERT_TRUE(kept.send_all(get("/page.html")));
    EXPECT_NE(kept.read_until("the page"), "");
    Client silent(site.port);
    sleep_ms(1500);  // long enough for it to be handed to the server without a byte
    for (int i = 0; i < 3; ++i) {
        const auto begin = Clock::now();
        const Reply reply = parse_reply(exchange(site.port, get("/other.txt", "HTTP/1.0"), 5000));
        EXPECT_EQ(reply.body, "other text") << i;
        EXPECT_LT(Clock::now() - begin, std::chrono::milliseconds(800)) << i;
    }
    kept.read_all(2000);
    EXPECT_TRUE(kept.closed()) << "the idle connection gave its slot up";
    EXPECT_EQ(site.stop(), 0);
    EXPECT_EQ(site.log().find("receive packet failed"), std::string::npos) << site.log();
}

INSTANTIATE_TEST_SUITE_P(Lasting, OnlySlot, ::testing::Values("1", "10"));

// -j 2, both slots held by kept connections between requests: a connection that comes takes the
// slot of the one that has waited longest; the newer stays open.
class IdleSlots : public Lasting, public ::testing::WithParamInterface<const char *> {};

TEST_P(IdleSlots, OldestIdleConnectionGivesItsSlotUpFirst)
{
    start({"-j", "2", "-k", "30", "-r", GetParam()});
    Client older(site.port);
    ASSERT_TRUE(older.send_all(get("/page.html")));
    EXPECT_NE(older.read_until("the page"), "");
    {
        Client newer(site.port);
        ASSERT_TRUE(newer.send_all(get("/other.txt")));
        EXPECT_NE(newer.read_until("other text"), "");
        // A connection counts as idle once the server's 50 ms for a request sent at once have
        // passed. Were the newer not idle yet, the older would give its slot up all the same:
        // a late start makes this check weaker, never wrong.
        sleep_ms(300);
        const Reply reply = parse_reply(exchange(site.port, get("/page.html", "HTTP/1.0"), 5000));
        EXPECT_EQ(reply.body, "the page");
        older.read_all(5000);
        EXPECT_TRUE(older.closed()) << "the oldest idle connection kept its slot";
        newer.read_all(500);
        EXPECT_FALSE(newer.closed()) << "the newer idle connection gave its slot up";
    }
    EXPECT_EQ(site.stop(), 0);
}

INSTANTIATE_TEST_SUITE_P(Lasting, IdleSlots, ::testing::Values("1", "10"));

TEST_F(Lasting, ConsentingPortReusesItsProcessOthersGetOneThatEndsAfterIt)
{
    // http.so consents; tp_listen (plain C, no extension record) does not. One server, -r 50:
    // the consenting port's connections share a process; each of the other's has one that no
    // connection had before it and that ends after it.
    const int plain_port = free_port();
    std::vector<std::string> args{"-r", "50", "-c", "cgi-bin", "-plugin", http_plugin, "-port", std::to_string(site.port),
                                  "-plugin", test_plugin("tp_listen"), "-listen", std::to_string(plain_port)};
    ASSERT_TRUE(site.start(server_binary, args)) << site.log();
    auto parent = [&](int port) {
        return parse_reply(exchange(port, get("/cgi-bin/parent", "HTTP/1.0"), 5000)).body;
    };
    const std::string first = parent(site.port);
    ASSERT_EQ(first.rfind("parent=", 0), 0u) << first;
    EXPECT_EQ(parent(site.port), first);
    EXPECT_EQ(parent(site.port), first);
    const std::string plain = parent(plain_port);
    ASSERT_EQ(plain.rfind("parent=", 0), 0u) << plain;
    const std::string plain_again = parent(plain_port);
    EXPECT_NE(plain_again, plain);
    const std::string after = parent(site.port);
    EXPECT_NE(after, plain);
    EXPECT_NE(after, plain_again);
    EXPECT_EQ(parent(site.port), after);
    EXPECT_EQ(site.stop(), 0);
}

TEST(LastingMemory, WhatASessionLeaksIsGivenBackWhenItEnds)
{
    // A consenting plug-in that takes two blocks of 64 KiB per session and never frees them:
    // the process that serves 600 connections one after another stays the size it was.
#ifdef __SANITIZE_ADDRESS__
    // AddressSanitizer holds freed blocks back to catch late uses: here they are to go at once.
    const char *options = getenv("ASAN_OPTIONS");
    setenv("ASAN_OPTIONS", (std::string(options != nullptr ? options : "") + ":quarantine_size_mb=0").c_str(), 1);
#endif
    Site site;
    site.put("page.html", "the page");
    ASSERT_TRUE(site.start(server_binary, {"-r", "1000", "-plugin", test_plugin("tp_record"), "-record-port",
                                           std::to_string(site.port), "-no-io-hooks", "-consent", "-leak", "65536"}))
        << site.log();
    auto serving_rss = [&]() -> long {
        for (int i = 0; i < 100; ++i)
            exchange(site.port, get("/page.html", "HTTP/1.0"), 5000);
        const std::vector<long> sizes = children_rss(site.server().pid());
        return sizes.size() == 1 ? sizes[0] : -1;
    };
    const long before = serving_rss();
    for (int i = 0; i < 4; ++i)
        serving_rss();
    const long after = serving_rss();
    ASSERT_GT(before, 0);
    EXPECT_LT(after - before, 64) << "kB grown over 500 connections: " << before << " -> " << after;
    EXPECT_EQ(site.stop(), 0);
}

}  // namespace
