// "-status PATH": what an operator asks a server first, from the server's own counters. GET
// PATH answers JSON; PATH?format=prometheus the same figures in the Prometheus text format.
// Behind -auth like any path (the password check comes first on the route).
#include <cstdio>
#include <cstring>
#include <ctime>

#include "stock.h"
#include "websrv_answer.h"

namespace {

constexpr size_t status_path_size = 256;
constexpr size_t status_body_size = 2048;

// The path without its leading "/", as the server gives the session's; "" without "-status".
char status_path[status_path_size];
const websrv_server_counters *counters = nullptr;

int set_status(char **values)
{
    const char *path = values[0];
    if (path[0] != '/' || strlen(path) >= sizeof status_path || strchr(path, '?') != nullptr) {
        log_msg(WEBSRV_LOG_ERROR, "%s: -status needs a path that starts with \"/\", not \"%s\"\n", stock_name, path);
        return -1;
    }
    snprintf(status_path, sizeof status_path, "%s", path[1] != '\0' ? path + 1 : "./");
    return 0;
}

constexpr stock_option options[] = {
    {"-status", 1, "path", false, set_status},
};

// Whether the query asks for the Prometheus text format.
bool wants_prometheus(const char *query)
{
    for (const char *at = query; at != nullptr; at = strchr(at, '&')) {
        at += *at == '&';
        if (strncmp(at, "format=prometheus", 17) == 0 && (at[17] == '\0' || at[17] == '&'))
            return true;
    }
    return false;
}

// One figure: its name in each format, its help text and its Prometheus type.
struct figure {
    const char *json;
    const char *metric;
    const char *help;
    const char *type;
    unsigned long long value;
};

int write_figures(char *out, size_t size, const figure (&figures)[7], bool prometheus)
{
    int length = prometheus ? 0 : snprintf(out, size, "{\"server\":\"%s\"", WEBSRV_SERVER_TOKEN);
    for (const figure &f : figures) {
        const size_t used = static_cast<size_t>(length);
        length += prometheus ? snprintf(out + used, size - used, "# HELP %s %s\n# TYPE %s %s\n%s %llu\n", f.metric,
                                        f.help, f.metric, f.type, f.metric, f.value)
                             : snprintf(out + used, size - used, ",\"%s\":%llu", f.json, f.value);
    }
    if (!prometheus)
        length += snprintf(out + length, size - static_cast<size_t>(length), "}\n");
    return length;  // the figures fit many times over: `size` is never reached
}

int answer_status(websrv_session *session)
{
    const bool prometheus = session->query != nullptr && wants_prometheus(session->query);
    const websrv_server_counters zero{};
    const websrv_server_counters &now = counters != nullptr ? *counters : zero;
    const long long uptime = now.started > 0 ? static_cast<long long>(time(nullptr)) - now.started : 0;
    const figure figures[7] = {
        {"uptime_s", "websrv_uptime_seconds", "Seconds since the server started.", "gauge",
         static_cast<unsigned long long>(uptime > 0 ? uptime : 0)},
        {"connections", "websrv_connections_total", "Connections taken.", "counter", now.connections},
        {"requests", "websrv_requests_total", "Requests whose header came whole.", "counter", now.requests},
        {"active", "websrv_active_requests", "Requests being answered now.", "gauge",
         static_cast<unsigned long long>(now.active > 0 ? now.active : 0)},
        {"slots", "websrv_session_slots", "Sessions served at once at most.", "gauge",
         static_cast<unsigned long long>(now.slots)},
        {"refused", "websrv_refused_total", "Requests answered 503 for want of a session slot.", "counter",
         now.refused},
        {"bytes_sent", "websrv_sent_bytes_total", "Bytes written to clients.", "counter", now.bytes_sent},
    };
    char body[status_body_size];
    const int length = write_figures(body, sizeof body, figures, prometheus);
    return websrv_answer_send(session, 200, prometheus ? "text/plain; version=0.0.4" : "application/json",
                              "Cache-Control: no-store\r\n", body, static_cast<size_t>(length));
}

}  // namespace

std::span<const stock_option> status_options()
{
    return options;
}

void status_counters(const websrv_server_counters *from_server)
{
    counters = from_server;
}

const websrv_server_counters *server_counters()
{
    return counters;
}

int status_route(websrv_session *session)
{
    if (status_path[0] == '\0' || strcmp(session->uri, status_path) != 0)
        return 1;
    if (strcasecmp(session->method, "GET") != 0 && strcasecmp(session->method, "HEAD") != 0)
        return websrv_answer_send(session, 405, "application/json", "Allow: GET, HEAD\r\n",
                                  "{\"error\":\"method not allowed\"}\n", 31);
    return answer_status(session);
}
