// The access log of "-a" against the real binary: one line per request in the combined log
// format, read back by a parser of that format, for each kind of answer and for requests cut
// off; lines of servers writing at once stay whole; a log that cannot be opened stops start-up.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <iterator>
#include <memory>
#include <cstring>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "test_support.h"

using namespace websrv_test;

namespace {

const std::string server_binary = WEBSRV_TEST_SERVER;
const std::string http_plugin = WEBSRV_HTTP_PLUGIN;

// One line of the combined log format, its text fields unescaped.
struct LogLine {
    std::string address, user, time, request;
    int status = 0;
    long long bytes = 0;
    std::string referer, agent;
};

// Undoes the escapes a field may hold: \xHH, \" and \\.
std::string unescape(const std::string &text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && text[i + 1] == 'x') {
            out += static_cast<char>(std::stoi(text.substr(i + 2, 2), nullptr, 16));
            i += 3;
        } else {
            out += text[i] == '\\' ? text[++i] : text[i];
        }
    }
    return out;
}

// Parses one line of the combined format as log tools read it: blank-separated fields, the
// time in brackets, the texts in quotes with \" and \\ inside. False when it is not such a
// line, or holds a byte outside printable ASCII.
bool parse_line(const std::string &line, LogLine *out)
{
    for (const char c : line) {
        if (c < 0x20 || c > 0x7e)
            return false;
    }
    size_t at = 0;
    const auto until = [&](const std::string &end, std::string *field) {
        const size_t stop = line.find(end, at);
        if (stop == std::string::npos)
            return false;
        *field = line.substr(at, stop - at);
        at = stop + end.size();
        return true;
    };
    const auto quoted = [&](std::string *field) {
        if (line.compare(at, 1, "\"") != 0)
            return false;
        size_t stop = at + 1;
        while (stop < line.size() && line[stop] != '"')
            stop += line[stop] == '\\' ? 2 : 1;
        if (stop >= line.size())
            return false;
        *field = unescape(line.substr(at + 1, stop - at - 1));
        at = stop + 1;
        return at == line.size() || line[at++] == ' ';
    };
    std::string ident, time, status, bytes;
    if (!until(" ", &out->address) || !until(" ", &ident) || ident != "-" || !until(" [", &out->user) ||
        !until("] ", &out->time) || !quoted(&out->request) || !until(" ", &status) || !until(" ", &bytes) ||
        !quoted(&out->referer) || !quoted(&out->agent) || at != line.size())
        return false;
    out->user = unescape(out->user);
    // "06/Nov/1994:08:49:37 +0100"
    struct tm parts {};
    const char *rest = strptime(out->time.c_str(), "%d/%b/%Y:%H:%M:%S ", &parts);
    if (rest == nullptr || strlen(rest) != 5 || (rest[0] != '+' && rest[0] != '-') ||
        status.size() != 3 || bytes.find_first_not_of("0123456789") != std::string::npos || bytes.empty())
        return false;
    out->status = std::stoi(status);
    out->bytes = std::stoll(bytes);
    return true;
}

// Waits (at most 5 s) until the log has `count` lines, and returns them parsed.
std::vector<LogLine> wait_lines(const std::string &path, size_t count)
{
    std::vector<std::string> lines;
    for (int waited = 0; waited < 5000 && (lines = read_lines(path)).size() < count; waited += 20)
        sleep_ms(20);
    std::vector<LogLine> parsed(lines.size());
    for (size_t i = 0; i < lines.size(); ++i)
        EXPECT_TRUE(parse_line(lines[i], &parsed[i])) << "not a combined-format line: " << lines[i];
    return parsed;
}

// Moves this test process (and the servers it starts) into a user and mount namespace of its
// own and mounts a file system of `size` (tmpfs) at `dir`, which only they see. False where
// the system allows neither namespace.
bool mount_small_file_system(const std::string &dir, const std::string &size)
{
    const std::string uid = std::to_string(getuid());
    const std::string gid = std::to_string(getgid());
    if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0)
        return false;
    write_file("/proc/self/setgroups", "deny");
    write_file("/proc/self/uid_map", "0 " + uid + " 1\n");
    write_file("/proc/self/gid_map", "0 " + gid + " 1\n");
    return mount("tmpfs", dir.c_str(), "tmpfs", 0, ("size=" + size).c_str()) == 0;
}

class AccessLog : public ::testing::Test {
protected:
    Site site;
    std::string log_path = site.dir.file("access.log");

    void start(const std::vector<std::string> &plugin_args)
    {
        std::vector<std::string> args = {"-a", log_path, "-c", "cgi-bin"};
        args.insert(args.end(), plugin_args.begin(), plugin_args.end());
        ASSERT_TRUE(site.start(server_binary, args)) << site.log();
    }
    void start_http() { start({"-plugin", http_plugin, "-port", std::to_string(site.port)}); }
};

}  // namespace

TEST_F(AccessLog, OneLinePerAnswerWithTheStatusAndBodyBytesThatWentOut)
{
    site.put("page.html", "<p>the page</p>\n");
    ASSERT_EQ(mkdir((site.root + "/dir").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((site.root + "/cgi-bin").c_str(), 0755), 0);
    site.put("cgi-bin/made", "#!/bin/sh\nprintf 'Status: 201 Created\\r\\nContent-Type: text/plain\\r\\n\\r\\nmade it\\n'\n");
    site.put("cgi-bin/nph-raw", "#!/bin/sh\nprintf 'HTTP/1.0 202 Accepted\\r\\n\\r\\nraw\\n'\n");
    ASSERT_EQ(chmod((site.root + "/cgi-bin/made").c_str(), 0755) | chmod((site.root + "/cgi-bin/nph-raw").c_str(), 0755), 0);
    setenv("TZ", "WST-3", 1);  // the server's local time: three hours east of UTC
    start_http();
    const std::string mtime = "Sun, 06 Nov 1994 08:49:37 GMT";
    const std::string requests[] = {
        "GET /page.html HTTP/1.0\r\nReferer: http://x/\"q\"\r\nUser-Agent: A\\B \xc3\xa9\r\n\r\n",
        "GET /page.html HTTP/1.0\r\nIf-Modified-Since: " + mtime + "\r\n\r\n",
        "GET /page.html HTTP/1.1\r\nHost: a\r\nRange: bytes=3-6\r\n\r\n",
        "HEAD /page.html HTTP/1.0\r\n\r\n",
        "GET /missing?q=\"1\" HTTP/1.0\r\n\r\n",
        "GET /a\x01z HTTP/1.0\r\n\r\n",                        // refused: 400
        "GET /a\x7fz HTTP/1.0\r\n\r\n",                        // DEL: refused, escaped in the log
        "GET /dir HTTP/1.0\r\n\r\n",                           // http.so's own 301
        "GET /cgi-bin/made HTTP/1.0\r\n\r\n",                  // the program's status
        "POST /cgi-bin/made HTTP/1.0\r\nContent-Length: 3\r\n\r\nabc",
        "GET /cgi-bin/nph-raw HTTP/1.0\r\n\r\n",               // the program's status line
        "GET /page.html HTTP/1.0\r\nX: " + std::string(5000, 'x') + "\r\n\r\n",  // 431
    };
    std::vector<Reply> replies;
    for (const std::string &request : requests)
        replies.push_back(site.get(request));
    const std::vector<LogLine> lines = wait_lines(log_path, std::size(requests));
    ASSERT_EQ(lines.size(), std::size(requests));
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string &request = requests[i];
        const std::string sent_line = request.substr(0, request.find("\r\n"));
        EXPECT_EQ(lines[i].request, sent_line) << i;
        EXPECT_EQ(lines[i].address, "127.0.0.1") << i;
        EXPECT_EQ(lines[i].user, "-") << i;
        EXPECT_EQ(lines[i].status, std::stoi(replies[i].status_line.substr(replies[i].status_line.find(' ') + 1)))
            << sent_line;
        EXPECT_EQ(lines[i].bytes, static_cast<long long>(replies[i].body.size())) << sent_line;
        EXPECT_EQ(lines[i].time.substr(lines[i].time.size() - 5), "+0300") << lines[i].time;
    }
    EXPECT_EQ(lines[0].referer, "http://x/\"q\"");
    EXPECT_EQ(lines[0].agent, "A\\B \xc3\xa9");
    EXPECT_EQ(lines[1].referer, "-");
    EXPECT_NE(read_file(log_path).find("\"GET /a\\x7fz HTTP/1.0\""), std::string::npos) << "DEL is escaped";
    const std::vector<int> statuses = {200, 304, 206, 200, 404, 400, 400, 301, 201, 201, 202, 431};
    for (size_t i = 0; i < statuses.size(); ++i)
        EXPECT_EQ(lines[i].status, statuses[i]) << i;
    // Local time as the log writes it: within a minute of now, three hours ahead of UTC.
    struct tm parts {};
    ASSERT_NE(strptime(lines[0].time.c_str(), "%d/%b/%Y:%H:%M:%S", &parts), nullptr);
    EXPECT_LT(std::labs(static_cast<long>(timegm(&parts) - 3 * 3600 - time(nullptr))), 60L) << lines[0].time;
    EXPECT_EQ(site.stop(), 0);
}

TEST_F(AccessLog, RequestsCutOffAndAnswersNobodyComposed)
{
    site.put("page.html", "page");
    site.put("big.bin", std::string(8 << 20, 'b'));
    start({"-plugin", test_plugin("tp_record"), "-record", site.record, "-record-port", std::to_string(site.port),
           "-no-io-hooks", "-directory-fail", "-remote-user", "ann \"o\""});
    {
        Client silent(site.port);  // connects and goes: no request, no line
    }
    {
        Client partial(site.port);
        ASSERT_TRUE(partial.send_all("GET /page.html HT"));
        ASSERT_TRUE(partial.wait_consumed());
    }  // gone before the header ended: 499
    {
        Client reader(site.port);
        ASSERT_TRUE(reader.send_all("GET /big.bin HTTP/1.0\r\n\r\n"));
        reader.read_until("\r\n\r\n");
        reader.reset();  // gone before the whole file: 499
    }
    site.get("GET / HTTP/1.0\r\n\r\n");  // the directory hook refuses: nothing is sent
    const std::vector<LogLine> lines = wait_lines(log_path, 3);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].request, "GET /page.html HT");
    EXPECT_EQ(lines[0].status, 499);
    EXPECT_EQ(lines[0].bytes, 0);
    EXPECT_EQ(lines[1].request, "GET /big.bin HTTP/1.0");
    EXPECT_EQ(lines[1].status, 499);
    EXPECT_GT(lines[1].bytes, 0);
    EXPECT_LT(lines[1].bytes, 8 << 20);
    EXPECT_EQ(lines[2].request, "GET / HTTP/1.0");
    EXPECT_EQ(lines[2].status, 444);
    EXPECT_EQ(lines[2].bytes, 0);
    for (const LogLine &line : lines)
        EXPECT_EQ(line.user, "ann \"o\"");
    EXPECT_NE(read_file(log_path).find(" ann\\x20\\\"o\\\" "), std::string::npos) << "the user field has no blank";
    EXPECT_EQ(site.stop(), 0);
}

TEST_F(AccessLog, SlowHeaderThatTimesOutIs408)
{
    start_http();
    Client client(site.port);
    ASSERT_TRUE(client.send_all("GET /page.html HTTP/1.0\r\n"));
    client.read_all(40000);
    const std::vector<LogLine> lines = wait_lines(log_path, 1);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].request, "GET /page.html HTTP/1.0");
    EXPECT_EQ(lines[0].status, 408);
    EXPECT_EQ(site.stop(), 0);
}

TEST(AccessLogFile, LinesOfServersWritingAtOnceStayWhole)
{
    // Three servers append long lines (near 2 KB, the most a field keeps) to one log at the
    // same time: a line written in pieces would be cut by another's.
    constexpr int servers = 3, requests = 40;
    TempDir dir;
    const std::string log_path = dir.file("access.log");
    std::vector<std::unique_ptr<Site>> sites;
    for (int i = 0; i < servers; ++i) {
        sites.push_back(std::make_unique<Site>());
        sites.back()->put("page.html", "page");
        ASSERT_TRUE(sites.back()->start(server_binary, {"-a", log_path, "-plugin", http_plugin, "-port",
                                                        std::to_string(sites.back()->port)}));
    }
    std::vector<std::thread> clients;
    for (int i = 0; i < servers; ++i) {
        clients.emplace_back([&, i] {
            const std::string agent = "agent-" + std::to_string(i) + "-" + std::string(2000, static_cast<char>('a' + i));
            for (int n = 0; n < requests; ++n)
                sites[i]->get("GET /page.html HTTP/1.0\r\nUser-Agent: " + agent + "\r\n\r\n");
        });
    }
    for (std::thread &client : clients)
        client.join();
    const std::vector<LogLine> lines = wait_lines(log_path, servers * requests);
    ASSERT_EQ(lines.size(), static_cast<size_t>(servers * requests));
    std::vector<int> per_server(servers);
    for (const LogLine &line : lines) {
        const int i = line.agent[6] - '0';
        ASSERT_TRUE(i >= 0 && i < servers) << line.agent.substr(0, 20);
        EXPECT_TRUE(line.agent == "agent-" + std::to_string(i) + "-" + std::string(2000, static_cast<char>('a' + i)))
            << line.agent.size() << " bytes: " << line.agent.substr(0, 40);
        ++per_server[i];
    }
    EXPECT_EQ(per_server, std::vector<int>(servers, requests));
    for (auto &site : sites)
        EXPECT_EQ(site->stop(), 0);
}

TEST(AccessLogFile, ALogThatCannotBeOpenedStopsStartUp)
{
    TempDir dir;
    ASSERT_EQ(symlink(dir.file("elsewhere").c_str(), dir.file("link").c_str()), 0);
    const struct {
        std::string path, reason;
    } cases[] = {
        {dir.file("missing/access.log"), "No such file or directory"},
        {dir.file("link"), "Too many levels of symbolic links"},
        {dir.path(), "Is a directory"},
    };
    for (const auto &c : cases) {
        std::string output;
        EXPECT_EQ(run_server(server_binary, {"-a", c.path, "-plugin", http_plugin, "-port", std::to_string(free_port())},
                             dir.file("webport"), dir.path(), &output),
                  255)
            << c.path;
        EXPECT_NE(output.find("WebSrv Error: Unable to open the access log " + c.path + "; Error: " + c.reason + "\n"),
                  std::string::npos)
            << output;
    }
    EXPECT_FALSE(file_exists(dir.file("elsewhere"))) << "the link was followed";
}

TEST(AccessLogFile, FullDiskLeavesEveryLineWholeAndNamesTheCause)
{
    Site site;
    site.put("page.html", "page");
    const std::string disk = site.dir.file("disk");
    ASSERT_EQ(mkdir(disk.c_str(), 0755), 0);
    if (!mount_small_file_system(disk, "64k"))
        GTEST_SKIP() << "no user and mount namespace here for a small file system";
    struct unmount {
        std::string dir;
        ~unmount() { umount2(dir.c_str(), MNT_DETACH); }
    } unmounted_at_the_end{disk};
    // Another file takes all but one page: the log fills it up within the first requests.
    write_file(disk + "/filler", std::string(60 * 1024, 'f'));
    struct statvfs fs {};
    ASSERT_EQ(statvfs(disk.c_str(), &fs), 0);
    ASSERT_LE(fs.f_bavail * fs.f_bsize, 8192u);
    const std::string log_path = disk + "/access.log";
    ASSERT_TRUE(site.start(server_binary, {"-a", log_path, "-plugin", http_plugin, "-port", std::to_string(site.port)}))
        << site.log();
    // Serving goes on while the disk is full; once there is room again, the log goes on with
    // whole lines.
    const auto ask = [&](const std::string &query) {
        EXPECT_EQ(site.get("GET /page.html?" + query + " HTTP/1.0\r\n\r\n").body, "page") << query;
    };
    for (int i = 0; i < 80; ++i)
        ask("full=" + std::to_string(i));
    ASSERT_EQ(unlink((disk + "/filler").c_str()), 0);
    for (int i = 0; i < 3; ++i)
        ask("room=" + std::to_string(i));
    const std::vector<std::string> lines = read_lines(log_path);
    ASSERT_GE(lines.size(), 3u);
    ASSERT_LT(lines.size(), 83u) << "the disk never filled up";
    for (const std::string &line : lines) {
        LogLine parsed;
        EXPECT_TRUE(parse_line(line, &parsed)) << "not a whole line: " << line;
    }
    for (int i = 0; i < 3; ++i)
        EXPECT_NE(lines[lines.size() - 3 + i].find("?room=" + std::to_string(i) + " "), std::string::npos);
    EXPECT_EQ(site.stop(), 0);
    // Every failure names the full disk, the first (a line cut short) too.
    const std::string log = site.log();
    const std::string failure = "WebSrv Error: Unable to write the access log; Error: ";
    ASSERT_NE(log.find(failure), std::string::npos) << log;
    for (size_t at = log.find(failure); at != std::string::npos; at = log.find(failure, at + 1))
        EXPECT_EQ(log.substr(at + failure.size(), log.find('\n', at) - at - failure.size()), "No space left on device");
}
