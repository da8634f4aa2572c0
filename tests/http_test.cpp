// Requests over the wire to the real server binary with the stock http plug-in: responses
// byte for byte, the request line and header fields as the server reads them, headers that
// arrive in pieces or never end, and a client we did not write (curl).
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <vector>

#include "test_support.h"

using namespace websrv_test;

namespace {

const std::string server_binary = WEBSRV_TEST_SERVER;
const std::string http_plugin = WEBSRV_HTTP_PLUGIN;
// A plug-in with no request hooks at all: the server's own behaviour.

const std::string kMtimeText = "Sun, 06 Nov 1994 08:49:37 GMT";  // Site::default_mtime

// Starts the server on the site's port with the http plug-in, or with tp_record and
// `record_options`.
void start(Site &site, bool verbose, bool with_record = false,
           const std::vector<std::string> &record_options = {})
{
    std::vector<std::string> args;
    if (verbose)
        args.push_back("-v");
    if (with_record) {
        args.insert(args.end(), {"-plugin", test_plugin("tp_record"), "-record", site.record, "-record-port",
                                 std::to_string(site.port)});
        args.insert(args.end(), record_options.begin(), record_options.end());
    } else {
        args.insert(args.end(), {"-plugin", http_plugin, "-port", std::to_string(site.port)});
    }
    ASSERT_TRUE(site.start(server_binary, args)) << site.log();
}

std::string html_of(size_t size)
{
    std::string text;
    for (size_t i = 0; text.size() < size; ++i)
        text += "<p>" + std::to_string(i) + "</p>\n";
    return text.substr(0, size);
}

// The header block of a 200 answer as the server writes it for a file of `type` and `length`.
std::string ok_head(const std::string &version, const std::string &date, const std::string &type,
                    const std::string &length)
{
    return version + " 200 Ok\r\n" + "Server: TAVRIX/1.0\r\n" + "Date: " + date + "\r\n" +
           "Last-Modified: " + kMtimeText + "\r\n" + "Content-Type: " + type + "\r\n" +
           (length.empty() ? "" : "Content-Length: " + length + "\r\n") + "Connection: close\r\n\r\n";
}

}  // namespace

// ---- Responses byte for byte -----------------------------------------------------------

TEST(WireResponse, NotFoundPageForHttp10Is221Bytes)
{
    Site site;
    start(site, true);
    const Reply reply = site.get("GET /missing.html HTTP/1.0\r\n\r\n");
    const std::string date = reply.header("Date");
    EXPECT_TRUE(is_http_date(date)) << date;
    EXPECT_EQ(reply.raw, expected_error_page("HTTP/1.0", 404, "Not Found", date));
    EXPECT_EQ(reply.raw.size(), 221u);
    EXPECT_EQ(reply.head.size(), 108u);
    const std::string log = site.stop_cleanly();
    EXPECT_NE(log.find("Succesfully transmitted error response packet of 221 bytes\n"), std::string::npos)
        << log;
    EXPECT_NE(log.find("Web Server receive packet failed\n"), std::string::npos);
}

TEST(WireResponse, OkHeaderBlockForA1234ByteHtmlFileIs188BytesInOrder)
{
    Site site;
    const std::string page = html_of(1234);
    site.put("page.html", page);
    start(site, true);
    const Reply reply = site.get("GET /page.html HTTP/1.0\r\n\r\n");
    const std::string date = reply.header("Date");
    EXPECT_TRUE(is_http_date(date)) << date;
    EXPECT_EQ(reply.head, ok_head("HTTP/1.0", date, "text/html", "1234"));
    EXPECT_EQ(reply.head.size(), 188u);
    EXPECT_EQ(reply.body, page);
    const std::string log = site.stop_cleanly();
    EXPECT_NE(log.find("Succesfully transmitted response packet of 188 bytes\n"
                       "Succesfully transmitted file of 1234 bytes File was 1234 bytes long\n"),
              std::string::npos)
        << log;
}

TEST(WireResponse, NotModifiedHasTypeAndDateButNoLengthAndNoBody)
{
    Site site;
    site.put("page.html", html_of(1234));
    start(site, false);
    const Reply reply = site.get("GET /page.html HTTP/1.0\r\nIf-Modified-Since: " + kMtimeText + "\r\n\r\n");
    EXPECT_EQ(reply.raw, "HTTP/1.0 304 Not Modified\r\n"
                         "Server: TAVRIX/1.0\r\n"
                         "Date: " + reply.header("Date") + "\r\n"
                         "Last-Modified: " + kMtimeText + "\r\n"
                         "Content-Type: text/html\r\n"
                         "Connection: close\r\n"
                         "\r\n");
    EXPECT_TRUE(is_http_date(reply.header("Date")));
    site.stop_cleanly();
}

TEST(WireResponse, EmptyFileGetsOkWithoutLengthAndBody)
{
    Site site;
    site.put("empty.html", "");
    start(site, true);
    const Reply reply = site.get("GET /empty.html HTTP/1.0\r\n\r\n");
    EXPECT_EQ(reply.raw, ok_head("HTTP/1.0", reply.header("Date"), "text/html", ""));
    const std::string log = site.stop_cleanly();
    EXPECT_EQ(log.find("Succesfully transmitted file of"), std::string::npos) << "no transmission";
}

TEST(WireResponse, VersionOfTheRequestLineIsEchoed)
{
    Site site;
    site.put("page.html", "hello");
    start(site, false);
    const Reply ok = site.get("GET /page.html HTTP/1.1\r\nHost: a\r\n\r\n");
    EXPECT_EQ(ok.head, ok_head("HTTP/1.1", ok.header("Date"), "text/html", "5"));
    EXPECT_EQ(ok.body, "hello");
    const Reply missing = site.get("GET /nothing HTTP/1.1\r\nHost: a\r\n\r\n");
    EXPECT_EQ(missing.raw, expected_error_page("HTTP/1.1", 404, "Not Found", missing.header("Date")));
    site.stop_cleanly();
}

TEST(WireResponse, ThousandsOfBytesOfVersionGiveAWhole400Page)
{
    Site site;
    const std::string page = html_of(1234);
    site.put("page.html", page);
    start(site, false);
    const std::string version(3000, 'H');
    const Reply refused = site.get("GET /page.html " + version + "\r\n\r\n");
    EXPECT_EQ(refused.raw, expected_error_page("HTTP/1.0", 400, "Bad Request", refused.header("Date")));
    site.stop_cleanly();
}

// ---- Malformed request lines: one test each --------------------------------------------

namespace {

// A site with page.html gets `request` and must answer the 400 page, logging `error` and the
// failed receive after the start-up warning.
void expect_bad_request(const std::string &request, const std::string &error)
{
    Site site;
    site.put("page.html", "hello");
    start(site, false);
    const Reply reply = site.get(request);
    EXPECT_EQ(reply.raw, expected_error_page("HTTP/1.0", 400, "Bad Request", reply.header("Date")));
    EXPECT_EQ(site.stop_cleanly(), "WebSrv Warning: No CGI pattern specified; CGI Processing is disabled.\n" +
                              error + "\nWeb Server receive packet failed\n");
}

}  // namespace

TEST(WireBadRequest, LfOnlyLinesAreAnswered400)
{
    expect_bad_request("GET /page.html HTTP/1.0\n\n", "Error: No CRLF termination for Request Line");
}

TEST(WireBadRequest, MissingVersionIsAnswered400WithHttp10)
{
    expect_bad_request("GET /x\r\n\r\n", "Error: No Space seperation for HTTP Version");
}

TEST(WireBadRequest, MissingUriIsAnswered400)
{
    expect_bad_request("GET\r\n\r\n", "Error: No Space seperation for Request URI");
}

TEST(WireBadRequest, TwoSpacesBeforeTheVersionAreAnswered400)
{
    // The version token would begin with a space, and so would the status line.
    expect_bad_request("GET /page.html  HTTP/1.0\r\n\r\n", "Error: Malformed HTTP Version");
}

// ---- The request as the server reads it ------------------------------------------------

TEST(WireRequest, PathIsDecodedAfterTheQueryIsSplitOff)
{
    Site site;
    site.put("a b.html", "space");
    site.put("a?b", "question");
    start(site, true);
    const Reply spaced = site.get("GET /a%20b.html?x=1 HTTP/1.0\r\n\r\n");
    EXPECT_EQ(spaced.status_line, "HTTP/1.0 200 Ok");
    EXPECT_EQ(spaced.body, "space");
    const Reply question = site.get("GET /a%3Fb HTTP/1.0\r\n\r\n");
    EXPECT_EQ(question.status_line, "HTTP/1.0 200 Ok");
    EXPECT_EQ(question.body, "question");
    const std::string log = site.stop_cleanly();
    EXPECT_NE(log.find("Method Name: GET RequestURI: /a%20b.html Query: x=1 HTTP:HTTP/1.0.\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("Method Name: GET RequestURI: /a%3Fb Query: (none) HTTP:HTTP/1.0.\n"),
              std::string::npos)
        << log;
}

TEST(WireRequest, LogLineShowsAnAbsentQueryAsNoneAndAnEmptyOneAsEmpty)
{
    Site site;
    site.put("page.html", "hello");
    start(site, true);
    const std::string plain = "GET /page.html HTTP/1.0\r\n\r\n";
    site.get(plain);
    site.get("GET /page.html? HTTP/1.0\r\n\r\n");
    const std::string log = site.stop_cleanly();
    EXPECT_NE(log.find("From:127.0.0.1 " + std::to_string(plain.size()) + " bytes Method Name: GET RequestURI: /page.html Query: (none) "
                       "HTTP:HTTP/1.0.\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("RequestURI: /page.html Query:  HTTP:HTTP/1.0.\n"), std::string::npos) << log;
}

TEST(WireRequest, HeaderFieldsAreMatchedIgnoringCaseColonIncluded)
{
    Site site;
    site.put("page.html", "hello");
    start(site, true, true);
    const Reply reply = site.get("GET /page.html HTTP/1.0\r\nhost:\t  abc\r\nHostname: x\r\n"
                                 "user-agent: first\r\nUser-Agent: second\r\n\r\n");
    EXPECT_EQ(reply.body, "hello");
    const std::string log = site.stop_cleanly();
    EXPECT_EQ(count_of(log, "Host is ==>"), 1u) << log;
    EXPECT_NE(log.find("Host is ==>abc\n"), std::string::npos) << log;
    EXPECT_NE(log.find("User-Agent is ==>first\nUser-Agent is ==>second\n"), std::string::npos) << log;
    const std::string request = site.recorded_line("request ");
    EXPECT_NE(request.find(" host=[abc] user_agent=[second] "), std::string::npos) << request;
}

TEST(WireRequest, HeaderArrivingInPiecesIsOneReadPerPiece)
{
    Site site;
    site.put("page.html", "hello");
    start(site, true);
    const std::vector<std::string> pieces = {"GET /page.h", "tml HTTP/1.0\r\nHost: a", "bc\r\n\r", "\n"};
    Client client(site.port);
    for (const std::string &piece : pieces) {
        ASSERT_TRUE(client.send_all(piece));
        ASSERT_TRUE(client.wait_consumed()) << "the server did not read: " << piece;
    }
    const Reply reply = parse_reply(client.read_all());
    EXPECT_EQ(reply.status_line, "HTTP/1.0 200 Ok");
    EXPECT_EQ(reply.body, "hello");
    const std::string log = site.stop_cleanly();
    std::string reads;
    size_t total = 0;
    for (const std::string &piece : pieces) {
        reads += "Received " + std::to_string(piece.size()) + "/4096 bytes.\n";
        total += piece.size();
    }
    EXPECT_NE(log.find(reads + "From:127.0.0.1 " + std::to_string(total) + " bytes Method Name: GET"),
              std::string::npos)
        << log;
    EXPECT_EQ(count_of(log, "Received "), pieces.size()) << log;
    EXPECT_NE(log.find("Host is ==>abc\n"), std::string::npos) << log;
}

namespace {

// A site with page.html gets `request`, a header that fills the buffer without its end: the
// connection is closed without an answer and the overflow is logged.
void expect_header_too_large(const std::string &request)
{
    Site site;
    site.put("page.html", "hello");
    start(site, false);
    Client client(site.port);
    ASSERT_TRUE(client.send_all(request));
    const std::string raw = client.read_all();
    const Reply reply = parse_reply(raw);
    EXPECT_EQ(raw, expected_error_page("HTTP/1.0", 431, "Request Header Fields Too Large", reply.header("Date")));
    EXPECT_TRUE(client.closed());
    EXPECT_EQ(site.stop_cleanly(), "WebSrv Warning: No CGI pattern specified; CGI Processing is disabled.\n"
                           "Error: HTTP header cannot be read; buffer exceeds.\n"
                           "Web Server receive packet failed\n");
}

}  // namespace

TEST(WireRequest, HeaderOf4095BytesWithoutItsEndIsAnswered431)
{
    std::string request = "GET /page.html HTTP/1.0\r\n";
    while (request.size() < 4095)
        request += "X-Padding: aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa\r\n";
    request.resize(4095);
    expect_header_too_large(request);
}

TEST(WireRequest, NulByteBeforeTheEndOfTheHeaderIsAnswered400)
{
    // It would hide the header's end from every text search: the buffer would fill up.
    std::string request = std::string("GET /page.html HTTP/1.0\r\n") + '\0' + "\r\n\r\n";
    request.resize(4095, 'a');
    expect_bad_request(request, "Error: Control character in the request header");
}

// Starts the server with a plug-in that has no directory hook (the stock plug-ins have one).
void start_without_hooks(Site &site)
{
    ASSERT_TRUE(site.start(server_binary, {"-plugin", test_plugin("tp_listen"), "-listen",
                                           std::to_string(site.port)}))
        << site.log();
}

TEST(WireRequest, DirectoryRequestServesTheWorkingDirectorysIndex)
{
    Site site;
    site.put("index.html", "top index");
    ASSERT_EQ(mkdir((site.root + "/docs").c_str(), 0755), 0);
    site.put("docs/index.html", "docs index");
    start_without_hooks(site);
    for (const char *path : {"/", "/docs/", "/docs"}) {
        const Reply reply = site.get(std::string("GET ") + path + " HTTP/1.0\r\n\r\n");
        EXPECT_EQ(reply.status_line, "HTTP/1.0 200 Ok") << path;
        EXPECT_EQ(reply.header("Content-Type"), "text/html") << path;
        EXPECT_EQ(reply.body, "top index") << path;
    }
    site.stop_cleanly();
}

TEST(WireRequest, DirectoryWithoutIndexIsNotFound)
{
    Site site;
    ASSERT_EQ(mkdir((site.root + "/docs").c_str(), 0755), 0);
    site.put("docs/index.html", "docs index");
    start_without_hooks(site);
    for (const char *path : {"/", "/docs/"}) {
        const Reply reply = site.get(std::string("GET ") + path + " HTTP/1.0\r\n\r\n");
        EXPECT_EQ(reply.raw, expected_error_page("HTTP/1.0", 404, "Not Found", reply.header("Date"))) << path;
    }
    site.stop_cleanly();
}

TEST(WireRequest, PostBodyBytesStayBehindTheHeader)
{
    Site site;
    site.put("form.html", "form");
    start(site, false, true);
    const std::string header = "POST /form.html HTTP/1.0\r\nContent-Length: 22\r\n\r\n";
    const std::string body = "Host: evil\r\n\r\nx=1&y=22";
    const Reply reply = site.get(header + body);
    EXPECT_EQ(reply.status_line, "HTTP/1.0 200 Ok");
    EXPECT_EQ(reply.body, "form");
    site.stop_cleanly();
    const std::string request = site.recorded_line("request ");
    const std::string n = std::to_string(header.size());
    EXPECT_NE(request.find(" host=(null) "), std::string::npos) << request;
    EXPECT_NE(request.find(" content_length=[22] "), std::string::npos) << request;
    EXPECT_NE(request.find(" received=" + std::to_string(header.size() + body.size()) +
                            " header_length=" + n + " cursor=" + n +
                            " body=[Host: evil\\r\\n\\r\\nx=1&y=22]"),
              std::string::npos)
        << request;
}

// ---- A client we did not write ---------------------------------------------------------

TEST(WireCurl, FetchesAPageAndSeesTheHeaders)
{
    Site site;
    const std::string page = html_of(1234);
    site.put("page.html", page);
    start(site, false);
    const std::string command = "curl -sS -i --max-time 10 http://127.0.0.1:" + std::to_string(site.port) +
                                "/page.html 2>&1";
    FILE *curl = popen(command.c_str(), "r");
    ASSERT_NE(curl, nullptr);
    std::string output;
    char chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, curl)) > 0)
        output.append(chunk, got);
    const int status = pclose(curl);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output;
    const Reply reply = parse_reply(output);
    // curl asks in HTTP/1.1, which the status line echoes.
    EXPECT_EQ(reply.status_line, "HTTP/1.1 200 Ok");
    EXPECT_EQ(reply.header("Server"), "TAVRIX/1.0");
    EXPECT_EQ(reply.header("Content-Type"), "text/html");
    EXPECT_EQ(reply.header("Content-Length"), "1234");
    EXPECT_EQ(reply.header("Last-Modified"), kMtimeText);
    EXPECT_EQ(reply.header("Connection"), "close");
    EXPECT_TRUE(is_http_date(reply.header("Date")));
    EXPECT_EQ(reply.body, page);
    site.stop_cleanly();
}

TEST(WireCurl, SeesTheNotFoundStatus)
{
    Site site;
    start(site, false);
    const std::string command = "curl -sS -o /dev/null -w '%{http_code} %{content_type}' --max-time 10 "
                                "http://127.0.0.1:" + std::to_string(site.port) + "/missing.html 2>&1";
    FILE *curl = popen(command.c_str(), "r");
    ASSERT_NE(curl, nullptr);
    char text[256] = {};
    const size_t got = fread(text, 1, sizeof text - 1, curl);
    const int status = pclose(curl);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << text;
    EXPECT_EQ(std::string(text, got), "404 text/html");
    site.stop_cleanly();
}
