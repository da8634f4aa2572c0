// Byte ranges and gzip copies of static files at the wire, against the real binary with the
// stock http plug-in, and curl and wget resuming a download that was cut.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "test_support.h"

using namespace websrv_test;

namespace {

const std::string server_binary = WEBSRV_TEST_SERVER;
const std::string http_plugin = WEBSRV_HTTP_PLUGIN;
const std::string kMtimeText = "Sun, 06 Nov 1994 08:49:37 GMT";  // Site::default_mtime

void start(Site &site)
{
    ASSERT_TRUE(site.start(server_binary, {"-plugin", http_plugin, "-port", std::to_string(site.port)})) << site.log();
}

// Runs a shell command; its exit status.
int run(const std::string &command)
{
    const int status = system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// What one request with Range lines should get for a file: the status line, Content-Range
// ("" for none) and the part of the file that is the body and its Content-Length (npos
// length: no body, whatever the length line says).
struct RangeCase {
    std::string request;
    std::string status_line;
    std::string content_range;
    size_t start, length;
};

void expect_ranges(Site &site, const std::string &content, const std::vector<RangeCase> &cases)
{
    for (const RangeCase &c : cases) {
        const Reply reply = site.get(c.request);
        EXPECT_EQ(reply.status_line, c.status_line) << c.request;
        bool has_range = false;
        EXPECT_EQ(reply.header("Content-Range", &has_range), c.content_range) << c.request;
        EXPECT_EQ(has_range, !c.content_range.empty()) << c.request;
        if (c.status_line.find(" 416 ") != std::string::npos) {
            EXPECT_EQ(reply.body.rfind("<HTML>", 0), 0u) << c.request;
            continue;
        }
        const bool body = c.length != std::string::npos;
        const std::string part = body ? content.substr(c.start, c.length) : "";
        EXPECT_TRUE(reply.body == part) << c.request << ": " << reply.body.size() << " bytes";
        if (body) {
            EXPECT_EQ(reply.header("Content-Length"), part.empty() ? "" : std::to_string(part.size())) << c.request;
        }
        EXPECT_EQ(reply.header("Last-Modified"), kMtimeText) << c.request;
    }
}

RangeCase get(const std::string &path, const std::string &lines, const std::string &status, const std::string &range,
              size_t start, size_t length)
{
    return {"GET " + path + " HTTP/1.0\r\n" + lines + "\r\n", "HTTP/1.0 " + status, range, start, length};
}

}  // namespace

TEST(Ranges, EachFormAndEveryMalformedOneAtTheWire)
{
    Site site;
    const std::string content = random_bytes(100, 14);
    site.put("f.bin", content);
    start(site);
    const std::string ok = "200 Ok", partial = "206 Partial Content", none = "416 Range Not Satisfiable";
    const size_t all = 100;
    expect_ranges(site, content, {
        get("/f.bin", "Range: bytes=0-9\r\n", partial, "bytes 0-9/100", 0, 10),
        get("/f.bin", "Range: bytes=90-\r\n", partial, "bytes 90-99/100", 90, 10),
        get("/f.bin", "Range: bytes=-5\r\n", partial, "bytes 95-99/100", 95, 5),
        get("/f.bin", "Range: bytes=95-1000\r\n", partial, "bytes 95-99/100", 95, 5),
        get("/f.bin", "Range: bytes=-1000\r\n", partial, "bytes 0-99/100", 0, all),
        get("/f.bin", "range: Bytes= 7-7 \r\n", partial, "bytes 7-7/100", 7, 1),
        get("/f.bin", "Range: bytes=100-\r\n", none, "bytes */100", 0, 0),
        get("/f.bin", "Range: bytes=-0\r\n", none, "bytes */100", 0, 0),
        // Anything else asks for the whole file, as before ranges were known.
        get("/f.bin", "Range: bytes=0-1,5-6\r\n", ok, "", 0, all),
        get("/f.bin", "Range: bytes=1-2\r\nRange: bytes=3-4\r\n", ok, "", 0, all),
        get("/f.bin", "Range: bytes=5-1\r\n", ok, "", 0, all),
        get("/f.bin", "Range: bytes=x-1\r\n", ok, "", 0, all),
        get("/f.bin", "Range: bytes=-\r\n", ok, "", 0, all),
        get("/f.bin", "Range: bytes=--5\r\n", ok, "", 0, all),
        get("/f.bin", "Range: bytes=18446744073709551616-\r\n", ok, "", 0, all),
        get("/f.bin", "Range: bytes=0-99999999999999999999\r\n", ok, "", 0, all),
        get("/f.bin", "Range: items=0-5\r\n", ok, "", 0, all),
        get("/f.bin", "Range: bytes=0-9\r\nIf-Range: " + kMtimeText + "\r\n", partial, "bytes 0-9/100", 0, 10),
        get("/f.bin", "Range: bytes=0-9\r\nIf-Range: Sun, 06 Nov 1994 08:49:36 GMT\r\n", ok, "", 0, all),
        get("/f.bin", "Range: bytes=0-9\r\nIf-Range: \"an-etag\"\r\n", ok, "", 0, all),
        get("/f.bin", "Range: bytes=0-9\r\nIf-Modified-Since: " + kMtimeText + "\r\n", "304 Not Modified", "", 0,
            std::string::npos),
        {"HEAD /f.bin HTTP/1.0\r\nRange: bytes=0-9\r\n\r\n", "HTTP/1.0 200 Ok", "", 0, std::string::npos},
    });
    site.put("empty.txt", "");
    expect_ranges(site, "", {
        get("/empty.txt", "Range: bytes=0-\r\n", none, "bytes */0", 0, 0),
        get("/empty.txt", "Range: bytes=-5\r\n", ok, "", 0, std::string::npos),
    });
    EXPECT_EQ(site.stop(), 0);
}

TEST(Ranges, LastBytesOfAFileBeyondTwoGibibytes)
{
    Site site;
    const off_t size = (off_t{1} << 31) + 6;
    const int fd = open((site.root + "/huge.bin").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, "tail!\n", 6, size - 6), 6) << "a sparse file: only its tail takes room";
    close(fd);
    start(site);
    const struct {
        const char *range, *content_range;
        std::string body;
    } cases[] = {
        {"bytes=-6", "bytes 2147483648-2147483653/2147483654", "tail!\n"},
        {"bytes=2147483650-", "bytes 2147483650-2147483653/2147483654", "il!\n"},
        {"bytes=2147483647-2147483648", "bytes 2147483647-2147483648/2147483654", std::string("\0t", 2)},
    };
    for (const auto &c : cases) {
        const Reply reply = site.get(std::string("GET /huge.bin HTTP/1.0\r\nRange: ") + c.range + "\r\n\r\n");
        EXPECT_EQ(reply.status_line, "HTTP/1.0 206 Partial Content") << c.range;
        EXPECT_EQ(reply.header("Content-Range"), c.content_range) << c.range;
        EXPECT_EQ(reply.header("Content-Length"), std::to_string(c.body.size())) << c.range;
        EXPECT_EQ(reply.body, c.body) << c.range;
    }
    EXPECT_EQ(site.stop(), 0);
}

TEST(Ranges, CurlAndWgetResumeACutDownloadByteForByte)
{
    Site site;
    const std::string content = random_bytes(3 << 20, 2024);
    site.put("blob.bin", content);
    start(site);
    const std::string url = "http://127.0.0.1:" + std::to_string(site.port) + "/blob.bin";
    const std::string out = site.dir.file("download");
    const std::string commands[] = {
        "curl -sS --max-time 20 -C - -o " + out + " " + url,
        "wget -q --timeout=20 --tries=1 -c -O " + out + " " + url,
    };
    for (const std::string &command : commands) {
        write_file(out, content.substr(0, 1234567));  // what arrived before the cut
        ASSERT_EQ(run(command), 0) << command;
        EXPECT_TRUE(read_file(out) == content) << command << ": the resumed file differs";
    }
    EXPECT_EQ(site.stop(), 0);
}

// ---- Gzip copies ----------------------------------------------------------------------

class GzipCopy : public ::testing::Test {
protected:
    Site site;
    std::string script = "function ready() { return 'a device UI script'; }\n" + std::string(4000, ' ') + "//\n";
    std::string packed;

    void SetUp() override
    {
        site.put("app.js", script);
        ASSERT_EQ(run("gzip -9 -k -n " + site.root + "/app.js"), 0);
        packed = read_file(site.root + "/app.js.gz");
        ASSERT_FALSE(packed.empty());
        start(site);
    }
    Reply fetch(const std::string &lines) { return site.get("GET /app.js HTTP/1.0\r\n" + lines + "\r\n"); }
};

TEST_F(GzipCopy, ChosenByAcceptEncodingWithItsHeaders)
{
    const struct {
        const char *accept;  // null: no Accept-Encoding line
        bool gzip;
    } cases[] = {
        {nullptr, false},        {"gzip", true},           {"deflate, gzip;q=0.5", true},
        {"GZIP", true},          {"x-gzip", true},         {"gzip ; q=1", true},
        {"gzip;q=0", false},     {"gzip; q=0.000, br", false}, {"br, gzipped", false},
        {"identity", false},
    };
    const Reply plain = fetch("");
    for (const auto &c : cases) {
        const Reply reply = fetch(c.accept != nullptr ? std::string("Accept-Encoding: ") + c.accept + "\r\n" : "");
        const std::string what = c.accept != nullptr ? c.accept : "(none)";
        EXPECT_EQ(reply.status_line, "HTTP/1.0 200 Ok") << what;
        EXPECT_EQ(reply.header("Content-Type"), "text/javascript") << what;
        EXPECT_EQ(reply.header("Content-Encoding"), c.gzip ? "gzip" : "") << what;
        EXPECT_EQ(reply.header("Vary"), c.gzip ? "Accept-Encoding" : "") << what;
        EXPECT_EQ(reply.header("Content-Length"), std::to_string((c.gzip ? packed : script).size())) << what;
        EXPECT_TRUE(reply.body == (c.gzip ? packed : script)) << what;
        if (!c.gzip) {
            EXPECT_EQ(reply.head.size(), plain.head.size()) << what << ": the plain header block is unchanged";
        }
    }
    const std::string command = "curl -sS --max-time 10 --compressed http://127.0.0.1:" + std::to_string(site.port) + "/app.js";
    FILE *curl = popen(command.c_str(), "r");
    ASSERT_NE(curl, nullptr);
    std::string unpacked;
    char chunk[4096];
    for (size_t got; (got = fread(chunk, 1, sizeof chunk, curl)) > 0;)
        unpacked.append(chunk, got);
    pclose(curl);
    EXPECT_EQ(unpacked, script);
}

TEST_F(GzipCopy, RangesAndNotModifiedApplyToItsBytesAndOnlyAUsableCopyIsSent)
{
    const Reply part = fetch("Accept-Encoding: gzip\r\nRange: bytes=0-9\r\n");
    EXPECT_EQ(part.status_line, "HTTP/1.0 206 Partial Content");
    EXPECT_EQ(part.header("Content-Range"), "bytes 0-9/" + std::to_string(packed.size()));
    EXPECT_EQ(part.header("Content-Encoding"), "gzip");
    EXPECT_TRUE(part.body == packed.substr(0, 10));
    const Reply same = fetch("Accept-Encoding: gzip\r\nIf-Modified-Since: " + kMtimeText + "\r\n");
    EXPECT_EQ(same.status_line, "HTTP/1.0 304 Not Modified");
    EXPECT_EQ(same.header("Vary"), "Accept-Encoding");
    EXPECT_EQ(same.body, "");
    // The copy itself is a file like any other.
    const Reply itself = site.get("GET /app.js.gz HTTP/1.0\r\nAccept-Encoding: gzip\r\n\r\n");
    EXPECT_EQ(itself.header("Content-Encoding"), "");
    EXPECT_TRUE(itself.body == packed);
    // A copy older than the file, or one that is not a regular file, is not sent.
    site.put("old.js", script, Site::default_mtime + 10);
    site.put("old.js.gz", packed);
    ASSERT_EQ(mkdir((site.root + "/dir.js.gz").c_str(), 0755), 0);
    site.put("dir.js", script);
    for (const char *path : {"/old.js", "/dir.js"}) {
        const Reply reply = site.get(std::string("GET ") + path + " HTTP/1.0\r\nAccept-Encoding: gzip\r\n\r\n");
        EXPECT_EQ(reply.header("Content-Encoding"), "") << path;
        EXPECT_TRUE(reply.body == script) << path;
    }
    EXPECT_EQ(site.stop(), 0);
}
