// URLs that plug-ins answer themselves, at the wire with the real binary: the route hook of a
// plain C test plug-in (tp_route) alone on its port and sharing http.so's, its answers through
// the answer helper, -auth asked first; the status endpoint's counters under load and in the
// Prometheus format; the device API example (led.so) with good and bad requests.
#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

#include "passwords.h"
#include "test_support.h"

using namespace websrv_test;

namespace {

const std::string server_binary = WEBSRV_TEST_SERVER;
const std::string http_plugin = WEBSRV_HTTP_PLUGIN;
const std::string led_plugin = WEBSRV_LED_PLUGIN;

std::string status_of(const Reply &reply)
{
    return reply.status_line.size() >= 12 ? reply.status_line.substr(9, 3) : reply.status_line;
}

// ---- the route hook -------------------------------------------------------------------------

struct RouteCase {
    const char *name;
    bool shared;  // tp_route shares http.so's port (with /virtual behind a password)
    std::string request;
    const char *status;
    std::string body;  // "" for any
};

class Route : public ::testing::TestWithParam<RouteCase> {};
class RouteHelper : public ::testing::Test {};

TEST_P(Route, AnswersItsOwnUrlsAndDeclinesTheRest)
{
    const RouteCase &c = GetParam();
    Site site;
    site.put("page.html", "the page");
    mkdir((site.root + "/virtual").c_str(), 0755);
    site.put("virtual/hello", "the file under the route");
    const std::string users = site.dir.file("users");
    write_file(users, "bob:" + hash_of("right horse", "$5$") + "\n");
    const std::string port = std::to_string(site.port);
    std::vector<std::string> args = {"-plugin", test_plugin("tp_route"), "-route-port", port};
    if (c.shared)
        args.insert(args.begin(), {"-plugin", http_plugin, "-port", port, "-auth", "/virtual", users});
    ASSERT_TRUE(site.start(server_binary, args)) << site.log();
    const Reply reply = site.get(c.request);
    EXPECT_EQ(status_of(reply), c.status) << reply.raw;
    if (!c.body.empty()) {
        EXPECT_EQ(reply.body, c.body) << reply.raw;
    }
    if (std::string(c.status) == "200") {
        EXPECT_TRUE(is_http_date(reply.header("Date"))) << reply.raw;
        EXPECT_EQ(reply.header("Server"), "TAVRIX/1.0");
        // A HEAD answer (no body expected) tells the length of the GET answer's.
        EXPECT_EQ(reply.header("Content-Length"), c.body.empty() ? "24" : std::to_string(c.body.size())) << reply.raw;
    }
    EXPECT_EQ(site.stop(), 0);
}

const std::string bob = basic("bob", "right horse");

INSTANTIATE_TEST_SUITE_P(
    Routes, Route,
    ::testing::Values(
        RouteCase{"VirtualUrlAnsweredBeforeTheFileThere", false, "GET /virtual/hello HTTP/1.0\r\n\r\n", "200",
                  "hello from a route\n"},
        RouteCase{"DeclinedPathFallsThroughToTheFile", false, "GET /page.html HTTP/1.0\r\n\r\n", "200", "the page"},
        RouteCase{"MissingPathAnswered", false, "GET /missing/answered HTTP/1.0\r\n\r\n", "200",
                  "answered without a file\n"},
        RouteCase{"MissingPathDeclinedIs404", false, "GET /missing/other HTTP/1.0\r\n\r\n", "404", ""},
        RouteCase{"HeadGetsTheHeadAlone", false, "HEAD /missing/answered HTTP/1.0\r\n\r\n", "200", ""},
        RouteCase{"BodyReadThroughTheHelper", false,
                  "POST /virtual/echo HTTP/1.0\r\nContent-Length: 5\r\n\r\nhello", "200", "hello"},
        RouteCase{"BodyOverTheLimitIs413", false,
                  "POST /virtual/echo HTTP/1.0\r\nContent-Length: 65\r\n\r\n" + std::string(65, 'x'), "413",
                  "too long\n"},
        RouteCase{"SharedPortAsksForThePasswordFirst", true, "GET /virtual/hello HTTP/1.0\r\n\r\n", "401", ""},
        RouteCase{"SharedPortWithThePassword", true, "GET /virtual/hello HTTP/1.0\r\n" + bob + "\r\n", "200",
                  "hello from a route\n"},
        RouteCase{"SharedPortServesTheOwnersFiles", true, "GET /page.html HTTP/1.0\r\n\r\n", "200", "the page"},
        RouteCase{"ProtectedMissingFileIsNotTold", true, "GET /virtual/nothing HTTP/1.0\r\n\r\n", "401", ""}),
    [](const ::testing::TestParamInfo<RouteCase> &info) { return std::string(info.param.name); });

TEST(RouteHelper, ExpectContinueComesBeforeTheBodyIsRead)
{
    Site site;
    ASSERT_TRUE(site.start(server_binary, {"-plugin", test_plugin("tp_route"), "-route-port", std::to_string(site.port)}))
        << site.log();
    Client client(site.port);
    ASSERT_TRUE(client.send_all("POST /virtual/echo HTTP/1.1\r\nHost: a\r\nContent-Length: 3\r\nExpect: 100-continue\r\n"
                                "Connection: close\r\n\r\n"));
    EXPECT_EQ(client.read_until("\r\n\r\n"), "HTTP/1.1 100 Continue\r\n\r\n");
    ASSERT_TRUE(client.send_all("abc"));
    const Reply reply = parse_reply(client.read_all());
    EXPECT_EQ(reply.status_line, "HTTP/1.1 200 Ok") << reply.raw;
    EXPECT_EQ(reply.body, "abc");
    EXPECT_EQ(site.stop(), 0);
}

// One rule for every status line on a port: the answers the helper composes (-status, led.so)
// repeat the request's version as the server's own 404 does, HTTP/1.2 included.
TEST(RouteHelper, StatusLinesRepeatTheRequestsVersionAsTheServersDo)
{
    Site site;
    const std::string port = std::to_string(site.port);
    ASSERT_TRUE(site.start(server_binary, {"-plugin", http_plugin, "-port", port, "-status", "/status", "-plugin",
                                           led_plugin, "-led-port", port, "-led-state", site.dir.file("led")}))
        << site.log();
    const struct {
        std::string request;
        const char *status_line;
    } cases[] = {
        {"GET /status HTTP/1.2\r\nHost: a\r\n\r\n", "HTTP/1.2 200 Ok"},
        {"GET /api/led HTTP/1.2\r\nHost: a\r\n\r\n", "HTTP/1.2 200 Ok"},
        {"GET /missing HTTP/1.2\r\nHost: a\r\n\r\n", "HTTP/1.2 404 Not Found"},
        {"POST /status HTTP/1.2\r\nHost: a\r\n\r\n", "HTTP/1.2 405 Method Not Allowed"},
        {"GET /api/led HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n", "HTTP/1.1 200 Ok"},
        {"GET /api/led HTTP/1.0\r\n\r\n", "HTTP/1.0 200 Ok"},
        {"GET /api/led HTTP/2.0\r\n\r\n", "HTTP/1.0 505 HTTP Version Not Supported"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(site.get(c.request).status_line, c.status_line) << c.request;
    EXPECT_EQ(site.stop(), 0);
}

// The answer says whether the connection goes on, and it does where it says so: a request
// without a body, or one whose body the plug-in read through the server, is answered
// "keep-alive" and the next request follows on the connection; one whose body the plug-in left
// unread is answered "Connection: close" and the connection ends.
TEST(RouteHelper, AnswerSaysWhetherTheConnectionGoesOn)
{
    Site site;
    ASSERT_TRUE(site.start(server_binary, {"-k", "30", "-plugin", test_plugin("tp_route"), "-route-port",
                                           std::to_string(site.port)}))
        << site.log();
    const std::string hello = "GET /virtual/hello HTTP/1.1\r\nHost: h\r\n\r\n";
    Client client(site.port);
    ASSERT_TRUE(client.send_all(hello));
    const Reply kept = parse_reply(client.read_until("hello from a route\n"));
    EXPECT_EQ(kept.header("Connection"), "keep-alive") << kept.raw;
    ASSERT_TRUE(client.send_all("POST /virtual/echo HTTP/1.1\r\nHost: h\r\nContent-Length: 3\r\n\r\nabc"));
    const Reply echoed = parse_reply(client.read_until("abc"));
    EXPECT_EQ(echoed.body, "abc") << echoed.raw;
    EXPECT_EQ(echoed.header("Connection"), "keep-alive") << echoed.raw;
    ASSERT_TRUE(client.send_all("POST /virtual/hello HTTP/1.1\r\nHost: h\r\nContent-Length: 3\r\n\r\nxyz"));
    const Reply unread = parse_reply(client.read_until("hello from a route\n"));
    EXPECT_EQ(unread.header("Connection"), "close") << unread.raw;
    client.send_all(hello);  // may fail: the server has closed
    EXPECT_EQ(client.read_all(), "");
    EXPECT_TRUE(client.closed());
    EXPECT_EQ(site.stop(), 0);
}

// ---- the status endpoint --------------------------------------------------------------------

// The figures of a JSON status answer: {"server":"...","name":number,...}.
std::map<std::string, long long> json_figures(const std::string &body)
{
    std::map<std::string, long long> figures;
    for (size_t at = body.find(",\""); at != std::string::npos; at = body.find(",\"", at + 1)) {
        const size_t colon = body.find("\":", at);
        figures[body.substr(at + 2, colon - at - 2)] = std::stoll(body.substr(colon + 2));
    }
    return figures;
}

TEST(Status, CountersAddUpTheRequestsOfFourClientsAtOnce)
{
    Site site;
    site.put("page.html", std::string(1000, 'p'));
    ASSERT_TRUE(site.start(server_binary, {"-j", "4", "-k", "30", "-plugin", http_plugin, "-port",
                                           std::to_string(site.port), "-status", "/status"}))
        << site.log();
    constexpr int clients = 4, each = 25, kept_requests = 3;
    std::vector<size_t> received(clients);
    std::vector<std::thread> threads;
    for (int i = 0; i < clients; ++i) {
        threads.emplace_back([&, i] {
            for (int k = 0; k < each; ++k)
                received[i] += exchange(site.port, "GET /page.html HTTP/1.0\r\n\r\n").size();
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    size_t sent = 0;
    for (const size_t bytes : received)
        sent += bytes;
    // One connection that carries three requests: connections and requests count apart.
    Client kept(site.port);
    const std::string again = "GET /page.html HTTP/1.1\r\nHost: h\r\n\r\n";
    ASSERT_TRUE(kept.send_all(again + again + "GET /page.html HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\n"));
    const std::string kept_answers = kept.read_all();
    EXPECT_EQ(count_of(kept_answers, "HTTP/1.1 200 Ok\r\n"), static_cast<size_t>(kept_requests)) << kept_answers;
    sent += kept_answers.size();

    const Reply json = site.get("GET /status HTTP/1.0\r\n\r\n");
    ASSERT_EQ(status_of(json), "200") << json.raw;
    EXPECT_EQ(json.header("Content-Type"), "application/json");
    EXPECT_EQ(json.body.rfind("{\"server\":\"TAVRIX/1.0\",", 0), 0u) << json.body;
    std::map<std::string, long long> figures = json_figures(json.body);
    const std::map<std::string, long long> expected = {
        {"connections", clients * each + 2}, {"requests", clients * each + kept_requests + 1}, {"active", 1},
        {"slots", 4}, {"refused", 0}, {"bytes_sent", static_cast<long long>(sent)}};
    for (const auto &[name, value] : expected)
        EXPECT_EQ(figures[name], value) << name << " in " << json.body;
    EXPECT_GE(figures["uptime_s"], 0);

    // The same figures in the Prometheus text format: HELP and TYPE before each sample.
    const Reply text = site.get("GET /status?format=prometheus HTTP/1.0\r\n\r\n");
    EXPECT_EQ(text.header("Content-Type"), "text/plain; version=0.0.4");
    std::istringstream lines(text.body);
    std::string line, helped, typed;
    std::map<std::string, long long> samples;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string first, name, rest;
        words >> first >> name;
        if (first == "#") {
            (name == "HELP" ? helped : typed) = line.substr(7, line.find(' ', 7) - 7);
            continue;
        }
        EXPECT_EQ(helped, first) << line;
        EXPECT_EQ(typed, first) << line;
        samples[first] = std::stoll(name);
    }
    EXPECT_EQ(samples.size(), 7u) << text.body;
    EXPECT_EQ(samples["websrv_requests_total"], clients * each + kept_requests + 2);
    EXPECT_EQ(samples["websrv_connections_total"], clients * each + 3);
    EXPECT_EQ(samples["websrv_sent_bytes_total"], static_cast<long long>(sent + json.raw.size()));
    EXPECT_EQ(samples["websrv_session_slots"], 4);
    EXPECT_EQ(status_of(site.get("POST /status HTTP/1.0\r\n\r\n")), "405");
    EXPECT_EQ(site.stop(), 0);
}

// ---- the device API example -----------------------------------------------------------------

struct LedCase {
    const char *name;
    std::string request;
    const char *status;
    std::string body;
};

class Led : public ::testing::TestWithParam<LedCase> {};

// A POST of `body` with the header lines `lines` (each ending in CR LF).
std::string post(const std::string &body, const std::string &lines = "Content-Type: application/json\r\n")
{
    return "POST /api/led HTTP/1.0\r\n" + lines + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
           body;
}

// A POST of {"on":true} from a page: Host "device:8080", the Origin or Referer in `from`, as
// JSON unless `type` says otherwise.
std::string post_from(const std::string &from, const std::string &type = "application/json")
{
    return post("{\"on\":true}", "Host: device:8080\r\n" + from + "Content-Type: " + type + "\r\n");
}

const std::string foreign_page = "{\"error\":\"only the device's own pages may switch the LED\"}\n";
const std::string not_json = "{\"error\":\"the body must be sent as application/json\"}\n";

TEST_P(Led, AnswersJsonAndRefusesBadInput)
{
    const LedCase &c = GetParam();
    Site site;
    ASSERT_TRUE(site.start(server_binary, {"-j", "2", "-plugin", led_plugin, "-led-port", std::to_string(site.port),
                                           "-led-state", site.dir.file("led")}))
        << site.log();
    const Reply reply = site.get(c.request);
    EXPECT_EQ(status_of(reply), c.status) << reply.raw;
    EXPECT_EQ(reply.body, c.body);
    EXPECT_EQ(reply.header("Content-Type"), "application/json");
    // What a POST did, every process sees: the state as the next request finds it.
    const bool on = status_of(reply) == "200" && c.body == "{\"on\":true}\n";
    EXPECT_EQ(site.get("GET /api/led HTTP/1.0\r\n\r\n").body, on ? "{\"on\":true}\n" : "{\"on\":false}\n");
    EXPECT_EQ(site.stop(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Examples, Led,
    ::testing::Values(
        LedCase{"GetIsOffAtFirst", "GET /api/led HTTP/1.0\r\n\r\n", "200", "{\"on\":false}\n"},
        LedCase{"PostSwitchesItOn", post("{\"on\":true}"), "200", "{\"on\":true}\n"},
        LedCase{"WhiteSpaceAndEscapesAreJson", post(" {\r\n\"\\u006fn\" :\ttrue } "), "200", "{\"on\":true}\n"},
        LedCase{"NumberIsTheWrongType", post("{\"on\":1}"), "400",
                "{\"error\":\"\\\"on\\\" must be true or false\"}\n"},
        LedCase{"OtherMemberIsRefused", post("{\"on\":true,\"x\":1}"), "400",
                "{\"error\":\"the object must hold \\\"on\\\" alone\"}\n"},
        LedCase{"ArrayIsNoObject", post("[true]"), "400", "{\"error\":\"the body must be a JSON object\"}\n"},
        LedCase{"CutObjectIsMalformed", post("{\"on\":true"), "400", "{\"error\":\"malformed JSON\"}\n"},
        LedCase{"EmptyBodyIsMalformed", post(""), "400", "{\"error\":\"the body must be a JSON object\"}\n"},
        LedCase{"NulInTheNameIsMalformed", post(std::string("{\"o\0n\":true}", 12)), "400",
                "{\"error\":\"malformed JSON\"}\n"},
        LedCase{"BodyOver4KiBIs413", post(std::string(4097, ' ')), "413",
                "{\"error\":\"the body may hold 4096 bytes at most\"}\n"},
        LedCase{"DeleteIs405", "DELETE /api/led HTTP/1.0\r\n\r\n", "405", "{\"error\":\"use GET or POST\"}\n"},
        // Only the device's own pages (or programs, which send no Origin) switch it.
        LedCase{"PostFromTheDevicesPage", post_from("Origin: http://device:8080\r\n"), "200", "{\"on\":true}\n"},
        LedCase{"OriginInOtherLetterCase", post_from("Origin: HTTP://Device:8080\r\n"), "200", "{\"on\":true}\n"},
        LedCase{"RefererOfTheDevicesPage", post_from("Referer: http://device:8080/index.html?x#y\r\n"), "200",
                "{\"on\":true}\n"},
        LedCase{"NoCorsPostOfAnotherSiteIs403",
                post_from("Origin: http://evil.example\r\n", "text/plain;charset=UTF-8"), "403", foreign_page},
        LedCase{"JsonFromAnotherSiteIs403", post_from("Origin: http://evil.example\r\n"), "403", foreign_page},
        LedCase{"RefererOfAnotherSiteIs403", post_from("Referer: http://evil.example/device:8080\r\n"), "403",
                foreign_page},
        LedCase{"OriginCountsBeforeReferer",
                post_from("Origin: http://evil.example\r\nReferer: http://device:8080/\r\n"), "403", foreign_page},
        LedCase{"LongerNameIsAnotherHost", post_from("Origin: http://device:8080.evil.example\r\n"), "403",
                foreign_page},
        LedCase{"OtherPortIsAnotherOrigin", post_from("Origin: http://device:8081\r\n"), "403", foreign_page},
        LedCase{"HiddenOriginIs403", post_from("Origin: null\r\n"), "403", foreign_page},
        LedCase{"OriginWithoutHostIs403",
                post("{\"on\":true}", "Origin: http://device\r\nContent-Type: application/json\r\n"), "403",
                foreign_page},
        // ... and only as JSON, which no page of another site can send without asking first.
        LedCase{"PlainTextIs415", post("{\"on\":true}", "Content-Type: text/plain\r\n"), "415", not_json},
        LedCase{"FormIs415", post("{\"on\":true}", "Content-Type: application/x-www-form-urlencoded\r\n"), "415",
                not_json},
        LedCase{"NoContentTypeIs415", post("{\"on\":true}", ""), "415", not_json},
        LedCase{"LongerTypeIs415", post("{\"on\":true}", "Content-Type: application/jsonx\r\n"), "415", not_json},
        LedCase{"JsonWithParameters", post("{\"on\":true}", "Content-Type: Application/JSON ; charset=utf-8\r\n"),
                "200", "{\"on\":true}\n"},
        LedCase{"GetFromAnotherSiteIsAnswered", "GET /api/led HTTP/1.0\r\nOrigin: http://evil.example\r\n\r\n",
                "200", "{\"on\":false}\n"}),
    [](const ::testing::TestParamInfo<LedCase> &info) { return std::string(info.param.name); });

}  // namespace
