// The real server binary, started as a process: command-line outcomes, listening, the port
// file across start and stop, signals, and concurrent instances sharing one port file.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <memory>
#include <string>
#include <thread>
#include <vector>
#include <unistd.h>

#include "test_support.h"

using namespace websrv_test;

namespace {

const std::string server_binary = WEBSRV_TEST_SERVER;
const std::string http_plugin = WEBSRV_HTTP_PLUGIN;
const std::string listen_plugin = test_plugin("tp_listen");

// One test's directory, with its own port file.
struct Sandbox {
    TempDir dir;
    std::string port_file = dir.file("webport");

    std::unique_ptr<ServerProcess> start(const std::vector<std::string> &args)
    {
        return std::make_unique<ServerProcess>(server_binary, args, port_file, dir.path());
    }
    int run(const std::vector<std::string> &args, std::string *output)
    {
        return run_server(server_binary, args, port_file, dir.path(), output);
    }
};

std::vector<std::string> http_on(int port)
{
    return {"-plugin", http_plugin, "-port", std::to_string(port)};
}

}  // namespace

TEST(CommandLine, NoArgumentsPrintsTheBannerAndFails)
{
    Sandbox box;
    std::string output;
    EXPECT_EQ(box.run({}, &output), 255);
    EXPECT_EQ(output, "TAVRIX: WEB Server Version 1.0\n");
    EXPECT_FALSE(file_exists(box.port_file)) << "the port file is not touched";
}

TEST(CommandLine, VerboseAloneReportsThatThereAreNoPlugins)
{
    Sandbox box;
    std::string output;
    EXPECT_EQ(box.run({"-v"}, &output), 255);
    EXPECT_EQ(output, "WebSrv Error: No plugins nothing to do.\n");
    EXPECT_FALSE(file_exists(box.port_file));
}

TEST(CommandLine, InvalidHttpPortIsRejectedBeforeAnythingListens)
{
    for (const char *value : {"0", "65536", "-1", "abc", "80x", "", " 80", "+80"}) {
        Sandbox box;
        std::string output;
        EXPECT_EQ(box.run({"-plugin", http_plugin, "-port", value}, &output), 255) << value;
        EXPECT_NE(output.find("http: -port needs a port number from 1 to 65535, not \"" +
                              std::string(value) + "\""),
                  std::string::npos)
            << output;
        EXPECT_FALSE(file_exists(box.port_file)) << value;
    }
    Sandbox box;
    std::string output;
    EXPECT_EQ(box.run({"-plugin", http_plugin, "-port"}, &output), 255);
    EXPECT_EQ(output, "http: -port needs a port number from 1 to 65535, not \"\"\n"
                      "WebSrv Error: Plugin http rejected the option\n");
}

TEST(Startup, ServesTheHttpPluginsPortAndStopsCleanlyOnSigterm)
{
    Sandbox box;
    const int port = free_port();
    auto server = box.start(http_on(port));
    ASSERT_TRUE(server->wait_ready({port})) << server->output();
    EXPECT_EQ(read_file(box.port_file), port_lines({port}));
    for (int i = 0; i < 5; ++i)
        EXPECT_TRUE(can_connect(port)) << "connection " << i;
    // A stop takes no further connection: the five are let in first.
    for (int waited = 0; waited < 10000 && server->output().size() < 70 + 5 * 33; waited += 10)
        sleep_ms(10);
    EXPECT_EQ(server->stop(SIGTERM), 0);

    EXPECT_EQ(read_file(box.port_file), "");
    // Each connection that closed without a request ends its session as failed.
    std::string expected = "WebSrv Warning: No CGI pattern specified; CGI Processing is disabled.\n";
    for (int i = 0; i < 5; ++i)
        expected += "Web Server receive packet failed\n";
    EXPECT_EQ(server->output(), expected);
}

TEST(Startup, CreatesAMissingPortFileAndListsBothPluginsInRegistryOrder)
{
    Sandbox box;
    const int first = free_port(), second = free_port();
    ASSERT_FALSE(file_exists(box.port_file));
    auto args = http_on(first);
    args.insert(args.end(), {"-plugin", listen_plugin, "-listen", std::to_string(second)});
    auto server = box.start(args);
    ASSERT_TRUE(server->wait_ready({first, second})) << server->output();
    EXPECT_EQ(read_file(box.port_file), port_lines({first, second}));
    EXPECT_EQ(server->stop(SIGTERM), 0);
    EXPECT_EQ(read_file(box.port_file), "");
    EXPECT_NE(server->output().find("tp_listen: on_start fd="), std::string::npos);
}

TEST(Shutdown, SigtermAndSighupRemoveExactlyThisInstancesLines)
{
    for (int signo : {SIGTERM, SIGHUP}) {
        Sandbox box;
        const int first = free_port(), second = free_port();
        write_file(box.port_file, "80\n9000\n");
        auto server = box.start({"-plugin", listen_plugin, "-listen", std::to_string(first),
                                 "-listen", std::to_string(second)});
        ASSERT_TRUE(server->wait_ready({first, second})) << server->output();
        // Another instance appends its line after ours while we run.
        write_file(box.port_file, read_file(box.port_file) + "7000\n");
        EXPECT_EQ(read_file(box.port_file), "80\n9000\n" + port_lines({first, second}) + "7000\n");
        EXPECT_EQ(server->stop(signo), 0) << "signal " << signo;
        EXPECT_EQ(read_file(box.port_file), "80\n9000\n7000\n") << "signal " << signo;
        EXPECT_EQ(server->output().find("select failed"), std::string::npos);
    }
}

TEST(Shutdown, StopSignalDuringStartUpEndsTheServerCleanlyOnceStarted)
{
    for (int signo : {SIGTERM, SIGHUP}) {
        Sandbox box;
        write_file(box.port_file, "80\n");
        const int port = free_port();
        auto server = box.start({"-plugin", listen_plugin, "-slow-start", std::to_string(port)});
        // The port is open and its line written while the start hook still runs.
        for (int waited = 0; waited < 10000; waited += 5) {
            if (server->output().find("tp_listen: slow start") != std::string::npos)
                break;
            sleep_ms(5);
        }
        ASSERT_NE(server->output().find("tp_listen: slow start"), std::string::npos);
        EXPECT_EQ(server->stop(signo), 0) << "signal " << signo << "\n" << server->output();
        EXPECT_EQ(read_file(box.port_file), "80\n") << "signal " << signo;
    }
}

TEST(Shutdown, KeepsEveryOtherLineHoweverManyTheFileHolds)
{
    Sandbox box;
    std::string others;
    for (int i = 0; i < 40; ++i)
        others += std::to_string(20000 + i) + "\n";
    others += " 8080\n-1\nnot a port\n";
    write_file(box.port_file, others);
    const int port = free_port();
    auto server = box.start(http_on(port));
    ASSERT_TRUE(server->wait_ready({port})) << server->output();
    EXPECT_EQ(server->stop(SIGTERM), 0);
    EXPECT_EQ(read_file(box.port_file), others);
    EXPECT_EQ(server->output().find("too many ports"), std::string::npos);
}

TEST(Shutdown, LeavesAStaleLineOfAKilledInstanceAndRemovesItsOwn)
{
    Sandbox box;
    const int port = free_port();
    auto killed = box.start(http_on(port));
    ASSERT_TRUE(killed->wait_ready({port}));
    EXPECT_EQ(killed->stop(SIGKILL), 128 + SIGKILL);
    EXPECT_EQ(read_file(box.port_file), port_lines({port})) << "SIGKILL leaves the line behind";
    // Its waiting child dies with it (parent-death signal), a moment later under load.
    ASSERT_TRUE(eventually([&] { return !is_listening(port); }));

    // Another instance's line between the stale one and ours, so that taking out the wrong
    // one of the two equal lines gives other bytes.
    write_file(box.port_file, read_file(box.port_file) + "7000\n");
    auto next = box.start(http_on(port));
    ASSERT_TRUE(next->wait_ready({port})) << next->output();
    write_file(box.port_file, read_file(box.port_file) + "7001\n");
    EXPECT_EQ(read_file(box.port_file), port_lines({port, 7000, port, 7001}));
    EXPECT_EQ(next->stop(SIGHUP), 0);
    EXPECT_EQ(read_file(box.port_file), port_lines({port, 7000, 7001}));
}

TEST(Startup, EndsAnotherProgramsUnterminatedLastLineBeforeItsOwn)
{
    Sandbox box;
    write_file(box.port_file, "80\n9000");
    const int port = free_port();
    auto server = box.start(http_on(port));
    ASSERT_TRUE(server->wait_ready({port})) << server->output();
    EXPECT_EQ(read_file(box.port_file), "80\n9000\n" + port_lines({port}));
    EXPECT_EQ(server->stop(SIGTERM), 0);
    EXPECT_EQ(read_file(box.port_file), "80\n9000\n");
}

TEST(Startup, PortInUseAbortsAndLeavesTheOtherInstancesLine)
{
    Sandbox box;
    const int port = free_port();
    write_file(box.port_file, "80\n");
    auto first = box.start(http_on(port));
    ASSERT_TRUE(first->wait_ready({port}));

    std::string output;
    EXPECT_EQ(box.run(http_on(port), &output), 255);
    EXPECT_EQ(output, "WebSrv Warning: No CGI pattern specified; CGI Processing is disabled.\n"
                      "WebSrv Error: Unable to listen on port " + std::to_string(port) +
                      " Error: Address already in use\n"
                      "Error: Unable to start the Web Server Application. Aborting\n");
    EXPECT_EQ(read_file(box.port_file), port_lines({80, port})) << "the running instance's line stays";

    EXPECT_TRUE(can_connect(port));

    EXPECT_EQ(first->stop(SIGTERM), 0);
    EXPECT_EQ(read_file(box.port_file), "80\n");
}

TEST(Startup, SecondPortInUseRemovesTheFirstPortsLineAgain)
{
    Sandbox box;
    const int busy = free_port(), mine = free_port();
    auto other = box.start(http_on(busy));
    ASSERT_TRUE(other->wait_ready({busy}));

    std::string output;
    EXPECT_EQ(box.run({"-plugin", listen_plugin, "-listen", std::to_string(mine), "-listen",
                       std::to_string(busy)},
                      &output),
              255);
    EXPECT_NE(output.find("Error: Unable to start the Web Server Application. Aborting\n"),
              std::string::npos);
    EXPECT_EQ(read_file(box.port_file), port_lines({busy}));
    EXPECT_EQ(other->stop(SIGTERM), 0);
}

TEST(Startup, FailingStartHookAbortsAndRemovesTheLinesWritten)
{
    Sandbox box;
    write_file(box.port_file, "80\n");
    const int first = free_port(), second = free_port();
    std::string output;
    EXPECT_EQ(box.run({"-plugin", listen_plugin, "-listen", std::to_string(first), "-fail-start",
                       std::to_string(second)},
                      &output),
              255);
    EXPECT_NE(output.find("tp_listen: on_start fails\n"
                          "Error: Unable to start the Web Server Application. Aborting\n"),
              std::string::npos)
        << output;
    EXPECT_EQ(read_file(box.port_file), "80\n");
}

TEST(Startup, UnopenablePortFileAbortsWithTheReason)
{
    Sandbox box;
    box.port_file = box.dir.file("missing-dir/webport");
    const int port = free_port();
    std::string output;
    EXPECT_EQ(box.run(http_on(port), &output), 255);
    EXPECT_NE(output.find("Unable to open " + box.port_file +
                          " Error: No such file or directory\n"
                          "Error: Unable to start the Web Server Application. Aborting\n"),
              std::string::npos)
        << output;
}

TEST(Startup, UnknownBindDeviceAbortsWithTheDeviceAndReason)
{
    Sandbox box;
    const int port = free_port();
    std::string output;
    auto args = std::vector<std::string>{"-v", "-i", "nosuchdev0"};
    const auto http = http_on(port);
    args.insert(args.end(), http.begin(), http.end());
    EXPECT_EQ(box.run(args, &output), 255);
    EXPECT_NE(output.find("Setting setsockopt for device nosuchdev0 10 \n"
                          "Unable to bind to device nosuchdev0 Error:"),
              std::string::npos)
        << output;
    EXPECT_NE(output.find("Error: Unable to start the Web Server Application. Aborting\n"),
              std::string::npos);
    EXPECT_EQ(read_file(box.port_file), "");
}

TEST(AcceptLoop, RetiresAListeningSocketWhosePluginUnregisteredWithoutSpinning)
{
    Sandbox box;
    const int owned = free_port(), orphan = free_port();
    auto server = box.start({"-plugin", listen_plugin, "-listen", std::to_string(owned),
                             "-orphan", std::to_string(orphan)});
    ASSERT_TRUE(server->wait_ready({owned})) << server->output();
    const long before = cpu_ticks(server->pid());
    can_connect(orphan);  // queued on a socket nobody accepts from
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const long spent = cpu_ticks(server->pid()) - before;
    EXPECT_LE(spent, 10) << "CPU ticks used in 0.5 s after the orphan became readable";
    EXPECT_TRUE(can_connect(owned)) << "the other port is still served";
    EXPECT_FALSE(can_connect(orphan)) << "the orphaned socket was closed";
    EXPECT_EQ(server->stop(SIGTERM), 0);
    EXPECT_NE(server->output().find("No plugin owns listening socket"), std::string::npos);
    EXPECT_EQ(read_file(box.port_file), "");
}

TEST(AcceptLoop, SleepsOnceTheSessionsServedHaveEnded)
{
    // The main process waits for the processes of ended sessions with a short pause while any
    // is left; one it has reaped must be off that list, or it pauses and wakes for ever.
    Sandbox box;
    const int port = free_port();
    write_file(box.dir.file("page.html"), "page");
    auto server = box.start(http_on(port));
    ASSERT_TRUE(server->wait_ready({port})) << server->output();
    for (int i = 0; i < 5; ++i)
        EXPECT_NE(websrv_test::exchange(port, get_request("/page.html")).find("\r\n\r\npage"), std::string::npos);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const long before = std::stol(status_field(server->pid(), "voluntary_ctxt_switches"));
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const long woken = std::stol(status_field(server->pid(), "voluntary_ctxt_switches")) - before;
    EXPECT_LE(woken, 4) << "times the idle main process woke in a second";
    EXPECT_EQ(server->stop(SIGTERM), 0);
}

TEST(Startup, NoListeningSocketLeftAfterTheStartHooksStopsTheServer)
{
    // The only plug-in unregisters itself in its start hook: nothing would ever be served.
    Sandbox box;
    const int orphan = free_port();
    std::string output;
    EXPECT_EQ(box.run({"-plugin", listen_plugin, "-orphan", std::to_string(orphan)}, &output), 255);
    EXPECT_NE(output.find("WebSrv Error: No plugin owns a listening socket; nothing to serve\n"
                          "Error: Unable to start the Web Server Application. Aborting\n"),
              std::string::npos)
        << output;
    EXPECT_EQ(read_file(box.port_file), "");
}

TEST(PortFileLink, IsRefusedAtStartAndTheFileItNamesIsNotTouched)
{
    Sandbox box;
    const std::string other = box.dir.file("precious");
    write_file(other, "keep me\n");
    ASSERT_EQ(symlink(other.c_str(), box.port_file.c_str()), 0);
    const int port = free_port();
    std::string output;
    EXPECT_EQ(box.run(http_on(port), &output), 255);
    EXPECT_EQ(output, "WebSrv Warning: No CGI pattern specified; CGI Processing is disabled.\n"
                      "WebSrv Error: The port file " + box.port_file + " is a symbolic link; refusing it\n"
                      "Error: Unable to start the Web Server Application. Aborting\n");
    EXPECT_EQ(read_file(other), "keep me\n");
    EXPECT_FALSE(can_connect(port));
}

TEST(PortFileLink, PutInPlaceWhileRunningIsLeftAloneAtStop)
{
    // The stop edits the file it opened at start; a link put in its place names another file,
    // which keeps every line, even one that reads like this instance's port.
    Sandbox box;
    const int port = free_port();
    auto server = box.start(http_on(port));
    ASSERT_TRUE(server->wait_ready({port}));
    const std::string other = box.dir.file("precious");
    write_file(other, "80\n" + std::to_string(port) + "\n");
    ASSERT_EQ(rename(box.port_file.c_str(), box.dir.file("opened").c_str()), 0);
    ASSERT_EQ(symlink(other.c_str(), box.port_file.c_str()), 0);
    EXPECT_EQ(server->stop(SIGTERM), 0);
    EXPECT_EQ(read_file(other), "80\n" + std::to_string(port) + "\n");
    EXPECT_NE(server->output().find("WebSrv Error: Unable to rewrite " + box.port_file +
                                    " Error: Too many levels of symbolic links\n"),
              std::string::npos)
        << server->output();
}

TEST(AcceptLoop, ServesADescriptorRegisteredDuringStartup)

{
    Sandbox box;
    const int spawner = free_port(), spawned = free_port();
    auto server = box.start({"-v", "-plugin", listen_plugin, "-spawn", std::to_string(spawner),
                             std::to_string(spawned)});
    ASSERT_TRUE(server->wait_ready({spawner, spawned})) << server->output();
    EXPECT_EQ(read_file(box.port_file), port_lines({spawner, spawned}));
    EXPECT_EQ(server->stop(SIGTERM), 0);
    EXPECT_EQ(read_file(box.port_file), "");
}

TEST(AcceptLoop, LogLinesOfTheMainProcessAreNotRepeatedByChildren)
{
    Sandbox box;
    const int port = free_port();
    auto server = box.start(http_on(port));
    ASSERT_TRUE(server->wait_ready({port}));
    for (int i = 0; i < 10; ++i)
        can_connect(port);
    // A stop takes no further connection: the ten are let in first.
    for (int waited = 0; waited < 10000 && server->output().size() < 70 + 10 * 33; waited += 10)
        sleep_ms(10);
    EXPECT_EQ(server->stop(SIGTERM), 0);
    // The warning was buffered in the main process before the first fork: printed once.

    std::string expected = "WebSrv Warning: No CGI pattern specified; CGI Processing is disabled.\n";
    for (int i = 0; i < 10; ++i)
        expected += "Web Server receive packet failed\n";
    EXPECT_EQ(server->output(), expected);
}

TEST(Shutdown, ConcurrentInstancesStartingAndStoppingNeverLoseEachOthersLines)
{
    Sandbox box;
    const std::string original = "80\n443\n";
    write_file(box.port_file, original);
    for (int round = 0; round < 25; ++round) {
        const int a = free_port(), b = free_port();
        auto first = box.start(http_on(a));
        auto second = box.start(http_on(b));
        ASSERT_TRUE(first->wait_ready({a})) << first->output();
        ASSERT_TRUE(second->wait_ready({b})) << second->output();
        const std::string running = read_file(box.port_file);
        EXPECT_TRUE(running == original + port_lines({a, b}) || running == original + port_lines({b, a}))
            << "round " << round << ": " << running;
        kill(first->pid(), SIGTERM);
        kill(second->pid(), SIGHUP);
        EXPECT_EQ(first->wait_exit(), 0);
        EXPECT_EQ(second->wait_exit(), 0);
        ASSERT_EQ(read_file(box.port_file), original) << "round " << round;
    }
}
