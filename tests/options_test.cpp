// websrv_option_parse in process, with real plug-ins loaded from disk: the server's own
// options, plug-in loading, delegation of unknown options to plug-in hooks, and the messages
// each step logs. A shared object stays loaded once opened, so a later "-plugin" of the same
// file runs its plugin_init again on the same code and static data.
#include <gtest/gtest.h>

#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>

#include "registry.h"
#include "registry.h"
#include "control_block.h"
#include "test_support.h"

using websrv_test::StdoutCapture;
using websrv_test::TempDir;

using websrv_test::release_control_block;

namespace {

const std::string kOptionPlugin = websrv_test::test_plugin("tp_option");
const std::string kRejectPlugin = websrv_test::test_plugin("tp_reject");
const std::string kNoInitPlugin = websrv_test::test_plugin("tp_noinit");
const std::string kHttpPlugin = WEBSRV_HTTP_PLUGIN;

const char kNoCgiWarning[] =
    "WebSrv Warning: No CGI pattern specified; CGI Processing is disabled.\n";

std::string invalid_option(const std::string &option)
{
    return "WebSrv Error: Invalid option " + option + " specified. Aborting!\n";
}

std::vector<websrv_plugin_node *> plugin_nodes()
{
    std::vector<websrv_plugin_node *> nodes;
    for (void *n = websrv_slist_head(websrv_registry(&websrv_mcb.plugins)); n != nullptr; n = websrv_slist_next(n))
        nodes.push_back(static_cast<websrv_plugin_node *>(n));
    return nodes;
}

int count_named(const char *name)
{
    int count = 0;
    for (const auto *node : plugin_nodes())
        count += strncmp(node->desc.name, name, WEBSRV_NAME_LEN) == 0;
    return count;
}

std::string current_directory()
{
    char buffer[PATH_MAX];
    return getcwd(buffer, sizeof buffer) != nullptr ? buffer : "";
}

// Each test starts from a released control block and ends in the directory it started in.
class Options : public ::testing::Test {
protected:
    void SetUp() override
    {
        start_dir_ = current_directory();
        ASSERT_FALSE(start_dir_.empty());
        release_control_block();
    }
    void TearDown() override
    {
        EXPECT_EQ(chdir(start_dir_.c_str()), 0) << start_dir_;
        release_control_block();
    }

    // Runs websrv_option_parse on "websrv" followed by `args` and returns its result; what it
    // printed goes to out_. The argument vector stays alive until the next parse, as the
    // program's own would.
    int parse(const std::vector<std::string> &args)
    {
        release_control_block();
        return parse_as_is(args);
    }

    // The same, on the control block as it stands.
    int parse_as_is(const std::vector<std::string> &args)
    {
        build_argv(args);
        int result = 0;
        {
            StdoutCapture capture;
            result = websrv_option_parse(static_cast<int>(argv_.size() - 1), argv_.data());
            out_ = capture.finish();
        }
        return result;
    }

    // Runs the parse in a child process that must finish within `limit_ms`. Returns the
    // child's exit status (its parse result & 0xff), or -2 if it had to be killed.
    int parse_in_child(const std::vector<std::string> &args, int limit_ms)
    {
        release_control_block();
        build_argv(args);
        StdoutCapture capture;
        const pid_t pid = fork();
        if (pid == 0) {
            const int result =
                websrv_option_parse(static_cast<int>(argv_.size() - 1), argv_.data());
            fflush(stdout);
            _exit(result & 0xff);
        }
        int status = 0;
        int waited = 0;
        while (waitpid(pid, &status, WNOHANG) == 0) {
            if (waited >= limit_ms) {
                kill(pid, SIGKILL);
                waitpid(pid, &status, 0);
                out_ = capture.finish();
                return -2;
            }
            const timespec pause{0, 10 * 1000000L};
            nanosleep(&pause, nullptr);
            waited += 10;
        }
        out_ = capture.finish();
        return WIFEXITED(status) ? WEXITSTATUS(status) : -3;
    }

    std::string out_;
    std::vector<std::vector<char>> storage_;
    std::vector<char *> argv_;

private:
    void build_argv(const std::vector<std::string> &args)
    {
        storage_.clear();
        argv_.clear();
        storage_.emplace_back(std::vector<char>{'w', 'e', 'b', 's', 'r', 'v', '\0'});
        for (const auto &arg : args) {
            storage_.emplace_back(arg.begin(), arg.end());
            storage_.back().push_back('\0');
        }
        for (auto &arg : storage_)
            argv_.push_back(arg.data());
        argv_.push_back(nullptr);
    }

    std::string start_dir_;
};

}  // namespace

// ---- Start of every parse -------------------------------------------------------------------

TEST_F(Options, NoArgumentsPrintsTheBannerAndFails)
{
    EXPECT_EQ(parse({}), -1);
    EXPECT_EQ(out_, "TAVRIX: WEB Server Version 1.0\n");
}

TEST_F(Options, VerboseAloneHasNoPluginAndFails)
{
    EXPECT_EQ(parse({"-v"}), -1);
    EXPECT_EQ(out_, "WebSrv Error: No plugins nothing to do.\n");
    EXPECT_EQ(websrv_mcb.log_level, 2);
}

TEST_F(Options, ParseStartsFromAFreshControlBlockWithTheBuiltInTypes)
{
    // Left-overs that the parse must not keep.
    websrv_mcb.log_level = 5;
    websrv_mcb.running = 1;
    websrv_mcb.max_fd = 9;
    strcpy(websrv_mcb.cgi_pattern, "stale");
    websrv_mcb.version_major = 7;
    websrv_mcb.version_minor = 7;
    EXPECT_EQ(parse_as_is({"-plugin", kOptionPlugin}), 0);
    EXPECT_EQ(out_, kNoCgiWarning);
    EXPECT_EQ(websrv_mcb.version_major, 1);
    EXPECT_EQ(websrv_mcb.version_minor, 0);
    EXPECT_EQ(websrv_mcb.log_level, 1);
    EXPECT_EQ(websrv_mcb.running, 0);
    EXPECT_EQ(websrv_mcb.max_fd, 0);
    EXPECT_STREQ(websrv_mcb.cgi_pattern, "");
    EXPECT_EQ(websrv_mcb.bind_device, nullptr);
    EXPECT_EQ(websrv_mcb.port_file, nullptr);
    // The plug-in's registration passed the version check against the reset version.
    EXPECT_EQ(count_named("optplug"), 1);

    // The built-in types, html then gif, and nothing else.
    std::vector<std::string> entries;
    for (void *n = websrv_slist_head(websrv_registry(&websrv_mcb.mime_types)); n != nullptr; n = websrv_slist_next(n)) {
        const auto *entry = static_cast<websrv_mime_entry *>(n);
        entries.push_back(std::string(entry->ext) + "=" + entry->type);
    }
    EXPECT_EQ(entries, (std::vector<std::string>{"html=text/html", "gif=image/gif"}));
}

TEST_F(Options, OptionsMatchOnlyTheWholeArgumentInTheirOwnCase)
{
    for (const char *option : {"-V", "-C", "-I", "-D", "-PLUGIN", "-vv", "-cc", "--v", "v",
                               "-plugins", "-d/tmp", "-c=x", ""}) {
        EXPECT_EQ(parse({"-plugin", kOptionPlugin, option}), -1) << '"' << option << '"';
        EXPECT_EQ(out_, invalid_option(option)) << '"' << option << '"';
    }
}

// ---- "-c" -----------------------------------------------------------------------------------

TEST_F(Options, CgiPatternOf99CharactersIsStoredWhole)
{
    const std::string pattern(99, 'p');
    EXPECT_EQ(parse({"-plugin", kOptionPlugin, "-c", pattern}), 0);
    EXPECT_EQ(out_, "");  // a pattern is set, so there is no warning
    EXPECT_EQ(std::string(websrv_mcb.cgi_pattern), pattern);
}

TEST_F(Options, CgiPatternOf100OrMoreCharactersIsRejected)
{
    for (size_t length : {100u, 101u, 500u}) {
        const std::string pattern(length, 'p');
        EXPECT_EQ(parse({"-plugin", kOptionPlugin, "-c", pattern}), -1) << length;
        EXPECT_EQ(out_, "WebSrv Error: CGI pattern is too long; limit to 100 characters\n")
            << length;
        EXPECT_STREQ(websrv_mcb.cgi_pattern, "") << length;
    }
}

TEST_F(Options, ServerOptionsWithANumberTakeOnlyWholeNumbersInTheirRange)
{
    // -t: seconds a CGI program may stay silent, 1 to a day.
    for (const char *good : {"1", "60", "86400"})
        EXPECT_EQ(parse({"-plugin", kOptionPlugin, "-t", good}), 0) << good;
    for (const char *bad : {"0", "86401", "-5", "10s", "", "99999999999999999999"}) {
        EXPECT_EQ(parse({"-plugin", kOptionPlugin, "-t", bad}), -1) << bad;
        EXPECT_EQ(out_, std::string("WebSrv Error: -t needs a number of seconds from 1 to 86400, not \"") + bad +
                            "\"\n")
            << bad;
    }
}

TEST_F(Options, LaterCgiPatternReplacesTheEarlierOne)

{
    EXPECT_EQ(parse({"-plugin", kOptionPlugin, "-c", "cgi-bin/long-pattern", "-c", "cgi"}), 0);
    EXPECT_STREQ(websrv_mcb.cgi_pattern, "cgi");
}

TEST_F(Options, ValueIsTheNextArgumentWhateverItLooksLike)
{
    EXPECT_EQ(parse({"-plugin", kOptionPlugin, "-c", "-v", "-i", "-c", "-v"}), 0);
    EXPECT_STREQ(websrv_mcb.cgi_pattern, "-v");
    ASSERT_NE(websrv_mcb.bind_device, nullptr);
    EXPECT_STREQ(websrv_mcb.bind_device, "-c");
    EXPECT_EQ(websrv_mcb.log_level, 2);  // only the last "-v" is an option
}

// ---- "-i" -----------------------------------------------------------------------------------

TEST_F(Options, InterfaceNameOfAnyLengthIsStoredWholeAsACopy)
{
    for (size_t length : {1u, 15u, 16u, 300u}) {
        const std::string name(length, 'n');
        EXPECT_EQ(parse({"-plugin", kOptionPlugin, "-i", name}), 0) << length;
        ASSERT_NE(websrv_mcb.bind_device, nullptr) << length;
        EXPECT_EQ(std::string(websrv_mcb.bind_device), name) << length;
        // A copy: changing the argument vector afterwards does not change it.
        char *argument = argv_[4];
        EXPECT_NE(websrv_mcb.bind_device, argument) << length;
        argument[0] = 'X';
        EXPECT_EQ(std::string(websrv_mcb.bind_device), name) << length;
    }
}

TEST_F(Options, LaterInterfaceReplacesTheEarlierOne)
{
    EXPECT_EQ(parse({"-plugin", kOptionPlugin, "-i", "eth0", "-i", "br-lan"}), 0);
    ASSERT_NE(websrv_mcb.bind_device, nullptr);
    EXPECT_STREQ(websrv_mcb.bind_device, "br-lan");
}

// ---- "-d" -----------------------------------------------------------------------------------

TEST_F(Options, ChangingToAMissingDirectoryFails)
{
    const std::string before = current_directory();
    TempDir dir;
    EXPECT_EQ(parse({"-plugin", kOptionPlugin, "-d", dir.file("missing")}), -1);
    // The line it always printed, and one that names the directory.
    EXPECT_EQ(out_, "WebSrv Error: Unable to change directory; Error: No such file or directory\n"
                    "WebSrv Error: -d " + dir.file("missing") + ": No such file or directory\n");
    EXPECT_EQ(current_directory(), before);
}

TEST_F(Options, DirectoryChangesAtOnceAndRelativePluginPathsFollowIt)
{
    TempDir dir;
    ASSERT_EQ(mkdir(dir.file("sub").c_str(), 0755), 0);
    // A copy of the plug-in, reachable only through the new working directory.
    websrv_test::write_file(dir.file("sub/x.so"), websrv_test::read_file(kOptionPlugin));
    char resolved[PATH_MAX];
    ASSERT_NE(realpath(dir.path().c_str(), resolved), nullptr);

    EXPECT_EQ(parse({"-d", dir.path(), "-plugin", "sub/x.so", "-c", "cgi"}), 0) << out_;
    EXPECT_EQ(out_, "");
    EXPECT_EQ(current_directory(), std::string(resolved));
    EXPECT_EQ(count_named("optplug"), 1);
}

TEST_F(Options, RelativePluginPathBeforeTheDirectoryChangeIsNotFound)
{
    TempDir dir;
    ASSERT_EQ(mkdir(dir.file("sub").c_str(), 0755), 0);
    websrv_test::write_file(dir.file("sub/y.so"), websrv_test::read_file(kOptionPlugin));
    ASSERT_EQ(chdir("/"), 0);
    EXPECT_EQ(parse({"-plugin", "sub/y.so", "-d", dir.path()}), -1);
    EXPECT_EQ(out_.rfind("Unable to load plugin sub/y.so Error: ", 0), 0u) << out_;
}

// ---- "-plugin" ------------------------------------------------------------------------------

TEST_F(Options, UnloadablePluginIsReportedWithItsPathAndTheLoadersReason)
{
    TempDir dir;
    websrv_test::write_file(dir.file("text.so"), "this is not a shared object\n");
    for (const std::string &path : {dir.file("missing.so"), dir.file("text.so"), dir.path()}) {
        EXPECT_EQ(parse({"-plugin", path}), -1) << path;
        const std::string prefix = "Unable to load plugin " + path + " Error: ";
        EXPECT_EQ(out_.rfind(prefix, 0), 0u) << out_;
        ASSERT_GT(out_.size(), prefix.size() + 2) << path;  // the loader's reason follows
        EXPECT_EQ(out_.substr(out_.size() - 2), ".\n") << out_;
        EXPECT_EQ(out_.find('\n'), out_.size() - 1) << out_;  // one line
        EXPECT_TRUE(plugin_nodes().empty()) << path;
    }
}

TEST_F(Options, SharedObjectWithoutPluginInitIsRefused)
{
    EXPECT_EQ(parse({"-plugin", kNoInitPlugin}), -1);
    const std::string prefix = "Unable to initialize plugin " + kNoInitPlugin + " Error: ";
    EXPECT_EQ(out_.rfind(prefix, 0), 0u) << out_;
    EXPECT_NE(out_.find("plugin_init"), std::string::npos) << out_;
    EXPECT_EQ(out_.substr(out_.size() - 2), ".\n") << out_;
    EXPECT_EQ(out_.find('\n'), out_.size() - 1) << out_;
    EXPECT_TRUE(plugin_nodes().empty());
}

TEST_F(Options, PluginWithoutCgiPatternGivesTheWarningAndSucceeds)
{
    EXPECT_EQ(parse({"-plugin", kOptionPlugin}), 0);
    EXPECT_EQ(out_, kNoCgiWarning);
    const auto nodes = plugin_nodes();
    ASSERT_EQ(nodes.size(), 1u);
    EXPECT_STREQ(nodes[0]->desc.name, "optplug");
    EXPECT_EQ(nodes[0]->desc.port, 18001);
}

TEST_F(Options, SameSharedObjectTwiceRunsItsInitTwice)
{
    EXPECT_EQ(parse({"-plugin", kOptionPlugin, "-plugin", kOptionPlugin, "-c", "cgi"}), 0);
    EXPECT_EQ(out_, "");
    EXPECT_EQ(count_named("optplug"), 2);
    EXPECT_EQ(plugin_nodes().size(), 2u);
}

TEST_F(Options, OptionNeedingAValueStandingLastIsInvalid)
{
    for (const char *option : {"-c", "-i", "-d", "-plugin"}) {
        EXPECT_EQ(parse({"-plugin", kOptionPlugin, option}), -1) << option;
        EXPECT_EQ(out_, invalid_option(option)) << option;
        // Alone, too: the missing value is found before the missing plug-in.
        EXPECT_EQ(parse({option}), -1) << option;
        EXPECT_EQ(out_, invalid_option(option)) << option;
    }
}

TEST_F(Options, FailureKeepsWhatWasSetUpBeforeIt)
{
    EXPECT_EQ(parse({"-plugin", kOptionPlugin, "-c", "cgi", "-zzz", "-c", "never"}), -1);
    EXPECT_EQ(out_, invalid_option("-zzz"));
    EXPECT_EQ(count_named("optplug"), 1);
    EXPECT_STREQ(websrv_mcb.cgi_pattern, "cgi");
}

// ---- "-v" -----------------------------------------------------------------------------------

TEST_F(Options, VerboseAffectsOnlyLaterMessages)
{
    EXPECT_EQ(parse({"-plugin", kRejectPlugin, "-v", "-plugin", kOptionPlugin, "-c", "cgi"}), 0);
    EXPECT_EQ(out_.find("Plugin rejecter registered succesfully\n"), std::string::npos) << out_;
    EXPECT_EQ(out_.rfind("Plugin optplug registered succesfully\n", 0), 0u) << out_;
    EXPECT_EQ(count_named("rejecter"), 1);
}

TEST_F(Options, VerboseRunEndsWithTheOptionsSummary)
{
    TempDir dir;
    char resolved[PATH_MAX];
    ASSERT_NE(realpath(dir.path().c_str(), resolved), nullptr);
    EXPECT_EQ(parse({"-v", "-d", dir.path(), "-plugin", kOptionPlugin, "-c", "cgi-bin"}), 0);
    EXPECT_EQ(out_, std::string("Plugin optplug registered succesfully\n"
                                "Web Server Options \n"
                                "       Working Directory is ") +
                        resolved +
                        ".\n"
                        "       CGI Pattern is cgi-bin.\n");
}

TEST_F(Options, VerboseRunWithoutCgiPatternWarnsBeforeTheSummary)
{
    const std::string cwd = current_directory();
    EXPECT_EQ(parse({"-plugin", kOptionPlugin, "-v"}), 0);
    EXPECT_EQ(out_, std::string(kNoCgiWarning) + "Web Server Options \n" +
                        "       Working Directory is " + cwd + ".\n" +
                        "       CGI Pattern is .\n");
}

// ---- Options of plug-ins --------------------------------------------------------------------

TEST_F(Options, OptionEveryPluginDeclinesIsInvalid)
{
    const std::vector<std::vector<std::string>> command_lines = {
        {"-zzz"},
        {"-plugin", kOptionPlugin, "-zzz"},
        {"-plugin", kOptionPlugin, "-plugin", kRejectPlugin, "-zzz"},
        {"-plugin", kRejectPlugin, "-plugin", kOptionPlugin, "-zzz", "value"},
    };
    for (const auto &args : command_lines) {
        EXPECT_EQ(parse(args), -1) << websrv_test::joined(args, " ");
        EXPECT_EQ(out_, invalid_option("-zzz")) << websrv_test::joined(args, " ");
    }
}

TEST_F(Options, PluginOptionBeforeItsPluginIsInvalid)
{
    EXPECT_EQ(parse({"-opt", "x", "-plugin", kOptionPlugin}), -1);
    EXPECT_EQ(out_, invalid_option("-opt"));
    EXPECT_TRUE(plugin_nodes().empty());
}

TEST_F(Options, OptionTakenWithItsValueLetsParsingGoOnAfterIt)
{
    struct taken_case {
        std::vector<std::string> after_plugin;
        const char *logged;
        const char *cgi_pattern;
    };
    const taken_case cases[] = {
        {{"-opt", "X", "-c", "cgi"}, "optplug: opt=X\n", "cgi"},
        {{"-opt", "-c", "-c", "cgi"}, "optplug: opt=-c\n", "cgi"},
        {{"-c", "cgi", "-opt", "1", "-opt", "2"}, "optplug: opt=1\noptplug: opt=2\n", "cgi"},
    };
    for (const auto &c : cases) {
        std::vector<std::string> args{"-plugin", kOptionPlugin};
        args.insert(args.end(), c.after_plugin.begin(), c.after_plugin.end());
        EXPECT_EQ(parse(args), 0) << websrv_test::joined(args, " ");
        EXPECT_EQ(out_, c.logged) << websrv_test::joined(args, " ");
        EXPECT_STREQ(websrv_mcb.cgi_pattern, c.cgi_pattern) << websrv_test::joined(args, " ");
    }
}

TEST_F(Options, PluginOptionsReachTheirPluginWhateverItsPlaceInTheRegistry)
{
    // The rejecter is asked first and declines "-opt"; optplug takes it.
    EXPECT_EQ(parse({"-plugin", kRejectPlugin, "-plugin", kOptionPlugin, "-opt", "v", "-c", "x"}),
              0);
    EXPECT_EQ(out_, "optplug: opt=v\n");
}

TEST_F(Options, PluginRejectingAnOptionStopsTheParse)
{
    const std::vector<std::vector<std::string>> command_lines = {
        {"-plugin", kRejectPlugin, "-no", "-c", "never"},
        {"-plugin", kOptionPlugin, "-plugin", kRejectPlugin, "-no", "-c", "never"},
    };
    for (const auto &args : command_lines) {
        EXPECT_EQ(parse(args), -1) << websrv_test::joined(args, " ");
        EXPECT_EQ(out_, "WebSrv Error: Plugin rejecter rejected the option\n") << websrv_test::joined(args, " ");
        EXPECT_STREQ(websrv_mcb.cgi_pattern, "") << websrv_test::joined(args, " ");
    }
}

TEST_F(Options, OptionClaimedWithoutMovingOnIsARejection)
{
    const int status = parse_in_child({"-plugin", kOptionPlugin, "-stuck", "-c", "x"}, 10000);
    ASSERT_NE(status, -2) << "option parsing did not finish within 10 s";
    EXPECT_EQ(status, 0xff);  // -1
    EXPECT_EQ(out_, "WebSrv Error: Plugin optplug rejected the option\n");
}

TEST_F(Options, PluginsRegisteredByAnOptionHookAreInTheRegistry)
{
    EXPECT_EQ(parse({"-plugin", kOptionPlugin, "-register", "extra", "18100", "-c", "x"}), 0);
    EXPECT_EQ(out_, "");
    EXPECT_EQ(count_named("extra"), 1);
    ASSERT_NE(websrv_find_plugin(18100), nullptr);
    EXPECT_STREQ(websrv_find_plugin(18100)->desc.name, "extra");
}

TEST_F(Options, NameFillingTheWholeFieldIsShownWithoutReadingPastIt)
{
    EXPECT_EQ(parse({"-plugin", kOptionPlugin, "-v", "-fullname", "-nameless"}), -1);
    EXPECT_EQ(out_, "Plugin ABCDEFGHIJKLMNOPQRST registered succesfully\n"
                    "WebSrv Error: Plugin ABCDEFGHIJKLMNOPQRST rejected the option\n");
    EXPECT_EQ(parse({"-plugin", kOptionPlugin, "-fullname", "-c", "x"}), 0);
    EXPECT_EQ(websrv_unregister_plugin("ABCDEFGHIJKLMNOPQRST"), 0);
}

// ---- The stock http plug-in -----------------------------------------------------------------

TEST_F(Options, HttpPortOptionMovesThePluginToThatPort)
{
    EXPECT_EQ(parse({"-plugin", kHttpPlugin, "-port", "9090", "-c", "cgi"}), 0) << out_;
    EXPECT_EQ(out_, "");
    const auto nodes = plugin_nodes();
    ASSERT_EQ(nodes.size(), 1u);
    EXPECT_STREQ(nodes[0]->desc.name, "http");
    EXPECT_EQ(nodes[0]->desc.port, 9090);
}

TEST_F(Options, HttpPortOptionRejectsBadValues)
{
    for (const char *value : {"0", "65536", "abc", "-1", "80x", "", "99999999999"}) {
        EXPECT_EQ(parse({"-plugin", kHttpPlugin, "-port", value}), -1) << '"' << value << '"';
        EXPECT_NE(out_.find(std::string("\"") + value + "\""), std::string::npos)
            << "the value is named: " << out_;
        const std::string rejected = "WebSrv Error: Plugin http rejected the option\n";
        ASSERT_GE(out_.size(), rejected.size()) << out_;
        EXPECT_EQ(out_.substr(out_.size() - rejected.size()), rejected) << out_;
        EXPECT_EQ(count_named("http"), 1) << value;  // still registered, on its old port
    }
}

TEST_F(Options, HttpPortOptionStandingLastIsRejected)
{
    EXPECT_EQ(parse({"-plugin", kHttpPlugin, "-port"}), -1);
    const std::string rejected = "WebSrv Error: Plugin http rejected the option\n";
    ASSERT_GE(out_.size(), rejected.size()) << out_;
    EXPECT_EQ(out_.substr(out_.size() - rejected.size()), rejected) << out_;
    // A line of the plug-in's own says what was wrong before the rejection.
    const std::string before = out_.substr(0, out_.size() - rejected.size());
    EXPECT_NE(before.find("-port"), std::string::npos) << out_;
    EXPECT_EQ(count_named("http"), 1);
}

TEST_F(Options, HttpRegistersTheContentTypesADeviceUiNeeds)
{
    EXPECT_EQ(parse({"-plugin", kHttpPlugin, "-c", "cgi"}), 0);
    struct type_case {
        const char *ext;
        const char *type;
    };
    const type_case cases[] = {
        {"html", "text/html"},      {"gif", "image/gif"},          {"css", "text/css"},
        {"js", "text/javascript"},  {"json", "application/json"},  {"png", "image/png"},
        {"svg", "image/svg+xml"},   {"woff2", "font/woff2"},       {"wasm", "application/wasm"},
        {"jpg", "image/jpeg"},      {"ico", "image/x-icon"},       {"txt", "text/plain"},
    };
    for (const auto &c : cases) {
        const char *type = websrv_find_mime(c.ext);
        ASSERT_NE(type, nullptr) << c.ext;
        EXPECT_STREQ(type, c.type) << c.ext;
    }
}
