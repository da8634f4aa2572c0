#include "test_support.h"

#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
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

bool file_exists(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
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

int free_port()
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        throw std::runtime_error("cannot get a free port");
    close(fd);
    return ntohs(address.sin_port);
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

namespace {

void sleep_ms(int ms)
{
    const timespec pause{ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&pause, nullptr);
}

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
        if (log < 0 || dup2(log, 1) < 0 || chdir(cwd.c_str()) != 0)
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
    unlink(log_path_.c_str());
}

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

std::string ServerProcess::output() const { return read_file(log_path_); }

int run_server(const std::string &binary, const std::vector<std::string> &args,
               const std::string &port_file, const std::string &cwd, std::string *output)
{
    ServerProcess server(binary, args, port_file, cwd);
    const int status = server.wait_exit(20000);
    *output = server.output();
    return status;
}

}  // namespace websrv_test
