// Helpers shared by the test programs: a captured standard output, temporary directories,
// free loopback ports, and the real server binary run as a child process.
#pragma once

#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <vector>
#include <sys/types.h>

namespace websrv_test {

// The last part of a table row's test name (INSTANTIATE_TEST_SUITE_P): the row's `name`.
struct RowName {
    template <typename Info>
    std::string operator()(const Info &info) const
    {
        return info.param.name;
    }
};

// Reads a whole file; empty when it does not exist.
std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &content);
// `size` bytes of any value, the same for the same seed.
std::string random_bytes(size_t size, unsigned seed);
bool file_exists(const std::string &path);
// Copies the file `from` to `to` and gives the copy `mode`; throws when either fails.
void copy_file(const std::string &from, const std::string &to, mode_t mode);

// The test plug-in `name` (tp_record, tp_listen, ...) where the build put it.
std::string test_plugin(const std::string &name);

// Each of `items` followed by `end`, for failure messages.
std::string joined(const std::vector<std::string> &items, const std::string &end = "\n");
// How often `piece` occurs in `text`, overlapping occurrences included.
size_t count_of(const std::string &text, const std::string &piece);
// How many of `lines` begin with `prefix`.
size_t count_prefixed(const std::vector<std::string> &lines, const std::string &prefix);
// The lines a port file holds for `ports`: each number followed by a line feed.
std::string port_lines(const std::vector<int> &ports);

// Polls `done` until it holds or `ms` milliseconds passed; its last answer.
bool eventually(const std::function<bool()> &done, int ms = 10000);

// A GET request for `target` with the header lines `headers` (each ending in CR LF).
std::string get_request(const std::string &target, const std::string &headers = "");

// The lines the test CGI program printenv writes about the input it read: its length and its
// FNV-1a hash.
std::string input_report(const std::string &input);

// A shell program at `path`, mode 0755: "#!/bin/sh", then `body` as its last line.
void write_script(const std::string &path, const std::string &body);

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

// A TCP port, free on every address, that the kernel handed out and keeps for this process
// until it ends: the server under test can bind it (it sets SO_REUSEADDR), nobody else is
// given it. Clients reach the server there on 127.0.0.1.
int free_port();

// Whether a TCP connection to 127.0.0.1:port is accepted.
bool can_connect(int port);

// CPU time (user + system) a process has used so far, in clock ticks; -1 if unknown.
long cpu_ticks(pid_t pid);

// Sleeps for MS milliseconds.
void sleep_ms(int ms);

// The value of the line "NAME:" of /proc/PID/status, without leading blanks; "" if none.
std::string status_field(pid_t pid, const std::string &name);

// The processes whose parent is `pid` right now, zombies included, as "PID STATE" texts. The
// server's child that waits for the next connection (named "websrv-waiting") is left out: it
// is always there, and no session's.
std::vector<std::string> children_of(pid_t pid);


// Waits up to MS milliseconds until `pid` has no children; returns those still left.
std::vector<std::string> children_left_after(pid_t pid, int ms);

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
    // Like wait_listening, but without connecting: watches the kernel's table of listening
    // sockets, so no connection (and no session in the server) is made by waiting.
    bool wait_ready(const std::vector<int> &ports, int ms = 10000);
    // Whether the process is still running.
    bool alive();
    // Sends `signo` and waits (at most `ms`) for the exit. Returns the exit status, 128 + the
    // signal number for a killed process, or -1 on time-out.
    int stop(int signo, int ms = 10000);
    // Waits for the process to exit by itself (at most `ms`); same result as stop().
    int wait_exit(int ms = 10000);
    // Everything the server printed so far (complete once it exited).
    std::string output() const;
    // What its processes wrote to standard error (nothing, unless a sanitizer reported).
    std::string errors() const;

private:
    pid_t pid_ = -1;
    int status_ = -1;
    std::string log_path_;
};

// Whether a socket listens on TCP port `port` (IPv4), as the kernel's table shows it.
bool is_listening(int port);

// A raw client connection to 127.0.0.1:port, closed on destruction. Every wait is bounded.
class Client {
public:
    explicit Client(int port);  // connects; throws when the connection is refused
    ~Client();
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;

    int fd() const { return fd_; }
    // Sends all of `bytes`; false when the connection failed.
    bool send_all(const std::string &bytes);
    // Waits (at most `ms`) until the server has read everything sent so far: the receive
    // queue of its end of the connection is empty. Lets a test make each piece of a request
    // one read of the server's.
    bool wait_consumed(int ms = 5000);
    // Reads until the server closes the connection or `ms` pass; returns what arrived.
    std::string read_all(int ms = 5000);
    // Reads until `marker` has arrived (or the connection closed, or `ms` passed).
    std::string read_until(const std::string &marker, int ms = 5000);
    // Whether the end of the stream (or a reset) was seen by a read.
    bool closed() const { return closed_; }
    // Closes the connection with a reset instead of an orderly close.
    void reset();

private:
    int fd_ = -1;
    int server_port_ = 0;
    int local_port_ = 0;
    bool closed_ = false;
    // Reads once, waiting at most `ms`; appends to *out. False at end of stream or time-out.
    bool read_some(std::string *out, int ms);
};

// Sends `request` on a new connection and returns everything the server sent until it
// closed the connection (at most `ms` of waiting).
std::string exchange(int port, const std::string &request, int ms = 5000);

// A response as it came off the wire, split at its first empty line.
struct Reply {
    std::string raw;
    std::string head;         // status line and header lines with the empty line; all of raw
                              // when no empty line came
    std::string body;         // what followed the empty line
    std::string status_line;  // the first line, without its CR LF
    // Value of the first header line "name: value" (name compared exactly), or "" with
    // *found false.
    std::string header(const std::string &name, bool *found = nullptr) const;
};
Reply parse_reply(const std::string &raw);

// Whether `text` is an HTTP date as the server writes it: "Sun, 06 Nov 1994 08:49:37 GMT".
bool is_http_date(const std::string &text);

// The error response the server composes for `status` and `reason` with the status line's
// version text `version` and the Date value `date`.
std::string expected_error_page(const std::string &version, int status, const std::string &reason,
                                const std::string &date);

// The lines of a text file, without their line ends.
std::vector<std::string> read_lines(const std::string &path);

// A document root "www" in a fresh directory, a port file and a record file beside it, a
// free port, and a server serving the root on that port.
class Site {
public:
    // A modification time that files get unless told otherwise: Sun, 06 Nov 1994 08:49:37 GMT.
    static constexpr time_t default_mtime = 784111777;

    Site();
    TempDir dir;
    std::string root;       // dir/www, the server's working directory
    std::string port_file;  // dir/webport
    std::string record;     // dir/record, for the tp_record plug-in
    int port;

    // Writes root/name with the modification time `mtime`.
    void put(const std::string &name, const std::string &content, time_t mtime = default_mtime);
    // Starts `binary` with `args` in the root and waits, without connecting, until the port
    // listens. False when the server died or did not listen in time.
    bool start(const std::string &binary, const std::vector<std::string> &args);
    ServerProcess &server() { return *server_; }
    // One request on a new connection; the reply up to the server's close.
    Reply get(const std::string &request, int ms = 5000);
    // Stops the server with SIGTERM; returns its exit status (see ServerProcess::stop).
    int stop();
    // Everything the server logged (complete once it stopped).
    std::string log() const;
    // Stops the server with SIGTERM, expects it to exit with 0, and returns what it logged.
    std::string stop_cleanly();
    // The lines tp_record wrote for the connections (its "start" lines left out).
    std::vector<std::string> recorded() const;
    // The first recorded line that begins with `prefix`, or "".
    std::string recorded_line(const std::string &prefix) const;

private:
    std::unique_ptr<ServerProcess> server_;
};

// Runs the server to completion (for command lines that must fail fast) and returns its exit
// status; its output goes to *output.
int run_server(const std::string &binary, const std::vector<std::string> &args,
               const std::string &port_file, const std::string &cwd, std::string *output);

}  // namespace websrv_test
