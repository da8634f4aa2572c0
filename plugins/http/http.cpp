// http - the stock plug-in that serves a device's web pages.
//
// It is an ordinary plug-in, built only against websrv_plugin.h, and it is the smallest
// useful one, so it doubles as the template for your own. Load it with
//
//     websrv -plugin path/to/http.so [-port N]
//
// It gives the server a port to listen on (8080 unless "-port N" follows it on the command
// line) and teaches the server the content types a device UI needs. It sets no request
// hooks: the server itself answers with static files and CGI programs.
#include <stdlib.h>
#include <string.h>

#include "websrv_plugin.h"

namespace {

int http_option(int *index, char **argv);

// 1. The descriptor. The server copies it when it is registered, so one static record is
//    enough even when we register again with another port. A null hook slot means the
//    server's own behaviour.
websrv_plugin_desc http_desc = {
    .version_major = WEBSRV_VERSION_MAJOR,
    .version_minor = WEBSRV_VERSION_MINOR,
    .name = "http",
    .port = 8080,
    .on_option = http_option,    // takes "-port N"
    .on_start = nullptr,         // nothing to do once the socket listens
    .on_session_init = nullptr,  // nothing to set up per connection
    .on_read = nullptr,          // the server reads the socket itself
    .on_write = nullptr,         // the server writes the socket itself
    .on_request = nullptr,       // the server answers every request
    .reserved = nullptr,
    .on_directory = nullptr,     // the server serves index.html
    .on_sendfile = nullptr,      // the server uses sendfile()
    .on_session_end = nullptr,   // nothing to tidy up
};

// Content types beyond the server's built-in html and gif. Extensions are matched ignoring
// case, and at most 9 characters of extension and 29 of type fit.
const char *const content_types[][2] = {
    {"htm", "text/html"},          {"css", "text/css"},
    {"js", "text/javascript"},     {"mjs", "text/javascript"},
    {"json", "application/json"},  {"txt", "text/plain"},
    {"xml", "application/xml"},    {"csv", "text/csv"},
    {"png", "image/png"},          {"jpg", "image/jpeg"},
    {"jpeg", "image/jpeg"},        {"svg", "image/svg+xml"},
    {"ico", "image/x-icon"},       {"webp", "image/webp"},
    {"pdf", "application/pdf"},    {"wasm", "application/wasm"},
    {"woff", "font/woff"},         {"woff2", "font/woff2"},
    {"ttf", "font/ttf"},           {"bin", "application/octet-stream"},
    {"gz", "application/gzip"},    {"zip", "application/zip"},
};

}  // namespace

// 2. The one symbol every plug-in exports. The server calls it right after loading us.
extern "C" WEBSRV_API int plugin_init(void)
{
    http_desc.port = 8080;  // loaded again in the same process: start from the default
    for (const auto &entry : content_types)
        websrv_add_supported_mime(entry[0], entry[1]);
    return websrv_register_plugin(&http_desc);
}

namespace {

// 3. The option hook. It is offered every argument the server does not know itself, with
//    *index pointing at it. Take ours by advancing *index and returning 0; return 1 for
//    anything else so the next plug-in is asked; -1 rejects the command line.
int http_option(int *index, char **argv)
{
    if (strcmp(argv[*index], "-port") != 0)
        return 1;
    const char *value = argv[*index + 1];  // NULL when "-port" stands last
    char *end = nullptr;
    const long port = value != nullptr ? strtol(value, &end, 10) : 0;
    // Digits only: no sign, no blanks, nothing behind the number.
    if (value == nullptr || *value < '0' || *value > '9' || *end != '\0' || port < 1 ||
        port > 65535) {
        log_msg(WEBSRV_LOG_ERROR, "http: -port needs a port number from 1 to 65535, not \"%s\"\n",
                value != nullptr ? value : "");
        return -1;
    }
    // Registration copies the descriptor, so moving to another port is: drop the copy the
    // server holds, change ours, register it again.
    websrv_unregister_plugin(http_desc.name);
    http_desc.port = static_cast<int>(port);
    if (websrv_register_plugin(&http_desc) < 0)
        return -1;
    *index += 2;
    return 0;
}

}  // namespace
