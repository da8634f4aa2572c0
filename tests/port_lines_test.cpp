// websrv_port_lines_remove: the rewrite of the shared port file's bytes at stop, which takes
// out this instance's own lines and nothing else.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "life/port_file.h"

namespace {

// Runs the rewrite on a heap copy of `text` that is exactly as long as the text (no
// terminating zero behind it), and returns what is left.
std::string remove_lines(const std::string &text, const std::vector<int> &own)
{
    std::vector<char> buffer(text.begin(), text.end());
    const size_t kept = websrv_port_lines_remove(buffer.data(), buffer.size(), own.data(),
                                                 static_cast<int>(own.size()));
    EXPECT_LE(kept, buffer.size()) << text;
    return std::string(buffer.data(), kept < buffer.size() ? kept : buffer.size());
}

std::string ports_text(const std::vector<int> &own)
{
    std::string text;
    for (int port : own)
        text += std::to_string(port) + " ";
    return text;
}

struct removal_case {
    const char *what;
    std::string text;
    std::vector<int> own;
    std::string expected;
};

void check(const removal_case &c)
{
    EXPECT_EQ(remove_lines(c.text, c.own), c.expected)
        << c.what << "; own: " << ports_text(c.own) << "; text: \"" << c.text << '"';
}

}  // namespace

TEST(PortLines, EachOwnPortRemovesExactlyOneLine)
{
    const removal_case cases[] = {
        {"one of three", "8080\n8081\n9000\n", {8081}, "8080\n9000\n"},
        {"first line", "8080\n8081\n9000\n", {8080}, "8081\n9000\n"},
        {"last line", "8080\n8081\n9000\n", {9000}, "8080\n8081\n"},
        {"two of three", "8080\n8081\n9000\n", {9000, 8080}, "8081\n"},
        {"the only line", "8080\n", {8080}, ""},
        {"every line", "1\n65535\n443\n", {1, 443, 65535}, ""},
        {"last line without line end", "80\n8080", {8080}, "80\n"},
        {"only line without line end", "8080", {8080}, ""},
        {"no own ports", "8080\n8081\n", {}, "8080\n8081\n"},
    };
    for (const auto &c : cases)
        check(c);
}

TEST(PortLines, DuplicateValueRemovesTheLastMatchingLine)
{
    const removal_case cases[] = {
        // A stale line left by a killed instance comes before the one this instance wrote.
        {"stale line first", "8080\n9000\n8080\n", {8080}, "8080\n9000\n"},
        {"adjacent duplicates", "8080\n8080\n", {8080}, "8080\n"},
        {"three of them", "8080\n1\n8080\n2\n8080\n3\n", {8080}, "8080\n1\n8080\n2\n3\n"},
        {"last one without line end", "8080\n1\n8080", {8080}, "8080\n1\n"},
    };
    for (const auto &c : cases)
        check(c);
}

TEST(PortLines, SamePortTwiceInOwnRemovesTwoLines)
{
    const removal_case cases[] = {
        {"two lines", "8080\n80\n8080\n", {8080, 8080}, "80\n"},
        {"three lines, two own", "8080\n8080\n8080\n", {8080, 8080}, "8080\n"},
        {"only one line there", "80\n8080\n", {8080, 8080}, "80\n"},
    };
    for (const auto &c : cases)
        check(c);
}

TEST(PortLines, LinesOfOthersKeepTheirBytesAndOrder)
{
    const std::string long_line(150, '7');
    const std::string others_before = "80\n 80\nabc\n-1\n\n" + long_line + "\n";
    const std::string others_after = "80800\n08080\n8080 \n8080\r\n\n443";  // no final "\n"
    EXPECT_EQ(remove_lines(others_before + "8080\n" + others_after, {8080}),
              others_before + others_after);
    EXPECT_EQ(remove_lines(others_before + others_after, {8080}), others_before + others_after);
    EXPECT_EQ(remove_lines(others_before + "8080\n" + others_after, {80}),
              others_before.substr(3) + "8080\n" + others_after);
}

TEST(PortLines, OnlyTheExactDecimalTextMatches)
{
    for (const char *line : {"80800", "08080", "808", "0", " 8080", "8080 ", "+8080", "8080\r",
                             "8o80", "\t8080", "8080.0", "-8080", "8080x"}) {
        const std::string text = std::string("1\n") + line + "\n2\n";
        EXPECT_EQ(remove_lines(text, {8080}), text) << '"' << line << '"';
        // The same line at the very end, without its "\n".
        const std::string last = std::string("1\n") + line;
        EXPECT_EQ(remove_lines(last, {8080}), last) << '"' << line << "\" last";
    }
}

TEST(PortLines, PortThatIsNotPresentChangesNothing)
{
    const removal_case cases[] = {
        {"other ports", "8080\n8081\n", {9000}, "8080\n8081\n"},
        {"prefix of a line", "8080\n", {808}, "8080\n"},
        {"empty lines only", "\n\n\n", {80}, "\n\n\n"},
        {"empty text", "", {8080}, ""},
        {"empty text, nothing own", "", {}, ""},
    };
    for (const auto &c : cases)
        check(c);
}

TEST(PortLines, EmptyLinesAroundAnOwnLineStay)
{
    const removal_case cases[] = {
        {"between empty lines", "\n8080\n\n", {8080}, "\n\n"},
        {"after an empty line at the end", "80\n\n8080", {8080}, "80\n\n"},
    };
    for (const auto &c : cases)
        check(c);
}

TEST(PortLines, ThousandLineFileLosesOnlyItsOwnLines)
{
    std::string text;
    for (int port = 10000; port < 11000; ++port)
        text += std::to_string(port) + "\n";
    const std::vector<int> own{10500, 10999, 10000, 10001};
    std::string expected;
    for (int port = 10000; port < 11000; ++port)
        if (port != 10500 && port != 10999 && port != 10000 && port != 10001)
            expected += std::to_string(port) + "\n";
    EXPECT_EQ(remove_lines(text, own), expected);

    // Ours, written last, behind a thousand lines carrying the same port.
    std::string crowded;
    for (int i = 0; i < 1000; ++i)
        crowded += "8080\n";
    EXPECT_EQ(remove_lines(crowded + "9000\n8080\n", {8080}), crowded + "9000\n");
}
