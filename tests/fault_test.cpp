// Faults made to really happen against the real binary: allocations that fail (through the
// test build's switch), no descriptor left for a pipe, a port file on a full file system or
// gone at stop, connection processes killed mid-request, a stop signal while a request is
// served, and instances that stop at the same moment. After each fault the tests look at the
// wire, the log, the port file and the processes left behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sstream>
#include <string>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "test_support.h"

using namespace websrv_test;

namespace {

const std::string server_binary = WEBSRV_TEST_SERVER;
const std::string http_plugin = WEBSRV_HTTP_PLUGIN;
const std::string printenv_program = CGI_PRINTENV;

const std::string page = "the page";
const std::string page_request = "GET /page.html HTTP/1.0\r\n\r\n";
// The program says "ready" and then waits for the five bytes of body the client sends later.
const std::string interactive_request =
    "POST /cgi-bin/printenv?interactive HTTP/1.0\r\nContent-Length: 5\r\n\r\n";




bool has_no_children(pid_t pid) { return children_of(pid).empty(); }

// Waits until `pid` has exactly one child and returns it (-1 when none came).
pid_t only_child(pid_t pid)
{
    pid_t child = -1;
    eventually([&] {
        const std::vector<std::string> children = children_of(pid);
        child = children.size() == 1 ? static_cast<pid_t>(std::stoi(children[0])) : -1;
        return child > 0;
    });
    return child;
}

// The last started of exactly `count` children of `pid` (the highest process id), waiting
// until there are that many; -1 when there never are.
pid_t last_of_children(pid_t pid, size_t count)
{
    pid_t child = -1;
    eventually([&] {
        const std::vector<std::string> children = children_of(pid);
        child = -1;
        if (children.size() == count)
            for (const std::string &entry : children)
                child = std::max(child, static_cast<pid_t>(std::stoi(entry)));
        return child > 0;
    });
    return child;
}

// Sets an environment variable for the servers this test starts, and puts back what it was.
class ScopedEnv {
public:
    ScopedEnv(const char *name, const std::string &value) : name_(name)
    {
        const char *old = getenv(name);
        had_ = old != nullptr;
        old_ = had_ ? old : "";
        setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv()
    {
        if (had_)
            setenv(name_, old_.c_str(), 1);
        else
            unsetenv(name_);
    }
    ScopedEnv(const ScopedEnv &) = delete;
    ScopedEnv &operator=(const ScopedEnv &) = delete;

private:
    const char *name_;
    bool had_ = false;
    std::string old_;
};

// A site with page.html and the test CGI program in cgi-bin, served with the CGI pattern
// "cgi-bin" through http.so or through the recording plug-in.
struct FaultSite : Site {
    FaultSite()
    {
        put("page.html", page);
        mkdir((root + "/cgi-bin").c_str(), 0755);
        copy_file(printenv_program, root + "/cgi-bin/printenv", 0755);
    }
    bool start_http()
    {
        return start(server_binary, {"-c", "cgi-bin", "-plugin", http_plugin, "-port", std::to_string(port)});
    }
    bool start_recorded()
    {
        return start(server_binary, {"-c", "cgi-bin", "-plugin", test_plugin("tp_record"), "-record", record,
                                     "-record-port", std::to_string(port)});
    }
    // The next ordinary request is answered in full.
    void expect_page_served()
    {
        const Reply reply = get(page_request);
        EXPECT_EQ(reply.status_line, "HTTP/1.0 200 Ok") << reply.raw;
        EXPECT_EQ(reply.body, page);
    }
    // Every process the server made for its connections has ended and been reaped.
    void expect_no_process_left()
    {
        EXPECT_TRUE(eventually([&] { return has_no_children(server().pid()); }))
            << children_of(server().pid()).size() << " processes left";
    }
};

// ---- Allocation failures ---------------------------------------------------------------

// What one request leads to when one of its allocations fails.
struct Outcome {
    std::string log;          // the server's whole log (the next, ordinary request adds nothing)
    std::string status_line;  // "" when the client must receive nothing at all
    std::string body_has;     // a text the body must contain ("" for no check)
    std::string body_lacks;   // a text the body must not contain ("" for no check)
    size_t sessions_ended;    // on_session_end calls the request's processes make
    std::string may_follow = "";  // a line the log may end with, when a race decides it
};

// A request, what it gets when nothing fails, and what each of its allocations failing
// does, in the order the request makes them.
struct AllocationWalk {
    std::string request;
    Outcome normal;
    std::vector<Outcome> faults;
};

const std::string no_buffer_log = "Error: Memory allocation error\nWeb Server receive packet failed\n";
const std::string no_response_log = "WebSrv Memory Allocation Failure\n";
const std::string failed = "Web Server receive packet failed\n";

// Runs the request once for every allocation it makes, with that allocation failing in the
// request's connection only, then once more with a count that no allocation reaches. Each
// run: the outcome above, the next request served, no process left, a clean stop (and, in
// a sanitizer build, no report from any of the server's processes).
void walk_allocations(const AllocationWalk &walk)
{
    for (size_t n = 1; n <= walk.faults.size() + 1; ++n) {
        SCOPED_TRACE("allocation " + std::to_string(n));
        const bool faulty = n <= walk.faults.size();
        const Outcome &want = faulty ? walk.faults[n - 1] : walk.normal;

        ScopedEnv fail("WEBSRV_TEST_FAIL_ALLOC", std::to_string(n));
        ScopedEnv only_first("WEBSRV_TEST_FAIL_ALLOC_CONNECTIONS", "1");
        FaultSite site;
        ASSERT_TRUE(site.start_recorded()) << site.log();
        const Reply reply = site.get(walk.request);
        site.expect_page_served();
        site.expect_no_process_left();
        ASSERT_EQ(site.stop(), 0);

        const std::string injected = "websrv-test: allocation " + std::to_string(n) + " (";
        if (faulty) {
            EXPECT_EQ(count_of(site.server().errors(), injected), 1u)
                << "the fault did not happen once:\n" << site.server().errors();
            EXPECT_NE(site.server().errors().find(" fails in connection 1, "), std::string::npos);
        } else {
            EXPECT_EQ(site.server().errors().find("websrv-test: allocation"), std::string::npos)
                << "the request makes more allocations than the walk knows of:\n"
                << site.server().errors();
        }
        if (want.may_follow.empty() || site.log() != want.log + want.may_follow) {
            EXPECT_EQ(site.log(), want.log);
        }
        if (want.status_line.empty()) {
            EXPECT_EQ(reply.raw, "") << "the client must receive nothing";
        } else {
            EXPECT_EQ(reply.status_line, want.status_line) << reply.raw;
            if (!want.body_has.empty()) {
                EXPECT_NE(reply.body.find(want.body_has), std::string::npos) << reply.raw;
            }
            if (!want.body_lacks.empty()) {
                EXPECT_EQ(reply.body.find(want.body_lacks), std::string::npos) << reply.raw;
            }
        }
        // The ordinary request ends one more session; every session closed its socket first.
        const std::vector<std::string> records = site.recorded();
        size_t ended = 0;
        for (const std::string &line : records)
            if (line.rfind("end ", 0) == 0) {
                ++ended;
                EXPECT_EQ(line.rfind("end closed=1 ", 0), 0u) << line;
            }
        EXPECT_EQ(ended, want.sessions_ended + 1);
    }
}

TEST(AllocationFailure, StaticFileAtEveryAllocation)
{
    walk_allocations({page_request,
                      {"", "HTTP/1.0 200 Ok", page, "", 1},
                      {
                          {no_buffer_log, "", "", "", 0},
                          // No header block could be composed: the file must not follow alone.
                          {no_response_log, "", "", "", 1},
                      }});
}

TEST(AllocationFailure, NotModifiedAtEveryAllocation)
{
    walk_allocations({"GET /page.html HTTP/1.0\r\nIf-Modified-Since: Sun, 06 Nov 1994 08:49:37 GMT\r\n\r\n",
                      {"", "HTTP/1.0 304 Not Modified", "", "", 1},
                      {
                          {no_buffer_log, "", "", "", 0},
                          {no_response_log, "", "", "", 1},
                      }});
}

TEST(AllocationFailure, NotFoundAtEveryAllocation)
{
    walk_allocations({"GET /missing.html HTTP/1.0\r\n\r\n",
                      {failed, "HTTP/1.0 404 Not Found", "", "", 1},
                      {
                          {no_buffer_log, "", "", "", 0},
                          {no_response_log + failed, "", "", "", 1},
                      }});
}

TEST(AllocationFailure, MalformedRequestLineAtEveryAllocation)
{
    const std::string reason = "Error: No Space seperation for Request URI\n";
    walk_allocations({"GET\r\n\r\n",
                      {reason + failed, "HTTP/1.0 400 Bad Request", "", "", 1},
                      {
                          {no_buffer_log, "", "", "", 0},
                          {reason + no_response_log + failed, "", "", "", 1},
                      }});
}

TEST(AllocationFailure, RefusedCgiMethodAtEveryAllocation)
{
    walk_allocations({"DELETE /cgi-bin/printenv HTTP/1.0\r\n\r\n",
                      {"", "HTTP/1.0 501 Not Implemented", "", "", 1},
                      {
                          {no_buffer_log, "", "", "", 0},
                          {no_response_log, "", "", "", 1},
                      }});
}

// Without its scratch buffers the program still runs: without an environment, or with an
// empty argument list. What it prints shows which one it got.
TEST(AllocationFailure, CgiGetAtEveryAllocation)
{
    walk_allocations({"GET /cgi-bin/printenv?one+two HTTP/1.0\r\n\r\n",
                      {"", "HTTP/1.0 200 OK", "argv[2]=[two]\nenv=[SERVER_SOFTWARE=TAVRIX/1.0]", "", 1},
                      {
                          {no_buffer_log, "", "", "", 0},
                          {"WebSrv Error: Memory Allocation Failure; Env aborted\n", "HTTP/1.0 200 OK",
                           "argv[2]=[two]\n", "env=[", 1},
                          {"WebSrv Error: Memory Allocation Failure; Arg aborted\n", "HTTP/1.0 200 OK",
                           "env=[REQUEST_METHOD=GET]", "argv[1]", 1},
                      }});
}

TEST(AllocationFailure, CgiPostAtEveryAllocation)
{
    walk_allocations({"POST /cgi-bin/printenv HTTP/1.0\r\nContent-Length: 7\r\n\r\na=1&b=2",
                      {"", "HTTP/1.0 200 OK", "input_length=7\n", "", 2},
                      {
                          {no_buffer_log, "", "", "", 0},
                          // No REQUEST_METHOD: the program does not read its input. When it
                          // has ended before the body is copied, the copy finds no reader.
                          {"WebSrv Error: Memory Allocation Failure; Env aborted\n", "HTTP/1.0 200 OK",
                           "argv[0]=[cgi-bin/printenv]\n", "input_length", 2,
                           "WebSrv Error: Write to PIPE failed errno:32\n"},
                          {"WebSrv Error: Memory Allocation Failure; Arg aborted\n", "HTTP/1.0 200 OK",
                           "input_length=7\n", "argv[0]=[cgi-bin/printenv]", 2},
                      }});
}

// ---- Descriptor exhaustion -------------------------------------------------------------

// The open descriptors of a process.
std::vector<int> open_descriptors(pid_t pid)
{
    std::vector<int> fds;
    DIR *dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (dir == nullptr)
        return fds;
    while (const dirent *entry = readdir(dir))
        if (entry->d_name[0] != '.')
            fds.push_back(atoi(entry->d_name));
    closedir(dir);
    return fds;
}

// Lowers the descriptor limit of a running process so that exactly `free` descriptor
// numbers below it are unused. Its children inherit the limit. Returns the old limit.
rlimit leave_free_descriptors(pid_t pid, int free)
{
    const std::vector<int> open = open_descriptors(pid);
    rlim_t limit = 0;
    for (int unused = 0; unused < free; ++limit)
        if (std::find(open.begin(), open.end(), static_cast<int>(limit)) == open.end())
            ++unused;
    rlimit old{};
    rlimit lowered{};
    prlimit(pid, RLIMIT_NOFILE, nullptr, &old);
    lowered.rlim_cur = limit;
    lowered.rlim_max = old.rlim_max;
    if (prlimit(pid, RLIMIT_NOFILE, &lowered, nullptr) != 0)
        ADD_FAILURE() << "prlimit: " << strerror(errno);
    return old;
}

// The server's child that waits for the next connection (it is forked before the connection
// comes, so a limit set on the server afterwards is not its own), or -1.
pid_t waiting_child(pid_t server)
{
    pid_t found = -1;
    eventually([&] {
        DIR *proc = opendir("/proc");
        for (const dirent *entry; proc != nullptr && (entry = readdir(proc)) != nullptr;) {
            const std::string base = std::string("/proc/") + entry->d_name;
            if (read_file(base + "/comm") == "websrv-waiting\n" && status_field(atoi(entry->d_name), "PPid") ==
                                                                        std::to_string(server))
                found = atoi(entry->d_name);
        }
        if (proc != nullptr)
            closedir(proc);
        return found > 0;
    });
    return found;
}

TEST(DescriptorExhaustion, CgiRequestsGet500WhenNoPipeCanBeMadeAndRecoverAfterwards)
{
    FaultSite site;
    ASSERT_TRUE(site.start_http()) << site.log();
    const std::string get = "GET /cgi-bin/printenv HTTP/1.0\r\n\r\n";
    const std::string post = "POST /cgi-bin/printenv HTTP/1.0\r\nContent-Length: 3\r\n\r\nabc";
    // The limit is set on the child that will take the connection. Once it has its
    // connection it closes its listening socket: one descriptor for the connection leaves
    // one, which no pipe fits in; two leave two, enough for a GET's pipes one after the other,
    // one short of a POST's two at once.
    const struct {
        int free;
        std::string request;
        bool served;
    } cases[] = {{1, get, false}, {1, post, false}, {2, post, false}, {2, get, true}};
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.free) + " free: " + c.request);
        leave_free_descriptors(waiting_child(site.server().pid()), c.free);
        const Reply reply = site.get(c.request);
        if (c.served)
            EXPECT_EQ(reply.status_line, "HTTP/1.0 200 OK") << reply.raw;
        else
            EXPECT_EQ(reply.raw, expected_error_page("HTTP/1.0", 500, "Internal Server Error",
                                                     reply.header("Date")));
    }

    const Reply served = site.get(post);
    EXPECT_EQ(served.status_line, "HTTP/1.0 200 OK") << served.raw;
    EXPECT_NE(served.body.find("input_length=3\n"), std::string::npos) << served.raw;
    site.expect_page_served();
    site.expect_no_process_left();
    EXPECT_EQ(site.stop(), 0);
    EXPECT_EQ(site.log(), "");
    EXPECT_EQ(read_file(site.port_file), "");
}

TEST(DescriptorExhaustion, NoneFreeInTheServerBrakesTheLoopAndTheQueuedClientIsServedLater)
{
    // A sanitizer build's leak check reads /proc through a descriptor of its own when a
    // process exits; with none free it cannot, so this server runs without it.
    const char *sanitizer_options = getenv("ASAN_OPTIONS");
    ScopedEnv no_leak_check("ASAN_OPTIONS",
                            std::string(sanitizer_options ? sanitizer_options : "") + ":detect_leaks=0");
    FaultSite site;
    ASSERT_TRUE(site.start_http()) << site.log();
    const pid_t server = site.server().pid();
    const rlimit old = leave_free_descriptors(server, 0);
    leave_free_descriptors(waiting_child(server), 0);
    // The connection waits in the queue: no child of the server can accept it.
    Client client(site.port);
    ASSERT_TRUE(client.send_all("GET /page.html HTTP/1.0\r\n\r\n"));
    const long ticks_before = cpu_ticks(server);
    sleep_ms(1000);
    const long ticks = cpu_ticks(server) - ticks_before;
    ASSERT_EQ(prlimit(server, RLIMIT_NOFILE, &old, nullptr), 0) << strerror(errno);
    const Reply reply = parse_reply(client.read_all());
    EXPECT_EQ(reply.status_line, "HTTP/1.0 200 Ok") << reply.raw;
    site.expect_page_served();
    site.expect_no_process_left();
    EXPECT_EQ(site.stop(), 0);
    // The waiting child's accept fails, and the server, without a descriptor for the next
    // child's control socket, tries about ten times a second, not in a busy loop.

    const std::string log = site.log();
    size_t failures = 0;
    for (size_t at = log.find("Error: Unable to accept socket; Error:"); at != std::string::npos;
         at = log.find("Error: Unable to accept socket; Error:", at + 1))
        ++failures;
    EXPECT_GE(failures, 1u) << log;
    EXPECT_LE(failures, 20u);
    EXPECT_LT(ticks, 30) << "server CPU ticks while it could not accept";
}

// ---- The port file ---------------------------------------------------------------------

// A small tmpfs of our own, mounted on a directory for as long as this lives.
class SmallFileSystem {
public:
    explicit SmallFileSystem(const std::string &where) : path_(where)
    {
        mkdir(path_.c_str(), 0755);
        if (mount("tmpfs", path_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=64k,mode=0755") == 0)
            mounted_ = true;
        else
            error_ = strerror(errno);
    }
    ~SmallFileSystem()
    {
        if (mounted_ && umount2(path_.c_str(), MNT_DETACH) != 0)
            fprintf(stderr, "cannot unmount %s: %s\n", path_.c_str(), strerror(errno));
    }
    SmallFileSystem(const SmallFileSystem &) = delete;
    SmallFileSystem &operator=(const SmallFileSystem &) = delete;

    bool mounted() const { return mounted_; }
    const std::string &error() const { return error_; }
    // Fills every block that is left with one file. Returns whether the file system is full.
    bool fill()
    {
        const int fd = open((path_ + "/filler").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (fd < 0)
            return false;
        const std::string block(4096, 'x');
        ssize_t put;
        while ((put = write(fd, block.data(), block.size())) > 0) {
        }
        const bool full = put < 0 && errno == ENOSPC;
        close(fd);
        return full;
    }

private:
    std::string path_;
    bool mounted_ = false;
    std::string error_;
};

// A line needs a new block of the file system: the file is empty, or its last block is full.
TEST(PortFile, FullFileSystemAtStartAbortsAndLeavesTheFileAsItWas)
{
    std::string full_block;
    for (int port = 10000; full_block.size() + 6 <= 4096 - 4; ++port)
        full_block += std::to_string(port) + "\n";
    full_block += "123\n";
    ASSERT_EQ(full_block.size(), 4096u);
    for (const std::string &before : {std::string(), full_block}) {
        SCOPED_TRACE(std::to_string(before.size()) + " bytes in the file");
        FaultSite site;
        SmallFileSystem fs(site.dir.file("fs"));
        if (!fs.mounted())
            GTEST_SKIP() << "cannot mount a tmpfs here: " << fs.error();
        site.port_file = site.dir.file("fs/webport");
        write_file(site.port_file, before);
        ASSERT_TRUE(fs.fill());

        std::string output;
        const std::vector<std::string> args{"-c", "cgi-bin", "-plugin", http_plugin, "-port",
                                            std::to_string(site.port)};
        EXPECT_EQ(run_server(server_binary, args, site.port_file, site.root, &output), 255);
        EXPECT_EQ(output, "WebSrv Error: Unable to write port " + std::to_string(site.port) + " to " +
                              site.port_file + " Error: No space left on device\n"
                              "Error: Unable to start the Web Server Application. Aborting\n");
        EXPECT_EQ(read_file(site.port_file), before);
        EXPECT_FALSE(is_listening(site.port));
    }
}

TEST(PortFile, DeviceThatIsAlwaysFullAtStartAbortsTheStart)
{
    FaultSite site;
    std::string output;
    const std::vector<std::string> args{"-c", "cgi-bin", "-plugin", http_plugin, "-port",
                                        std::to_string(site.port)};
    EXPECT_EQ(run_server(server_binary, args, "/dev/full", site.root, &output), 255);
    EXPECT_EQ(output, "WebSrv Error: Unable to write port " + std::to_string(site.port) +
                          " to /dev/full Error: No space left on device\n"
                          "Error: Unable to start the Web Server Application. Aborting\n");
    EXPECT_FALSE(is_listening(site.port));
}

// The stop rewrites the file in place and only ever shortens it, so a file system that
// filled up while the server ran does not keep it from removing its line.
TEST(PortFile, FileSystemThatFilledUpWhileRunningDoesNotHinderTheStop)
{
    FaultSite site;
    SmallFileSystem fs(site.dir.file("fs"));
    if (!fs.mounted())
        GTEST_SKIP() << "cannot mount a tmpfs here: " << fs.error();
    site.port_file = site.dir.file("fs/webport");
    write_file(site.port_file, "80\n443\n");
    ASSERT_TRUE(site.start_http()) << site.log();
    write_file(site.port_file, read_file(site.port_file) + "7000\n");  // another instance
    ASSERT_TRUE(fs.fill());
    site.expect_page_served();
    EXPECT_EQ(site.stop(), 0);
    EXPECT_EQ(site.log(), "");
    EXPECT_EQ(read_file(site.port_file), "80\n443\n7000\n");
}

// The stop cannot open the file again: it says why, touches nothing and still exits with 0.
TEST(PortFile, FileReplacedByADirectoryWhileRunningIsReportedAtStop)
{
    FaultSite site;
    ASSERT_TRUE(site.start_http()) << site.log();
    ASSERT_EQ(unlink(site.port_file.c_str()), 0);
    ASSERT_EQ(mkdir(site.port_file.c_str(), 0755), 0);
    write_file(site.port_file + "/inside", "kept");
    site.expect_page_served();
    EXPECT_EQ(site.stop(), 0);
    EXPECT_EQ(site.log(), "WebSrv Error: Unable to rewrite " + site.port_file + " Error: Is a directory\n");
    EXPECT_EQ(read_file(site.port_file + "/inside"), "kept");
}

TEST(PortFile, FileRemovedWhileRunningIsReportedAtStopAndNotMadeAgain)
{
    FaultSite site;
    ASSERT_TRUE(site.start_http()) << site.log();
    ASSERT_EQ(unlink(site.port_file.c_str()), 0);
    EXPECT_EQ(site.stop(), 0);
    EXPECT_EQ(site.log(),
              "WebSrv Error: Unable to rewrite " + site.port_file + " Error: No such file or directory\n");
    EXPECT_FALSE(file_exists(site.port_file));
}

// ---- Connection processes killed mid-request -------------------------------------------

TEST(KilledConnection, ChildKilledWhileReadingTheHeaderLeavesTheServerServing)
{
    FaultSite site;
    ASSERT_TRUE(site.start_recorded()) << site.log();
    Client client(site.port);
    ASSERT_TRUE(client.send_all("GET /page.html HTTP/1.0\r\n"));
    ASSERT_TRUE(client.wait_consumed());
    const pid_t child = only_child(site.server().pid());
    ASSERT_GT(child, 0);
    ASSERT_EQ(kill(child, SIGKILL), 0);
    EXPECT_EQ(client.read_all(10000), "");
    EXPECT_TRUE(client.closed());

    site.expect_page_served();
    site.expect_no_process_left();
    EXPECT_EQ(site.stop(), 0);
    EXPECT_EQ(site.log(), "");
    EXPECT_EQ(read_file(site.port_file), "");
    // Only the ordinary request ended its session: the killed one never got that far.
    EXPECT_EQ(count_of(read_file(site.record), "\nend closed=1 "), 1u) << read_file(site.record);
}

// The connection's process runs the CGI program as its child (after the input copy) and
// copies its output; killing the program ends the request, and the copies finish and are
// reaped.
TEST(KilledConnection, CgiProgramKilledMidRequestLeavesTheServerServing)
{
    FaultSite site;
    ASSERT_TRUE(site.start_recorded()) << site.log();
    Client client(site.port);
    ASSERT_TRUE(client.send_all(interactive_request));
    const std::string before = client.read_until("ready\n", 10000);
    ASSERT_NE(before.find("ready\n"), std::string::npos) << before;
    const pid_t program = last_of_children(only_child(site.server().pid()), 2);
    ASSERT_GT(program, 0);
    ASSERT_EQ(kill(program, SIGKILL), 0);
    const std::string reply = before + client.read_all(10000);
    EXPECT_TRUE(client.closed());
    EXPECT_EQ(reply.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << reply;
    EXPECT_EQ(reply.find("input_length"), std::string::npos) << "the program never finished";

    site.expect_page_served();
    site.expect_no_process_left();
    EXPECT_EQ(site.stop(), 0);
    EXPECT_EQ(site.log(), "");
    // Both copy processes ended their share of the session (the input copy at once, since
    // its program was gone); so did the ordinary request.
    EXPECT_EQ(count_of(read_file(site.record), "\nend closed=1 "), 3u) << read_file(site.record);
}

// Killing the connection's process, which copies the program's output: the program loses its
// reader and ends, and the connection is closed without the rest of the answer.

TEST(KilledConnection, CgiOutputCopyKilledMidRequestLeavesTheServerServing)
{
    FaultSite site;
    ASSERT_TRUE(site.start_recorded()) << site.log();
    Client client(site.port);
    ASSERT_TRUE(client.send_all(interactive_request));
    const std::string before = client.read_until("ready\n", 10000);
    ASSERT_NE(before.find("ready\n"), std::string::npos) << before;
    const pid_t copy = only_child(site.server().pid());
    ASSERT_GT(copy, 0);
    ASSERT_GT(last_of_children(copy, 2), 0);  // its program runs (after the input copy)

    ASSERT_EQ(kill(copy, SIGKILL), 0);

    ASSERT_TRUE(eventually([&] { return status_field(copy, "State").rfind("Z", 0) == 0 ||
                                        status_field(copy, "State").empty(); }));
    ASSERT_TRUE(client.send_all("12345"));  // the program reads it and writes into the void
    const std::string rest = client.read_all(10000);
    EXPECT_TRUE(client.closed());
    EXPECT_EQ(rest.find("input_length"), std::string::npos) << rest;

    site.expect_page_served();
    site.expect_no_process_left();
    EXPECT_EQ(site.stop(), 0);
    EXPECT_EQ(site.log(), "");
}

// ---- A stop signal while a request is served -------------------------------------------

// SIGTERM reaches the server while its child waits for the rest of a header: the signal is
// held until the request is answered in full; then the server stops by itself and removes
// its line from the port file.
TEST(StopDuringRequest, SigtermWaitsForTheStaticRequestThenStops)
{
    FaultSite site;
    write_file(site.port_file, "80\n");
    ASSERT_TRUE(site.start_http()) << site.log();
    write_file(site.port_file, read_file(site.port_file) + "7000\n");
    Client client(site.port);
    ASSERT_TRUE(client.send_all("GET /page.html HTTP/1.0\r\n"));
    ASSERT_TRUE(client.wait_consumed());
    const pid_t server = site.server().pid();
    ASSERT_GT(only_child(server), 0);

    // The stop takes no further connection at once, and lets the session in progress end.
    ASSERT_EQ(kill(server, SIGTERM), 0);
    EXPECT_TRUE(eventually([&] { return !can_connect(site.port); }));
    EXPECT_TRUE(site.server().alive());
    EXPECT_EQ(read_file(site.port_file), port_lines({80, site.port, 7000})) << "not stopped yet";


    ASSERT_TRUE(client.send_all("\r\n"));
    const Reply reply = parse_reply(client.read_all(10000));
    EXPECT_EQ(reply.status_line, "HTTP/1.0 200 Ok") << reply.raw;
    EXPECT_EQ(reply.body, page);
    EXPECT_EQ(site.server().wait_exit(10000), 0);
    EXPECT_EQ(read_file(site.port_file), "80\n7000\n");
    EXPECT_EQ(site.log(), "");
}

TEST(StopDuringRequest, SigtermWaitsForTheCgiProgramThenStops)
{
    FaultSite site;
    ASSERT_TRUE(site.start_http()) << site.log();
    Client client(site.port);
    ASSERT_TRUE(client.send_all(interactive_request));
    const std::string before = client.read_until("ready\n", 10000);
    ASSERT_NE(before.find("ready\n"), std::string::npos) << before;
    const pid_t server = site.server().pid();

    // The stop takes no further connection at once, and lets the session in progress end.
    ASSERT_EQ(kill(server, SIGTERM), 0);
    EXPECT_TRUE(eventually([&] { return !can_connect(site.port); }));
    EXPECT_TRUE(site.server().alive());

    ASSERT_TRUE(client.send_all("12345"));

    const std::string reply = before + client.read_all(10000);
    EXPECT_EQ(reply.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << reply;
    EXPECT_NE(reply.find("input_length=5\n"), std::string::npos) << reply;
    EXPECT_EQ(site.server().wait_exit(10000), 0);
    EXPECT_EQ(read_file(site.port_file), "");
    EXPECT_EQ(site.log(), "");
}

// ---- Instances that stop at the same moment --------------------------------------------

// The processes that wait for a lock of /proc/locks right now.
std::vector<pid_t> lock_waiters()
{
    std::vector<pid_t> pids;
    std::istringstream locks(read_file("/proc/locks"));
    std::string line;
    while (std::getline(locks, line)) {
        std::istringstream fields(line);
        std::string id, arrow, kind, advisory, mode, pid;
        if (fields >> id >> arrow >> kind >> advisory >> mode >> pid && arrow == "->")
            pids.push_back(static_cast<pid_t>(atoi(pid.c_str())));
    }
    return pids;
}

bool all_waiting(const std::vector<pid_t> &pids)
{
    const std::vector<pid_t> waiting = lock_waiters();
    for (pid_t pid : pids)
        if (std::find(waiting.begin(), waiting.end(), pid) == waiting.end())
            return false;
    return true;
}

// Each round, two instances stop and a third starts while the test holds the port file's
// lock, so all three wait for it together and run one right after the other the moment it
// is let go. The instance that keeps running, and the lines of other programs, must be
// there afterwards, each once; the stopped instances' lines must be gone.
TEST(SimultaneousStop, InstancesStoppingTogetherNeverLoseOrLeaveALine)
{
    TempDir dir;
    const std::string port_file = dir.file("webport");
    const std::string others = "80\n443\n";
    write_file(port_file, others);
    auto start = [&](int port) {
        return std::make_unique<ServerProcess>(
            server_binary, std::vector<std::string>{"-plugin", http_plugin, "-port", std::to_string(port)},
            port_file, dir.path());
    };
    int kept_port = free_port();
    auto kept = start(kept_port);
    ASSERT_TRUE(kept->wait_ready({kept_port})) << kept->output();

    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const int a_port = free_port(), b_port = free_port(), c_port = free_port();
        auto a = start(a_port);
        ASSERT_TRUE(a->wait_ready({a_port})) << a->output();
        auto b = start(b_port);
        ASSERT_TRUE(b->wait_ready({b_port})) << b->output();
        ASSERT_EQ(read_file(port_file), others + port_lines({kept_port, a_port, b_port}));

        const int lock = open(port_file.c_str(), O_RDWR | O_CLOEXEC);
        ASSERT_GE(lock, 0);
        ASSERT_EQ(flock(lock, LOCK_EX), 0);
        kill(a->pid(), SIGTERM);
        kill(b->pid(), SIGHUP);
        auto c = start(c_port);
        const bool queued = eventually([&] { return all_waiting({a->pid(), b->pid(), c->pid()}); });
        flock(lock, LOCK_UN);
        close(lock);
        ASSERT_TRUE(queued) << "the three instances did not all wait for the lock";

        EXPECT_EQ(a->wait_exit(), 0);
        EXPECT_EQ(b->wait_exit(), 0);
        ASSERT_TRUE(c->wait_ready({c_port})) << c->output();
        ASSERT_EQ(read_file(port_file), others + port_lines({kept_port, c_port}));
        EXPECT_EQ(c->stop(SIGTERM), 0);
        ASSERT_EQ(read_file(port_file), others + port_lines({kept_port}));
    }
    EXPECT_TRUE(can_connect(kept_port));
    EXPECT_EQ(kept->stop(SIGTERM), 0);
    EXPECT_EQ(read_file(port_file), others);
}

}  // namespace
