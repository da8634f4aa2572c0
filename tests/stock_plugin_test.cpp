// The stock plug-in's own answers over the wire, against the real binary with http.so: each
// directory's index and the redirect of a directory named without its slash, the -header
// lines in every kind of header block, and password-protected paths (every spelling of a
// protected path, each hash kind, refused files, REMOTE_USER, the file read again, 429).
#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <crypt.h>
#include <csignal>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "passwords.h"
#include "test_support.h"

using namespace websrv_test;

namespace {

const std::string server_binary = WEBSRV_TEST_SERVER;
const std::string http_plugin = WEBSRV_HTTP_PLUGIN;
const std::string printenv_program = CGI_PRINTENV;
// http.so with a clock of its password tables that a file moves on (WEBSRV_TEST_CLOCK_FILE).
const std::string http_clock_plugin = WEBSRV_HTTP_CLOCK_PLUGIN;

void start(Site &site, const std::vector<std::string> &options)
{
    std::vector<std::string> args = {"-plugin", http_plugin, "-port", std::to_string(site.port), "-c", "cgi-bin"};
    args.insert(args.end(), options.begin(), options.end());
    ASSERT_TRUE(site.start(server_binary, args)) << site.log();
}

Reply get(Site &site, const std::string &target, const std::string &headers = "")
{
    return site.get("GET " + target + " HTTP/1.0\r\n" + headers + "\r\n", 10000);
}

std::string status_of(const Reply &reply)
{
    return reply.status_line.size() >= 12 ? reply.status_line.substr(9, 3) : reply.status_line;
}

// A site with a protected directory "admin", its password file outside the served tree.
struct ProtectedSite : Site {
    std::string users = dir.file("users");
    ProtectedSite()
    {
        put("index.html", "public");
        mkdir((root + "/admin").c_str(), 0755);
        mkdir((root + "/x").c_str(), 0755);
        mkdir((root + "/cgi-bin").c_str(), 0755);
        put("admin/secret.txt", "the secret");
        put("admin/index.html", "admin index");
        write_file(users, "bob:" + hash_of("right horse", "$6$") + "\n");
    }
};

// ---- directory index ---------------------------------------------------------------------

TEST(StockDirectory, EachDirectoryServesItsOwnIndex)
{
    Site site;
    site.put("index.html", "top");
    mkdir((site.root + "/sub").c_str(), 0755);
    mkdir((site.root + "/sub/deeper").c_str(), 0755);
    mkdir((site.root + "/empty").c_str(), 0755);
    site.put("sub/index.html", "sub");
    site.put("sub/deeper/index.html", "deeper");
    start(site, {});
    const struct {
        const char *target, *status, *body;
    } cases[] = {
        {"/", "200", "top"},
        {"/sub/", "200", "sub"},
        {"/sub/deeper/", "200", "deeper"},
        {"/%73ub/", "200", "sub"},
    };
    for (const auto &c : cases) {
        const Reply reply = get(site, c.target);
        EXPECT_EQ(status_of(reply), c.status) << c.target;
        EXPECT_EQ(reply.body, c.body) << c.target;
        EXPECT_EQ(reply.header("Content-Type"), "text/html") << c.target;
    }
    // A directory without an index is not the working directory's page.
    EXPECT_EQ(get(site, "/empty/").raw, expected_error_page("HTTP/1.0", 404, "Not Found", get(site, "/empty/").header("Date")));
    EXPECT_EQ(site.stop(), 0);
}

TEST(StockDirectory, DirectoryWithoutItsSlashIsSentOnWithTheQuery)
{
    Site site;
    mkdir((site.root + "/sub").c_str(), 0755);
    mkdir((site.root + "/two words").c_str(), 0755);
    mkdir((site.root + "/a%b").c_str(), 0755);
    site.put("sub/index.html", "sub");
    start(site, {});
    const struct {
        const char *target, *location;
    } cases[] = {
        {"/sub", "/sub/"},
        {"/sub?x=1&y=%20z", "/sub/?x=1&y=%20z"},
        {"/two%20words", "/two%20words/"},
        {"/a%25b", "/a%25b/"},
        {"/sub/.", "/sub/./"},
    };
    for (const auto &c : cases) {
        const Reply reply = get(site, c.target);
        EXPECT_EQ(reply.status_line, "HTTP/1.0 301 Moved Permanently") << c.target;
        EXPECT_EQ(reply.header("Location"), c.location) << c.target;
    }
    // A path outside the working directory ("//etc") is not sent anywhere.
    EXPECT_EQ(status_of(get(site, "//etc")), "404");
    EXPECT_EQ(site.stop(), 0);
}

// ---- header lines ------------------------------------------------------------------------

TEST(StockHeaders, EveryHeaderBlockCarriesTheLines)
{
    ProtectedSite site;
    site.put("page.txt", "text");
    mkdir((site.root + "/sub").c_str(), 0755);
    ASSERT_EQ(symlink(printenv_program.c_str(), (site.root + "/cgi-bin/printenv").c_str()), 0);
    start(site, {"-header", "X-Frame-Options: DENY", "-header", "Content-Security-Policy: default-src 'self'",
                 "-header", "X-Tabbed: a\tb", "-auth", "/admin", site.users});
    const std::string modified = "If-Modified-Since: Sun, 06 Nov 2005 08:49:37 GMT\r\n";
    const struct {
        const char *what;
        std::string target, headers, status;
    } cases[] = {
        {"file", "/page.txt", "", "200"},      {"304", "/page.txt", modified, "304"},
        {"404 page", "/missing", "", "404"},   {"CGI answer", "/cgi-bin/printenv", "", "200"},
        {"401", "/admin/secret.txt", "", "401"}, {"301", "/sub", "", "301"},
    };
    for (const auto &c : cases) {
        const Reply reply = get(site, c.target, c.headers);
        EXPECT_EQ(status_of(reply), c.status) << c.what;
        EXPECT_EQ(reply.header("X-Frame-Options"), "DENY") << c.what;
        EXPECT_EQ(reply.header("Content-Security-Policy"), "default-src 'self'") << c.what;
        EXPECT_EQ(reply.header("X-Tabbed"), "a\tb") << c.what;  // a field value may hold a tab
    }
    EXPECT_EQ(site.stop(), 0);
}

TEST(StockHeaders, UnsafeLinesStopTheStart)
{
    const struct {
        const char *line, *reason;
    } cases[] = {
        {"X-Test: a\x01b", "control character other than a tab"},
        {"X-Test: a\x7f", "control character other than a tab"},
        {"X-Test: a\r\nX-Evil: 1", "control character other than a tab"},
        {"X\tTest: a", "Name: value"},
        {"No colon", "Name: value"},
        {": empty name", "Name: value"},
        {"Bad Name: x", "Name: value"},
        {"Content-Length: 5", "writes that field itself"},
        {"location: /elsewhere", "writes that field itself"},
    };
    for (const auto &c : cases) {
        TempDir dir;
        std::string output;
        EXPECT_EQ(run_server(server_binary, {"-plugin", http_plugin, "-port", std::to_string(free_port()), "-header", c.line},
                             dir.file("webport"), dir.path(), &output),
                  255)
            << c.line;
        EXPECT_NE(output.find(c.reason), std::string::npos) << c.line << "\n" << output;
    }
}

// ---- the device's host names ---------------------------------------------------------------

// With -host, a request whose Host is neither a listed name nor an IP literal gets 421 before
// anything else answers: files, missing paths, -status, CGI, protected paths alike. A page of a
// name an attacker points at the device (DNS rebinding) sends that name.
TEST(StockHosts, OnlyListedNamesAndAddressesAreServed)
{
    ProtectedSite listed, open;
    for (Site *site : {static_cast<Site *>(&listed), static_cast<Site *>(&open)})
        ASSERT_EQ(symlink(printenv_program.c_str(), (site->root + "/cgi-bin/printenv").c_str()), 0);
    start(listed, {"-host", "device", "-host", "Other.Example", "-status", "/status", "-auth", "/admin", listed.users});
    start(open, {"-status", "/status"});
    const std::string port = std::to_string(listed.port);
    const struct {
        const char *what;
        bool with_hosts;
        std::string request;
        const char *status;
    } cases[] = {
        {"a listed name", true, "GET / HTTP/1.1\r\nHost: device\r\nConnection: close\r\n\r\n", "200"},
        {"a listed name, other case, a port", true, "GET / HTTP/1.0\r\nHost: DEVICE:" + port + "\r\n\r\n", "200"},
        {"the second name", true, "GET / HTTP/1.0\r\nHost: other.example\r\n\r\n", "200"},
        {"blanks after the name", true, "GET / HTTP/1.0\r\nHost: device \r\n\r\n", "200"},
        {"the address", true, "GET / HTTP/1.0\r\nHost: 127.0.0.1:" + port + "\r\n\r\n", "200"},
        {"an IPv6 address", true, "GET / HTTP/1.0\r\nHost: [::1]:" + port + "\r\n\r\n", "200"},
        {"no Host at all", true, "GET / HTTP/1.0\r\n\r\n", "200"},
        {"another name", true, "GET / HTTP/1.0\r\nHost: evil.example\r\n\r\n", "421"},
        {"another name with the port", true, "GET / HTTP/1.0\r\nHost: evil.example:" + port + "\r\n\r\n", "421"},
        {"a name that starts with ours", true, "GET / HTTP/1.0\r\nHost: device.evil.example\r\n\r\n", "421"},
        {"a port that is no number", true, "GET / HTTP/1.0\r\nHost: device:80x\r\n\r\n", "421"},
        {"an address cut short", true, "GET / HTTP/1.0\r\nHost: [::1\r\n\r\n", "421"},
        {"an absolute target naming another", true, "GET http://evil.example/ HTTP/1.1\r\nHost: device\r\n\r\n",
         "421"},
        {"a missing path", true, "GET /missing HTTP/1.0\r\nHost: evil.example\r\n\r\n", "421"},
        {"-status", true, "GET /status HTTP/1.0\r\nHost: evil.example\r\n\r\n", "421"},
        {"a CGI program", true, "GET /cgi-bin/printenv HTTP/1.0\r\nHost: evil.example\r\n\r\n", "421"},
        {"a protected path", true, "GET /admin/secret.txt HTTP/1.0\r\nHost: evil.example\r\n\r\n", "421"},
        {"a protected path of ours", true, "GET /admin/secret.txt HTTP/1.0\r\nHost: device\r\n\r\n", "401"},
        {"a CGI program of ours", true, "GET /cgi-bin/printenv HTTP/1.0\r\nHost: device\r\n\r\n", "200"},
        {"without -host, any name", false, "GET /status HTTP/1.0\r\nHost: evil.example\r\n\r\n", "200"},
    };
    for (const auto &c : cases) {
        const Reply reply = (c.with_hosts ? listed : open).get(c.request, 10000);
        EXPECT_EQ(status_of(reply), c.status) << c.what << "\n" << reply.raw;
    }
    // The server's error page, in the request's version, and the connection ends.
    const Reply refused = listed.get("GET / HTTP/1.1\r\nHost: evil.example\r\n\r\n");
    EXPECT_EQ(refused.status_line, "HTTP/1.1 421 Misdirected Request");
    EXPECT_EQ(refused.header("Connection"), "close");
    EXPECT_NE(refused.body.find("<TITLE>421 Misdirected Request</TITLE>"), std::string::npos) << refused.body;
    EXPECT_EQ(listed.stop(), 0);
    EXPECT_EQ(open.stop(), 0);
}

TEST(StockHosts, NamesThatCannotBeHostsStopTheStart)
{
    const char *const names[] = {"device:8080", "", "[::1]", "dev ice", "device/"};
    for (const char *name : names) {
        TempDir dir;
        std::string output;
        EXPECT_EQ(run_server(server_binary, {"-plugin", http_plugin, "-port", std::to_string(free_port()), "-host", name},
                             dir.file("webport"), dir.path(), &output),
                  255)
            << name;
        EXPECT_NE(output.find("-host needs a host name"), std::string::npos) << name << "\n" << output;
    }
}

// ---- password-protected paths ------------------------------------------------------------

TEST(StockAuth, EverySpellingOfAProtectedPathNeedsThePassword)
{
    ProtectedSite site;
    ASSERT_EQ(symlink("../admin/secret.txt", (site.root + "/x/link.txt").c_str()), 0);
    ASSERT_EQ(symlink("../admin", (site.root + "/x/door").c_str()), 0);
    ASSERT_EQ(symlink(printenv_program.c_str(), (site.root + "/admin/printenv-cgi-bin").c_str()), 0);
    start(site, {"-auth", "/admin", site.users, "-c", "cgi-bin"});
    const std::string root_spelling = "/" + site.root + "/admin/secret.txt";  // "//abs/www/admin/..."
    const char *spellings[] = {
        "/admin/secret.txt", "/admin", "/admin/", "/./admin/secret.txt", "/x/./../admin/secret.txt",
        "/x/../admin/secret.txt", "/%61dmin/secret.txt", "/admin%2fsecret.txt", "/admin%2F", "/x/link.txt",
        "/x/door/secret.txt", "/x/door/", "/admin/printenv-cgi-bin", "/admin//secret.txt",
    };
    for (const char *target : spellings) {
        const Reply refused = get(site, target);
        EXPECT_EQ(refused.status_line, "HTTP/1.0 401 Unauthorized") << target;
        EXPECT_EQ(refused.header("WWW-Authenticate").rfind("Basic realm=\"", 0), 0u) << target;
        EXPECT_NE(status_of(get(site, target, basic("bob", "right horse"))), "401") << target;
    }
    // "//admin" names /admin of the whole file system, which the server does not serve.
    EXPECT_EQ(status_of(get(site, "//admin/secret.txt")), "404");
    EXPECT_EQ(status_of(get(site, root_spelling)), "401");
    EXPECT_EQ(get(site, root_spelling, basic("bob", "right horse")).body, "the secret");
    // Paths that only look alike stay open.
    site.put("administrator.txt", "open");
    EXPECT_EQ(get(site, "/administrator.txt").body, "open");
    EXPECT_EQ(get(site, "/").body, "public");
    EXPECT_EQ(site.stop(), 0);
}

TEST(StockAuth, EachHashKindIsChecked)
{
    ProtectedSite site;
    const char *kinds[] = {"$y$", "$2b$", "$2y$", "$6$", "$5$"};
    std::string file;
    for (const char *kind : kinds) {
        const std::string hash = hash_of(std::string("pw") + kind, kind);
        ASSERT_EQ(hash.rfind(kind, 0), 0u) << kind;
        file += std::string("user") + kind[1] + kind[2] + ":" + hash + "\n";
    }
    write_file(site.users, "# users of the device\n\n" + file);
    start(site, {"-auth", "/admin", site.users});
    for (const char *kind : kinds) {
        const std::string user = std::string("user") + kind[1] + kind[2];
        EXPECT_EQ(get(site, "/admin/secret.txt", basic(user, std::string("pw") + kind)).body, "the secret") << kind;
        EXPECT_EQ(status_of(get(site, "/admin/secret.txt", basic(user, "pw"))), "401") << kind;
    }
    EXPECT_EQ(status_of(get(site, "/admin/secret.txt", basic("nobody", "pw$y$"))), "401");
    EXPECT_EQ(status_of(get(site, "/admin/secret.txt", "Authorization: Basic not-base64!\r\n")), "401");
    EXPECT_EQ(site.stop(), 0);
}

TEST(StockAuth, WeakOrMalformedPasswordFilesStopTheStart)
{
    const struct {
        std::string line, reason;
    } cases[] = {
        {"bob:secret", "plain text"},
        {"bob:rg/jixlPKed5s", "DES"},
        {"bob:$1$abcdefgh$G//4keteveJp0qb8z2DxG/", "MD5"},
        {"bob:$apr1$oN/sGbHc$xJQUvhSU2YUBmm2pFxjw21", "MD5"},
        {"bob:{SHA}lcsL/Sl3x2EpjZYk5LTUxyo5l0o=", "SHA-1"},
        {"bob:$6$", "malformed"},
        {"no colon here", "user:hash"},
    };
    for (const auto &c : cases) {
        TempDir dir;
        write_file(dir.file("users"), "alice:" + hash_of("a", "$5$") + "\n" + c.line + "\n");
        std::string output;
        EXPECT_EQ(run_server(server_binary,
                             {"-plugin", http_plugin, "-port", std::to_string(free_port()), "-auth", "/", dir.file("users")},
                             dir.file("webport"), dir.path(), &output),
                  255)
            << c.line;
        EXPECT_NE(output.find(dir.file("users") + " line 2: "), std::string::npos) << output;
        EXPECT_NE(output.find(c.reason), std::string::npos) << c.line << "\n" << output;
    }
    // A password file inside the served directory would hand its hashes out.
    TempDir dir;
    write_file(dir.file("users"), "alice:" + hash_of("a", "$5$") + "\n");
    std::string output;
    EXPECT_EQ(run_server(server_binary, {"-plugin", http_plugin, "-port", std::to_string(free_port()), "-auth", "/admin", "users"},
                         dir.file("webport"), dir.path(), &output),
              255);
    EXPECT_NE(output.find("lies in the served directory"), std::string::npos) << output;
}

TEST(StockAuth, ProgramsGetTheUserButNeverThePassword)
{
    ProtectedSite site;
    ASSERT_EQ(symlink(printenv_program.c_str(), (site.root + "/cgi-bin/printenv").c_str()), 0);
    start(site, {"-auth", "/cgi-bin", site.users, "-realm", "Device settings"});
    const Reply refused = get(site, "/cgi-bin/printenv");
    EXPECT_EQ(refused.header("WWW-Authenticate"), "Basic realm=\"Device settings\", charset=\"UTF-8\"");
    const Reply reply = get(site, "/cgi-bin/printenv", basic("bob", "right horse"));
    EXPECT_NE(reply.body.find("env=[REMOTE_USER=bob]"), std::string::npos) << reply.body;
    EXPECT_NE(reply.body.find("env=[AUTH_TYPE=Basic]"), std::string::npos) << reply.body;
    EXPECT_EQ(reply.body.find("right horse"), std::string::npos) << reply.body;
    EXPECT_EQ(reply.body.find("cmlnaHQgaG9yc2"), std::string::npos) << reply.body;  // its base64
    EXPECT_EQ(site.stop(), 0);
}

TEST(StockAuth, AChangedFileTakesEffectWithoutARestart)
{
    ProtectedSite site;
    start(site, {"-auth", "/admin", site.users});
    EXPECT_EQ(get(site, "/admin/secret.txt", basic("bob", "right horse")).body, "the secret");
    // The verified password is remembered; a new file must still take over at once.
    write_file(site.users, "bob:" + hash_of("battery staple", "$y$") + "\n");
    EXPECT_EQ(status_of(get(site, "/admin/secret.txt", basic("bob", "right horse"))), "401");
    EXPECT_EQ(get(site, "/admin/secret.txt", basic("bob", "battery staple")).body, "the secret");
    // A file that turns bad at run time refuses everyone.
    write_file(site.users, "bob:plain\n");
    EXPECT_EQ(status_of(get(site, "/admin/secret.txt", basic("bob", "battery staple"))), "500");
    EXPECT_EQ(site.stop(), 0);
    EXPECT_NE(site.log().find("line 1: plain text"), std::string::npos) << site.log();
}

// One request from the loopback address `from` (127.0.0.x).
Reply reply_from(const char *from, int port, const std::string &request)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, from, &local.sin_addr);
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, "127.0.0.1", &server.sin_addr);
    std::string raw;
    if (bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) == 0 &&
        connect(fd, reinterpret_cast<sockaddr *>(&server), sizeof server) == 0 &&
        send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
        char chunk[4096];
        pollfd wait{fd, POLLIN, 0};
        while (poll(&wait, 1, 10000) > 0) {
            const ssize_t got = recv(fd, chunk, sizeof chunk, 0);
            if (got <= 0)
                break;
            raw.append(chunk, static_cast<size_t>(got));
        }
    }
    close(fd);
    return parse_reply(raw);
}

std::string status_from(const char *from, int port, const std::string &request)
{
    return status_of(reply_from(from, port, request));
}

TEST(StockAuth, TenFailuresInAMinuteBlockThatAddressOnly)
{
    ProtectedSite site;
    start(site, {"-auth", "/admin", site.users});
    const std::string wrong = "GET /admin/secret.txt HTTP/1.0\r\n" + basic("bob", "guess") + "\r\n";
    const std::string right = "GET /admin/secret.txt HTTP/1.0\r\n" + basic("bob", "right horse") + "\r\n";
    // Asking without a password is no failed attempt.
    for (int i = 0; i < 12; ++i)
        ASSERT_EQ(status_from("127.0.0.3", site.port, "GET /admin/ HTTP/1.0\r\n\r\n"), "401");
    for (int i = 0; i < 10; ++i)
        ASSERT_EQ(status_from("127.0.0.3", site.port, wrong), "401") << i;
    const Reply blocked = reply_from("127.0.0.3", site.port, right);
    EXPECT_EQ(blocked.status_line, "HTTP/1.0 429 Too Many Requests");
    const int retry_after = atoi(blocked.header("Retry-After").c_str());
    EXPECT_TRUE(retry_after > 50 && retry_after <= 60) << blocked.raw;
    EXPECT_EQ(status_from("127.0.0.3", site.port, "GET /admin/ HTTP/1.0\r\n\r\n"), "429");
    EXPECT_EQ(status_from("127.0.0.3", site.port, "GET / HTTP/1.0\r\n\r\n"), "200");
    EXPECT_EQ(status_from("127.0.0.4", site.port, right), "200");
    EXPECT_EQ(status_of(get(site, "/admin/")), "401");  // 127.0.0.1 is another address
    EXPECT_EQ(site.stop(), 0);
}

// Each check of a protection on its own: the path as written (a link inside the prefix whose
// real file is public is protected by its spelling alone), the real path (a link outside that
// leads in), a directory's own index, the prefix itself, and the user's whole name.
TEST(StockAuth, EachCheckProtectsOnItsOwn)
{
    ProtectedSite site;
    site.put("public.txt", "public file");
    mkdir((site.root + "/closed").c_str(), 0755);  // protected, no index of its own
    site.put("closed/inside.txt", "closed");
    mkdir((site.root + "/pub").c_str(), 0755);
    ASSERT_EQ(symlink("../public.txt", (site.root + "/admin/public-link").c_str()), 0);
    ASSERT_EQ(symlink("../admin/secret.txt", (site.root + "/pub/index.html").c_str()), 0);
    ASSERT_EQ(symlink("../admin/secret.txt", (site.root + "/x/link.txt").c_str()), 0);
    write_file(site.users, "admin:" + hash_of("right horse", "$6$") + "\n");
    start(site, {"-auth", "/admin", site.users, "-auth", "/closed", site.users});
    const std::string right = basic("admin", "right horse");
    const struct {
        const char *what, *target;
        std::string authorization;
        const char *status;
    } cases[] = {
        // The path as written: the link's real file is public.
        {"spelling", "/admin/public-link", "", "401"},
        {"spelling with a dot", "/./admin/public-link", "", "401"},
        {"spelling with a dot inside", "/admin/./public-link", "", "401"},
        {"spelling with a dot-dot", "/x/../admin/public-link", "", "401"},
        {"spelling with the password", "/admin/public-link", right, "200"},
        // The real path: the spelling is public.
        {"link from outside", "/x/link.txt", "", "401"},
        // A public directory whose index is a protected file.
        {"index", "/pub/", "", "401"},
        {"index with the password", "/pub/", right, "200"},
        // The prefix itself, a directory without an index of its own.
        {"prefix itself", "/closed", "", "401"},
        {"prefix itself with a slash", "/closed/", "", "401"},
        {"below the prefix", "/closed/inside.txt", "", "401"},
        // The user's whole name: "ad" is not "admin".
        {"user named by a prefix", "/admin/secret.txt", basic("ad", "right horse"), "401"},
        {"user named longer", "/admin/secret.txt", basic("administrator", "right horse"), "401"},
        {"the user", "/admin/secret.txt", right, "200"},
        {"public", "/public.txt", "", "200"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(status_of(get(site, c.target, c.authorization)), c.status) << c.what << ": " << c.target;
    EXPECT_EQ(site.stop(), 0);
}

TEST(StockAuth, FailuresCountForAMinuteAndABlockLastsAMinute)
{
    ProtectedSite site;
    const std::string clock = site.dir.file("clock");
    write_file(clock, "0");
    setenv("WEBSRV_TEST_CLOCK_FILE", clock.c_str(), 1);
    ASSERT_TRUE(site.start(server_binary, {"-plugin", http_clock_plugin, "-port", std::to_string(site.port), "-auth",
                                           "/admin", site.users}))
        << site.log();
    const std::string wrong = "GET /admin/secret.txt HTTP/1.0\r\n" + basic("bob", "guess") + "\r\n";
    const std::string right = "GET /admin/secret.txt HTTP/1.0\r\n" + basic("bob", "right horse") + "\r\n";
    // Nine failures, a minute passes, nine more: the window started again, nothing is blocked.
    for (int i = 0; i < 9; ++i)
        ASSERT_EQ(status_from("127.0.0.5", site.port, wrong), "401") << i;
    write_file(clock, "61000");
    for (int i = 0; i < 9; ++i)
        ASSERT_EQ(status_from("127.0.0.5", site.port, wrong), "401") << i;
    EXPECT_EQ(status_from("127.0.0.5", site.port, right), "200");
    // Ten failures block the address; a minute later it is let in again, and a new failure
    // counts as the first of a new window.
    for (int i = 0; i < 10; ++i)
        ASSERT_EQ(status_from("127.0.0.6", site.port, wrong), "401") << i;
    EXPECT_EQ(status_from("127.0.0.6", site.port, right), "429");
    write_file(clock, "92000");
    EXPECT_EQ(status_from("127.0.0.6", site.port, right), "429");
    write_file(clock, "122000");
    EXPECT_EQ(status_from("127.0.0.6", site.port, right), "200");
    EXPECT_EQ(status_from("127.0.0.6", site.port, wrong), "401");
    EXPECT_EQ(status_from("127.0.0.6", site.port, right), "200");
    EXPECT_EQ(site.stop(), 0);
}

// ---- the stock plug-in's answers -----------------------------------------------------------

TEST(StockAnswers, StatusLinesFollowTheRequestsVersionAsTheServersDo)
{
    ProtectedSite site;
    start(site, {"-auth", "/admin", site.users});
    const std::string wrong = basic("bob", "guess");
    for (int i = 0; i < 10; ++i)
        ASSERT_EQ(status_from("127.0.0.8", site.port, "GET /admin/ HTTP/1.1\r\nHost: a\r\n" + wrong + "\r\n"), "401");
    const struct {
        const char *what, *from;
        std::string request;
        const char *status_line;
    } cases[] = {
        {"401", "127.0.0.1", "GET /admin/ HTTP/1.1\r\nHost: a\r\n\r\n", "HTTP/1.1 401 Unauthorized"},
        {"301", "127.0.0.1", "GET /x HTTP/1.1\r\nHost: a\r\n\r\n", "HTTP/1.1 301 Moved Permanently"},
        {"429", "127.0.0.8", "GET /admin/ HTTP/1.1\r\nHost: a\r\n\r\n", "HTTP/1.1 429 Too Many Requests"},
        {"the server's 404", "127.0.0.1", "GET /missing HTTP/1.1\r\nHost: a\r\n\r\n", "HTTP/1.1 404 Not Found"},
        {"401 to HTTP/1.0", "127.0.0.1", "GET /admin/ HTTP/1.0\r\n\r\n", "HTTP/1.0 401 Unauthorized"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(reply_from(c.from, site.port, c.request).status_line, c.status_line) << c.what;
    // A file that turns bad: 500, in the request's version too.
    write_file(site.users, "bob:plain\n");
    EXPECT_EQ(reply_from("127.0.0.1", site.port, "GET /admin/ HTTP/1.1\r\nHost: a\r\n" + basic("bob", "x") + "\r\n").status_line,
              "HTTP/1.1 500 Internal Server Error");
    EXPECT_EQ(site.stop(), 0);
}

// ---- what a check costs ----------------------------------------------------------------------

// The median of `values`.
double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

TEST(StockAuth, AMissingUserCostsWhatAPresentUserCosts)
{
    // The README's file: a bcrypt user first (htpasswd -B), then a yescrypt one (mkpasswd).
    ProtectedSite site;
    write_file(site.users, "admin:" + hash_of("a", "$2b$") + "\nviewer:" + hash_of("v", "$y$") + "\n");
    start(site, {"-auth", "/admin", site.users});
    const char *users[] = {"nobody", "admin", "viewer"};
    std::vector<double> times[3];
    // Round after round, each user once, from addresses that change before the limiter blocks
    // one: every wrong password is a failure.
    for (int round = 0; round < 31; ++round) {
        const std::string from = "127.0.1." + std::to_string(1 + round / 3);
        for (int u = 0; u < 3; ++u) {
            const std::string request = "GET /admin/secret.txt HTTP/1.0\r\n" + basic(users[u], "wrong") + "\r\n";
            const auto begin = std::chrono::steady_clock::now();
            ASSERT_EQ(status_from(from.c_str(), site.port, request), "401") << users[u];
            if (round > 0)  // the first round warms up
                times[u].push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin).count());
        }
    }
    const double missing = median(times[0]);
    for (int u = 1; u < 3; ++u) {
        const double present = median(times[u]);
        // Margin for a busy machine; a missing user that costs a tenth fails it.
        EXPECT_GT(missing, present / 2) << users[u] << ": " << present << " ms, missing: " << missing << " ms";
        EXPECT_LT(missing, present * 2) << users[u] << ": " << present << " ms, missing: " << missing << " ms";
    }
    EXPECT_EQ(site.stop(), 0);
}

// A password file only root may read is read before the drop to -u and kept: the protected path
// works as the user, and a SIGUSR1 that cannot read it again says so and keeps the copy.
TEST(StockAuth, FileOnlyRootMayReadServesAsTheUserFromWhatWasReadBefore)
{
    if (geteuid() != 0 || getpwnam("nobody") == nullptr)
        GTEST_SKIP() << "-u needs root and the user nobody";
    Site site;
    chmod(site.dir.path().c_str(), 0755);
    mkdir((site.root + "/admin").c_str(), 0755);
    site.put("admin/index.html", "admin page");
    const std::string users = site.dir.file("users");
    write_file(users, "admin:" + hash_of("secret", "$6$") + "\n");
    chmod(users.c_str(), 0600);
    ASSERT_TRUE(site.start(server_binary, {"-u", "nobody", "-plugin", http_plugin, "-port", std::to_string(site.port),
                                           "-auth", "/admin", users}))
        << site.log();
    const std::string request = "GET /admin/ HTTP/1.0\r\n" + basic("admin", "secret") + "\r\n";
    EXPECT_EQ(site.get(request).body, "admin page");
    ASSERT_EQ(kill(site.server().pid(), SIGUSR1), 0);
    EXPECT_TRUE(eventually([&] { return site.log().find("the copy read before stays") != std::string::npos; }))
        << site.log();
    EXPECT_NE(site.log().find("cannot read password file " + users + ": Permission denied"), std::string::npos);
    EXPECT_EQ(site.get(request).body, "admin page");
    EXPECT_EQ(parse_reply(site.get("GET /admin/ HTTP/1.0\r\n" + basic("admin", "wrong") + "\r\n").raw).status_line,
              "HTTP/1.0 401 Unauthorized");
    EXPECT_EQ(site.stop(), 0);
}

}  // namespace
