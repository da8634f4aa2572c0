// The soak run: starts the test build of the server on a site of its own and sends it a long,
// bounded loop of mixed requests on 127.0.0.1 (static files, 404, 304, CGI GET and POST,
// refused CGI methods, malformed requests), checking every answer byte for byte. After the
// first hundred requests and again at the end it measures the server's main process: open
// descriptors, memory and child processes. It fails on any unexpected answer, any log line
// it did not expect, a sanitizer report, or any growth of those measurements.
//
//   soak_driver SERVER HTTP_PLUGIN CGI_PROGRAM [DEFAULT_REQUESTS]
//   SOAK_REQUESTS=N      requests to send (default DEFAULT_REQUESTS, or 20000)
//   SOAK_TIME_LIMIT=S    seconds after which the run stops and fails (default: 300 + N / 50)
//   SOAK_KEEP_DIR=1      keep the site, the log and the port file afterwards
//   SOAK_JOBS=N          the server serves up to N sessions at once (-j N; default 1)
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <map>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "test_support.h"

using websrv_test::children_left_after;
using websrv_test::free_port;
using websrv_test::is_listening;
using websrv_test::read_file;
using websrv_test::status_field;

namespace {

using clock_type = std::chrono::steady_clock;

bool write_file(const std::string &path, const std::string &content, time_t mtime)
{
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << content;
        if (!out)
            return false;
    }
    const timespec times[2] = {{mtime, 0}, {mtime, 0}};
    return utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

long env_number(const char *name, long fallback)
{
    const char *text = getenv(name);
    if (text == nullptr || *text == '\0')
        return fallback;
    char *end = nullptr;
    const long value = strtol(text, &end, 10);
    if (*end != '\0' || value <= 0) {
        fprintf(stderr, "soak: %s must be a positive number, not \"%s\"\n", name, text);
        exit(2);
    }
    return value;
}

// ---- The server's main process, as /proc shows it -------------------------------------

int count_entries(const std::string &dir_path)
{
    DIR *dir = opendir(dir_path.c_str());
    if (dir == nullptr)
        return -1;
    int count = 0;
    while (const dirent *entry = readdir(dir))
        count += entry->d_name[0] != '.';
    closedir(dir);
    return count;
}

struct Resources {
    int descriptors = -1;
    int children = -1;
    long rss_kib = -1;
    long size_kib = -1;
};

// Waits (at most 10 s) until the CGI copy processes of the last requests have ended, then
// measures.
Resources measure(pid_t server)
{
    Resources r;
    r.children = static_cast<int>(children_left_after(server, 10000).size());
    r.descriptors = count_entries("/proc/" + std::to_string(server) + "/fd");
    r.rss_kib = atol(status_field(server, "VmRSS").c_str());
    r.size_kib = atol(status_field(server, "VmSize").c_str());
    return r;
}

// ---- The client ------------------------------------------------------------------------

// Sends `request` on a new connection to 127.0.0.1:port and reads until the server closes
// it. Each wait is bounded; *ok is false when the connection failed or a wait ran out.
std::string exchange(int port, const std::string &request, bool *ok)
{
    *ok = false;
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return "";
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    std::string reply;
    if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0) {
        size_t sent = 0;
        while (sent < request.size()) {
            const ssize_t put = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
            if (put <= 0)
                break;
            sent += static_cast<size_t>(put);
        }
        char chunk[65536];
        for (;;) {
            pollfd source{fd, POLLIN, 0};
            if (poll(&source, 1, 10000) <= 0)
                break;  // the server kept the connection open for 10 s: not an answer
            const ssize_t got = recv(fd, chunk, sizeof chunk, 0);
            if (got < 0)
                break;
            if (got == 0) {
                *ok = sent == request.size();
                break;
            }
            reply.append(chunk, static_cast<size_t>(got));
        }
    }
    close(fd);
    return reply;
}

// ---- What the server must answer ---------------------------------------------------------

constexpr time_t file_mtime = 784111777;  // Sun, 06 Nov 1994 08:49:37 GMT
const std::string file_date = "Sun, 06 Nov 1994 08:49:37 GMT";
const std::string failed_line = "Web Server receive packet failed";

std::string header_value(const std::string &reply, const std::string &name)
{
    const std::string key = "\r\n" + name + ": ";
    const size_t start = reply.find(key);
    if (start == std::string::npos)
        return "";
    const size_t value = start + key.size();
    return reply.substr(value, reply.find("\r\n", value) - value);
}

// The client's port as a CGI reply reports it (REMOTE_PORT), or "".
std::string client_port_in(const std::string &reply)
{
    const std::string key = "env=[REMOTE_PORT=";
    const size_t start = reply.find(key);
    if (start == std::string::npos)
        return "";
    const size_t value = start + key.size();
    return reply.substr(value, reply.find(']', value) - value);
}

std::string error_page(int status, const std::string &reason, const std::string &date)

{
    const std::string code = std::to_string(status);
    return "HTTP/1.0 " + code + " " + reason + "\r\nServer: TAVRIX/1.0\r\nDate: " + date +
           "\r\nContent-Type: text/html\r\n\r\n<HTML>\n<HEAD><TITLE>" + code + " " + reason +
           "</TITLE></HEAD>\n</HTML><HR>\nTAVRIX/1.0 Error: " + code + " " + reason +
           "</TITLE></HEAD>\n</HR>";
}

std::string file_answer(const std::string &content, const std::string &type, const std::string &date)
{
    std::string head = "HTTP/1.0 200 Ok\r\nServer: TAVRIX/1.0\r\nDate: " + date +
                       "\r\nLast-Modified: " + file_date + "\r\nContent-Type: " + type + "\r\n";
    if (!content.empty())
        head += "Content-Length: " + std::to_string(content.size()) + "\r\n";
    return head + "Connection: close\r\n\r\n" + content;
}

// FNV-1a, as the test CGI program reports the input it read.
unsigned long fold(const std::string &data)
{
    unsigned long hash = 2166136261UL;
    for (const unsigned char c : data)
        hash = (hash ^ c) * 16777619UL & 0xffffffffUL;
    return hash;
}

struct Site {
    std::string index = "<html><body><p>device</p></body></html>\n";
    std::string page;
    std::string big;
};

// One kind of request: how the i-th request of the kind looks, what its answer must be,
// and the log lines (level 1) the server writes for it.
struct Kind {
    std::string name;
    int weight;  // requests of this kind in every cycle of the mix
    std::function<std::string(long)> request;
    std::function<std::string(long, const std::string &)> expected;  // given the reply's Date
    std::vector<std::string> log_lines;
    long sent = 0;
    long unexpected = 0;
};

std::vector<Kind> make_kinds(const Site &site)
{
    auto error = [](int status, const std::string &reason) {
        return [=](long, const std::string &date) { return error_page(status, reason, date); };
    };
    auto cgi_head = std::string("HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n");
    // @PORT@, @ROOT@ and @CLIENT@ (the client's port) are put in when the reply is compared.
    auto cgi_env = [](const std::string &method, const std::string &query, const std::string &length) {
        std::string env = "env=[SERVER_SOFTWARE=TAVRIX/1.0]\nenv=[SERVER_NAME=127.0.0.1]\n"
                          "env=[GATEWAY_INTERFACE=CGI/1.1]\nenv=[SERVER_PROTOCOL=HTTP/1.0]\n";
        env += "env=[SERVER_PORT=@PORT@]\nenv=[REQUEST_METHOD=" + method + "]\n";
        env += "env=[SCRIPT_NAME=/cgi-bin/printenv]\nenv=[QUERY_STRING=" + query + "]\n";
        if (!length.empty())
            env += "env=[CONTENT_LENGTH=" + length + "]\n";
        env += "env=[REMOTE_ADDR=127.0.0.1]\nenv=[REMOTE_PORT=@CLIENT@]\n";
        env += "env=[REQUEST_URI=/cgi-bin/printenv" + (query.empty() ? "" : "?" + query) + "]\n";
        return env + "env=[DOCUMENT_ROOT=@ROOT@]\nenv=[SCRIPT_FILENAME=@ROOT@/cgi-bin/printenv]\n"
                     "env=[REDIRECT_STATUS=200]\n";
    };
    std::vector<Kind> kinds;
    kinds.push_back({"index", 2, [](long) { return std::string("GET / HTTP/1.0\r\n\r\n"); },
                     [&site](long, const std::string &date) { return file_answer(site.index, "text/html", date); },
                     {}});
    kinds.push_back({"static", 3,
                     [](long i) {
                         return "GET /page.html HTTP/1.0\r\nUser-Agent: soak/" + std::to_string(i) +
                                "\r\nHost: 127.0.0.1\r\n\r\n";
                     },
                     [&site](long, const std::string &date) { return file_answer(site.page, "text/html", date); },
                     {}});
    kinds.push_back({"large", 1, [](long) { return std::string("GET /img/big.png HTTP/1.0\r\n\r\n"); },
                     [&site](long, const std::string &date) { return file_answer(site.big, "image/png", date); },
                     {}});
    kinds.push_back({"empty", 1, [](long) { return std::string("HEAD /empty.txt HTTP/1.0\r\n\r\n"); },
                     [](long, const std::string &date) { return file_answer("", "text/plain", date); },
                     {}});
    kinds.push_back({"not-modified", 2,
                     [](long i) {
                         // Alternately the file's own date and a later one.
                         return std::string("GET /page.html HTTP/1.0\r\nIf-Modified-Since: ") +
                                (i % 2 ? file_date : "Mon, 07 Nov 1994 08:49:37 GMT") + "\r\n\r\n";
                     },
                     [](long, const std::string &date) {
                         return "HTTP/1.0 304 Not Modified\r\nServer: TAVRIX/1.0\r\nDate: " + date +
                                "\r\nLast-Modified: " + file_date +
                                "\r\nContent-Type: text/html\r\nConnection: close\r\n\r\n";
                     },
                     {}});
    kinds.push_back({"not-found", 2,
                     [](long i) { return "GET /missing-" + std::to_string(i) + ".html HTTP/1.0\r\n\r\n"; },
                     error(404, "Not Found"), {failed_line}});
    kinds.push_back({"outside", 1, [](long) { return std::string("GET /../webport HTTP/1.0\r\n\r\n"); },
                     error(404, "Not Found"), {}});
    kinds.push_back({"no-version", 1, [](long) { return std::string("GET /page.html\r\n\r\n"); },
                     error(400, "Bad Request"),
                     {"Error: No Space seperation for HTTP Version", failed_line}});
    kinds.push_back({"lf-only", 1, [](long) { return std::string("GET /page.html HTTP/1.0\n\n"); },
                     error(400, "Bad Request"),
                     {"Error: No CRLF termination for Request Line", failed_line}});
    kinds.push_back({"garbage", 1,
                     [](long i) {
                         std::string bytes = "\x16\x03\x01\x02\xa5\x01\x7f";
                         for (long k = 0; k < 40; ++k)
                             bytes += static_cast<char>(0x80 + (i * 7 + k * 13) % 0x7f);
                         return bytes + "\r\n\r\n";
                     },
                     error(400, "Bad Request"),
                     {"Error: No Space seperation for Request URI", failed_line}});
    kinds.push_back({"cgi-get", 2,
                     [](long i) { return "GET /cgi-bin/printenv?w" + std::to_string(i) + "+x%20y HTTP/1.0\r\n\r\n"; },
                     [=](long i, const std::string &) {
                         std::string word = std::to_string(i);
                         word.insert(word.begin(), 'w');
                         return cgi_head + "argc=3\nargv[0]=[cgi-bin/printenv]\nargv[1]=[" + word +
                                "]\nargv[2]=[x y]\n" + cgi_env("GET", word + "+x%20y", "");
                     },
                     {}});
    kinds.push_back({"cgi-post", 2,
                     [](long i) {
                         std::string body;
                         for (long k = 0; k < (i * 37) % 3000; ++k)
                             body += static_cast<char>('a' + (i + k) % 26);
                         return "POST /cgi-bin/printenv HTTP/1.0\r\nContent-Length: " +
                                std::to_string(body.size()) + "\r\n\r\n" + body;
                     },
                     [=](long i, const std::string &) {
                         std::string body;
                         for (long k = 0; k < (i * 37) % 3000; ++k)
                             body += static_cast<char>('a' + (i + k) % 26);
                         char report[80];
                         snprintf(report, sizeof report, "input_length=%zu\ninput_hash=%08lx\n",
                                  body.size(), fold(body));
                         return cgi_head + "argc=1\nargv[0]=[cgi-bin/printenv]\n" +
                                cgi_env("POST", "", std::to_string(body.size())) + report;
                     },
                     {}});
    kinds.push_back({"cgi-refused", 1,
                     [](long) { return std::string("DELETE /cgi-bin/printenv HTTP/1.0\r\n\r\n"); },
                     error(501, "Not Implemented"), {}});
    return kinds;
}

void replace_all(std::string &text, const std::string &from, const std::string &to)
{
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
}

// Shows a reply or an expectation on one line, bytes that do not print escaped.
std::string printable(const std::string &text, size_t limit = 400)
{
    std::string out;
    for (size_t i = 0; i < text.size() && i < limit; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else if (c < 0x20 || c >= 0x7f) {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else
            out += static_cast<char>(c);
    }
    return text.size() > limit ? out + "..." : out;
}

// ---- The server ------------------------------------------------------------------------

pid_t start_server(const std::vector<std::string> &args, const std::string &dir)
{
    std::vector<char *> argv;
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) {
        const int log = open((dir + "/log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int errors = open((dir + "/errors").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0644);
        if (log < 0 || errors < 0 || dup2(log, 1) < 0 || dup2(errors, 2) < 0)
            _exit(126);
        // The server starts with standard input, output and error only, as from a shell.
        close_range(3, ~0U, 0);
        setenv("WEBSRV_TEST_PORT_FILE", (dir + "/webport").c_str(), 1);
        unsetenv("WEBSRV_TEST_FAIL_ALLOC");
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

// Sends `signo` and waits at most 10 s. Returns the exit status, 128 + signal, or -1.
int stop_server(pid_t pid, int signo)
{
    kill(pid, signo);
    for (int waited = 0; waited < 10000; waited += 5) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        usleep(5000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -1;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 4 && argc != 5) {
        fprintf(stderr, "usage: %s SERVER HTTP_PLUGIN CGI_PROGRAM [DEFAULT_REQUESTS]\n", argv[0]);
        return 2;
    }
    const long requests = env_number("SOAK_REQUESTS", argc == 5 ? atol(argv[4]) : 20000);
    const long time_limit = env_number("SOAK_TIME_LIMIT", 300 + requests / 50);
    signal(SIGPIPE, SIG_IGN);

    // The site: pages of several sizes, an empty file and the CGI program.
    const char *tmp = getenv("TMPDIR");
    std::string dir = std::string(tmp != nullptr && *tmp ? tmp : "/tmp") + "/websrv-soak-XXXXXX";
    if (mkdtemp(dir.data()) == nullptr) {
        perror("soak: mkdtemp");
        return 2;
    }
    const std::string root = dir + "/www";
    Site site;
    for (int i = 0; i < 60; ++i)
        site.page += "<p>line " + std::to_string(i) + " of the page</p>\n";
    for (int i = 0; i < 256 * 1024; ++i)
        site.big += static_cast<char>((i * 31 + i / 251) & 0xff);
    mkdir(root.c_str(), 0755);
    mkdir((root + "/img").c_str(), 0755);
    mkdir((root + "/cgi-bin").c_str(), 0755);
    if (!write_file(root + "/index.html", site.index, file_mtime) ||
        !write_file(root + "/page.html", site.page, file_mtime) ||
        !write_file(root + "/img/big.png", site.big, file_mtime) ||
        !write_file(root + "/empty.txt", "", file_mtime) ||
        !write_file(root + "/cgi-bin/printenv", read_file(argv[3]), file_mtime) ||
        chmod((root + "/cgi-bin/printenv").c_str(), 0755) != 0 ||
        !write_file(dir + "/webport", "", file_mtime)) {
        fprintf(stderr, "soak: cannot set up the site in %s\n", dir.c_str());
        return 2;
    }

    const int port = free_port();
    // SOAK_JOBS=N: the server serves up to N sessions at once (-j N).
    const std::string jobs = std::to_string(env_number("SOAK_JOBS", 1));
    const pid_t server = start_server({argv[1], "-j", jobs, "-c", "cgi-bin", "-d", root, "-plugin", argv[2],
                                       "-port", std::to_string(port)},
                                      dir);

    bool listening = false;
    for (int waited = 0; waited < 10000 && !listening; waited += 5) {
        if (waitpid(server, nullptr, WNOHANG) == server)
            break;  // it died
        listening = is_listening(port);
        if (!listening)
            usleep(5000);
    }
    if (!listening) {
        fprintf(stderr, "soak: the server did not listen on %d:\n%s", port, read_file(dir + "/log").c_str());
        stop_server(server, SIGKILL);
        if (getenv("SOAK_KEEP_DIR") == nullptr && system(("rm -rf '" + dir + "'").c_str()) != 0)
            fprintf(stderr, "soak: could not remove %s\n", dir.c_str());
        return 1;
    }

    std::vector<Kind> kinds = make_kinds(site);
    std::vector<size_t> cycle;
    for (size_t k = 0; k < kinds.size(); ++k)
        for (int w = 0; w < kinds[k].weight; ++w)
            cycle.push_back(k);
    printf("soak: %ld requests to 127.0.0.1:%d, server pid %d, site %s\n", requests, port,
           static_cast<int>(server), dir.c_str());
    printf("soak: each cycle of %zu requests:", cycle.size());
    for (const Kind &kind : kinds)
        printf(" %s %d", kind.name.c_str(), kind.weight);
    printf("\n");
    fflush(stdout);

    const auto started = clock_type::now();
    const auto deadline = started + std::chrono::seconds(time_limit);
    const long baseline_after = requests < 100 ? requests : 100;
    Resources baseline;
    long done = 0;
    long unexpected = 0;
    bool out_of_time = false;
    for (long i = 0; i < requests; ++i) {
        if (clock_type::now() > deadline) {
            out_of_time = true;
            break;
        }
        // Spread the kinds: consecutive cycles start at different places of the mix.
        Kind &kind = kinds[cycle[(i + i / static_cast<long>(cycle.size())) % static_cast<long>(cycle.size())]];
        const long nth = kind.sent++;
        bool complete = false;
        const std::string reply = exchange(port, kind.request(nth), &complete);
        std::string expected = kind.expected(nth, header_value(reply, "Date"));
        replace_all(expected, "@PORT@", std::to_string(port));
        replace_all(expected, "@ROOT@", root);
        replace_all(expected, "@CLIENT@", client_port_in(reply));

        if (!complete || reply != expected) {
            ++kind.unexpected;
            if (++unexpected <= 5)
                printf("soak: request %ld (%s #%ld): %s\n  got:      %s\n  expected: %s\n", i,
                       kind.name.c_str(), nth, complete ? "unexpected answer" : "no complete answer",
                       printable(reply).c_str(), printable(expected).c_str());
        }
        ++done;
        if (done == baseline_after)
            baseline = measure(server);
        if (done % 100000 == 0) {
            printf("soak: %ld requests, %ld unexpected\n", done, unexpected);
            fflush(stdout);
        }
    }
    const double seconds = std::chrono::duration<double>(clock_type::now() - started).count();
    const Resources end = measure(server);
    const int exit_status = stop_server(server, SIGTERM);

    // Every line of the log must be one that the requests sent call for, as often as that.
    std::map<std::string, long> expected_lines;
    for (const Kind &kind : kinds)
        for (const std::string &line : kind.log_lines)
            expected_lines[line] += kind.sent;
    std::map<std::string, long> logged;
    std::istringstream log(read_file(dir + "/log"));
    for (std::string line; std::getline(log, line);)
        ++logged[line];
    const std::string errors = read_file(dir + "/errors");
    const std::string port_file = read_file(dir + "/webport");

    printf("soak: %ld requests in %.1f s (%.0f per second), %ld unexpected answers\n", done, seconds,
           done / seconds, unexpected);
    for (const Kind &kind : kinds)
        printf("soak:   %-13s %8ld sent %6ld unexpected\n", kind.name.c_str(), kind.sent, kind.unexpected);
    printf("soak: server main process   after %ld   at the end\n", baseline_after);
    printf("soak:   open descriptors  %8d %12d\n", baseline.descriptors, end.descriptors);
    printf("soak:   child processes   %8d %12d\n", baseline.children, end.children);
    printf("soak:   VmRSS (KiB)       %8ld %12ld\n", baseline.rss_kib, end.rss_kib);
    printf("soak:   VmSize (KiB)      %8ld %12ld\n", baseline.size_kib, end.size_kib);

    std::vector<std::string> problems;
    if (out_of_time)
        problems.push_back("the time limit of " + std::to_string(time_limit) + " s ran out after " +
                           std::to_string(done) + " requests");
    if (unexpected != 0)
        problems.push_back(std::to_string(unexpected) + " unexpected answers");
    if (baseline.descriptors < 0 || end.descriptors != baseline.descriptors)
        problems.push_back("the open descriptors changed");
    if (end.children != 0 || baseline.children != 0)
        problems.push_back("child processes were left running");
    if (baseline.rss_kib <= 0 || end.rss_kib > baseline.rss_kib)
        problems.push_back("the resident memory grew");
    if (baseline.size_kib <= 0 || end.size_kib != baseline.size_kib)
        problems.push_back("the address space changed");
    if (exit_status != 0)
        problems.push_back("the server's stop ended with status " + std::to_string(exit_status));
    if (!port_file.empty())
        problems.push_back("the port file still holds \"" + printable(port_file) + "\"");
    if (!errors.empty())
        problems.push_back("the server wrote to standard error:\n" + errors.substr(0, 4000));
    for (const auto &[line, count] : logged)
        if (expected_lines[line] != count)
            problems.push_back("log line \"" + printable(line) + "\" " + std::to_string(count) +
                               " times, expected " + std::to_string(expected_lines[line]));
    for (const auto &[line, count] : expected_lines)
        if (count != 0 && logged.find(line) == logged.end())
            problems.push_back("log line \"" + line + "\" missing, expected " + std::to_string(count) + " times");

    for (const std::string &problem : problems)
        printf("soak: FAILED: %s\n", problem.c_str());
    if (problems.empty())
        printf("soak: PASSED\n");
    if (getenv("SOAK_KEEP_DIR") != nullptr)
        printf("soak: kept %s\n", dir.c_str());
    else if (system(("rm -rf '" + dir + "'").c_str()) != 0)
        fprintf(stderr, "soak: could not remove %s\n", dir.c_str());
    return problems.empty() ? 0 : 1;
}
