// Fuzzes the split of a CGI query into program arguments. The query is split in place in a
// block exactly as long as its text, into a word array exactly as long as the limit, once with
// the gateway's limit of 18 words and once with a smaller one. The words must be those of a
// reference split (at every "+", the last word only when not empty, each percent-decoded, none
// for a query holding "="), in order, and point into the query.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "parse/cgi_output.h"
#include "fuzz_support.h"
#include "websrv_plugin.h"

namespace {

// The gateway's argument array has 20 slots: the program, at most 18 words, the final null.
constexpr int gateway_limit = 18;

std::vector<std::string> reference_words(const std::string &query, int max)
{
    std::vector<std::string> words;
    if (query.find('=') != std::string::npos)
        return words;
    size_t start = 0;
    for (;;) {
        const size_t plus = query.find('+', start);
        if (plus == std::string::npos) {
            if (start < query.size())
                words.push_back(query.substr(start));
            break;
        }
        words.push_back(query.substr(start, plus - start));
        start = plus + 1;
    }
    if (words.size() > static_cast<size_t>(max))
        words.resize(static_cast<size_t>(max));
    for (std::string &word : words) {
        word = fuzz::decoded(word);
        word.resize(word.find('\0') == std::string::npos ? word.size() : word.find('\0'));
    }
    return words;
}

void check_split(const std::string &query, int max)
{
    std::unique_ptr<char[]> block(new char[query.size() + 1]);
    memcpy(block.get(), query.c_str(), query.size() + 1);
    std::unique_ptr<char *[]> words(new char *[static_cast<size_t>(max)]);

    const int count = websrv_cgi_query_words(block.get(), words.get(), max);
    const std::vector<std::string> expected = reference_words(query, max);
    FUZZ_CHECK(count >= 0 && count <= max);
    FUZZ_CHECK(static_cast<size_t>(count) == expected.size());
    for (int i = 0; i < count; ++i) {
        FUZZ_CHECK(fuzz::text_inside(words[i], block.get(), query.size() + 1));
        FUZZ_CHECK(words[i] == expected[static_cast<size_t>(i)]);
        if (i > 0)
            FUZZ_CHECK(words[i - 1] + strlen(words[i - 1]) < words[i]);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // A query is the text behind the "?" in the request buffer: at most 4095 bytes, no NUL.
    if (size > WEBSRV_BUFFER_SIZE - 1)
        size = WEBSRV_BUFFER_SIZE - 1;
    const std::string query(reinterpret_cast<const char *>(data),
                            strnlen(reinterpret_cast<const char *>(data), size));
    check_split(query, gateway_limit);
    check_split(query, static_cast<int>(size % gateway_limit));
    return 0;
}
