// The plug-in and MIME registries and the log, through the functions plug-ins call
// (websrv_register_plugin, websrv_unregister_plugin, websrv_add_supported_mime, log_msg)
// and the server's own lookups (websrv_find_plugin, websrv_find_mime).
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "registry.h"
#include "registry.h"
#include "control_block.h"
#include "test_support.h"

using websrv_test::StdoutCapture;

using websrv_test::release_control_block;

namespace {

// Runs `action` and returns everything it wrote to standard output.
template <class Action>
std::string logged(Action &&action)
{
    StdoutCapture capture;
    action();
    return capture.finish();
}

websrv_plugin_desc descriptor(const char *name, int port, unsigned short major = 1,
                              unsigned short minor = 0)
{
    websrv_plugin_desc desc;
    memset(&desc, 0, sizeof desc);
    desc.version_major = major;
    desc.version_minor = minor;
    memcpy(desc.name, name, strnlen(name, sizeof desc.name - 1));  // stays zero-terminated
    desc.port = port;
    return desc;
}

std::vector<websrv_plugin_node *> plugin_nodes()
{
    std::vector<websrv_plugin_node *> nodes;
    for (void *n = websrv_slist_head(websrv_registry(&websrv_mcb.plugins)); n != nullptr; n = websrv_slist_next(n))
        nodes.push_back(static_cast<websrv_plugin_node *>(n));
    return nodes;
}

std::vector<websrv_mime_entry *> mime_entries()
{
    std::vector<websrv_mime_entry *> entries;
    for (void *n = websrv_slist_head(websrv_registry(&websrv_mcb.mime_types)); n != nullptr; n = websrv_slist_next(n))
        entries.push_back(static_cast<websrv_mime_entry *>(n));
    return entries;
}

// Hooks whose addresses a descriptor can carry; they are never called here.
int option_hook_a(int *, char **) { return 1; }
int option_hook_b(int *, char **) { return 1; }
int start_hook(int) { return 0; }

// Registers `desc` and returns its result; the caller's log level applies.
int register_quietly(const websrv_plugin_desc &desc, std::string *out)
{
    int result = 0;
    *out = logged([&] { result = websrv_register_plugin(&desc); });
    return result;
}

const char kPortError[] = "WebSrv Error: Invalid port range specified\n";
const char kVersionError[] = "WebSrv Error: Plugin rejected for version mismatch\n";

// The control block as option parsing leaves it before the first option: version 1.0, log
// level 1, both registries empty.
class Registry : public ::testing::Test {
protected:
    void SetUp() override
    {
        release_control_block();
        websrv_mcb.version_major = 1;
        websrv_mcb.log_level = 1;
    }
    void TearDown() override { release_control_block(); }
};

}  // namespace

// ---- websrv_register_plugin -----------------------------------------------------------------

TEST_F(Registry, PortsOutsideOneTo65535AreRejected)
{
    for (int port : {0, -1, -65535, 65536, 65537, 100000, INT_MIN, INT_MAX}) {
        std::string out;
        EXPECT_EQ(register_quietly(descriptor("badport", port), &out), -1) << port;
        EXPECT_EQ(out, kPortError) << port;
    }
    EXPECT_TRUE(plugin_nodes().empty());
}

TEST_F(Registry, PortsOneAnd65535AreAccepted)
{
    for (int port : {1, 65535}) {
        std::string out;
        EXPECT_EQ(register_quietly(descriptor("edge", port), &out), 0) << port;
        EXPECT_EQ(out, "") << port;  // success is reported at level 2 only
    }
    const auto nodes = plugin_nodes();
    ASSERT_EQ(nodes.size(), 2u);
    EXPECT_EQ(nodes[0]->desc.port, 1);
    EXPECT_EQ(nodes[1]->desc.port, 65535);
}

TEST_F(Registry, BadPortAndBadVersionReportTheBadPortOnly)
{
    for (unsigned short major : {0, 2}) {
        std::string out;
        EXPECT_EQ(register_quietly(descriptor("doublebad", 0, major), &out), -1) << major;
        EXPECT_EQ(out, kPortError) << major;
    }
    EXPECT_TRUE(plugin_nodes().empty());
}

TEST_F(Registry, VersionMajorOneIsAcceptedWhateverTheMinor)
{
    for (unsigned short minor : {0, 1, 9, 65535}) {
        std::string out;
        EXPECT_EQ(register_quietly(descriptor("anyminor", 8000, 1, minor), &out), 0) << minor;
        EXPECT_EQ(out, "") << minor;
    }
    EXPECT_EQ(plugin_nodes().size(), 4u);
}

TEST_F(Registry, OtherVersionMajorsAreRejected)
{
    for (unsigned short major : {0, 2, 256, 65535}) {
        std::string out;
        EXPECT_EQ(register_quietly(descriptor("oldplug", 8000, major), &out), -1) << major;
        EXPECT_EQ(out, kVersionError) << major;
    }
    EXPECT_TRUE(plugin_nodes().empty());
}

TEST_F(Registry, RejectedRegistrationsAddNoNodeBetweenAcceptedOnes)
{
    std::string out;
    ASSERT_EQ(register_quietly(descriptor("first", 1001), &out), 0);
    EXPECT_EQ(register_quietly(descriptor("noport", 0), &out), -1);
    EXPECT_EQ(register_quietly(descriptor("nover", 1002, 3), &out), -1);
    ASSERT_EQ(register_quietly(descriptor("second", 1003), &out), 0);

    const auto nodes = plugin_nodes();
    ASSERT_EQ(nodes.size(), 2u);
    EXPECT_STREQ(nodes[0]->desc.name, "first");
    EXPECT_STREQ(nodes[1]->desc.name, "second");
}

TEST_F(Registry, RegisteredCopyKeepsTheValuesOfTheCall)
{
    websrv_plugin_desc desc = descriptor("original", 4001, 1, 7);
    desc.on_option = option_hook_a;
    desc.on_start = start_hook;
    const websrv_plugin_desc at_call = desc;
    std::string out;
    ASSERT_EQ(register_quietly(desc, &out), 0);

    // The caller changes every field and registers the same record again.
    memset(desc.name, 0, sizeof desc.name);
    strcpy(desc.name, "changed");
    desc.port = 4002;
    desc.version_minor = 3;
    desc.on_option = option_hook_b;
    desc.on_start = nullptr;
    ASSERT_EQ(register_quietly(desc, &out), 0);
    // ... and then scribbles over it.
    memset(&desc, 0xA5, sizeof desc);

    const auto nodes = plugin_nodes();
    ASSERT_EQ(nodes.size(), 2u);
    EXPECT_EQ(memcmp(&nodes[0]->desc, &at_call, sizeof at_call), 0);
    EXPECT_STREQ(nodes[0]->desc.name, "original");
    EXPECT_EQ(nodes[0]->desc.port, 4001);
    EXPECT_EQ(nodes[0]->desc.on_option, option_hook_a);
    EXPECT_EQ(nodes[0]->desc.on_start, start_hook);
    EXPECT_STREQ(nodes[1]->desc.name, "changed");
    EXPECT_EQ(nodes[1]->desc.port, 4002);
    EXPECT_EQ(nodes[1]->desc.on_option, option_hook_b);
    EXPECT_EQ(nodes[1]->desc.on_start, nullptr);
}

TEST_F(Registry, SuccessIsLoggedOnlyAtLevelTwo)
{
    struct level_case {
        int log_level;
        const char *expected;
    };
    for (const auto &c : {level_case{1, ""},
                          level_case{2, "Plugin alpha registered succesfully\n"}}) {
        websrv_mcb.log_level = c.log_level;
        std::string out;
        EXPECT_EQ(register_quietly(descriptor("alpha", 5000), &out), 0) << c.log_level;
        EXPECT_EQ(out, c.expected) << "log level " << c.log_level;
    }
}

// ---- websrv_unregister_plugin ---------------------------------------------------------------

TEST_F(Registry, UnregisteringRemovesTheNodeAndLogsAtLevelTwo)
{
    std::string out;
    ASSERT_EQ(register_quietly(descriptor("keep", 6001), &out), 0);
    ASSERT_EQ(register_quietly(descriptor("drop", 6002), &out), 0);
    websrv_mcb.log_level = 2;
    int result = 0;
    out = logged([&] { result = websrv_unregister_plugin("drop"); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(out, "Plugin drop unregistered succesfully\n");
    const auto nodes = plugin_nodes();
    ASSERT_EQ(nodes.size(), 1u);
    EXPECT_STREQ(nodes[0]->desc.name, "keep");
}

TEST_F(Registry, UnregisteringIsByExactCaseSensitiveName)
{
    std::string out;
    ASSERT_EQ(register_quietly(descriptor("Camel", 6001), &out), 0);
    for (const char *name : {"camel", "CAMEL", "Came", "Camel ", "Camels", ""}) {
        int result = 0;
        out = logged([&] { result = websrv_unregister_plugin(name); });
        EXPECT_EQ(result, -1) << '"' << name << '"';
    }
    EXPECT_EQ(plugin_nodes().size(), 1u);
}

TEST_F(Registry, UnknownNameIsReportedOnlyAtLevelTwo)
{
    std::string out;
    ASSERT_EQ(register_quietly(descriptor("present", 6001), &out), 0);
    struct level_case {
        int log_level;
        const char *expected;
    };
    for (const auto &c :
         {level_case{1, ""}, level_case{2, "Plugin ghost does not exist\n"}}) {
        websrv_mcb.log_level = c.log_level;
        int result = 0;
        out = logged([&] { result = websrv_unregister_plugin("ghost"); });
        EXPECT_EQ(result, -1) << c.log_level;
        EXPECT_EQ(out, c.expected) << "log level " << c.log_level;
    }
    EXPECT_EQ(plugin_nodes().size(), 1u);
}

TEST_F(Registry, NullNameIsAnErrorAtLevelOne)
{
    std::string out;
    ASSERT_EQ(register_quietly(descriptor("present", 6001), &out), 0);
    int result = 0;
    out = logged([&] { result = websrv_unregister_plugin(nullptr); });
    EXPECT_EQ(result, -1);
    EXPECT_EQ(out, "WebSrv Error: No name passed for unregistering.\n");
    EXPECT_EQ(plugin_nodes().size(), 1u);
}

TEST_F(Registry, DuplicateNamesAreRemovedOneAtATimeFromTheHead)
{
    // The ports in walk order.
    auto ports = [] {
        std::vector<int> walked;
        for (const auto *node : plugin_nodes())
            walked.push_back(node->desc.port);
        return walked;
    };
    // Registry layouts as {name, port} in registration order; "twin" is registered twice.
    struct layout_case {
        const char *what;
        std::vector<std::pair<const char *, int>> registered;
    };
    const layout_case cases[] = {
        {"apart", {{"twin", 7001}, {"other", 7002}, {"twin", 7003}}},
        {"adjacent", {{"twin", 7001}, {"twin", 7003}, {"other", 7002}}},
        {"behind another", {{"other", 7002}, {"twin", 7001}, {"twin", 7003}}},
    };
    for (const auto &c : cases) {
        release_control_block();
        websrv_mcb.version_major = 1;
        websrv_mcb.log_level = 1;
        std::string out;
        for (const auto &[name, port] : c.registered)
            ASSERT_EQ(register_quietly(descriptor(name, port), &out), 0) << c.what;

        // Each unregistration takes out the twin nearest the head; the rest keep their order.
        std::vector<int> expected = ports();
        ASSERT_EQ(expected.size(), 3u) << c.what;
        for (int round = 1; round <= 2; ++round) {
            for (auto it = expected.begin(); it != expected.end(); ++it) {
                if (*it != 7002) {
                    expected.erase(it);
                    break;
                }
            }
            ASSERT_EQ(websrv_unregister_plugin("twin"), 0) << c.what << ", round " << round;
            EXPECT_EQ(ports(), expected) << c.what << ", round " << round;
        }
        EXPECT_EQ(ports(), std::vector<int>{7002}) << c.what;

        int result = 0;
        out = logged([&] { result = websrv_unregister_plugin("twin"); });
        EXPECT_EQ(result, -1) << c.what;
        EXPECT_EQ(ports(), std::vector<int>{7002}) << c.what;
    }
}

TEST_F(Registry, NameFillingTheWholeFieldIsNeverReadPast)
{
    // No terminating zero in the name field; port 0x4141 puts the bytes "AA" right behind it
    // (little-endian), so reading past the field would show up as "...RSTAA".
    const char full[] = "ABCDEFGHIJKLMNOPQRST";
    static_assert(sizeof full - 1 == WEBSRV_NAME_LEN);
    websrv_plugin_desc desc = descriptor("", 0x4141);
    memcpy(desc.name, full, WEBSRV_NAME_LEN);

    websrv_mcb.log_level = 2;
    std::string out;
    ASSERT_EQ(register_quietly(desc, &out), 0);
    EXPECT_EQ(out, "Plugin ABCDEFGHIJKLMNOPQRST registered succesfully\n");
    ASSERT_EQ(plugin_nodes().size(), 1u);
    EXPECT_EQ(websrv_name_length(&plugin_nodes()[0]->desc), WEBSRV_NAME_LEN);

    // Neither a longer name with the same beginning nor a shorter prefix matches.
    for (const char *other : {"ABCDEFGHIJKLMNOPQRSTA", "ABCDEFGHIJKLMNOPQRSTAA",
                              "ABCDEFGHIJKLMNOPQRSTU", "ABCDEFGHIJKLMNOPQRS"}) {
        int result = 0;
        out = logged([&] { result = websrv_unregister_plugin(other); });
        EXPECT_EQ(result, -1) << other;
        EXPECT_EQ(out, std::string("Plugin ") + other + " does not exist\n") << other;
    }
    ASSERT_EQ(plugin_nodes().size(), 1u);

    int result = 0;
    out = logged([&] { result = websrv_unregister_plugin(full); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(out, "Plugin ABCDEFGHIJKLMNOPQRST unregistered succesfully\n");
    EXPECT_TRUE(plugin_nodes().empty());
}

TEST_F(Registry, NineteenCharacterNameIsStoredWhole)
{
    websrv_mcb.log_level = 2;
    std::string out;
    ASSERT_EQ(register_quietly(descriptor("ABCDEFGHIJKLMNOPQRS", 0x4141), &out), 0);
    EXPECT_EQ(out, "Plugin ABCDEFGHIJKLMNOPQRS registered succesfully\n");
    EXPECT_EQ(websrv_unregister_plugin("ABCDEFGHIJKLMNOPQRST"), -1);
    EXPECT_EQ(websrv_unregister_plugin("ABCDEFGHIJKLMNOPQRS"), 0);
}

// ---- websrv_find_plugin ---------------------------------------------------------------------

TEST_F(Registry, FindPluginReturnsTheFirstNodeOnThePort)
{
    std::string out;
    ASSERT_EQ(register_quietly(descriptor("one", 8101), &out), 0);
    ASSERT_EQ(register_quietly(descriptor("two", 8102), &out), 0);
    ASSERT_EQ(register_quietly(descriptor("three", 8102), &out), 0);

    websrv_plugin_node *found = nullptr;
    out = logged([&] { found = websrv_find_plugin(8102); });
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(out, "");
    // The first of the two on that port in walk order.
    for (auto *node : plugin_nodes()) {
        if (node->desc.port == 8102) {
            EXPECT_EQ(found, node);
            break;
        }
    }
    out = logged([&] { found = websrv_find_plugin(8101); });
    ASSERT_NE(found, nullptr);
    EXPECT_STREQ(found->desc.name, "one");
}

TEST_F(Registry, FindPluginOfAnUnknownPortReturnsNullAndLogs)
{
    std::string out;
    ASSERT_EQ(register_quietly(descriptor("one", 8101), &out), 0);
    for (int port : {4242, 0, -1, 8100}) {
        websrv_plugin_node *found = reinterpret_cast<websrv_plugin_node *>(1);
        out = logged([&] { found = websrv_find_plugin(port); });
        EXPECT_EQ(found, nullptr) << port;
        EXPECT_EQ(out, "WebSrv Error: No plugin found for port " + std::to_string(port) + "\n")
            << port;
    }
}

// ---- websrv_add_supported_mime and websrv_find_mime -----------------------------------------

class Mime : public Registry {
protected:
    // Adds a pair and returns the result; what it logged goes to *out.
    static int add(const std::string &ext, const std::string &type, std::string *out)
    {
        int result = 0;
        *out = logged([&] { result = websrv_add_supported_mime(ext.c_str(), type.c_str()); });
        return result;
    }
    // The built-in entries, as option parsing registers them.
    static void add_builtins()
    {
        std::string out;
        ASSERT_EQ(add("html", "text/html", &out), 0);
        ASSERT_EQ(add("gif", "image/gif", &out), 0);
    }
};

TEST_F(Mime, LongestExtensionAndTypeThatFitAreStoredWhole)
{
    const std::string ext(9, 'e');
    const std::string type = "application/" + std::string(17, 't');
    ASSERT_EQ(type.size(), 29u);
    std::string out;
    EXPECT_EQ(add(ext, type, &out), 0);
    EXPECT_EQ(out, "");
    const auto entries = mime_entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(std::string(entries[0]->ext), ext);
    EXPECT_EQ(std::string(entries[0]->type), type);
    const char *found = websrv_find_mime(ext.c_str());
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(std::string(found), type);
}

TEST_F(Mime, ExtensionOfTenOrMoreCharactersIsRejected)
{
    for (size_t length : {10u, 11u, 40u}) {
        const std::string ext(length, 'x');
        std::string out;
        EXPECT_EQ(add(ext, "text/plain", &out), -1) << length;
        EXPECT_EQ(out, "Extension Length is too long\n") << length;
        EXPECT_EQ(websrv_find_mime(ext.c_str()), nullptr) << length;
        // Nor does a shortened copy of it get in.
        EXPECT_EQ(websrv_find_mime(ext.substr(0, 9).c_str()), nullptr) << length;
    }
    EXPECT_TRUE(mime_entries().empty());
}

TEST_F(Mime, ContentTypeOfThirtyOrMoreCharactersIsRejected)
{
    for (size_t length : {30u, 31u, 80u}) {
        const std::string type = "text/" + std::string(length - 5, 'y');
        std::string out;
        EXPECT_EQ(add("typ", type, &out), -1) << length;
        EXPECT_EQ(out, "Content Length is too long\n") << length;
        EXPECT_EQ(websrv_find_mime("typ"), nullptr) << length;
    }
    EXPECT_TRUE(mime_entries().empty());
}

TEST_F(Mime, ExtensionIsCheckedBeforeContentType)
{
    std::string out;
    EXPECT_EQ(add(std::string(10, 'x'), std::string(30, 'y'), &out), -1);
    EXPECT_EQ(out, "Extension Length is too long\n");
    EXPECT_TRUE(mime_entries().empty());
}

TEST_F(Mime, RejectedTypeLeavesTheExistingEntryAsItWas)
{
    add_builtins();
    std::string out;
    EXPECT_EQ(add("HTML", std::string(30, 'z'), &out), -1);
    EXPECT_EQ(out, "Content Length is too long\n");
    ASSERT_NE(websrv_find_mime("html"), nullptr);
    EXPECT_STREQ(websrv_find_mime("html"), "text/html");
    EXPECT_EQ(mime_entries().size(), 2u);
}

TEST_F(Mime, AddingAKnownExtensionInOtherCaseReplacesItsType)
{
    add_builtins();
    const size_t before = mime_entries().size();
    std::string out;
    EXPECT_EQ(add("HTML", "text/plain", &out), 0);
    EXPECT_EQ(out, "");
    const auto entries = mime_entries();
    EXPECT_EQ(entries.size(), before);
    ASSERT_FALSE(entries.empty());
    EXPECT_STREQ(entries[0]->ext, "html");  // the case it was first registered under
    EXPECT_STREQ(entries[0]->type, "text/plain");
    for (const char *ext : {"html", "HTML", "Html", "hTmL"}) {
        const char *type = websrv_find_mime(ext);
        ASSERT_NE(type, nullptr) << ext;
        EXPECT_STREQ(type, "text/plain") << ext;
    }
    ASSERT_NE(websrv_find_mime("gif"), nullptr);
    EXPECT_STREQ(websrv_find_mime("gif"), "image/gif");
}

TEST_F(Mime, ShorterReplacementTypeLeavesNoTrailOfTheOldOne)
{
    std::string out;
    ASSERT_EQ(add("dat", "application/octet-stream", &out), 0);
    ASSERT_EQ(add("DAT", "a/b", &out), 0);
    ASSERT_NE(websrv_find_mime("dat"), nullptr);
    EXPECT_STREQ(websrv_find_mime("dat"), "a/b");
}

TEST_F(Mime, LookupsIgnoreLetterCaseAndMatchWholeExtensions)
{
    add_builtins();
    std::string out;
    ASSERT_EQ(add("Png", "image/png", &out), 0);
    struct lookup_case {
        const char *ext;
        const char *type;  // null: not found
    };
    const lookup_case cases[] = {
        {"png", "image/png"}, {"PNG", "image/png"}, {"pNg", "image/png"},
        {"GIF", "image/gif"}, {"Html", "text/html"}, {"pn", nullptr},
        {"pngx", nullptr},    {".png", nullptr},     {"htm", nullptr},
        {"", nullptr},        {"jpg", nullptr},
    };
    for (const auto &c : cases) {
        const char *type = websrv_find_mime(c.ext);
        if (c.type == nullptr) {
            EXPECT_EQ(type, nullptr) << '"' << c.ext << '"';
        } else {
            ASSERT_NE(type, nullptr) << c.ext;
            EXPECT_STREQ(type, c.type) << c.ext;
        }
    }
}

// ---- log_msg --------------------------------------------------------------------------------

TEST(Log, MessagesAboveTheLogLevelAreDropped)
{
    struct level_case {
        int log_level;
        int level;
        bool printed;
    };
    const level_case cases[] = {
        {1, 1, true},  {1, 2, false}, {2, 1, true},  {2, 2, true},
        {2, 3, false}, {1, 0, true},  {1, -1, true}, {0, 1, false},
    };
    const int saved = websrv_mcb.log_level;
    for (const auto &c : cases) {
        websrv_mcb.log_level = c.log_level;
        const std::string out = logged([&] { log_msg(c.level, "level %d\n", c.level); });
        EXPECT_EQ(out, c.printed ? "level " + std::to_string(c.level) + "\n" : "")
            << "log level " << c.log_level << ", message level " << c.level;
    }
    websrv_mcb.log_level = saved;
}

TEST(Log, OutputIsExactlyAsFormatted)
{
    const int saved = websrv_mcb.log_level;
    websrv_mcb.log_level = 1;
    const std::string out = logged([] {
        log_msg(1, "a%db%sc", 5, "x");      // no line end added
        log_msg(1, "%s|%5.2f|%%", "", 1.5);  // standard conversions
        log_msg(1, "\n");
    });
    EXPECT_EQ(out, "a5bxc| 1.50|%\n");
    websrv_mcb.log_level = saved;
}
