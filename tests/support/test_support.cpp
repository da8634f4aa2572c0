#include "test_support.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <random>
#include <sstream>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace websrv_test {

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void write_file(const std::string &path, const std::string &content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

std::string random_bytes(size_t size, unsigned seed)
{
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (char &c : bytes)
        c = static_cast<char>(generator());
    return bytes;
}

bool file_exists(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

void copy_file(const std::string &from, const std::string &to, mode_t mode)
{
    if (!file_exists(from))
        throw std::runtime_error("cannot read " + from);
    write_file(to, read_file(from));
    if (chmod(to.c_str(), mode) != 0)
        throw std::runtime_error("cannot set the mode of " + to);
}

std::string test_plugin(const std::string &name) { return std::string(TEST_PLUGIN_DIR) + "/" + name + ".so"; }

std::string joined(const std::vector<std::string> &items, const std::string &end)
{
    std::string text;
    for (const std::string &item : items)
        text += item + end;
    return text;
}

size_t count_of(const std::string &text, const std::string &piece)
{
    size_t n = 0;
    for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1))
        ++n;
    return n;
}

size_t count_prefixed(const std::vector<std::string> &lines, const std::string &prefix)
{
    size_t n = 0;
    for (const std::string &line : lines)
        n += line.rfind(prefix, 0) == 0;
    return n;
}

std::string port_lines(const std::vector<int> &ports)
{
    std::string text;
    for (int port : ports)
        text += std::to_string(port) + "\n";
    return text;
}

bool eventually(const std::function<bool()> &done, int ms)
{
    for (int waited = 0; waited < ms; waited += 5) {
        if (done())
            return true;
        sleep_ms(5);
    }
    return done();
}

std::string get_request(const std::string &target, const std::string &headers)
{
    return "GET " + target + " HTTP/1.0\r\n" + headers + "\r\n";
}

std::string input_report(const std::string &input)
{
    uint32_t hash = 2166136261u;
    for (unsigned char c : input)
        hash = (hash ^ c) * 16777619u;
    char text[64];
    snprintf(text, sizeof text, "input_length=%zu\ninput_hash=%08x\n", input.size(), hash);
    return text;
}

void write_script(const std::string &path, const std::string &body)
{
    write_file(path, "#!/bin/sh\n" + body + "\n");
    if (chmod(path.c_str(), 0755) != 0)
        throw std::runtime_error("cannot make " + path + " executable");
}

StdoutCapture::StdoutCapture()
{
    char name[] = "/tmp/websrv-capture-XXXXXX";
    const int fd = mkstemp(name);
    if (fd < 0)
        throw std::runtime_error("mkstemp failed");
    path_ = name;
    fflush(stdout);
    saved_ = dup(1);
    dup2(fd, 1);
    close(fd);
}

std::string StdoutCapture::finish()
{
    if (!done_) {
        done_ = true;
        fflush(stdout);
        dup2(saved_, 1);
        close(saved_);
        text_ = read_file(path_);
        unlink(path_.c_str());
    }
    return text_;
}

StdoutCapture::~StdoutCapture() { finish(); }

TempDir::TempDir()
{
    const char *base = getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base ? base : "/tmp") + "/websrv-test-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (mkdtemp(name.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path_ = name.data();
}

TempDir::~TempDir()
{
    if (getenv("WEBSRV_KEEP_TEST_DIRS") != nullptr) {
        fprintf(stderr, "keeping %s\n", path_.c_str());
        return;
    }
    const std::string command = "rm -rf '" + path_ + "'";
    if (system(command.c_str()) != 0)
        fprintf(stderr, "could not remove %s\n", path_.c_str());
}

namespace {

// A socket bound with SO_REUSEADDR to port 0 of every address (IPv6 and IPv4 alike where the
// machine has IPv6, as the server's own listening sockets); its port, or -1.
int bind_probe(int family)
{
    const int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1, off = 0;
    sockaddr_storage address{};
    address.ss_family = static_cast<sa_family_t>(family);
    socklen_t length = family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        (family == AF_INET6 && setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) != 0) ||
        bind(fd, reinterpret_cast<sockaddr *>(&address), length) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    return ntohs(family == AF_INET6 ? reinterpret_cast<sockaddr_in6 *>(&address)->sin6_port
                                    : reinterpret_cast<sockaddr_in *>(&address)->sin_port);
}

}  // namespace

int free_port()
{
    // The probe that learns the port stays bound until this process ends (its descriptor is
    // never closed). While it is, the kernel hands the port to no other bind to port 0 and to
    // no outgoing connection, so no other test, here or in another process, can be given it or
    // take it before the server binds. It is bound to every address, as the server's socket
    // is: a probe of 127.0.0.1 alone could be handed a port that a connection of another
    // loopback address still holds (in TIME_WAIT, say), which the server's bind then finds in
    // use. The probe never listens and sets SO_REUSEADDR, as the server's listening sockets
    // do, so the server's bind succeeds; a running server still makes a second one fail.
    int port = bind_probe(AF_INET6);
    if (port < 0)
        port = bind_probe(AF_INET);
    if (port < 0)
        throw std::runtime_error("cannot get a free port");
    return port;
}

bool can_connect(int port)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    const bool ok = connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    close(fd);
    return ok;
}

long cpu_ticks(pid_t pid)
{
    const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    const size_t paren = stat.rfind(')');
    if (paren == std::string::npos)
        return -1;
    std::istringstream fields(stat.substr(paren + 2));
    std::string field;
    long utime = 0, stime = 0;
    // Fields after the command name: state is field 3; utime and stime are fields 14 and 15.
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14)
            utime = std::stol(field);
        if (i == 15)
            stime = std::stol(field);
    }
    return utime + stime;
}

void sleep_ms(int ms)
{
    const timespec pause{ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&pause, nullptr);
}

std::string status_field(pid_t pid, const std::string &name)
{
    std::istringstream status(read_file("/proc/" + std::to_string(pid) + "/status"));
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(name + ":", 0) == 0)
            return line.substr(line.find_first_not_of(" \t", name.size() + 1));
    return "";
}

std::vector<std::string> children_of(pid_t pid)
{
    std::vector<std::string> found;
    DIR *proc = opendir("/proc");
    if (proc == nullptr)
        return found;
    while (const dirent *entry = readdir(proc)) {
        const std::string stat = read_file(std::string("/proc/") + entry->d_name + "/stat");
        const size_t paren = stat.rfind(')');
        if (paren == std::string::npos)
            continue;
        char state = 0;
        int parent = 0;
        const size_t open = stat.find('(');
        const bool waiting = open != std::string::npos && stat.compare(open, paren - open + 1, "(websrv-waiting)") == 0;
        if (sscanf(stat.c_str() + paren + 2, "%c %d", &state, &parent) == 2 && parent == pid && !waiting)
            found.push_back(std::string(entry->d_name) + " " + state);

    }
    closedir(proc);
    return found;
}

std::vector<std::string> children_left_after(pid_t pid, int ms)
{
    std::vector<std::string> left = children_of(pid);
    for (int waited = 0; waited < ms && !left.empty(); waited += 10) {
        sleep_ms(10);
        left = children_of(pid);
    }
    return left;
}

namespace {

int decode_status(int status)
{
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

pid_t spawn(const std::string &binary, const std::vector<std::string> &args,
            const std::string &port_file, const std::string &cwd, const std::string &log_path)
{
    std::vector<std::string> argv_text{binary};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (auto &a : argv_text)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    fflush(stdout);
    fflush(stderr);
    const pid_t pid = fork();
    if (pid == 0) {
        const int log = open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        // The server writes nothing to standard error itself; what lands there (sanitizer
        // reports from any of its processes) is checked when the test lets go of it.
        const int errors = open((log_path + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0644);
        if (log < 0 || errors < 0 || dup2(log, 1) < 0 || dup2(errors, 2) < 0 || chdir(cwd.c_str()) != 0)
            _exit(126);
        setenv("WEBSRV_TEST_PORT_FILE", port_file.c_str(), 1);
        // Start from default dispositions and an empty mask, as from a shell.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        signal(SIGPIPE, SIG_DFL);
        execv(binary.c_str(), argv.data());
        _exit(127);
    }
    if (pid < 0)
        throw std::runtime_error("fork failed");
    return pid;
}

std::string next_log_path()
{
    static int counter = 0;
    char name[128];
    snprintf(name, sizeof name, "/tmp/websrv-out-%d-%d.log", getpid(), ++counter);
    return name;
}

}  // namespace

ServerProcess::ServerProcess(const std::string &binary, const std::vector<std::string> &args,
                             const std::string &port_file, const std::string &cwd)
    : log_path_(next_log_path())
{
    pid_ = spawn(binary, args, port_file, cwd, log_path_);
}

ServerProcess::~ServerProcess()
{
    if (alive()) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    const std::string errors_path = log_path_ + ".err";
    const std::string errors = read_file(errors_path);
    if (errors.find("Sanitizer") != std::string::npos || errors.find("runtime error:") != std::string::npos)
        ADD_FAILURE() << "sanitizer report from the server:\n" << errors;
    unlink(log_path_.c_str());
    unlink(errors_path.c_str());
}

std::string ServerProcess::errors() const { return read_file(log_path_ + ".err"); }

bool ServerProcess::alive()
{
    if (status_ != -1)
        return false;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
        status_ = decode_status(status);
        return false;
    }
    return true;
}

bool ServerProcess::wait_listening(const std::vector<int> &ports, int ms)
{
    for (int waited = 0; waited < ms; waited += 10) {
        if (!alive())
            return false;
        bool all = true;
        for (int port : ports)
            all = all && can_connect(port);
        if (all)
            return true;
        sleep_ms(10);
    }
    return false;
}

int ServerProcess::wait_exit(int ms)
{
    for (int waited = 0; waited < ms; waited += 5) {
        if (!alive())
            return status_;
        sleep_ms(5);
    }
    return -1;
}

int ServerProcess::stop(int signo, int ms)
{
    if (alive())
        kill(pid_, signo);
    return wait_exit(ms);
}

bool ServerProcess::wait_ready(const std::vector<int> &ports, int ms)
{
    for (int waited = 0; waited < ms; waited += 5) {
        if (!alive())
            return false;
        bool all = true;
        for (int port : ports)
            all = all && is_listening(port);
        if (all)
            return true;
        sleep_ms(5);
    }
    return false;
}

std::string ServerProcess::output() const { return read_file(log_path_); }

namespace {

// One TCP socket as /proc/net/tcp or /proc/net/tcp6 lists it (the server's sockets take IPv6
// and IPv4 clients alike, so its connections may be in either table).
struct tcp_entry {
    unsigned local_port;
    unsigned remote_port;
    unsigned state;
    unsigned long send_queue;
    unsigned long receive_queue;
};

std::vector<tcp_entry> tcp_table()
{
    std::vector<tcp_entry> entries;
    for (const char *path : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::istringstream table(read_file(path));
        std::string line;
        std::getline(table, line);  // the column names
        while (std::getline(table, line)) {
            tcp_entry entry{};
            if (sscanf(line.c_str(), " %*u: %*[0-9A-Fa-f]:%x %*[0-9A-Fa-f]:%x %x %lx:%lx", &entry.local_port,
                       &entry.remote_port, &entry.state, &entry.send_queue, &entry.receive_queue) == 5)
                entries.push_back(entry);
        }
    }
    return entries;
}


constexpr unsigned tcp_listen_state = 0x0A;

long long now_ms()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

}  // namespace

bool is_listening(int port)
{
    for (const tcp_entry &entry : tcp_table())
        if (entry.local_port == static_cast<unsigned>(port) && entry.state == tcp_listen_state)
            return true;
    return false;
}

Client::Client(int port) : server_port_(port)
{
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (fd_ < 0 || connect(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
        throw std::runtime_error("cannot connect to port " + std::to_string(port));
    sockaddr_in local{};
    socklen_t length = sizeof local;
    getsockname(fd_, reinterpret_cast<sockaddr *>(&local), &length);
    local_port_ = ntohs(local.sin_port);
}

Client::~Client()
{
    if (fd_ >= 0)
        close(fd_);
}

bool Client::send_all(const std::string &bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t sent = send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (sent <= 0)
            return false;
        done += static_cast<size_t>(sent);
    }
    return true;
}

bool Client::wait_consumed(int ms)
{
    const long long deadline = now_ms() + ms;
    do {
        // Pending: bytes the server's end has not acknowledged yet (our send queue), or
        // has received but not read (its receive queue).
        bool pending = false;
        for (const tcp_entry &entry : tcp_table()) {
            const bool ours = entry.local_port == static_cast<unsigned>(local_port_) &&
                              entry.remote_port == static_cast<unsigned>(server_port_);
            const bool theirs = entry.local_port == static_cast<unsigned>(server_port_) &&
                                entry.remote_port == static_cast<unsigned>(local_port_);
            if ((ours && entry.send_queue != 0) || (theirs && entry.receive_queue != 0))
                pending = true;
        }
        if (!pending)
            return true;
        sleep_ms(1);
    } while (now_ms() < deadline);
    return false;
}

bool Client::read_some(std::string *out, int ms)
{
    if (closed_ || ms < 0)
        return false;
    pollfd source{fd_, POLLIN, 0};
    if (poll(&source, 1, ms) <= 0)
        return false;
    char chunk[65536];
    const ssize_t got = recv(fd_, chunk, sizeof chunk, 0);
    if (got <= 0) {
        closed_ = true;
        return false;
    }
    out->append(chunk, static_cast<size_t>(got));
    return true;
}

std::string Client::read_all(int ms)
{
    std::string text;
    const long long deadline = now_ms() + ms;
    while (read_some(&text, static_cast<int>(deadline - now_ms()))) {
    }
    return text;
}

std::string Client::read_until(const std::string &marker, int ms)
{
    std::string text;
    const long long deadline = now_ms() + ms;
    while (text.find(marker) == std::string::npos &&
           read_some(&text, static_cast<int>(deadline - now_ms()))) {
    }
    return text;
}

void Client::reset()
{
    const linger abort_on_close{1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abort_on_close, sizeof abort_on_close);
    close(fd_);
    fd_ = -1;
    closed_ = true;
}

std::string exchange(int port, const std::string &request, int ms)
{
    Client client(port);
    client.send_all(request);
    return client.read_all(ms);
}

std::string Reply::header(const std::string &name, bool *found) const
{
    const std::string key = "\r\n" + name + ": ";
    const size_t start = head.find(key);
    if (found != nullptr)
        *found = start != std::string::npos;
    if (start == std::string::npos)
        return "";
    const size_t value = start + key.size();
    return head.substr(value, head.find("\r\n", value) - value);
}

Reply parse_reply(const std::string &raw)
{
    Reply reply;
    reply.raw = raw;
    const size_t end = raw.find("\r\n\r\n");
    reply.head = end == std::string::npos ? raw : raw.substr(0, end + 4);
    reply.body = end == std::string::npos ? "" : raw.substr(end + 4);
    reply.status_line = raw.substr(0, raw.find("\r\n"));
    return reply;
}

bool is_http_date(const std::string &text)
{
    // "Sun, 06 Nov 1994 08:49:37 GMT": # stands for a digit.
    static const std::string form = "ddd, ## mmm #### ##:##:## GMT";
    static const std::string days = "Mon Tue Wed Thu Fri Sat Sun";
    static const std::string months = "Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec";
    if (text.size() != form.size())
        return false;
    for (size_t i = 0; i < form.size(); ++i) {
        const char want = form[i];
        if (want == '#' ? !isdigit(static_cast<unsigned char>(text[i]))
                        : want != 'd' && want != 'm' && text[i] != want)
            return false;
    }
    const size_t day = days.find(text.substr(0, 3));
    const size_t month = months.find(text.substr(8, 3));
    return day != std::string::npos && day % 4 == 0 && month != std::string::npos && month % 4 == 0;
}

std::string expected_error_page(const std::string &version, int status, const std::string &reason,
                                const std::string &date)
{
    const std::string code = std::to_string(status);
    return version + " " + code + " " + reason + "\r\n" + "Server: TAVRIX/1.0\r\n" + "Date: " +
           date + "\r\n" + "Content-Type: text/html\r\n" + "\r\n" +
           "<HTML>\n<HEAD><TITLE>" + code + " " + reason + "</TITLE></HEAD>\n</HTML>" +
           "<HR>\nTAVRIX/1.0 Error: " + code + " " + reason + "</TITLE></HEAD>\n</HR>";
}

std::vector<std::string> read_lines(const std::string &path)
{
    std::vector<std::string> lines;
    std::istringstream text(read_file(path));
    std::string line;
    while (std::getline(text, line))
        lines.push_back(line);
    return lines;
}

Site::Site() : root(dir.file("www")), port_file(dir.file("webport")), record(dir.file("record")), port(free_port())
{
    if (mkdir(root.c_str(), 0755) != 0)
        throw std::runtime_error("cannot make " + root);
}

void Site::put(const std::string &name, const std::string &content, time_t mtime)
{
    const std::string path = root + "/" + name;
    write_file(path, content);
    const timespec times[2] = {{mtime, 0}, {mtime, 0}};
    if (utimensat(AT_FDCWD, path.c_str(), times, 0) != 0)
        throw std::runtime_error("cannot set the time of " + path);
}

bool Site::start(const std::string &binary, const std::vector<std::string> &args)
{
    server_ = std::make_unique<ServerProcess>(binary, args, port_file, root);
    return server_->wait_ready({port});
}

Reply Site::get(const std::string &request, int ms) { return parse_reply(exchange(port, request, ms)); }

int Site::stop() { return server_->stop(SIGTERM); }

std::string Site::log() const { return server_->output(); }

std::string Site::stop_cleanly()
{
    EXPECT_EQ(stop(), 0);
    return log();
}

std::vector<std::string> Site::recorded() const
{
    std::vector<std::string> lines;
    for (const std::string &line : read_lines(record))
        if (line.rfind("start ", 0) != 0)
            lines.push_back(line);
    return lines;
}

std::string Site::recorded_line(const std::string &prefix) const
{
    for (const std::string &line : recorded())
        if (line.rfind(prefix, 0) == 0)
            return line;
    return "";
}

int run_server(const std::string &binary, const std::vector<std::string> &args,
               const std::string &port_file, const std::string &cwd, std::string *output)
{
    ServerProcess server(binary, args, port_file, cwd);
    const int status = server.wait_exit(20000);
    *output = server.output();
    return status;
}

}  // namespace websrv_test
