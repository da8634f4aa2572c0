// Helpers shared by the test programs: a captured standard output, temporary directories,
// free loopback ports, and the real server binary run as a child process.
#pragma once

#include <string>
#include <vector>
#include <sys/types.h>

namespace websrv_test {

// Reads a whole file; empty when it does not exist.
std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &content);
bool file_exists(const std::string &path);

// Captures everything written to file descriptor 1 (stdio's stdout included) while alive.
class StdoutCapture {
public:
    StdoutCapture();
    ~StdoutCapture();
    // Stops capturing (once) and returns what was written.
    std::string finish();

private:
    int saved_ = -1;
    std::string path_;
    std::string text_;
    bool done_ = false;
};

// A fresh directory under the system's temporary directory, removed with its contents on
// destruction unless WEBSRV_KEEP_TEST_DIRS is set in the environment.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// A TCP port on 127.0.0.1 that the kernel just handed out and that is free again.
int free_port();

// Whether a TCP connection to 127.0.0.1:port is accepted.
bool can_connect(int port);

// CPU time (user + system) a process has used so far, in clock ticks; -1 if unknown.
long cpu_ticks(pid_t pid);

// The real server executable, run as a child with its standard output captured to a file.
class ServerProcess {
public:
    // Runs `binary` with `args` in directory `cwd`, the port file at `port_file`.
    ServerProcess(const std::string &binary, const std::vector<std::string> &args,
                  const std::string &port_file, const std::string &cwd);
    ~ServerProcess();  // kills the server if it is still running

    pid_t pid() const { return pid_; }
    // Waits (at most `ms`) until every port accepts connections. False if the server died or
    // the time ran out.
    bool wait_listening(const std::vector<int> &ports, int ms = 10000);
    // Whether the process is still running.
    bool alive();
    // Sends `signo` and waits (at most `ms`) for the exit. Returns the exit status, 128 + the
    // signal number for a killed process, or -1 on time-out.
    int stop(int signo, int ms = 10000);
    // Waits for the process to exit by itself (at most `ms`); same result as stop().
    int wait_exit(int ms = 10000);
    // Everything the server printed so far (complete once it exited).
    std::string output() const;

private:
    pid_t pid_ = -1;
    int status_ = -1;
    std::string log_path_;
};

// Runs the server to completion (for command lines that must fail fast) and returns its exit
// status; its output goes to *output.
int run_server(const std::string &binary, const std::vector<std::string> &args,
               const std::string &port_file, const std::string &cwd, std::string *output);

}  // namespace websrv_test
