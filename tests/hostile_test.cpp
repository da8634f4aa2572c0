// Hostile clients and misbehaving CGI programs against the real binary, one test per case.
//
// Every case runs on a fresh server (the tp_record plug-in on the site's port, the server's
// own socket I/O, CGI pattern "cgi-bin") and checks three things:
//   1. the answer, byte for byte where the server composes it (status line, 400, 404 and 501
//      pages), or the silence: no byte at all, and the connection closed;
//   2. that every process of the session ended through its clean-up: tp_record sees
//      on_session_end with the socket closed, once for a file or an error, once per
//      redirector for a CGI request (a process killed by a signal would run no clean-up);
//   3. that the next ordinary request is served and no process of the server is left over.
// Cases that differ only in what the client sends and what has to come back are rows of
// tables (see "Tables" below). Cases that must sit out one of the server's 30-second waits
// have "Slow" in their names.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
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

using Clock = std::chrono::steady_clock;
using std::chrono::seconds;

constexpr int kWaitMs = 10000;  // for anything that should happen at once

const std::string kPage = "the page";
const std::string kIndex = "root index";


// A string literal's bytes, NUL bytes inside included (the terminating one left out).
template <size_t N>
std::string bytes(const char (&text)[N])
{
    return std::string(text, N - 1);
}

// A request for /page.html padded with one long header field to exactly `size` bytes.
std::string request_of_size(size_t size, bool with_end = true)
{
    const std::string start = "GET /page.html HTTP/1.0\r\nX-Fill: ";
    const std::string end = with_end ? "\r\n\r\n" : "\r\n";
    return start + std::string(size - start.size() - end.size(), 'a') + end;
}

// A request padded with 'n' to the 4095 bytes the server's buffer holds.
std::string filled(std::string request)
{
    request.resize(4095, 'n');
    return request;
}

// A request for /page.html with header lines of 111 bytes up to 256 KiB.
std::string flood_request()
{
    std::string request = "GET /page.html HTTP/1.0\r\n";
    while (request.size() < 256 * 1024)
        request += "X-Flood: " + std::string(100, 'f') + "\r\n";
    return request + "\r\n";
}

std::string repeated(const std::string &piece, size_t times)
{
    std::string text;
    for (size_t i = 0; i < times; ++i)
        text += piece;
    return text;
}

// The ASCII control characters: 0 to 31 and 127.
std::string control_characters()
{
    std::string controls;
    for (int c = 0; c < 0x20; ++c)
        controls.push_back(static_cast<char>(c));
    controls.push_back('\x7f');
    return controls;
}

// Deterministic bytes: every value but those in `excluded`.
std::string random_bytes(size_t size, unsigned seed, const std::string &excluded)
{
    std::mt19937 generator(seed);
    std::string bytes;
    while (bytes.size() < size) {
        const char c = static_cast<char>(generator());
        if (excluded.find(c) == std::string::npos)
            bytes.push_back(c);
    }
    return bytes;
}

// The server on a site laid out for hostile requests:
//   www/               the working directory: index.html, page.html, sub/page.html, docs/,
//                      files whose names hold percent signs, cgi-bin/printenv and scripts,
//                      link -> the directory above www, cgi-bin/linked -> outside-cgi-bin
//   secret.txt         outside the working directory
//   www2/              a sibling whose name begins like "www": f.html, cgi-bin/evil
//   outside-cgi-bin/   evil: a program that leaves the file "pwned" if it ever runs
class Hostile : public ::testing::Test {
protected:
    Site site;
    const std::string secret = "secret-" + std::to_string(getpid()) + "-never-served";

    void SetUp() override
    {
        site.put("index.html", kIndex);
        site.put("page.html", kPage);
        make_dir("sub");
        site.put("sub/page.html", "inside sub");
        make_dir("docs");
        for (const char *name : {"tail%", "tail%4", "odd%zz.html", "%A.html", "%41.html"})
            site.put(name, std::string("named ") + name);
        make_dir("cgi-bin");
        copy_file(CGI_PRINTENV, site.root + "/cgi-bin/printenv", 0755);
        script("cgi-bin/plain", "printf 'Content-Type: text/plain\\r\\n\\r\\nhello\\n'");

        write_file(site.dir.file("secret.txt"), secret);
        ASSERT_EQ(mkdir(site.dir.file("www2").c_str(), 0755), 0);
        write_file(site.dir.file("www2/f.html"), secret);
        ASSERT_EQ(mkdir(site.dir.file("www2/cgi-bin").c_str(), 0755), 0);
        evil_program(site.dir.file("www2/cgi-bin/evil"));
        ASSERT_EQ(mkdir(site.dir.file("outside-cgi-bin").c_str(), 0755), 0);
        evil_program(site.dir.file("outside-cgi-bin/evil"));
        ASSERT_EQ(symlink(site.dir.path().c_str(), (site.root + "/link").c_str()), 0);
        ASSERT_EQ(symlink(site.dir.file("outside-cgi-bin").c_str(), (site.root + "/cgi-bin/linked").c_str()), 0);

        std::vector<std::string> args{"-c", "cgi-bin", "-plugin", test_plugin("tp_record"), "-record", site.record,
                                      "-record-port", std::to_string(site.port)};
        if (!io_hooks_)
            args.push_back("-no-io-hooks");
        server_ = std::make_unique<ServerProcess>(server_binary, args, site.port_file, site.root);
        ASSERT_TRUE(wait_started()) << server_->output();
        started_ = true;
    }

    void TearDown() override
    {
        if (!started_)
            return;
        if (!HasFailure()) {
            EXPECT_TRUE(checked_) << "the case did not check how its session ended";
        }
        EXPECT_EQ(server_->stop(SIGTERM), 0);
        const std::string log = server_->output();
        for (const std::string &line : expected_log_)
            EXPECT_NE(log.find(line), std::string::npos) << "log lacks: " << line << "\nlog:\n" << log;
        EXPECT_EQ(log.find(secret), std::string::npos);
        const auto ends = end_lines();
        EXPECT_EQ(ends.size(), expected_ends_) << joined(site.recorded());
        EXPECT_FALSE(file_exists(site.dir.file("pwned"))) << "a program outside the working directory ran";
    }

    // Waits (at most kWaitMs) until the server listens: tp_record's start hook runs once the
    // listening socket is up and writes its "start" line. False when the server died first.
    // (Cheaper than watching the kernel's socket table, which other tests may fill.)
    bool wait_started()
    {
        const auto deadline = Clock::now() + std::chrono::milliseconds(kWaitMs);
        while (Clock::now() < deadline && server_->alive()) {
            if (read_file(site.record).rfind("start fd=", 0) == 0)
                return true;
            sleep_ms(2);
        }
        return false;
    }

    void make_dir(const std::string &name) { ASSERT_EQ(mkdir((site.root + "/" + name).c_str(), 0755), 0); }

    // A shell CGI program with the given body.
    void script(const std::string &name, const std::string &body) { write_script(site.root + "/" + name, body); }

    void evil_program(const std::string &path)
    {
        write_script(path, "touch '" + site.dir.file("pwned") + "'\nprintf 'Content-Type: text/plain\\r\\n\\r\\npwned\\n'");
    }

    // How many lines tp_record wrote so far that begin with `prefix`.
    size_t count_lines(const std::string &prefix) const
    {
        return count_prefixed(site.recorded(), prefix);
    }

    // Waits (at most `ms`) until tp_record has written `total` lines beginning with `prefix`.
    bool wait_for_lines(const std::string &prefix, size_t total, int ms = kWaitMs)
    {
        const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
        while (count_lines(prefix) < total && Clock::now() < deadline)
            sleep_ms(1);
        return count_lines(prefix) >= total;
    }

    // What tp_record saw of on_session_end so far.
    std::vector<std::string> end_lines() const
    {
        std::vector<std::string> ends;
        for (const std::string &line : site.recorded())
            if (line.rfind("end ", 0) == 0)
                ends.push_back(line);
        return ends;
    }

    // Waits (at most `ms`) until tp_record has seen `total` session ends in all.
    bool wait_for_ends(size_t total, int ms = kWaitMs)
    {
        const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
        while (end_lines().size() < total && Clock::now() < deadline)
            sleep_ms(5);
        return end_lines().size() >= total;
    }

    // The end of every case: its session ended through `processes` clean-ups (each with the
    // socket closed), the next ordinary request is served, and nothing of the server is left
    // running but the server itself.
    void ends_cleanly(size_t processes)
    {
        checked_ = true;
        expected_ends_ += processes;
        ASSERT_TRUE(wait_for_ends(expected_ends_))
            << "clean-ups seen: " << end_lines().size() << " of " << expected_ends_ << "\n"
            << joined(site.recorded());
        for (const std::string &line : end_lines())
            EXPECT_EQ(line.rfind("end closed=1 ", 0), 0u) << line;

        const Reply next = parse_reply(exchange(site.port, get_request("/page.html"), kWaitMs));
        EXPECT_EQ(next.status_line, "HTTP/1.0 200 Ok") << next.raw;
        EXPECT_EQ(next.header("Content-Length"), std::to_string(kPage.size()));
        EXPECT_EQ(next.body, kPage);
        expected_ends_ += 1;
        EXPECT_TRUE(wait_for_ends(expected_ends_)) << joined(site.recorded());

        const std::vector<std::string> left = children_left_after(server_->pid(), kWaitMs);
        EXPECT_TRUE(left.empty()) << "processes left: " << left.size() << ", first: " << left.front();
        EXPECT_TRUE(server_->alive());
    }

    // A line the server's log must hold once it has stopped.
    void expect_log(const std::string &line) { expected_log_.push_back(line); }

    // One request on a new connection, the reply up to the server's close.
    std::string ask(const std::string &request, int ms = kWaitMs)
    {
        Client client(site.port);
        client.send_all(request);
        return client.read_all(ms);
    }

    void expect_error(const std::string &raw, int status, const std::string &reason,
                      const std::string &version = "HTTP/1.0")
    {
        const Reply reply = parse_reply(raw);
        const std::string date = reply.header("Date");
        EXPECT_TRUE(is_http_date(date)) << raw;
        EXPECT_EQ(raw, expected_error_page(version, status, reason, date));
    }

    // The 404 page, with nothing of the secret or of the program outside in it; returns it.
    std::string expect_not_found(const std::string &target)
    {
        const std::string raw = ask(get_request(target));
        expect_error(raw, 404, "Not Found");
        EXPECT_EQ(raw.find(secret), std::string::npos);
        EXPECT_EQ(raw.find("pwned"), std::string::npos);
        return raw;
    }

    // The server answered nothing at all and closed the connection.
    void expect_silence(Client &client, int ms = kWaitMs)
    {
        EXPECT_EQ(client.read_all(ms), "");
        EXPECT_TRUE(client.closed()) << "the connection is still open";
    }

    void expect_silence(const std::string &request)
    {
        Client client(site.port);
        client.send_all(request);
        expect_silence(client);
    }

    // The reply of the printenv program to a POST whose body was `input`.
    void expect_program_input(const std::string &reply, const std::string &input)
    {
        EXPECT_EQ(reply.rfind("HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n", 0), 0u) << reply;
        EXPECT_NE(reply.find(input_report(input)), std::string::npos) << reply;
    }

    // Whether tp_record reads and writes the connection (recording each call) instead of the
    // server's own socket calls. Off, except where a case needs to see single reads.
    bool io_hooks_ = false;

private:
    std::unique_ptr<ServerProcess> server_;
    bool started_ = false;
    bool checked_ = false;
    size_t expected_ends_ = 0;
    std::vector<std::string> expected_log_;
};

// The groups whose cases are written out one by one.
class RequestLine : public Hostile {};
class NulByte : public Hostile {};
class Garbage : public Hostile {};
class PercentEncoding : public Hostile {};
class StaticTraversal : public Hostile {};
class CgiTraversal : public Hostile {};
class Trickle : public Hostile {
protected:
    Trickle() { io_hooks_ = true; }
};
class SlowClient : public Hostile {};
class Disconnect : public Hostile {};
class Pipelined : public Hostile {};
class CgiProgram : public Hostile {};
class SlowProgram : public Hostile {};

// ---- Tables ----------------------------------------------------------------------------
// Most cases differ only in what the client sends and what has to come back: they are the
// rows of the tables below. Each table is instantiated once for each group of cases it holds
// rows of, so that every case keeps its name (GROUP/TABLE.CHECK/CASE), runs as a test of its
// own and names itself in every failure message.

// A table's fixture: the server of Hostile, and the row's name traced from the set-up to the
// tear-down.
template <typename Case>
class Table : public Hostile, public ::testing::WithParamInterface<Case> {
private:
    ::testing::ScopedTrace trace_{__FILE__, __LINE__, std::string("case ") + this->GetParam().name};
};

// An answer the server composes itself.
struct Status {
    int code;
    const char *reason;
};
constexpr Status kBadRequest{400, "Bad Request"};
constexpr Status kNotFound{404, "Not Found"};
constexpr Status kTooLarge{431, "Request Header Fields Too Large"};
constexpr Status kNotImplemented{501, "Not Implemented"};
constexpr Status kVersionNotSupported{505, "HTTP Version Not Supported"};
constexpr Status kBadGateway{502, "Bad Gateway"};

// The log lines that go with some of them.
constexpr const char *kNoUriLog = "Error: No Space seperation for Request URI\n";
constexpr const char *kNoVersionLog = "Error: No Space seperation for HTTP Version\n";
constexpr const char *kNoCrLfLog = "Error: No CRLF termination for Request Line\n";
constexpr const char *kTooLargeLog = "Error: HTTP header cannot be read; buffer exceeds.\n";  // 431
constexpr const char *kControlLog = "Error: Control character in the request header\n";
constexpr const char *kBadVersionLog = "Error: Malformed HTTP Version\n";
constexpr const char *kHostLog = "Error: Request without exactly one Host line\n";
constexpr const char *kBlankNameLog = "Error: Blank before the colon of a request header line\n";

// A request the server answers with an error page of its own.
struct ErrorCase {
    const char *name;
    std::string request;
    Status status;
    const char *log = nullptr;          // a line the log must hold, if any
    std::string version = "HTTP/1.0";  // the status line's version text
};
void PrintTo(const ErrorCase &c, std::ostream *os) { *os << c.name; }
class ErrorPage : public Table<ErrorCase> {};

// A request that is served a file of the site.
struct ServedCase {
    const char *name;
    std::string request;
    std::string body;                    // the file's content
    const char *content_type = nullptr;  // checked when given
};
void PrintTo(const ServedCase &c, std::ostream *os) { *os << c.name; }
class Served : public Table<ServedCase> {};

// A GET for a target outside the working directory (or for nothing at all): 404, and nothing
// from outside in the answer. "{dir}" in a target stands for the test's directory without its
// leading slash.
struct NotFoundCase {
    const char *name;
    std::string target;
    const char *leak = nullptr;  // what the answer would hold had the request got through
};
void PrintTo(const NotFoundCase &c, std::ostream *os) { *os << c.name; }
class NotFound : public Table<NotFoundCase> {};

// A POST to the printenv program, sent on a connection the client keeps open (the server
// must not wait for more than the request announces), and the input the program has to get.
struct InputCase {
    const char *name;
    std::string request;
    std::string input;
};
void PrintTo(const InputCase &c, std::ostream *os) { *os << c.name; }
class ProgramInput : public Table<InputCase> {};

// A POST to the printenv program whose Content-Length no body reaches: the program gets all
// the client sent until it closed its side.
struct LengthCase {
    const char *name;
    const char *length;
};
void PrintTo(const LengthCase &c, std::ostream *os) { *os << c.name; }
class UnreachedLength : public Table<LengthCase> {};

// A CGI program, a request, and the reply byte for byte.
struct ReplyCase {
    const char *name;
    const char *program;  // cgi-bin/PROGRAM is written with `script`; nullptr: one of the site's
    std::string script;
    std::string request;
    std::string reply;
};
void PrintTo(const ReplyCase &c, std::ostream *os) { *os << c.name; }
class ProgramReply : public Table<ReplyCase> {};

// A CGI program (cgi-bin/PROGRAM) whose output the server cannot pass on: the client gets the
// server's page instead, and nothing of the program's header.
struct FailureCase {
    const char *name;
    const char *program;
    std::string script;
    Status status;
    const char *log;  // the line the log must hold
};
void PrintTo(const FailureCase &c, std::ostream *os) { *os << c.name; }
class ProgramFailure : public Table<FailureCase> {};

// A request and what it must be answered with at once: the status line, a text the answer
// holds and one it must not hold ("" for none). "{root}" stands for the working directory.
struct AnswerCase {
    const char *name;
    std::string request;
    std::string status_line;
    std::string holds;
    std::string lacks = "";
};
void PrintTo(const AnswerCase &c, std::ostream *os) { *os << c.name; }
class Answer : public Table<AnswerCase> {};

// What a client sent before it reset the connection, and how many processes its session had.
struct ResetCase {
    const char *name;
    std::string sent;
    size_t processes;
};
void PrintTo(const ResetCase &c, std::ostream *os) { *os << c.name; }
class ClientReset : public Table<ResetCase> {};

}  // namespace

// The page byte for byte, nothing of the file behind it, and the log line.
TEST_P(ErrorPage, ComposedByTheServer)
{
    const ErrorCase &c = GetParam();
    const std::string raw = ask(c.request);
    expect_error(raw, c.status.code, c.status.reason, c.version);
    EXPECT_EQ(raw.find(kPage), std::string::npos);
    if (c.log != nullptr)
        expect_log(c.log);
    ends_cleanly(1);
}

TEST_P(Served, WithTheFilesBytes)
{
    const ServedCase &c = GetParam();
    const Reply reply = parse_reply(ask(c.request));
    EXPECT_EQ(reply.status_line, "HTTP/1.0 200 Ok");
    if (c.content_type != nullptr) {
        EXPECT_EQ(reply.header("Content-Type"), c.content_type);
    }
    EXPECT_EQ(reply.body, c.body);
    ends_cleanly(1);
}

TEST_P(NotFound, ShowsNothingOutside)
{
    const NotFoundCase &c = GetParam();
    std::string target = c.target;
    const std::string dir = "{dir}";
    if (const size_t at = target.find(dir); at != std::string::npos)
        target.replace(at, dir.size(), site.dir.path().substr(1));
    const std::string raw = expect_not_found(target);
    if (c.leak != nullptr) {
        EXPECT_EQ(raw.find(c.leak), std::string::npos);
    }
    ends_cleanly(1);
}

TEST_P(ProgramInput, IsWhatTheRequestCarries)
{
    const InputCase &c = GetParam();
    Client client(site.port);
    ASSERT_TRUE(client.send_all(c.request));
    expect_program_input(client.read_all(kWaitMs), c.input);
    ends_cleanly(2);
}

TEST_P(UnreachedLength, BodyIsReadUntilTheClientCloses)
{
    Client client(site.port);
    ASSERT_TRUE(client.send_all(std::string("POST /cgi-bin/printenv HTTP/1.0\r\nContent-Length: ") +
                                GetParam().length + "\r\n\r\nhello"));
    ASSERT_TRUE(client.wait_consumed(kWaitMs));
    ASSERT_TRUE(client.send_all(" world"));
    shutdown(client.fd(), SHUT_WR);
    expect_program_input(client.read_all(kWaitMs), "hello world");
    ends_cleanly(2);
}

TEST_P(ProgramReply, ArrivesByteForByte)
{
    const ReplyCase &c = GetParam();
    if (c.program != nullptr)
        script(std::string("cgi-bin/") + c.program, c.script);
    EXPECT_EQ(ask(c.request), c.reply);
    ends_cleanly(1);
}

TEST_P(ProgramFailure, AnsweredWithTheServersPage)
{
    const FailureCase &c = GetParam();
    script(std::string("cgi-bin/") + c.program, c.script);
    expect_error(ask(get_request(std::string("/cgi-bin/") + c.program)), c.status.code, c.status.reason);
    expect_log(c.log);
    ends_cleanly(1);
}

TEST_P(Answer, AtOnce)
{
    const AnswerCase &c = GetParam();
    const auto with_root = [&](std::string text) {
        for (size_t at; (at = text.find("{root}")) != std::string::npos;)
            text.replace(at, 6, site.root);
        return text;
    };
    const auto begin = Clock::now();
    const std::string raw = ask(c.request);
    EXPECT_LT(Clock::now() - begin, seconds(5));
    EXPECT_EQ(parse_reply(raw).status_line, c.status_line) << raw;
    EXPECT_NE(raw.find(with_root(c.holds)), std::string::npos) << raw;
    if (!c.lacks.empty()) {
        EXPECT_EQ(raw.find(c.lacks), std::string::npos) << raw;
    }
    ends_cleanly(1);
}

TEST_P(ClientReset, EndsEveryProcessOfTheSession)
{
    const ResetCase &c = GetParam();
    Client client(site.port);
    ASSERT_TRUE(client.send_all(c.sent));
    ASSERT_TRUE(client.wait_consumed(kWaitMs));
    client.reset();
    ends_cleanly(c.processes);
}

// ---- Malformed request lines -----------------------------------------------------------

INSTANTIATE_TEST_SUITE_P(RequestLine, ErrorPage, ::testing::ValuesIn(std::vector<ErrorCase>{
    {"MethodAloneIsAnswered400", "GET\r\n\r\n", kBadRequest, kNoUriLog},
    {"EmptyRequestLineIsAnswered400", "\r\n\r\n", kBadRequest, kNoUriLog},
    {"SpacesAloneAreAnswered400", "     \r\n\r\n", kBadRequest, kNoUriLog},
    {"TabsDoNotSeparateAndAreAnswered400", "GET\t/page.html\tHTTP/1.0\r\n\r\n", kBadRequest, kNoUriLog},
    {"MissingVersionIsAnswered400", "GET /page.html\r\n\r\n", kBadRequest, kNoVersionLog},
    {"SpaceWithoutVersionBehindItIsAnswered400", "GET /page.html \r\n\r\n", kBadRequest, kNoVersionLog},
    {"LineFeedsWithoutCarriageReturnsAreAnswered400", "GET /page.html HTTP/1.0\n\n", kBadRequest, kNoCrLfLog},
    // The header ends at "\n\n", but no line ends in CR LF.
    {"CarriageReturnsWithoutLineFeedsAreAnswered400", "GET /page.html HTTP/1.0\r\rHost: x\r\r \n\n", kBadRequest,
     kNoCrLfLog},
    // A client must not believe that the file took its method: 501, the file not sent.
    {"UnknownMethodOnAStaticFileIsNotImplemented", "BREW /page.html HTTP/1.0\r\n\r\n", kNotImplemented},
    {"VersionOf4000BytesGivesTheWholePage", "GET /missing.html " + std::string(4000, 'V') + "\r\n\r\n",
     kBadRequest, kBadVersionLog},
    // Only HTTP/1.x is spoken: another major version is told so, as HTTP/1.0.
    {"MajorVersionTwoIsNotSupported", "GET /page.html HTTP/2.0\r\n\r\n", kVersionNotSupported,
     "Error: HTTP Version HTTP/2.0 is not supported\n"},
    {"MajorVersionZeroIsNotSupported", "GET /page.html HTTP/0.9\r\n\r\n", kVersionNotSupported,
     "Error: HTTP Version HTTP/0.9 is not supported\n"},
    // HTTP/1.1 names its host once; nothing may fold a line onto the one before it, nor stand
    // between a name and its colon (readers take such lines apart in different ways).
    {"Http11WithoutHostIsAnswered400", "GET /page.html HTTP/1.1\r\n\r\n", kBadRequest, kHostLog, "HTTP/1.1"},
    {"TwoHostLinesAreAnswered400", "GET /page.html HTTP/1.0\r\nHost: a\r\nhost: b\r\n\r\n", kBadRequest, kHostLog},
    {"FoldedLineIsAnswered400", "POST /cgi-bin/printenv HTTP/1.0\r\nX: a\r\n Content-Length: 3\r\n\r\nabcGET",
     kBadRequest, "Error: Folded line in the request header\n"},
    {"BlankBeforeAnyColonIsAnswered400", "GET /page.html HTTP/1.1\r\nHost : a\r\n\r\n", kBadRequest, kBlankNameLog,
     "HTTP/1.1"},
}), RowName());

INSTANTIATE_TEST_SUITE_P(RequestLine, Served, ::testing::ValuesIn(std::vector<ServedCase>{
    {"HeaderLinesThatAreNoFieldsArePassedOver",
     "GET /page.html HTTP/1.0\r\nno colon here\r\n:\r\n: x\r\nHost\r\n\r\n", kPage},
    // Line ends in front of the request line (clients send them between requests) are passed
    // over, and the request is served as if they were not there.
    {"EmptyLinesBeforeTheRequestLineAreSkipped", "\r\n\r\nGET /page.html HTTP/1.0\r\n\r\n", kPage},
    // Garbage without control characters: those get 400 (see ControlCharacters below).
    {"GarbageDateIsOlderThanAnyFile",
     "GET /page.html HTTP/1.0\r\nIf-Modified-Since: " + random_bytes(3000, 5, control_characters()) + "\r\n\r\n",
     kPage},
    {"ThousandEmptyFieldsAreServed", "GET /page.html HTTP/1.0\r\n" + repeated("a:\r\n", 1000) + "\r\n", kPage},
}), RowName());

INSTANTIATE_TEST_SUITE_P(RequestLine, NotFound, ::testing::ValuesIn(std::vector<NotFoundCase>{
    {"PathOf4000BytesIsNotFound", "/" + std::string(4000, 'p')},
}), RowName());

TEST_F(RequestLine, VersionOf4000BytesIsRefusedAsHttp10WithoutTheFile)
{
    const std::string version(4000, 'V');
    const Reply reply = parse_reply(ask("GET /page.html " + version + "\r\n\r\n"));
    EXPECT_EQ(reply.status_line, "HTTP/1.0 400 Bad Request");
    EXPECT_EQ(reply.raw.find(kPage), std::string::npos);
    EXPECT_EQ(reply.raw.find("VVV"), std::string::npos);
    ends_cleanly(1);
}

// ---- Header size: the buffer holds 4095 bytes of request ------------------------------

INSTANTIATE_TEST_SUITE_P(HeaderSize, Served, ::testing::ValuesIn(std::vector<ServedCase>{
    {"Of4094BytesIsServed", request_of_size(4094), kPage},
    {"Of4095BytesIsServed", request_of_size(4095), kPage},
    {"OneFieldOf4000BytesIsServed", "GET /page.html HTTP/1.0\r\nUser-Agent: " + std::string(4000, 'u') + "\r\n\r\n",
     kPage},
}), RowName());

INSTANTIATE_TEST_SUITE_P(HeaderSize, ErrorPage, ::testing::ValuesIn(std::vector<ErrorCase>{
    // The last byte of the empty line does not fit: the header never ends in the buffer.
    {"Of4096BytesIsAnswered431", request_of_size(4096), kTooLarge, kTooLargeLog},
    {"Of4095BytesWithoutItsEndIsAnswered431", request_of_size(4095, false), kTooLarge, kTooLargeLog},
    // The client is still sending when the answer goes out: it must get the answer, not a
    // reset of the connection.
    {"FarBeyondTheBufferIsAnswered431", flood_request(), kTooLarge, kTooLargeLog},
}), RowName());

// ---- NUL bytes -------------------------------------------------------------------------

// A NUL would hide the end of the header from every text search; it is refused as soon as
// it is read, also where it fills the buffer.
INSTANTIATE_TEST_SUITE_P(NulByte, ErrorPage, ::testing::ValuesIn(std::vector<ErrorCase>{
    {"InTheRequestLineFillingTheBufferIsAnswered400", filled(bytes("GET /page.html\0 HTTP/1.0\r\n\r\n")),
     kBadRequest, kControlLog},
    {"AsTheFirstByteIsAnswered400", filled(std::string(1, '\0') + get_request("/page.html")), kBadRequest,
     kControlLog},
    {"BetweenHeaderFieldsFillingTheBufferIsAnswered400",
     filled(bytes("GET /page.html HTTP/1.0\r\nHost: a\0b\r\n\r\n")), kBadRequest, kControlLog},
}), RowName());

TEST_F(NulByte, FollowedByTheClientsCloseIsAnswered400)
{
    Client client(site.port);
    client.send_all(bytes("GET /page.html HTTP/1.0\r\n\0\r\n\r\n"));
    shutdown(client.fd(), SHUT_WR);
    expect_error(client.read_all(kWaitMs), 400, "Bad Request");
    ends_cleanly(1);
}

// ---- Binary garbage --------------------------------------------------------------------

INSTANTIATE_TEST_SUITE_P(Garbage, ErrorPage, ::testing::ValuesIn(std::vector<ErrorCase>{
    // Without line feeds no end of header can appear, whatever else the bytes hold.
    // Nor NUL bytes: one is refused at once (see NulByte).
    {"RandomBytesWithoutAnEndAreAnswered431", random_bytes(4095, 1, bytes("\0\n")), kTooLarge, kTooLargeLog},
    // No NUL, space, CR or LF inside: one token and no URI.
    {"RandomBytesEndedLikeAHeaderAreAnswered400", random_bytes(2000, 2, bytes("\0 \r\n")) + "\r\n\r\n", kBadRequest,
     kNoUriLog},
    // The version token ends only at CR or LF; what is no "HTTP/" digit "." digit is never
    // echoed into a status line.
    {"BinaryVersionTextIsAnswered400", "GET /missing.html \x80\xff HTTP/9\r\n\r\n", kBadRequest, kBadVersionLog},
}), RowName());

TEST_F(Garbage, TlsHandshakeOnThePlainPortIsAnswered400AtOnce)
{
    // The start of a TLS ClientHello: its length fields hold NUL bytes at once.
    std::string hello = bytes("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03");
    hello += random_bytes(32, 3, "");
    hello += std::string("\x20") + random_bytes(32, 4, "");
    hello += bytes("\x00\x3e\x13\x02\x13\x03\x13\x01\xc0\x2c\xc0\x30");
    Client client(site.port);
    client.send_all(hello);
    shutdown(client.fd(), SHUT_WR);
    expect_error(client.read_all(kWaitMs), 400, "Bad Request");
    expect_log(kControlLog);
    ends_cleanly(1);
}

TEST_F(Garbage, ControlCharactersAreAnswered400AndNeverEchoedOrLogged)
{
    // A control character in the request line or a field (a bare line feed above all) would
    // reach the log and CGI programs as a line of its own: 400, the status line with the
    // server's own version text, and nothing of the request logged.
    const char *requests[] = {
        "GET /missing.html \x80\xff\x01 HTTP\x7f/9\r\n\r\n",
        "GET /page.html HTTP/1.0\r\nHost: h\nX=1\r\n\r\n",
        "GET /page.html HTTP/1.0\r\nUser-Agent: a\rb\r\n\r\n",
        "GET /page.html HTTP/1.0\r\nReferer: a\x1b[31mred\r\n\r\n",
        "GET /page\n.html HTTP/1.0\r\n\r\n",
    };
    for (const char *request : requests) {
        expect_error(ask(request), 400, "Bad Request");
        expect_log("Error: Control character in the request header\n");
    }
    ends_cleanly(std::size(requests));
}

// ---- Bad percent-encoding --------------------------------------------------------------

INSTANTIATE_TEST_SUITE_P(PercentEncoding, Served, ::testing::ValuesIn(std::vector<ServedCase>{
    {"LonePercentAtTheEndIsKeptLiterally", get_request("/tail%"), "named tail%"},
    {"OneHexDigitAtTheEndIsKeptLiterally", get_request("/tail%4"), "named tail%4"},
    {"NonHexDigitsAreKeptLiterally", get_request("/odd%zz.html"), "named odd%zz.html"},
    {"PercentBeforeAnEscapeIsKeptAndTheEscapeDecoded", get_request("/%%41.html"), "named %A.html"},
    {"DoubleEncodingIsDecodedOnce", get_request("/%2541.html"), "named %41.html"},
    {"EncodedSlashSeparatesDirectories", get_request("/sub%2Fpage.html"), "inside sub"},
}), RowName());

INSTANTIATE_TEST_SUITE_P(PercentEncoding, NotFound, ::testing::ValuesIn(std::vector<NotFoundCase>{
    {"EncodedLineEndsCannotSplitTheResponse", "/x%0d%0aSet-Cookie:%20a=b%0d%0a%0d%0a<p>injected</p>"},
    {"OverlongDotsAreNoDots", "/%c0%ae%c0%ae/secret.txt"},
}), RowName());

TEST_F(PercentEncoding, BadEscapesInACgiQueryBecomeLiteralArguments)
{
    const std::string reply = ask(get_request("/cgi-bin/printenv?%zz+%4+%+%41"));
    EXPECT_EQ(reply.rfind("HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n", 0), 0u) << reply;
    EXPECT_NE(reply.find("argc=5\nargv[0]=[cgi-bin/printenv]\nargv[1]=[%zz]\nargv[2]=[%4]\n"
                         "argv[3]=[%]\nargv[4]=[A]\n"),
              std::string::npos)
        << reply;
    EXPECT_NE(reply.find("env=[QUERY_STRING=%zz+%4+%+%41]\n"), std::string::npos) << reply;
    ends_cleanly(1);
}

// ---- The request line and the header, answered at once and as they ask -----------------

INSTANTIATE_TEST_SUITE_P(RequestAndHeader, Answer, ::testing::ValuesIn(std::vector<AnswerCase>{
    // A NUL byte would hide the end of the header; "%00" would end the path early.
    {"NulInTheRequestLineIsAnswered400", bytes("GET /page\0.html HTTP/1.0\r\n\r\n"), "HTTP/1.0 400 Bad Request",
     "<TITLE>400 Bad Request</TITLE>", kPage},
    {"NulInAHeaderFieldIsAnswered400", bytes("GET /page.html HTTP/1.0\r\nUser-Agent: a\0b\r\n\r\n"),
     "HTTP/1.0 400 Bad Request", "<TITLE>400 Bad Request</TITLE>", kPage},
    {"EncodedNulInThePathIsAnswered400", get_request("/page.html%00.gif"), "HTTP/1.0 400 Bad Request",
     "<TITLE>400 Bad Request</TITLE>", kPage},
    // The version is "HTTP/" digit "." digit, or the request is refused (and the status line
    // says HTTP/1.0): it is never echoed.
    {"VersionThatIsNoHttpVersionIsAnswered400", "GET /page.html FOO/9\r\n\r\n", "HTTP/1.0 400 Bad Request",
     "<TITLE>400 Bad Request</TITLE>", "FOO/9"},
    {"VersionWithWordsBehindItIsAnswered400", "GET /page.html HTTP/1.1 x\r\n\r\n", "HTTP/1.0 400 Bad Request",
     "<TITLE>400 Bad Request</TITLE>", kPage},
    // A target in absolute form is its path; its host is the host the program sees.
    {"AbsoluteFormTargetIsServedAsItsPath", "GET http://127.0.0.1/page.html HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n",
     "HTTP/1.1 200 Ok", kPage},
    {"AbsoluteFormWithUpperCaseSchemeIsServed", "GET HTTP://127.0.0.1:80/sub/page.html HTTP/1.0\r\n\r\n",
     "HTTP/1.0 200 Ok", "inside sub"},
    {"AbsoluteFormWithoutAPathIsTheRoot", "GET http://127.0.0.1 HTTP/1.0\r\n\r\n", "HTTP/1.0 200 Ok", kIndex},
    {"AbsoluteFormHostStandsForTheHostHeader",
     "GET http://target.example:8080/cgi-bin/printenv?a=1 HTTP/1.0\r\nHost: header.example\r\n\r\n",
     "HTTP/1.0 200 OK", "env=[SERVER_NAME=target.example]\n"},
    {"AbsoluteFormPathIsTheRequestUri", "GET http://h/cgi-bin/printenv?a=1 HTTP/1.0\r\n\r\n", "HTTP/1.0 200 OK",
     "env=[REQUEST_URI=/cgi-bin/printenv?a=1]"},
    // A date the server's clock has not reached yet is no date the client had from it.
    {"FutureIfModifiedSinceIsIgnored", get_request("/page.html", "If-Modified-Since: Sun, 06 Nov 2101 08:49:37 GMT\r\n"),
     "HTTP/1.0 200 Ok", kPage},
    {"PastIfModifiedSinceAfterTheFileIsAnswered304",
     get_request("/page.html", "If-Modified-Since: Sun, 06 Nov 2005 08:49:37 GMT\r\n"), "HTTP/1.0 304 Not Modified",
     "Last-Modified: Sun, 06 Nov 1994 08:49:37 GMT", kPage},
    // The path behind a program has its dot segments resolved: PATH_TRANSLATED stays inside.
    {"PathInfoDotSegmentsAreResolved", get_request("/cgi-bin/printenv/a/./b/../c"), "HTTP/1.0 200 OK",
     "env=[PATH_INFO=/a/c]\nenv=[PATH_TRANSLATED={root}/a/c]"},
    {"PathInfoBackToItsStartIsTheRoot", get_request("/cgi-bin/printenv/a/%2e%2e"), "HTTP/1.0 200 OK",
     "env=[PATH_INFO=/]\nenv=[PATH_TRANSLATED={root}/]"},
}), RowName());

// ---- Traversal to static files: 404, and the file's bytes never leave ------------------

INSTANTIATE_TEST_SUITE_P(StaticTraversal, NotFound, ::testing::ValuesIn(std::vector<NotFoundCase>{
    {"DotDotIsNotFound", "/../secret.txt"},
    {"LowerCaseEncodedDotDotIsNotFound", "/%2e%2e/secret.txt"},
    {"MixedCaseEncodedDotDotIsNotFound", "/%2E%2e/secret.txt"},
    {"HalfEncodedDotDotIsNotFound", "/.%2E/secret.txt"},
    {"EncodedSlashesAndDotsAreNotFound", "/%2e%2e%2fsecret.txt"},
    {"ClimbingPastTheRootFromBelowIsNotFound", "/sub/../../secret.txt"},
    {"DoubledSlashesAreNotFound", "/sub//..//..//secret.txt"},
    {"AbsolutePathIsNotFound", "//{dir}/secret.txt"},
    {"AbsolutePathWithAnEncodedSlashIsNotFound", "/%2F{dir}/secret.txt"},
    {"SystemFileIsNotFound", "//etc/passwd", "root:"},
    {"SiblingDirectorySharingTheRootsNameIsNotFound", "/../www2/f.html"},
    {"SymlinkedDirectoryLeadingOutIsNotFound", "/link/secret.txt"},
    {"BackslashesAreNoSeparators", "/..\\secret.txt"},
}), RowName());

INSTANTIATE_TEST_SUITE_P(StaticTraversal, Served, ::testing::ValuesIn(std::vector<ServedCase>{
    {"DotDotThatComesBackInsideIsServed", get_request("/sub/%2e%2e/../www/sub/page.html"), "inside sub"},
}), RowName());

TEST_F(StaticTraversal, DirectoryOutsideIsNotFoundWhetherItExistsOrNot)
{
    // A directory is confined like a file, before any hook sees it: nothing outside can be
    // probed by the difference between 200 and 404.
    for (const char *target : {"/../", "/..", "/../../../", "/link/", "/../no-such-directory/"})
        expect_not_found(target);
    ends_cleanly(5);
}

// ---- Traversal to programs: 404, and nothing runs --------------------------------------

INSTANTIATE_TEST_SUITE_P(CgiTraversal, NotFound, ::testing::ValuesIn(std::vector<NotFoundCase>{
    {"DotDotIsNotFound", "/cgi-bin/../../outside-cgi-bin/evil"},
    {"LowerCaseEncodedDotDotIsNotFound", "/cgi-bin/%2e%2e/%2e%2e/outside-cgi-bin/evil"},
    {"MixedCaseEncodedDotDotIsNotFound", "/cgi-bin/%2E%2e/%2e%2E/outside-cgi-bin/evil"},
    {"DoubledSlashesAreNotFound", "/cgi-bin//..//..//outside-cgi-bin//evil"},
    {"AbsolutePathIsNotFound", "//{dir}/outside-cgi-bin/evil"},
    {"SiblingDirectorySharingTheRootsNameIsNotFound", "/../www2/cgi-bin/evil"},
    {"SymlinkedDirectoryLeadingOutIsNotFound", "/cgi-bin/linked/evil"},
    {"SystemShellWithArgumentsIsNotFound", "/cgi-bin/../../../../../../../bin/sh?-c+id", "uid="},
    // The path behind a program (PATH_INFO) is resolved, and may not climb above the root:
    // PATH_TRANSLATED would name a file outside it.
    {"PathInfoClimbingAboveTheRootIsNotFound", "/cgi-bin/printenv/../../../etc/passwd", "PATH_TRANSLATED"},
    {"EncodedPathInfoClimbingAboveTheRootIsNotFound", "/cgi-bin/printenv/a/%2e%2e/%2E%2E/secret.txt",
     "PATH_TRANSLATED"},
}), RowName());

TEST_F(CgiTraversal, DotDotThatStaysInsideRunsTheProgram)
{
    const std::string reply = ask(get_request("/docs/../cgi-bin/printenv"));
    EXPECT_EQ(reply.rfind("HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n", 0), 0u) << reply;
    EXPECT_NE(reply.find("env=[SCRIPT_NAME=/docs/../cgi-bin/printenv]\n"), std::string::npos) << reply;
    ends_cleanly(1);
}

TEST_F(CgiTraversal, RefusedMethodOutsideIsNotFoundWithoutRunningAnything)
{
    // The path is refused first, before the method is looked at.
    expect_not_found("/cgi-bin/../../outside-cgi-bin/evil");
    expect_error(ask("DELETE /cgi-bin/../../outside-cgi-bin/evil HTTP/1.0\r\n\r\n"), 404, "Not Found");
    ends_cleanly(2);
}

// ---- Clients that send slowly or not at all --------------------------------------------

TEST_F(Trickle, HeaderSentByteByByteIsServed)
{
    // Each byte goes out only once the server has read the one before: one read per byte,
    // as tp_record's read hook reports them.
    const std::string request = get_request("/page.html");
    Client client(site.port);
    for (size_t sent = 0; sent < request.size(); ++sent) {
        ASSERT_TRUE(client.send_all(request.substr(sent, 1)));
        ASSERT_TRUE(wait_for_lines("read len=", sent + 1)) << "the server stopped reading after " << sent;
    }
    EXPECT_EQ(count_lines("read len="), request.size());
    EXPECT_EQ(count_lines("read len=4095 got=1"), 1u) << "the first read offers the whole buffer";
    const Reply reply = parse_reply(client.read_all(kWaitMs));
    EXPECT_EQ(reply.status_line, "HTTP/1.0 200 Ok");
    EXPECT_EQ(reply.body, kPage);
    ends_cleanly(1);
}

TEST_F(SlowClient, NeverSendingIsCutOffAfterTheReadWait)
{
    Client client(site.port);
    const auto begin = Clock::now();
    expect_silence(client, 45000);
    const auto waited = Clock::now() - begin;
    EXPECT_GE(waited, seconds(29));
    EXPECT_LT(waited, seconds(40));
    expect_log("WebSrv Error: Read Timeout.\nWeb Server receive packet failed\n");
    ends_cleanly(1);
}

TEST_F(SlowClient, BodyShorterThanItsLengthIsWaitedForOnlyOnce)
{
    // The input redirector waits 30 seconds for the rest, then the program sees the end of
    // its input and answers with what came; the answer must reach the client although the
    // program was silent for as long as the wait lasted.
    Client client(site.port);
    ASSERT_TRUE(client.send_all("POST /cgi-bin/printenv HTTP/1.0\r\nContent-Length: 100\r\n\r\nhello"));
    const auto begin = Clock::now();
    const std::string reply = client.read_all(45000);
    const auto waited = Clock::now() - begin;
    expect_program_input(reply, "hello");
    EXPECT_GE(waited, seconds(29));
    EXPECT_LT(waited, seconds(40));
    expect_log("WebSrv Error: Read Timeout.\nWebSrv Error: In redirect input Error:");
    ends_cleanly(2);
}

TEST_F(SlowClient, UploadTakingLongerThanTheReadWaitIsStillAnswered)
{
    // Every piece comes well within the read wait, the whole body only after it: the program
    // reads all of its input before it answers, so it is silent that long, and its answer
    // must still reach the client.
    Client client(site.port);
    ASSERT_TRUE(client.send_all("POST /cgi-bin/printenv HTTP/1.0\r\nContent-Length: 15\r\n\r\nhello"));
    const auto begin = Clock::now();
    for (const std::string piece : {"-----", "world"}) {
        std::this_thread::sleep_for(seconds(16));  // the pace of the upload, not a synchronisation
        ASSERT_TRUE(client.send_all(piece));
    }
    const std::string reply = client.read_all(kWaitMs);
    expect_program_input(reply, "hello-----world");
    EXPECT_LT(Clock::now() - begin, seconds(40));
    ends_cleanly(2);
}

// ---- Clients that go away --------------------------------------------------------------

INSTANTIATE_TEST_SUITE_P(Disconnect, ClientReset, ::testing::ValuesIn(std::vector<ResetCase>{
    // A connection is taken only once its first bytes come: one reset before them never
    // reaches a process.
    {"ResettingBeforeSendingTakesNoSession", "", 0},
    {"ResettingMidHeaderEndsTheSession", "GET /page.html HTTP/1.0\r\nHost: half", 1},
    {"ResettingMidBodyEndsBothRedirectors",
     "POST /cgi-bin/printenv HTTP/1.0\r\nContent-Length: 1000\r\n\r\n0123456789", 2},
}), RowName());

TEST_F(Disconnect, ClosingWithoutSendingEndsTheSession)
{
    {
        Client client(site.port);
    }
    ends_cleanly(1);
}

TEST_F(Disconnect, ClosingMidHeaderEndsTheSession)
{
    Client client(site.port);
    ASSERT_TRUE(client.send_all("GET /page.html HTTP/1.0\r\nHost: half"));
    shutdown(client.fd(), SHUT_WR);
    expect_silence(client);
    ends_cleanly(1);
}

TEST_F(Disconnect, ClosingMidBodyGivesTheProgramWhatCame)
{
    Client client(site.port);
    ASSERT_TRUE(client.send_all("POST /cgi-bin/printenv HTTP/1.0\r\nContent-Length: 1000\r\n\r\n0123456789"));
    shutdown(client.fd(), SHUT_WR);
    expect_program_input(client.read_all(kWaitMs), "0123456789");
    ends_cleanly(2);
}

TEST_F(Disconnect, ResettingMidFileEndsTheSession)
{
    const std::string path = site.root + "/large.bin";
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, 256LL << 20), 0);  // far more than the socket buffers hold
    close(fd);
    Client client(site.port);
    ASSERT_TRUE(client.send_all(get_request("/large.bin")));
    const std::string start = client.read_until("\r\n\r\n", kWaitMs);
    EXPECT_EQ(start.rfind("HTTP/1.0 200 Ok\r\n", 0), 0u) << start;
    client.reset();
    expect_log("Error: Unable to send file; Error:");
    ends_cleanly(1);
}

TEST_F(Disconnect, ResettingMidProgramOutputEndsTheSession)
{
    script("cgi-bin/flood", "printf 'Content-Type: application/octet-stream\\r\\n\\r\\n'; "
                            "exec head -c 100000000 /dev/zero");
    Client client(site.port);
    ASSERT_TRUE(client.send_all(get_request("/cgi-bin/flood")));
    const std::string start = client.read_until("\r\n\r\n", kWaitMs);
    EXPECT_EQ(start.rfind("HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\n\r\n", 0), 0u);
    client.reset();
    expect_log("WebSrv Error: Write to SOCKET failed");
    ends_cleanly(1);
}

TEST_F(Disconnect, LeavingBeforeTheAnswerEndsTheSession)
{
    site.put("big.html", std::string(4 << 20, 'b'));
    {
        Client client(site.port);
        ASSERT_TRUE(client.send_all(get_request("/big.html")));
    }
    ends_cleanly(1);
}

// ---- Request bodies and their lengths (POST to a CGI program) --------------------------

INSTANTIATE_TEST_SUITE_P(Body, ProgramInput, ::testing::ValuesIn(std::vector<InputCase>{
    {"MissingLengthForwardsWhatCameWithTheHeader", "POST /cgi-bin/printenv HTTP/1.0\r\n\r\nearly", "early"},
    {"LengthShorterThanTheBodyCutsIt", "POST /cgi-bin/printenv HTTP/1.0\r\nContent-Length: 3\r\n\r\nhello", "hel"},
    {"EqualLengthsTwiceAreOneLength",
     "POST /cgi-bin/printenv HTTP/1.0\r\nContent-Length: 5\r\nContent-length: 5 \r\n\r\nhello", "hello"},
}), RowName());

// A length that is not one run of digits, the same in every line, right behind its name: where
// the body ends (and a kept connection's next request starts) cannot be trusted. 400, the
// program never started.
constexpr const char *kUntrustedLengthLog = "WebSrv Error: 127.0.0.1 sent a Content-Length that cannot be trusted\n";
std::string post_with(const std::string &lines)
{
    return "POST /cgi-bin/printenv HTTP/1.0\r\n" + lines + "\r\nearly";
}
INSTANTIATE_TEST_SUITE_P(Body, ErrorPage, ::testing::ValuesIn(std::vector<ErrorCase>{
    {"TwoDifferentLengthsAreAnswered400", post_with("Content-Length: 5\r\nContent-Length: 11\r\n"), kBadRequest,
     kUntrustedLengthLog},
    {"NegativeLengthIsAnswered400", post_with("Content-Length: -1\r\n"), kBadRequest, kUntrustedLengthLog},
    {"SignedLengthIsAnswered400", post_with("Content-Length: +3\r\n"), kBadRequest, kUntrustedLengthLog},
    {"HexadecimalLengthIsAnswered400", post_with("Content-Length: 0x3\r\n"), kBadRequest, kUntrustedLengthLog},
    {"LengthWithLettersBehindIsAnswered400", post_with("Content-Length: 3abc\r\n"), kBadRequest, kUntrustedLengthLog},
    {"ListOfLengthsIsAnswered400", post_with("Content-Length: 5, 11\r\n"), kBadRequest, kUntrustedLengthLog},
    {"EmptyLengthIsAnswered400", post_with("Content-Length:\r\n"), kBadRequest, kUntrustedLengthLog},
    {"BlankBeforeTheColonIsAnswered400", post_with("Content-Length : 5\r\n"), kBadRequest, kBlankNameLog},
    // A length the server cannot count is refused, not cut to what it can.
    {"HugeLengthIsAnswered400", post_with("Content-Length: 999999999999999999999999999999\r\n"), kBadRequest,
     kUntrustedLengthLog},
    // A transfer coding beside a length, or twice, leaves the body's end to a guess; one the
    // server does not know is not implemented.
    {"ChunkedBesideALengthIsAnswered400", post_with("Transfer-Encoding: chunked\r\nContent-Length: 5\r\n"),
     kBadRequest, kUntrustedLengthLog},
    {"TwoTransferEncodingsAreAnswered400", post_with("Transfer-Encoding: chunked\r\nTransfer-Encoding: chunked\r\n"),
     kBadRequest, kUntrustedLengthLog},
    {"CodingOtherThanChunkedIsNotImplemented", post_with("Transfer-Encoding: gzip, chunked\r\n"), kNotImplemented,
     "WebSrv Error: 127.0.0.1 sent a transfer coding other than chunked\n"},
    {"BrokenChunkedBodyIsAnswered400",
     "POST /cgi-bin/printenv HTTP/1.0\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhelloXY\r\n0\r\n\r\n",
     kBadRequest, "WebSrv Error: 127.0.0.1 sent a chunked body that is not coded right\n"},
}), RowName());

INSTANTIATE_TEST_SUITE_P(Body, UnreachedLength, ::testing::ValuesIn(std::vector<LengthCase>{
    // 2^32 + 5: a length kept in 32 bits would end the body after "hello".
    {"LengthBeyond32BitsIsNotCutToItsLowBits", "4294967301"},
}), RowName());

INSTANTIATE_TEST_SUITE_P(Body, Served, ::testing::ValuesIn(std::vector<ServedCase>{
    {"BodyToAStaticFileIsIgnored", "POST /page.html HTTP/1.0\r\nContent-Length: 99999\r\n\r\nx=1", kPage},
}), RowName());

// ---- A second request behind the first --------------------------------------------------

TEST_F(Pipelined, SecondGetIsNotAnswered)
{
    const Reply reply = parse_reply(ask(get_request("/page.html") + get_request("/sub/page.html")));
    EXPECT_EQ(reply.status_line, "HTTP/1.0 200 Ok");
    EXPECT_EQ(reply.body, kPage);
    EXPECT_EQ(count_of(reply.raw, "HTTP/1.0"), 1u) << reply.raw;
    ends_cleanly(1);
}

INSTANTIATE_TEST_SUITE_P(Pipelined, ProgramInput, ::testing::ValuesIn(std::vector<InputCase>{
    {"RequestBehindAPostBodyIsNotTheProgramsInput",
     "POST /cgi-bin/printenv HTTP/1.0\r\nContent-Length: 5\r\n\r\nhello" + get_request("/page.html"), "hello"},
}), RowName());

INSTANTIATE_TEST_SUITE_P(Pipelined, ProgramReply, ::testing::ValuesIn(std::vector<ReplyCase>{
    {"RequestBehindAProgramsGetIsNotAnswered", nullptr, "", get_request("/cgi-bin/plain") + get_request("/page.html"),
     "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nhello\n"},
}), RowName());

// ---- CGI programs that misbehave -------------------------------------------------------

INSTANTIATE_TEST_SUITE_P(CgiProgram, ProgramReply, ::testing::ValuesIn(std::vector<ReplyCase>{
    {"DyingMidOutputEndsTheReplyThere", "dying",
     "printf 'Content-Type: text/plain\\r\\n\\r\\npartial'; kill -KILL $$", get_request("/cgi-bin/dying"),
     "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\npartial"},
    {"NulBytesInTheOutputArriveByteForByte", "binary",
     "printf 'Content-Type: application/octet-stream\\r\\n\\r\\n\\000\\001\\377\\000end'",
     get_request("/cgi-bin/binary"),
     bytes("HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\n\r\n\0\1\377\0end")},
}), RowName());

// A header block that is missing, cut or malformed is answered 502, and the log names the
// line (the first that is no "Name: value" line, or where the header stopped).
INSTANTIATE_TEST_SUITE_P(CgiProgram, ProgramFailure, ::testing::ValuesIn(std::vector<FailureCase>{
    {"NoOutputAtAllIsABadGateway", "mute", "exit 0", kBadGateway, "No header information\n"},
    {"NoHeaderBlockIsABadGateway", "headless", "printf 'just a body\\n'", kBadGateway,
     "WebSrv Error: CGI program cgi-bin/headless sent a malformed header at line 1\n"},
    {"NoLineFeedIsABadGateway", "no_newline", "printf 'Content-Type: text/plain'", kBadGateway,
     "Unable to get the end of the header after 4096 bytes\n"},
    {"EndBeforeTheEmptyLineIsABadGateway", "unended", "printf 'Content-Type: text/plain\\r\\nX-A: 1\\r\\n'",
     kBadGateway, "WebSrv Error: CGI program cgi-bin/unended sent a malformed header at line 3\n"},
    {"FirstLineLongerThanAChunkIsABadGateway", "long_line",
     "head -c 10000 /dev/zero | tr '\\0' a; printf '\\r\\n\\r\\nbody'", kBadGateway,
     "Unable to get the end of the header after 4096 bytes\n"},
    {"HeaderLongerThanAChunkIsABadGateway", "long_header",
     "for i in $(seq 100); do printf 'X-Line: %040d\\r\\n' $i; done; printf '\\r\\nbody'", kBadGateway,
     "WebSrv Error: CGI program cgi-bin/long_header sent a malformed header at line 82\n"},
    {"BareCarriageReturnInALineIsABadGateway", "bare_cr",
     "printf 'Location: /x\\rSet-Cookie: evil=1\\r\\n\\r\\n'", kBadGateway,
     "WebSrv Error: CGI program cgi-bin/bare_cr sent a malformed header at line 1\n"},
    {"NulInALineIsABadGateway", "nul", "printf 'Content-Type: text/plain\\000x\\r\\n\\r\\nbody'", kBadGateway,
     "WebSrv Error: CGI program cgi-bin/nul sent a malformed header at line 1\n"},
    {"DelInALineIsABadGateway", "del", "printf 'X-A: a\\177b\\r\\n\\r\\nbody'", kBadGateway,
     "WebSrv Error: CGI program cgi-bin/del sent a malformed header at line 1\n"},
    {"LineWithoutAColonIsABadGateway", "colonless",
     "printf 'Content-Type: text/plain\\r\\nno colon here\\r\\n\\r\\nbody'", kBadGateway,
     "WebSrv Error: CGI program cgi-bin/colonless sent a malformed header at line 2\n"},
    {"EmptyNameIsABadGateway", "nameless", "printf ': value\\r\\n\\r\\nbody'", kBadGateway,
     "WebSrv Error: CGI program cgi-bin/nameless sent a malformed header at line 1\n"},
    {"BlankBeforeTheColonIsABadGateway", "blank_name", "printf 'Content-Type : text/plain\\r\\n\\r\\nbody'",
     kBadGateway, "WebSrv Error: CGI program cgi-bin/blank_name sent a malformed header at line 1\n"},
    {"FoldedLineIsABadGateway", "folded",
     "printf 'Content-Type: text/plain\\r\\n continued\\r\\n\\r\\nbody'", kBadGateway,
     "WebSrv Error: CGI program cgi-bin/folded sent a malformed header at line 2\n"},
}), RowName());

TEST_F(CgiProgram, ExitingWithoutReadingItsInputStillAnswers)
{
    // More body than the input pipe holds: the copy into the program must fail, not hang.
    script("cgi-bin/hasty", "printf 'Content-Type: text/plain\\r\\n\\r\\nignored\\n'");
    const std::string body(200 * 1024, 'x');
    EXPECT_EQ(ask("POST /cgi-bin/hasty HTTP/1.0\r\nContent-Length: " + std::to_string(body.size()) +
                  "\r\n\r\n" + body),
              "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nignored\n");
    expect_log("WebSrv Error: Write to PIPE failed errno:32\n");
    ends_cleanly(2);
}

TEST_F(CgiProgram, MegabytesOfOutputArriveWhole)
{
    script("cgi-bin/big", "printf 'Content-Type: application/octet-stream\\r\\n\\r\\n'; "
                          "head -c 8388608 /dev/zero | tr '\\0' z");
    const Reply reply = parse_reply(ask(get_request("/cgi-bin/big"), 30000));
    EXPECT_EQ(reply.head, "HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\n\r\n");
    EXPECT_EQ(reply.body.size(), 8388608u);
    EXPECT_EQ(reply.body.find_first_not_of('z'), std::string::npos);
    ends_cleanly(1);
}

TEST_F(CgiProgram, ErrorOutputGoesToTheLogNeverToTheClient)
{
    // A warning before the header would have clients see no header at all; megabytes of it
    // must not block the program either.
    script("cgi-bin/noisy", "echo 'noisy: a warning' >&2; printf 'Content-Type: text/plain\\r\\n\\r\\nbody'; "
                            "head -c 4194304 /dev/zero | tr '\\0' e >&2");
    const Reply reply = parse_reply(ask(get_request("/cgi-bin/noisy"), 30000));
    EXPECT_EQ(reply.raw, "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nbody");
    expect_log("noisy: a warning\n");
    expect_log(std::string(4194304, 'e'));
    ends_cleanly(1);
}

TEST_F(CgiProgram, StatusOutsideTheRangeOfHttpIsTheServersError)
{
    // No status code but 100 to 599 may reach the client: the program failed.
    const char *statuses[] = {"99999999999999999999", "0", "abc", "-1", "999999999", "99", "600"};
    for (const char *status : statuses) {
        script("cgi-bin/odd_status", std::string("printf 'Status: ") + status + "\\r\\n\\r\\nbody'");
        const std::string raw = ask(get_request("/cgi-bin/odd_status"));
        expect_error(raw, 500, "Internal Server Error");
        EXPECT_EQ(raw.find("body"), std::string::npos) << status;
    }
    expect_log("WebSrv Error: CGI program cgi-bin/odd_status sent a status outside 100 to 599\n");
    ends_cleanly(std::size(statuses));
}

TEST_F(SlowProgram, SilentPastTheReadWaitIsGivenUpOn)
{
    // The output copy gives up after its read wait, answers 504 in the program's place and
    // ends the program, which never answered; the connection closes then.
    script("cgi-bin/sleepy", "sleep 300");
    Client client(site.port);
    ASSERT_TRUE(client.send_all(get_request("/cgi-bin/sleepy")));
    const auto begin = Clock::now();
    expect_error(client.read_all(45000), 504, "Gateway Timeout");
    EXPECT_TRUE(client.closed());
    const auto waited = Clock::now() - begin;
    EXPECT_GE(waited, seconds(29));
    EXPECT_LT(waited, seconds(40));
    expect_log("WebSrv Error: Read Timeout.\nRedirect Output Failed Error:");
    expect_log("WebSrv Error: CGI program cgi-bin/sleepy gave no answer in 30 s; ending it\n");
    ends_cleanly(1);
}
