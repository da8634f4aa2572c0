// What an operator does with the server, at the wire with the real binary: -check on good and
// bad command lines, -u (as root: every process, CGI program and hook runs as the user, and the
// stop still takes the port line out), and the access log moved away and reopened on SIGUSR1
// while clients keep coming.
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <dirent.h>
#include <grp.h>
#include <pwd.h>
#include <set>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "test_support.h"

using namespace websrv_test;

namespace {

const std::string server_binary = WEBSRV_TEST_SERVER;
const std::string http_plugin = WEBSRV_HTTP_PLUGIN;
#ifdef WEBSRV_HTTPS_PLUGIN
const std::string https_plugin = WEBSRV_HTTPS_PLUGIN;
#else
const std::string https_plugin;  // a build without TLS: its rows are skipped
#endif

struct CheckCase {
    const char *name;
    std::vector<std::string> args;  // behind -check; DIR stands for the test's directory
    int status;
    const char *says;  // a text the output holds
};

class Check : public ::testing::TestWithParam<CheckCase> {};

TEST_P(Check, TellsWithoutServing)
{
    const CheckCase &c = GetParam();
    for (const std::string &arg : c.args) {
        if (arg.empty())
            GTEST_SKIP() << "no https.so in this build";
    }
    TempDir dir;
    mkdir(dir.file("www").c_str(), 0755);
    write_file(dir.file("bad.crt"), "not a certificate\n");
    write_file(dir.file("users"), "bob:plain-text-password\n");
    const int port = free_port();
    auto in_dir = [&](std::string text) {
        for (size_t at; (at = text.find("DIR")) != std::string::npos;)
            text.replace(at, 3, dir.path());
        return text;
    };
    std::vector<std::string> args = {"-check"};
    for (const std::string &arg : c.args)
        args.push_back(arg == "PORT" ? std::to_string(port) : in_dir(arg));
    std::string output;
    EXPECT_EQ(run_server(server_binary, args, dir.file("webport"), dir.path(), &output), c.status) << output;
    EXPECT_NE(output.find(in_dir(c.says)), std::string::npos) << output;
    // Nothing was opened for good: no port line, no access log, nothing listening.
    EXPECT_FALSE(file_exists(dir.file("webport")));
    EXPECT_FALSE(file_exists(dir.file("access.log")));
    EXPECT_FALSE(is_listening(port));
}

INSTANTIATE_TEST_SUITE_P(
    CommandLines, Check,
    ::testing::Values(
        CheckCase{"SoundLineSaysWhatWouldBeServed",
                  {"-a", "DIR/access.log", "-plugin", http_plugin, "-port", "PORT", "-d", "DIR/www"}, 0,
                  "Would serve DIR/www on port"},
        CheckCase{"CgiPatternIsTold", {"-plugin", http_plugin, "-c", "cgi-bin", "-d", "DIR/www"}, 0,
                  "Would run paths with cgi-bin in them as CGI programs"},
        CheckCase{"UnknownUser", {"-u", "no-such-user-here", "-plugin", http_plugin, "-d", "DIR/www"}, 255,
                  "Unable to run as no-such-user-here; Error: no such user"},
        CheckCase{"UnknownGroup", {"-u", "root:no-such-group-here", "-plugin", http_plugin, "-d", "DIR/www"}, 255,
                  "no such group"},
        CheckCase{"AccessLogInAMissingDirectory", {"-a", "DIR/none/access.log", "-plugin", http_plugin}, 255,
                  "Unable to open the access log DIR/none/access.log"},
        CheckCase{"MissingDocumentRoot", {"-plugin", http_plugin, "-d", "DIR/none"}, 255, "DIR/none"},
        CheckCase{"BadCertificate",
                  {"-plugin", https_plugin, "-cert", "DIR/bad.crt", "-key", "DIR/bad.crt", "-d", "DIR/www"}, 255,
                  "cannot serve as the certificate"},
        CheckCase{"PlainPasswordFile", {"-plugin", http_plugin, "-auth", "/admin", "DIR/users", "-d", "DIR/www"}, 255,
                  "DIR/users line 1"},
        CheckCase{"UnknownOption", {"-plugin", http_plugin, "-no-such-option"}, 255, "-no-such-option"}),
    [](const ::testing::TestParamInfo<CheckCase> &info) { return std::string(info.param.name); });

// The user the -u test runs the server as, with a working directory it may read.
const passwd *unprivileged()
{
    return getpwnam("nobody");
}

// The group numbers the user belongs to: the user's own group and those that list the user.
std::set<std::string> users_groups(const passwd &user)
{
    std::vector<gid_t> list(64);
    int count = static_cast<int>(list.size());
    if (getgrouplist(user.pw_name, user.pw_gid, list.data(), &count) < 0)
        return {};
    std::set<std::string> groups;
    for (int i = 0; i < count; ++i)
        groups.insert(std::to_string(list[static_cast<size_t>(i)]));
    return groups;
}

// The numbers in `text`, separated by blanks.
std::set<std::string> numbers_in(const std::string &text)
{
    std::istringstream words(text);
    std::set<std::string> numbers;
    for (std::string word; words >> word;)
        numbers.insert(word);
    return numbers;
}

TEST(RunAs, EveryProcessIsTheUsersAndTheStopTakesItsPortLineOut)
{
    if (geteuid() != 0 || unprivileged() == nullptr)
        GTEST_SKIP() << "-u needs root and the user nobody";
    Site site;
    chmod(site.dir.path().c_str(), 0755);
    mkdir((site.root + "/cgi-bin").c_str(), 0755);
    write_script(site.root + "/cgi-bin/ids", "printf 'Content-Type: text/plain\\r\\n\\r\\n%s %s\\n' \"$(id -u)\" \"$(id -g)\"");
    write_script(site.root + "/cgi-bin/groups", "printf 'Content-Type: text/plain\\r\\n\\r\\n%s\\n' \"$(id -G)\"");
    // The record file exists beforehand for anyone to append to: the hooks write it as the user.
    write_file(site.record, "");
    chmod(site.record.c_str(), 0666);
    ASSERT_TRUE(site.start(server_binary, {"-u", "nobody", "-plugin", test_plugin("tp_record"), "-record",
                                           site.record, "-record-port", std::to_string(site.port), "-record-ids",
                                           "-c", "cgi-bin"}))
        << site.log();
    const passwd *user = unprivileged();
    const Reply reply = site.get("GET /cgi-bin/ids HTTP/1.0\r\n\r\n");
    EXPECT_EQ(reply.body, std::to_string(user->pw_uid) + " " + std::to_string(user->pw_gid) + "\n") << reply.raw;
    EXPECT_EQ(status_field(site.server().pid(), "Uid").substr(0, std::to_string(user->pw_uid).size()),
              std::to_string(user->pw_uid));
    EXPECT_EQ(status_field(site.server().pid(), "NoNewPrivs"), "1");
    // The user's own groups and no others: none of those the server was started with.
    const std::set<std::string> groups = users_groups(*user);
    const Reply ids = site.get("GET /cgi-bin/groups HTTP/1.0\r\n\r\n");
    EXPECT_EQ(numbers_in(ids.body), groups) << ids.raw;
    EXPECT_EQ(numbers_in(status_field(site.server().pid(), "Groups")), groups);
    // tp_record's hooks ran in the connection's process: it records the user it ran as.
    EXPECT_EQ(site.recorded_line("ids"), "ids uid=" + std::to_string(user->pw_uid) + " gid=" +
                                             std::to_string(user->pw_gid));
    EXPECT_EQ(site.stop(), 0);
    EXPECT_EQ(read_file(site.port_file), "") << "the stop after the drop left its port line";
}

TEST(RunAs, ADropThatFailsStopsTheStart)
{
    if (geteuid() == 0)
        GTEST_SKIP() << "only a user who may not change users sees the drop fail";
    TempDir dir;
    std::string output;
    EXPECT_EQ(run_server(server_binary, {"-u", "root", "-plugin", http_plugin, "-port", std::to_string(free_port())},
                         dir.file("webport"), dir.path(), &output), 255);
    EXPECT_NE(output.find("Unable to run as root; Error: "), std::string::npos) << output;
    EXPECT_EQ(read_file(dir.file("webport")), "");
}

// "-check" as the value of a plug-in's option is that value, not a switch to check mode.
TEST(Check, AsAnOptionsValueIsThatValue)
{
    Site site;
    write_file(site.dir.file("users"), "");
    ASSERT_TRUE(site.start(server_binary, {"-plugin", http_plugin, "-port", std::to_string(site.port), "-auth",
                                           "/admin", site.dir.file("users"), "-realm", "-check"}))
        << site.log();
    EXPECT_NE(site.get("GET /admin/ HTTP/1.0\r\n\r\n").raw.find("realm=\"-check\""), std::string::npos);
    EXPECT_EQ(site.stop(), 0);
}

// With -u, -check looks as that user at what the server will need once it runs as the user: a
// document root it cannot read, or an access log it could not make anew after a rotation, fail
// the check with the path named.
TEST(RunAs, CheckNamesWhatTheUserWillNotReach)
{
    if (geteuid() != 0 || unprivileged() == nullptr)
        GTEST_SKIP() << "-u needs root and the user nobody";
    TempDir dir;
    chmod(dir.path().c_str(), 0755);
    for (const char *name : {"www", "logs", "closed", "closed/www"})
        mkdir(dir.file(name).c_str(), 0755);
    chmod(dir.file("closed").c_str(), 0700);
    const struct {
        const char *what;
        std::vector<std::string> args;
        int status;
        std::string says;
    } cases[] = {
        {"all reachable", {"-d", dir.file("www")}, 0, "Would serve"},
        {"root closed to the user", {"-d", dir.file("closed/www")}, 255,
         "nobody, the user of -u, cannot read the directory to serve " + dir.file("closed/www")},
        {"log directory the user may not write", {"-a", dir.file("logs/access.log"), "-d", dir.file("www")}, 255,
         "nobody, the user of -u, cannot make the access log anew in " + dir.file("logs/")},
    };
    for (const auto &c : cases) {
        std::vector<std::string> args = {"-check", "-u", "nobody", "-plugin", http_plugin};
        args.insert(args.end(), c.args.begin(), c.args.end());
        std::string output;
        EXPECT_EQ(run_server(server_binary, args, dir.file("webport"), dir.path(), &output), c.status) << c.what << output;
        EXPECT_NE(output.find(c.says), std::string::npos) << c.what << output;
    }
}

// Whether process `pid` has the file at `path` open.
bool holds_open(pid_t pid, const std::string &path)
{
    struct stat file;
    if (stat(path.c_str(), &file) != 0)
        return false;
    const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    DIR *dir = opendir(fds.c_str());
    bool held = false;
    while (const dirent *entry = dir != nullptr && !held ? readdir(dir) : nullptr) {
        struct stat open;  // the file the descriptor refers to
        held = entry->d_name[0] != '.' && stat((fds + "/" + entry->d_name).c_str(), &open) == 0 &&
               open.st_dev == file.st_dev && open.st_ino == file.st_ino;
    }
    if (dir != nullptr)
        closedir(dir);
    return held;
}

TEST(Reload, TheAccessLogMovedAwayIsReopenedAndNoLineIsLost)
{
    Site site;
    site.put("page.html", "the page");
    const std::string log = site.dir.file("access.log");
    ASSERT_TRUE(site.start(server_binary, {"-j", "4", "-k", "5", "-r", "50", "-a", log, "-plugin", http_plugin,
                                           "-port", std::to_string(site.port)}))
        << site.log();
    std::atomic<bool> rotating{true};
    std::atomic<int> sent{0};
    std::vector<std::thread> load;
    for (int i = 0; i < 3; ++i) {
        load.emplace_back([&] {
            while (rotating) {
                if (parse_reply(exchange(site.port, "GET /page.html HTTP/1.0\r\n\r\n")).status_line.find(" 200 ") !=
                    std::string::npos)
                    ++sent;
            }
        });
    }
    EXPECT_TRUE(eventually([&] { return sent >= 10; }));
    ASSERT_EQ(rename(log.c_str(), (log + ".1").c_str()), 0);
    ASSERT_TRUE(holds_open(site.server().pid(), log + ".1"));
    ASSERT_EQ(kill(site.server().pid(), SIGUSR1), 0);
    // The main process lets the moved file go (it would hold it for ever) once it has counted
    // the reload; every request from then on goes to the new file.
    EXPECT_TRUE(eventually([&] { return !holds_open(site.server().pid(), log + ".1"); }))
        << "the main process still holds the moved log";
    EXPECT_TRUE(holds_open(site.server().pid(), log));
    rotating = false;
    for (std::thread &thread : load)
        thread.join();
    // Requests made once the reload has been seen go to the new file, on kept connections too.
    for (int i = 0; i < 5; ++i)
        site.get("GET /page.html?after HTTP/1.0\r\n\r\n");
    EXPECT_EQ(site.stop(), 0);
    const std::vector<std::string> old_lines = read_lines(log + ".1");
    const std::vector<std::string> new_lines = read_lines(log);
    EXPECT_EQ(static_cast<int>(old_lines.size() + new_lines.size()), sent + 5);
    EXPECT_GT(old_lines.size(), 0u);
    for (const std::string &line : old_lines)
        EXPECT_EQ(line.find("?after"), std::string::npos) << line;
}

}  // namespace
