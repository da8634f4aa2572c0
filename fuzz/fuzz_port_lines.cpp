// Fuzzes the rewrite of the shared port file at stop. The input's first line lists this
// instance's own ports (decimal numbers, anything else between them); the rest is the file's
// content, any bytes at all, since other programs may write to the file too. The content sits
// in a block exactly as long, as the server reads it, and the result must be what a reference
// model gives: for each own port in turn, the last line that reads exactly that port is cut
// out; every other byte keeps its place in the order.
#include <charconv>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "life/port_file.h"

namespace {

constexpr size_t most_own_ports = 16;

std::vector<int> own_ports(std::string_view line)
{
    std::vector<int> ports;
    const char *p = line.data();
    const char *end = line.data() + line.size();
    while (p < end && ports.size() < most_own_ports) {
        if ((*p >= '0' && *p <= '9') || (*p == '-' && p + 1 < end && p[1] >= '0' && p[1] <= '9')) {
            int port = 0;
            const std::from_chars_result r = std::from_chars(p, end, port);
            if (r.ec == std::errc())
                ports.push_back(port);
            p = r.ptr > p ? r.ptr : p + 1;
            while (p < end && *p >= '0' && *p <= '9')  // the rest of a number out of range
                ++p;
        } else {
            ++p;
        }
    }
    return ports;
}

std::string reference_remove(std::string_view text, const std::vector<int> &own)
{
    std::vector<std::string_view> lines;  // each with its "\n", if it has one
    for (size_t start = 0; start < text.size();) {
        const size_t newline = text.find('\n', start);
        const size_t end = newline == std::string_view::npos ? text.size() : newline + 1;
        lines.push_back(text.substr(start, end - start));
        start = end;
    }
    for (int port : own) {
        const std::string digits = std::to_string(port);
        for (size_t i = lines.size(); i-- > 0;) {
            std::string_view content = lines[i];
            if (!content.empty() && content.back() == '\n')
                content.remove_suffix(1);
            if (content == digits) {
                lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(i));
                break;
            }
        }
    }
    std::string kept;
    for (std::string_view line : lines)
        kept += line;
    return kept;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string_view input(reinterpret_cast<const char *>(data), size);
    const size_t first_end = input.find('\n');
    if (first_end == std::string_view::npos)
        return 0;
    const std::vector<int> own = own_ports(input.substr(0, first_end));
    const std::string_view text = input.substr(first_end + 1);

    std::unique_ptr<char[]> content(new char[text.size()]);
    memcpy(content.get(), text.data(), text.size());
    const size_t kept = websrv_port_lines_remove(content.get(), text.size(), own.data(),
                                                 static_cast<int>(own.size()));
    FUZZ_CHECK(kept <= text.size());
    FUZZ_CHECK(std::string_view(content.get(), kept) == reference_remove(text, own));
    return 0;
}
