// Request parsing in process, without a socket: percent-decoding, the request line, the
// header fields, the path, the content type and the working-directory test of static files.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "registry.h"
#include "parse/request.h"
#include "confine.h"
#include "static/static_file.h"
#include "control_block.h"
#include "test_support.h"

using websrv_test::StdoutCapture;
using websrv_test::TempDir;

using websrv_test::release_control_block;

namespace {

std::string decoded(const std::string &text)
{
    std::vector<char> buffer(text.begin(), text.end());
    buffer.push_back('\0');
    websrv_strdecode(buffer.data(), buffer.data());  // in place, as every caller does
    return std::string(buffer.data());
}

// A session holding `request` in its buffer the way the connection child leaves it after
// reading: a zeroed 4096-byte buffer, `received` set, the peer 127.0.0.1.
class Request : public ::testing::Test {
protected:
    websrv_session session{};

    void SetUp() override
    {
        release_control_block();
        websrv_mcb.log_level = 2;
        fresh_session();
    }
    void TearDown() override
    {
        websrv_free(session.buffer);
        release_control_block();
    }

    // Starts over with a new, empty session (for tables of requests).
    void fresh_session()
    {
        websrv_free(session.buffer);
        session = websrv_session{};
        session.buffer = static_cast<char *>(websrv_malloc(WEBSRV_BUFFER_SIZE));
        memset(session.buffer, 0, WEBSRV_BUFFER_SIZE);
        session.cursor = session.buffer;
        inet_pton(AF_INET, "127.0.0.1", &session.client_addr);
    }

    void load(const std::string &request)
    {
        ASSERT_LT(request.size(), static_cast<size_t>(WEBSRV_BUFFER_SIZE));
        memcpy(session.buffer, request.data(), request.size());
        session.received = static_cast<int>(request.size());
    }

    // Parses `request` and returns the result; the log goes to *log.
    request_error parse(const std::string &request, std::string *log = nullptr)
    {
        load(request);
        StdoutCapture capture;
        const request_error result = websrv_parse_request(&session, "127.0.0.1");
        const std::string text = capture.finish();
        if (log != nullptr)
            *log = text;
        return result;
    }

    static std::string text(const char *field) { return field != nullptr ? field : "(null)"; }
};

}  // namespace

TEST(Strdecode, DecodesOnlyAPercentSignFollowedByTwoHexDigits)
{
    const struct {
        const char *in;
        const char *out;
    } cases[] = {
        {"%41", "A"},
        {"%4", "%4"},
        {"%zz", "%zz"},
        {"%%41", "%A"},
        {"a+b", "a+b"},
        {"a%20b.html", "a b.html"},
        {"%2e%2E", ".."},
        {"%4g%41", "%4gA"},
        {"%", "%"},
        {"abc%", "abc%"},
        {"%3F", "?"},
        {"%ff", "\xff"},
        {"%C3%A9", "\xc3\xa9"},
        {"plain/path.html", "plain/path.html"},
        {"", ""},
    };
    for (const auto &c : cases)
        EXPECT_EQ(decoded(c.in), c.out) << "input: " << c.in;
}

TEST(Strdecode, PercentZeroZeroEndsTheText)
{
    EXPECT_EQ(decoded("ab%00cd"), "ab");
}

TEST(Strdecode, WritesIntoASeparateBufferToo)
{
    char out[16];
    memset(out, 'x', sizeof out);
    websrv_strdecode(out, "%41b%43");
    EXPECT_STREQ(out, "AbC");
}

TEST(Hexit, ValuesOfDigitsAndZeroForAnythingElse)
{
    const std::string digits = "0123456789abcdef";
    for (size_t i = 0; i < digits.size(); ++i) {
        EXPECT_EQ(websrv_hexit(digits[i]), static_cast<int>(i)) << digits[i];
        EXPECT_EQ(websrv_hexit(static_cast<char>(toupper(digits[i]))), static_cast<int>(i));
    }
    for (char c : std::string("gGzZ%/ \x7f"))
        EXPECT_EQ(websrv_hexit(c), 0) << static_cast<int>(c);
}

TEST(HeaderComplete, NeedsAnEmptyLineInTheTextHeld)
{
    EXPECT_TRUE(websrv_header_complete("GET / HTTP/1.0\r\n\r\n"));
    EXPECT_TRUE(websrv_header_complete("GET / HTTP/1.0\n\n"));
    EXPECT_TRUE(websrv_header_complete("GET / HTTP/1.0\r\n\n"));
    EXPECT_FALSE(websrv_header_complete("GET / HTTP/1.0\r\n"));
    EXPECT_FALSE(websrv_header_complete("GET / HTTP/1.0\r\nHost: x\r\n"));
    EXPECT_FALSE(websrv_header_complete("GET / HTTP/1.0\r\n\r\r\n"));
    const char hidden[] = "GET / HTTP/1.0\r\n\0\r\n\r\n";
    EXPECT_FALSE(websrv_header_complete(hidden)) << "a NUL byte hides what follows it";
}

TEST_F(Request, SplitsTheRequestLineIntoItsParts)
{
    const struct {
        const char *request;
        const char *method, *uri, *query, *protocol;
    } cases[] = {
        {"GET /index.html HTTP/1.0\r\n\r\n", "GET", "/index.html", nullptr, "HTTP/1.0"},
        {"GET /a%20b.html?x=1 HTTP/1.0\r\n\r\n", "GET", "/a%20b.html", "x=1", "HTTP/1.0"},
        {"GET /a%3Fb HTTP/1.0\r\n\r\n", "GET", "/a%3Fb", nullptr, "HTTP/1.0"},
        {"GET /x? HTTP/1.0\r\n\r\n", "GET", "/x", "", "HTTP/1.0"},
        {"GET /x?a=1?b=2 HTTP/1.0\r\n\r\n", "GET", "/x", "a=1?b=2", "HTTP/1.0"},
        {"HEAD / HTTP/1.1\r\nHost: a\r\n\r\n", "HEAD", "/", nullptr, "HTTP/1.1"},
        {"  GET /x HTTP/1.0\r\n\r\n", "GET", "/x", nullptr, "HTTP/1.0"},
        {"junk /x HTTP/1.9\r\nHost: a\r\n\r\n", "junk", "/x", nullptr, "HTTP/1.9"},
    };
    for (const auto &c : cases) {
        fresh_session();
        std::string log;
        EXPECT_EQ(parse(c.request, &log), request_error::none) << c.request << log;
        EXPECT_EQ(text(session.method), text(c.method)) << c.request;
        EXPECT_EQ(text(session.uri), text(c.uri)) << c.request;
        EXPECT_EQ(text(session.query), text(c.query)) << c.request;
        EXPECT_EQ(text(session.protocol), text(c.protocol)) << c.request;
    }
}

TEST_F(Request, VersionThatIsNoHttpVersionIsRefused)
{
    // The protocol token runs to the line's end: a second space before it, or words behind
    // it, make it no version (it would begin or end the status line with them).
    for (const char *request : {"GET /x  HTTP/1.0\r\n\r\n", "GET /x HTTP/1.0 extra words\r\n\r\n",
                                "junk /x whatever\r\n\r\n", "GET /x HTTP/1.10\r\n\r\n", "GET /x http/1.0\r\n\r\n",
                                "GET /x HTTP/1.\r\n\r\n", "GET /x HTTP/x.1\r\n\r\n"}) {
        fresh_session();
        std::string log;
        EXPECT_EQ(parse(request, &log), request_error::bad_version) << request;
        EXPECT_EQ(log, "Error: Malformed HTTP Version\n") << request;
    }
}

TEST_F(Request, LfOnlyLinesAreRefusedForLackOfCrlf)
{
    std::string log;
    EXPECT_EQ(parse("GET /index.html HTTP/1.0\n\n", &log), request_error::no_crlf);
    EXPECT_EQ(log, "Error: No CRLF termination for Request Line\n");
}

TEST_F(Request, RequestLineWithoutVersionIsRefused)
{
    std::string log;
    EXPECT_EQ(parse("GET /x\r\n\r\n", &log), request_error::no_protocol);
    EXPECT_EQ(log, "Error: No Space seperation for HTTP Version\n");
    EXPECT_EQ(session.protocol, nullptr);
}

TEST_F(Request, RequestLineWithoutUriIsRefused)
{
    std::string log;
    EXPECT_EQ(parse("GET\r\n\r\n", &log), request_error::no_uri);
    EXPECT_EQ(log, "Error: No Space seperation for Request URI\n");
}

TEST_F(Request, EmptyRequestLineIsRefused)
{
    std::string log;
    EXPECT_EQ(parse("\r\n\r\n", &log), request_error::no_uri);
    EXPECT_EQ(log, "Error: No Space seperation for Request URI\n");
}

TEST_F(Request, LogLineShowsTheRequestAndAnAbsentQueryAsNone)
{
    const std::string request = "GET /index.html HTTP/1.0\r\n\r\n";
    const std::string size = std::to_string(request.size());
    std::string log;
    ASSERT_EQ(parse(request, &log), request_error::none);
    EXPECT_EQ(log, "From:127.0.0.1 " + size + " bytes Method Name: GET RequestURI: /index.html "
                   "Query: (none) HTTP:HTTP/1.0.\nHTTP header length ==>" + size + "\n");
    fresh_session();
    ASSERT_EQ(parse("GET /a?x=1 HTTP/1.0\r\n\r\n", &log), request_error::none);
    EXPECT_NE(log.find("RequestURI: /a Query: x=1 HTTP:HTTP/1.0.\n"), std::string::npos) << log;
}

TEST_F(Request, HeaderFieldsAreMatchedByPrefixIgnoringCaseAndStored)
{
    std::string log;
    ASSERT_EQ(parse("GET / HTTP/1.0\r\n"
                    "host:\t  abc\r\n"
                    "USER-AGENT: probe/1\r\n"
                    "Content-Length: 12\r\n"
                    "content-type: text/plain\r\n"
                    "If-Modified-Since: Sun, 06 Nov 1994 08:49:37 GMT\r\n"
                    "Authorization: Basic eDp5\r\n"
                    "\r\n",
                    &log),
              request_error::none);
    EXPECT_EQ(text(session.host), "abc");
    EXPECT_EQ(text(session.user_agent), "probe/1");
    EXPECT_EQ(text(session.content_length), "12");
    EXPECT_EQ(text(session.content_type), "text/plain");
    EXPECT_EQ(text(session.if_modified_since), "Sun, 06 Nov 1994 08:49:37 GMT");
    EXPECT_EQ(text(session.authorization), "Basic eDp5");
    const char *expected_lines[] = {
        "Host is ==>abc\n",
        "User-Agent is ==>probe/1\n",
        "Content-Length is ==>12\n",
        "Content-Type is ==>text/plain\n",
        "If-Modified-Since is ==>Sun, 06 Nov 1994 08:49:37 GMT\n",
        "Authorization is ==>Basic eDp5\n",
    };
    for (const char *line : expected_lines)
        EXPECT_NE(log.find(line), std::string::npos) << line << "in:\n" << log;
}

TEST_F(Request, PrefixIncludesTheColon)
{
    ASSERT_EQ(parse("GET / HTTP/1.0\r\nHostname: x\r\nHost x\r\nUser-Agent2: y\r\n\r\n"),
              request_error::none);
    EXPECT_EQ(session.host, nullptr);
    EXPECT_EQ(session.user_agent, nullptr);
}

TEST_F(Request, RepeatedFieldKeepsTheLaterValue)
{
    ASSERT_EQ(parse("GET / HTTP/1.0\r\nUser-Agent: first\r\nUser-Agent: second\r\n\r\n"),
              request_error::none);
    EXPECT_EQ(text(session.user_agent), "second");
}

TEST_F(Request, ValueLosesTrailingBlanksAndMayBeEmpty)
{
    ASSERT_EQ(parse("GET / HTTP/1.0\r\nHost: abc \t \r\nUser-Agent:\r\n\r\n"), request_error::none);
    EXPECT_EQ(text(session.host), "abc");
    EXPECT_EQ(text(session.user_agent), "");
}

TEST_F(Request, FieldsWithoutASlotAreRecognisedAndPassedOver)
{
    ASSERT_EQ(parse("GET / HTTP/1.0\r\nFrom: Host: a\r\nReferer: Host: b\r\nAllow: GET\r\n"
                    "Content-Encoding: gzip\r\n\r\n"),
              request_error::none);
    EXPECT_EQ(session.host, nullptr);
    EXPECT_EQ(session.content_type, nullptr);
}

TEST_F(Request, PostBodyStaysBehindTheHeaderUnparsed)
{
    const std::string header = "POST /form HTTP/1.0\r\nContent-Length: 20\r\n\r\n";
    const std::string body = "Host: evil\r\n\r\nx=1&y=2";
    std::string log;
    ASSERT_EQ(parse(header + body, &log), request_error::none);
    EXPECT_EQ(session.header_length, static_cast<int>(header.size()));
    EXPECT_EQ(session.cursor, session.buffer + header.size());
    EXPECT_EQ(session.received, static_cast<int>(header.size() + body.size()));
    EXPECT_EQ(std::string(session.cursor, body.size()), body);
    EXPECT_EQ(session.host, nullptr) << "body lines are not header fields";
    EXPECT_NE(log.find("HTTP header length ==>" + std::to_string(header.size()) + "\n"),
              std::string::npos);
}

TEST_F(Request, HeaderWithoutItsEmptyLineStopsAtTheLastCrlf)
{
    // The read loop also accepts "\n\n" as the end; parsing then stops where "\r\n" ends.
    ASSERT_EQ(parse("GET / HTTP/1.0\r\nHost: a\r\nUser-Agent: b\n\n"), request_error::none);
    EXPECT_EQ(text(session.host), "a");
    EXPECT_EQ(session.user_agent, nullptr);
    EXPECT_EQ(session.header_length, 25);
}

TEST_F(Request, PathIsDecodedAndLosesOneLeadingSlash)
{
    const struct {
        const char *request;
        const char *uri;
    } cases[] = {
        {"GET / HTTP/1.0\r\n\r\n", "./"},
        {"GET /a%20b.html?x=1 HTTP/1.0\r\n\r\n", "a b.html"},
        {"GET /a%3Fb HTTP/1.0\r\n\r\n", "a?b"},
        {"GET //etc/passwd HTTP/1.0\r\n\r\n", "/etc/passwd"},
        {"GET /%2e%2e/x HTTP/1.0\r\n\r\n", "../x"},
        {"GET %2Fx HTTP/1.0\r\n\r\n", "x"},
        {"GET docs/ HTTP/1.0\r\n\r\n", "docs/"},
        {"GET %2F HTTP/1.0\r\n\r\n", "./"},
    };
    for (const auto &c : cases) {
        fresh_session();
        ASSERT_EQ(parse(c.request), request_error::none) << c.request;
        websrv_prepare_path(&session);
        EXPECT_EQ(text(session.uri), c.uri) << c.request;
    }
}

TEST_F(Request, QueryIsSplitOffBeforeDecodingAndNotDecoded)
{
    ASSERT_EQ(parse("GET /a%3Fb?q=%41+b HTTP/1.0\r\n\r\n"), request_error::none);
    websrv_prepare_path(&session);
    EXPECT_EQ(text(session.uri), "a?b");
    EXPECT_EQ(text(session.query), "q=%41+b");
}

// ---- Content types --------------------------------------------------------------------

class ContentType : public ::testing::Test {
protected:
    void SetUp() override
    {
        release_control_block();
        websrv_mcb.log_level = 2;
        websrv_add_supported_mime("html", "text/html");
        websrv_add_supported_mime("gif", "image/gif");
        websrv_add_supported_mime("css", "text/css");
    }
    void TearDown() override { release_control_block(); }

    static std::string type_of(const char *path, std::string *log)
    {
        StdoutCapture capture;
        const std::string type = websrv_content_type(path);
        *log = capture.finish();
        return type;
    }
};

TEST_F(ContentType, ExtensionsAreLookedUpIgnoringCase)
{
    const struct {
        const char *path, *type, *extension;
    } cases[] = {
        {"page.html", "text/html", "html"}, {"page.HTML", "text/html", "HTML"},
        {"a/b/pic.GiF", "image/gif", "GiF"}, {"style.css", "text/css", "css"},
        {"archive.tar.gz", "text/plain", "gz"}, {"lib.d/readme", "text/plain", "d/readme"},
        {"x.", "text/plain", ""},
    };
    for (const auto &c : cases) {
        std::string log;
        EXPECT_EQ(type_of(c.path, &log), c.type) << c.path;
        EXPECT_EQ(log, std::string("Extension found: ") + c.extension + "\n") << c.path;
    }
}

TEST_F(ContentType, NamesWithoutAnExtensionAreTextPlainAndLogNothing)
{
    for (const char *path : {"README", ".profile", "./"}) {
        std::string log;
        EXPECT_EQ(type_of(path, &log), "text/plain") << path;
        EXPECT_EQ(log, "") << path;
    }
}

// ---- The working-directory test --------------------------------------------------------

class InsideCwd : public ::testing::Test {
protected:
    TempDir dir;
    std::string saved_cwd;

    void SetUp() override
    {
        char cwd[4096];
        ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
        saved_cwd = cwd;
        for (const char *sub : {"www", "www/sub", "www/sub/deeper", "www2", "secret"})
            ASSERT_EQ(mkdir(dir.file(sub).c_str(), 0755), 0) << sub;
        ASSERT_EQ(symlink(dir.file("secret").c_str(), dir.file("www/outside").c_str()), 0);
        ASSERT_EQ(symlink("sub", dir.file("www/inside").c_str()), 0);
        ASSERT_EQ(chdir(dir.file("www").c_str()), 0);
    }
    void TearDown() override { ASSERT_EQ(chdir(saved_cwd.c_str()), 0); }

    static bool inside(const char *path, bool *resolved)
    {
        std::vector<char> text(path, path + strlen(path) + 1);
        const bool result = websrv_path_inside_cwd(text.data(), resolved);
        EXPECT_STREQ(text.data(), path) << "the path is left as it was";
        return result;
    }
};

TEST_F(InsideCwd, ComparesWholePathComponents)
{
    const struct {
        const char *path;
        bool inside;
    } cases[] = {
        {"index.html", true},
        {"sub/f", true},
        {"sub/deeper/f", true},
        {"sub/../f", true},
        {"./f", true},
        {"inside/f", true},
        {"../www/sub/f", true},
        {"../www2/f", false},  // a sibling whose name begins with the working directory's
        {"../secret/f", false},
        {"../f", false},
        {"sub/../../f", false},
        {"outside/f", false},  // a link to a directory outside
        {"/etc/passwd", false},
        {"//etc/passwd", false},
        {"/f", false},
    };
    for (const auto &c : cases) {
        bool resolved = false;
        EXPECT_EQ(inside(c.path, &resolved), c.inside) << c.path;
        EXPECT_TRUE(resolved) << c.path;
    }
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    EXPECT_EQ(std::string(cwd), dir.file("www")) << "the working directory is unchanged";
}

TEST_F(InsideCwd, MissingDirectoryIsNotResolved)
{
    bool resolved = true;
    EXPECT_FALSE(inside("nosuchdir/f", &resolved));
    EXPECT_FALSE(resolved);
}

TEST_F(InsideCwd, EverythingIsInsideTheRootDirectory)
{
    ASSERT_EQ(chdir("/"), 0);
    bool resolved = false;
    EXPECT_TRUE(inside("etc/passwd", &resolved));
    EXPECT_TRUE(resolved);
}
