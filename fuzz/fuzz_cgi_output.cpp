// Fuzzes the reading of a CGI program's first piece of output, as the output redirector does
// it: the header scan (status, location, where the program's Status line lies, the first line
// that is no sound header line), the removal of that line before the rest is forwarded, and
// the status line the server writes instead. The piece is at most 4096 bytes and sits in a
// block exactly as long, so no read or write may pass its end. The scan is compared with a
// reference reading of the header lines.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <strings.h>

#include "parse/cgi_output.h"
#include "http_words.h"
#include "fuzz_support.h"

namespace {

constexpr size_t chunk_size = 4096;

bool starts_with_name(std::string_view line, std::string_view name)
{
    return line.size() >= name.size() && strncasecmp(line.data(), name.data(), name.size()) == 0;
}

// The status number of a Status line's value: blanks, then decimal digits; more than nine
// digits, or none, give 0.
int reference_status(std::string_view value)
{
    size_t i = value.find_first_not_of(" \t");
    if (i == std::string_view::npos)
        return 0;
    const size_t digits_end = value.find_first_not_of("0123456789", i);
    const std::string_view digits = value.substr(i, digits_end == std::string_view::npos ? std::string_view::npos : digits_end - i);
    if (digits.size() > 9)
        return 0;
    int status = 0;
    for (char c : digits)
        status = status * 10 + (c - '0');
    return status;
}

// Whether a header line (without its line end) is "Name: value": a name of visible
// characters (no blank), its colon, no control character but a tab.
bool reference_sound(std::string_view line)
{
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0)
        return false;
    for (size_t i = 0; i < line.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(line[i]);
        if ((c < 0x20 && c != '\t') || c == 0x7f || (i < colon && (c == ' ' || c == '\t')))
            return false;
    }
    return true;
}

// Reads the header lines (each up to its "\n" or the end of the piece, the empty line ending
// the header) the way the server must read them.
cgi_header reference_scan(std::string_view chunk)
{
    cgi_header header{200, false, 0, 0};
    size_t start = 0;
    int number = 0;
    bool ended = false;
    while (start < chunk.size()) {
        ++number;
        const size_t newline = chunk.find('\n', start);
        const size_t end = newline == std::string_view::npos ? chunk.size() : newline + 1;
        std::string_view line = chunk.substr(start, end - start);
        if (!line.empty() && line.back() == '\n')
            line.remove_suffix(1);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (line.empty()) {
            ended = true;
            break;
        }
        if (header.bad_line == 0 && (!reference_sound(line) || newline == std::string_view::npos))
            header.bad_line = number;
        if (header.status_line_length == 0 && starts_with_name(line, "Status:")) {
            header.status = reference_status(line.substr(7));
            header.status_line_start = start;
            header.status_line_length = end - start;
        } else if (starts_with_name(line, "Location:")) {
            header.has_location = true;
        }
        start = end;
    }
    // A program's Status stands beside its Location; Location alone is 302.
    if (header.has_location && header.status_line_length == 0)
        header.status = 302;
    if (!ended && header.bad_line == 0)
        header.bad_line = number + 1;
    return header;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > chunk_size)
        size = chunk_size;
    const std::string_view input(reinterpret_cast<const char *>(data), size);
    std::unique_ptr<char[]> chunk(new char[size]);
    memcpy(chunk.get(), data, size);

    const cgi_header header = websrv_cgi_scan_header(chunk.get(), size);
    FUZZ_CHECK(memcmp(chunk.get(), data, size) == 0);  // the scan only reads

    const cgi_header expected = reference_scan(input);
    FUZZ_CHECK(header.status == expected.status);
    FUZZ_CHECK(header.has_location == expected.has_location);
    FUZZ_CHECK(header.status_line_length == expected.status_line_length);
    FUZZ_CHECK(header.bad_line == expected.bad_line);
    if (header.status_line_length > 0)
        FUZZ_CHECK(header.status_line_start == expected.status_line_start);
    FUZZ_CHECK(header.status >= 0);
    FUZZ_CHECK(header.status_line_start + header.status_line_length <= size);

    // What the server forwards: the piece without the program's Status line, nothing else
    // lost or changed.
    const size_t forwarded = websrv_cgi_drop_status_line(chunk.get(), size, header);
    FUZZ_CHECK(forwarded == size - header.status_line_length);
    std::string remaining(input);
    remaining.erase(header.status_line_start, header.status_line_length);
    FUZZ_CHECK(std::string_view(chunk.get(), forwarded) == remaining);

    // The server's own status line always fits its buffer.
    const char *reason = websrv_reason(header.status, websrv_voice_program);
    FUZZ_CHECK(reason != nullptr && reason[0] != '\0');
    char status_line[4096];
    const int length = snprintf(status_line, sizeof status_line, "%s %d %s\r\n", "HTTP/1.0",
                                header.status, reason);
    FUZZ_CHECK(length > 0 && static_cast<size_t>(length) < sizeof status_line);
    return 0;
}
