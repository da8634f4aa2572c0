// The HTTP vocabulary the server and the stock plug-ins share, the index of a request's header
// lines, and the server's option table against the manual page.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "http_words.h"
#include "options.h"
#include "parse/request.h"
#include "test_support.h"

namespace {

TEST(Words, EachVoiceGivesTheWordingItsClientsHaveAlwaysSeen)
{
    const struct {
        int status;
        websrv_voice voice;
        const char *phrase;  // nullptr: this voice has no words for it
    } cases[] = {
        {200, websrv_voice_file, "Ok"},
        {200, websrv_voice_program, "OK"},
        {200, websrv_voice_server, nullptr},
        {206, websrv_voice_file, "Partial Content"},
        {304, websrv_voice_file, "Not Modified"},
        {404, websrv_voice_server, "Not Found"},
        {404, websrv_voice_program, "Not Found"},
        {416, websrv_voice_server, "Range Not Satisfiable"},
        {421, websrv_voice_server, "Misdirected Request"},
        {431, websrv_voice_server, "Request Header Fields Too Large"},
        {500, websrv_voice_server, "Internal Server Error"},
        {500, websrv_voice_program, "Internal Error"},
        {503, websrv_voice_server, "Service Unavailable"},
        {503, websrv_voice_program, "Service Temporarily Overloaded"},
        {201, websrv_voice_program, nullptr},
        {429, websrv_voice_program, nullptr},
        {999, websrv_voice_server, nullptr},
    };
    for (const auto &c : cases) {
        const char *known = websrv_known_reason(c.status, c.voice);
        EXPECT_STREQ(known, c.phrase) << c.status << " voice " << int(c.voice);
        EXPECT_STREQ(websrv_reason(c.status, c.voice), c.phrase != nullptr ? c.phrase : "Something") << c.status;
    }
}

TEST(Words, ErrorPageIsCutToItsBufferAndReportsItsWholeLength)
{
    const std::string page = "<HTML>\n<HEAD><TITLE>404 Not Found</TITLE></HEAD>\n</HTML>"
                             "<HR>\nTAVRIX/1.0 Error: 404 Not Found</TITLE></HEAD>\n</HR>";
    char whole[512];
    EXPECT_EQ(websrv_error_page(whole, sizeof whole, 404, "Not Found"), static_cast<int>(page.size()));
    EXPECT_EQ(whole, page);
    volatile size_t room = 16;  // not known to the compiler, which would warn of the cut
    std::vector<char> cut(room);
    EXPECT_EQ(websrv_error_page(cut.data(), cut.size(), 404, "Not Found"), static_cast<int>(page.size()));
    EXPECT_EQ(std::string(cut.data()), page.substr(0, cut.size() - 1));
}

// The index parsing builds: every line with a name, in order, repeats kept.
TEST(HeaderIndex, HoldsEveryNamedLineInTheOrderSent)
{
    const struct {
        const char *request;
        std::vector<std::pair<std::string, std::string>> lines;
    } cases[] = {
        {"GET / HTTP/1.0\r\n\r\n", {}},
        {"GET / HTTP/1.0\r\nHost: a\r\nX-B:  two words \r\n\r\n", {{"Host", "a"}, {"X-B", "two words"}}},
        {"GET / HTTP/1.0\r\nCookie: a=1\r\ncookie:b=2\r\nCOOKIE:\r\n\r\n",
         {{"Cookie", "a=1"}, {"cookie", "b=2"}, {"COOKIE", ""}}},
        {"GET / HTTP/1.0\r\nno colon here\r\n: no name\r\nName:spaced\r\n\r\n", {{"Name", "spaced"}}},
        {"GET / HTTP/1.0\r\nName :spaced\r\n\r\n", {}},  // a blank before the colon: refused
        {"POST / HTTP/1.0\r\nContent-Length: 9\r\n\r\nBody: not a header", {{"Content-Length", "9"}}},
        {"GET / HTTP/1.0\nHost: a\n\n", {}},  // refused before the header lines are read
    };
    for (const auto &c : cases) {
        std::vector<char> buffer(WEBSRV_BUFFER_SIZE, '\0');
        memcpy(buffer.data(), c.request, strlen(c.request));
        websrv_session session{};
        session.buffer = buffer.data();
        session.cursor = buffer.data();
        session.received = static_cast<int>(strlen(c.request));
        static websrv_header_index headers;
        websrv_test::StdoutCapture quiet;
        websrv_parse_request(&session, "127.0.0.1", &headers);
        quiet.finish();
        std::vector<std::pair<std::string, std::string>> got;
        for (int i = 0; i < headers.count(); ++i)
            got.emplace_back(std::string(headers.name(i)), headers.value(i));
        EXPECT_EQ(got, c.lines) << c.request;
    }
}

TEST(HeaderIndex, FindsTheLastOfANameIgnoringCaseAndCountsThem)
{
    const char request[] = "GET / HTTP/1.0\r\nRange: bytes=1-2\r\nHost: h\r\nrange: bytes=3-4\r\n\r\n";
    std::vector<char> buffer(WEBSRV_BUFFER_SIZE, '\0');
    memcpy(buffer.data(), request, sizeof request - 1);
    websrv_session session{};
    session.buffer = buffer.data();
    session.received = sizeof request - 1;
    static websrv_header_index headers;
    websrv_test::StdoutCapture quiet;
    ASSERT_EQ(websrv_parse_request(&session, "127.0.0.1", &headers), request_error::none);
    quiet.finish();
    int lines = 0;
    EXPECT_STREQ(headers.find("RANGE", &lines), "bytes=3-4");
    EXPECT_EQ(lines, 2);
    EXPECT_EQ(headers.find("Rang", &lines), nullptr);
    EXPECT_EQ(lines, 0);
}

// Every option of the server's table has its line in the manual page and in the README's
// synopsis, so an option added as a row is documented or the suite says so.
TEST(OptionTable, EveryRowIsInTheManualAndTheReadme)
{
    const std::string manual = websrv_test::read_file(WEBSRV_SOURCE_DIR "/man/websrv.8");
    const std::string readme = websrv_test::read_file(WEBSRV_SOURCE_DIR "/README.md");
    ASSERT_FALSE(manual.empty());
    for (const websrv_option &option : websrv_server_options()) {
        const std::string name = std::string("\\") + option.name();  // "\-j" in the manual's source
        const std::string line = option.value()[0] != '\0' ? ".BI " + name + " \" " + option.value() + "\""
                                                           : ".B " + name;
        EXPECT_NE(manual.find("\n" + line + "\n"), std::string::npos) << line;
        const std::string usage = option.value()[0] != '\0' ? std::string(option.name()) + " " : option.name();
        EXPECT_NE(readme.find(usage), std::string::npos) << option.name();
    }
}

}  // namespace
