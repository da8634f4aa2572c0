// Static file delivery over the wire, with the stock http plug-in and CGI off: methods,
// content types, confinement to the working directory, files that cannot be opened, large
// and very large files, and conditional requests.
#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

#include "test_support.h"

using namespace websrv_test;

namespace {

const std::string server_binary = WEBSRV_TEST_SERVER;
const std::string http_plugin = WEBSRV_HTTP_PLUGIN;

void start(Site &site, bool verbose = false)
{
    std::vector<std::string> args;
    if (verbose)
        args.push_back("-v");
    args.insert(args.end(), {"-plugin", http_plugin, "-port", std::to_string(site.port)});
    ASSERT_TRUE(site.start(server_binary, args)) << site.log();
}

void expect_not_found(const Reply &reply, const std::string &what)
{
    EXPECT_EQ(reply.raw, expected_error_page("HTTP/1.0", 404, "Not Found", reply.header("Date"))) << what;
}

// Whether others may enter `path` and every directory above it.
bool others_may_enter(const std::string &path)
{
    for (std::string dir = path; !dir.empty();) {
        struct stat st;
        if (stat(dir.c_str(), &st) != 0 || (st.st_mode & S_IXOTH) == 0)
            return false;
        const size_t slash = dir.rfind('/');
        dir.resize(slash == std::string::npos ? 0 : slash);
    }
    return true;
}

// Every "Extension found: X" value the log shows, in order.
std::vector<std::string> extensions_logged(const std::string &log)
{
    std::vector<std::string> found;
    const std::string key = "Extension found: ";
    for (size_t at = log.find(key); at != std::string::npos; at = log.find(key, at + 1)) {
        const size_t start = at + key.size();
        found.push_back(log.substr(start, log.find('\n', start) - start));
    }
    return found;
}

}  // namespace

TEST(StaticFile, GetPostAndHeadAreServedAndOtherMethodsNotImplemented)
{
    // HEAD gets the header block of GET without the body; a method that would change the
    // file gets 501, so no client believes its upload or delete worked.
    Site site;
    site.put("page.html", "the page");
    start(site);
    const struct {
        const char *method;
        const char *status_line;
        const char *body;
    } cases[] = {
        {"GET", "HTTP/1.0 200 Ok", "the page"},   {"get", "HTTP/1.0 200 Ok", "the page"},
        {"POST", "HTTP/1.0 200 Ok", "the page"},  {"HEAD", "HTTP/1.0 200 Ok", ""},
        {"head", "HTTP/1.0 200 Ok", ""},           {"PUT", "HTTP/1.0 501 Not Implemented", nullptr},
        {"DELETE", "HTTP/1.0 501 Not Implemented", nullptr}, {"OPTIONS", "HTTP/1.0 501 Not Implemented", nullptr},
        {"FOO", "HTTP/1.0 501 Not Implemented", nullptr},
    };
    const Reply get = site.get("GET /page.html HTTP/1.0\r\n\r\n");
    for (const auto &c : cases) {
        const Reply reply = site.get(std::string(c.method) + " /page.html HTTP/1.0\r\n\r\n");
        EXPECT_EQ(reply.status_line, c.status_line) << c.method;
        if (c.body == nullptr) {
            EXPECT_EQ(reply.raw, expected_error_page("HTTP/1.0", 501, "Not Implemented", reply.header("Date")))
                << c.method;
            continue;
        }
        EXPECT_EQ(reply.body, c.body) << c.method;
        // The same header block as GET's: Content-Length included, only the Date may differ.
        EXPECT_EQ(reply.header("Content-Length"), "8") << c.method;
        EXPECT_EQ(reply.head.size(), get.head.size()) << c.method;
    }
    site.stop_cleanly();
}


TEST(StaticFile, ContentTypeComesFromTheExtensionIgnoringCase)
{
    Site site;
    ASSERT_EQ(mkdir((site.root + "/lib.d").c_str(), 0755), 0);
    const struct {
        const char *name, *type;
    } files[] = {
        {"page.HTML", "text/html"},         {"anim.Gif", "image/gif"},
        {"README", "text/plain"},           {".profile", "text/plain"},
        {"lib.d/readme", "text/plain"},     {"style.css", "text/css"},
        {"app.js", "text/javascript"},      {"data.JSON", "application/json"},
        {"pic.png", "image/png"},           {"icon.svg", "image/svg+xml"},
        {"notes.unknownext", "text/plain"},
    };
    for (const auto &f : files)
        site.put(f.name, f.name);
    start(site, true);
    for (const auto &f : files) {
        const Reply reply = site.get(std::string("GET /") + f.name + " HTTP/1.0\r\n\r\n");
        EXPECT_EQ(reply.status_line, "HTTP/1.0 200 Ok") << f.name;
        EXPECT_EQ(reply.header("Content-Type"), f.type) << f.name;
        EXPECT_EQ(reply.body, f.name);
    }
    const std::string log = site.stop_cleanly();
    // README and .profile have no extension; lib.d/readme has one that names no type.
    const std::vector<std::string> expected = {"HTML", "Gif", "d/readme", "css", "js", "JSON",
                                               "png", "svg", "unknownext"};
    EXPECT_EQ(extensions_logged(log), expected) << log;
}

// ---- Confinement to the working directory ---------------------------------------------

class Confinement : public ::testing::Test {
protected:
    Site site;
    std::string secret = "secret-" + std::to_string(getpid()) + "-do-not-serve";

    void SetUp() override
    {
        // <dir>/secret.txt and <dir>/www2 lie outside the root <dir>/www; www2 shares its
        // name's beginning with it.
        write_file(site.dir.file("secret.txt"), secret);
        ASSERT_EQ(mkdir(site.dir.file("www2").c_str(), 0755), 0);
        write_file(site.dir.file("www2/f.html"), secret);
        ASSERT_EQ(mkdir((site.root + "/sub").c_str(), 0755), 0);
        site.put("page.html", "inside");
        site.put("sub/page.html", "inside sub");
        ASSERT_EQ(symlink(site.dir.path().c_str(), (site.root + "/link").c_str()), 0);
        start(site, true);
    }
};

TEST_F(Confinement, PathsLeadingOutsideAreRefusedAndNeverLeak)
{
    const std::string absolute = site.dir.file("secret.txt");
    const std::vector<std::string> paths = {
        "/../secret.txt",
        "/%2e%2e/secret.txt",
        "/%2E%2e/secret.txt",
        "/.%2e/secret.txt",
        "/sub/../../secret.txt",
        "/sub/%2e%2e/%2E%2E/secret.txt",
        "/..//secret.txt",
        "/sub//..//..//secret.txt",
        "/" + absolute,              // //<dir>/secret.txt: an absolute path
        "/%2F" + absolute.substr(1), // the same with the second slash encoded
        "//etc/passwd",
        "/link/secret.txt",          // a link in the root to a directory outside
        "/link/www2/f.html",
        "/../www2/f.html",           // the sibling whose name begins like the root's
        "/%2e%2e/www2/f.html",
    };
    for (const std::string &path : paths) {
        const Reply reply = site.get("GET " + path + " HTTP/1.0\r\n\r\n");
        expect_not_found(reply, path);
        EXPECT_EQ(reply.raw.find(secret), std::string::npos) << path;
        EXPECT_EQ(reply.raw.find("root:"), std::string::npos) << path;
    }
    const std::string log = site.stop_cleanly();
    EXPECT_EQ(log.find(secret), std::string::npos);
    EXPECT_EQ(log.find("does not exist"), std::string::npos) << "refused, not failed to open:\n" << log;
}

TEST_F(Confinement, PathsThatStayInsideAreServed)
{
    const struct {
        const char *path, *body;
    } cases[] = {
        {"/page.html", "inside"},
        {"/./page.html", "inside"},
        {"/sub/page.html", "inside sub"},
        {"/sub//page.html", "inside sub"},
        {"/sub/../page.html", "inside"},
        {"/sub/%2e%2e/sub/page.html", "inside sub"},
        {"/../www/page.html", "inside"},
        {"/link/www/page.html", "inside"},  // out through the link and back in
    };
    for (const auto &c : cases) {
        const Reply reply = site.get(std::string("GET ") + c.path + " HTTP/1.0\r\n\r\n");
        EXPECT_EQ(reply.status_line, "HTTP/1.0 200 Ok") << c.path;
        EXPECT_EQ(reply.body, c.body) << c.path;
    }
    site.stop_cleanly();
}

// ---- Files that exist but cannot be opened ---------------------------------------------

TEST(StaticFile, FileThatCannotBeOpenedIsNotFoundWithItsLogLine)
{
    // A socket in the tree: stat() sees it, open() fails (ENXIO) for every user, root included.
    Site site;
    const std::string path = site.root + "/sock.html";
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(path.size(), sizeof address.sun_path);
    path.copy(address.sun_path, path.size());
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    close(fd);
    start(site);
    expect_not_found(site.get("GET /sock.html HTTP/1.0\r\n\r\n"), "socket");
    EXPECT_EQ(site.stop_cleanly(), "WebSrv Warning: No CGI pattern specified; CGI Processing is disabled.\n"
                          "Filename sock.html does not exist\n");
}

TEST(StaticFile, UnreadableFileIsNotFoundWithItsLogLine)
{
    Site site;
    site.put("locked.html", "locked");
    ASSERT_EQ(chmod((site.root + "/locked.html").c_str(), 0), 0);
    std::string binary = server_binary;
    std::string plugin = http_plugin;
    std::vector<std::string> args;
    if (geteuid() == 0) {
        // Root opens a file whatever its permissions: the server runs as the user nobody
        // instead. Nobody may be unable to enter the build directory (a checkout in /root),
        // so it runs copies of the server and the plug-in from the test's directory, where
        // it also has to write the port file.
        ASSERT_EQ(chmod(site.dir.path().c_str(), 0755), 0);
        ASSERT_TRUE(others_may_enter(site.dir.path())) << site.dir.path() << " is out of nobody's reach";
        binary = site.dir.file("websrv");
        plugin = site.dir.file("http.so");
        copy_file(server_binary, binary, 0755);
        copy_file(http_plugin, plugin, 0644);
        write_file(site.port_file, "");
        ASSERT_EQ(chmod(site.port_file.c_str(), 0666), 0);
        args = {"--reuid=65534", "--regid=65534", "--clear-groups", binary};
        binary = "/usr/bin/setpriv";
    }
    args.insert(args.end(), {"-plugin", plugin, "-port", std::to_string(site.port)});
    ASSERT_TRUE(site.start(binary, args)) << site.log();
    const Reply reply = site.get("GET /locked.html HTTP/1.0\r\n\r\n");
    expect_not_found(reply, "chmod 000");
    EXPECT_EQ(reply.raw.find("locked"), std::string::npos);
    EXPECT_NE(site.stop_cleanly().find("Filename locked.html does not exist\n"), std::string::npos);
}

// ---- Sizes -----------------------------------------------------------------------------

TEST(StaticFile, EightMebibyteFileArrivesWholeAndIdentical)
{
    Site site;
    const std::string content = random_bytes(8 << 20, 20240607);
    site.put("big.bin", content);
    start(site, true);
    const Reply reply = site.get("GET /big.bin HTTP/1.0\r\n\r\n", 20000);
    EXPECT_EQ(reply.status_line, "HTTP/1.0 200 Ok");
    EXPECT_EQ(reply.header("Content-Type"), "application/octet-stream");
    EXPECT_EQ(reply.header("Content-Length"), "8388608");
    EXPECT_EQ(reply.body.size(), content.size());
    EXPECT_TRUE(reply.body == content) << "the body differs from the file";
    EXPECT_NE(site.stop_cleanly().find("Succesfully transmitted file of 8388608 bytes File was 8388608 bytes long\n"),
              std::string::npos);
}

TEST(StaticFile, FileOfTwoGibibytesAndOneByteAnnouncesItsWholeLength)
{
    Site site;
    const std::string path = site.root + "/huge.bin";
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, 2147483649LL), 0) << "a sparse file takes no room";
    close(fd);
    start(site);
    {
        Client client(site.port);
        ASSERT_TRUE(client.send_all("GET /huge.bin HTTP/1.0\r\n\r\n"));
        const Reply reply = parse_reply(client.read_until("\r\n\r\n"));
        EXPECT_EQ(reply.status_line, "HTTP/1.0 200 Ok");
        EXPECT_EQ(reply.header("Content-Length"), "2147483649") << reply.head;
        client.reset();  // without downloading it
    }
    site.stop_cleanly();
}

// ---- Conditional requests --------------------------------------------------------------

TEST(StaticFile, IfModifiedSinceComparesWithTheFilesTime)
{
    Site site;
    site.put("page.html", "current");  // modified Sun, 06 Nov 1994 08:49:37 GMT
    start(site);
    const struct {
        const char *since;
        const char *status;
        const char *body;
    } cases[] = {
        {"Sun, 06 Nov 1994 08:49:37 GMT", "HTTP/1.0 304 Not Modified", ""},
        {"Sun, 06 Nov 1994 08:49:38 GMT", "HTTP/1.0 304 Not Modified", ""},
        {"Sun, 06 Nov 1994 08:49:36 GMT", "HTTP/1.0 200 Ok", "current"},
        {"yesterday", "HTTP/1.0 200 Ok", "current"},
        {"", "HTTP/1.0 200 Ok", "current"},
    };
    for (const auto &c : cases) {
        const Reply reply =
            site.get(std::string("GET /page.html HTTP/1.0\r\nIf-Modified-Since: ") + c.since + "\r\n\r\n");
        EXPECT_EQ(reply.status_line, c.status) << c.since;
        EXPECT_EQ(reply.body, c.body) << c.since;
        EXPECT_EQ(reply.header("Last-Modified"), "Sun, 06 Nov 1994 08:49:37 GMT") << c.since;
        bool has_length = false;
        reply.header("Content-Length", &has_length);
        EXPECT_EQ(has_length, *c.body != '\0') << c.since;
    }
    site.stop_cleanly();
}
