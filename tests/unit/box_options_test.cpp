// boxsim's command line and its USB adapter's rule: every option the source reads is in the one
// table that the parser, --help and the manual page follow; the parser takes and refuses what it
// should; the adapter holds and releases the box's bytes by packet size and latency.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tools/boxsim/box_adapter.h"
#include "tools/boxsim/box_options.h"
#include "tools/padtool/commands.h"

namespace {

std::string ReadText(const std::filesystem::path& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// The option names that boxsim's source reads: through BoxOptions::Get, GetInt and Has, and in
// the parser's own comparisons (`name == "..."`).
std::set<std::string> NamesReadBySource() {
    const std::regex read(R"re(\b(?:Get|GetInt|Has)\(\s*"([a-z0-9-]+)")re");
    const std::regex compared(R"re(\bname == "([a-z0-9-]+)")re");
    std::set<std::string> names;
    for (const auto& entry :
         std::filesystem::directory_iterator(std::string(SOURCE_DIR) + "/tools/boxsim")) {
        const std::string text = ReadText(entry.path());
        for (const std::regex* pattern : {&read, &compared}) {
            for (std::sregex_iterator it(text.begin(), text.end(), *pattern), end; it != end;
                 ++it) {
                names.insert((*it)[1]);
            }
        }
    }
    return names;
}

TEST(BoxOptionTable, EveryOptionTheSourceReadsIsListedInHelpAndManual) {
    const std::set<std::string> read = NamesReadBySource();
    ASSERT_GT(read.size(), 60u) << "the scan of tools/boxsim found too little";
    std::set<std::string> listed;
    for (const OptionInfo& option : BoxOptionTable()) {
        EXPECT_TRUE(listed.insert(std::string(option.name)).second)
            << "--" << option.name << " is listed twice";
    }
    for (const std::string& name : read) {
        EXPECT_TRUE(listed.count(name)) << "--" << name << " is read but not in the table";
    }
    for (const std::string& name : listed) {
        EXPECT_TRUE(read.count(name)) << "--" << name << " is in the table but nothing reads it";
    }

    // Listed means: a line of --help that begins with the option, and a tagged paragraph of
    // the manual (the line after ".TP") that names it; a mention in another option's text
    // does not count.
    const std::string help = BoxUsageText();
    std::string tags;
    std::istringstream manual(ReadText(std::string(SOURCE_DIR) + "/man/boxsim.1"));
    bool tagNext = false;
    for (std::string row; std::getline(manual, row);) {
        if (tagNext) {
            tags += std::regex_replace(row, std::regex(R"(\\-)"), "-") + "\n";
        }
        tagNext = row == ".TP";
    }
    for (const std::string& name : listed) {
        const std::string option = "--" + name + "([^a-z0-9-]|$)";
        EXPECT_TRUE(std::regex_search(help, std::regex("(^|\n)  " + option)))
            << "--" << name << " has no line of its own in --help";
        EXPECT_TRUE(std::regex_search(tags, std::regex(option)))
            << "--" << name << " has no paragraph of its own in man/boxsim.1";
    }
}

struct ParseCase {
    std::vector<const char*> args;
    bool accepted;
    std::vector<std::pair<std::string, std::string>> extra;  // expected BoxOptions::extra
    uint32_t baud = 0;                                       // expected speed, 0: not checked
    int adapterMs = 0;
};

TEST(BoxCommandLine, TakesTheTablesOptionsAndRefusesTheRest) {
    const ParseCase cases[] = {
        {{"--version", "5.3", "--hw", "4"}, true, {}, 115200},
        {{"--hw", "1"}, true, {}, 38400},
        {{"--hw", "1", "--baud", "9600"}, true, {}, 9600},
        {{"--legacy", "--timeout", "100"}, true, {{"legacy", "1"}, {"timeout", "100"}}},
        {{"--nak-storm=3", "--flood-before", "Now start"},
         true,
         {{"nak-storm", "3"}, {"flood-before", "Now start"}}},
        {{"--adapter-latency", "16"}, true, {}, 0, 16},
        {{"--adapter-latency=1"}, true, {}, 0, 1},
        {{"--adapter-latency", "0"}, false, {}},
        {{"--adapter-latency", "256"}, false, {}},
        {{"--bogus"}, false, {}},
        {{"--timeout"}, false, {}},
        {{"--legacy", "1"}, false, {}},  // a switch takes no value: "1" is a stray argument
        {{"image.pad"}, false, {}},
        {{"--hw", "0x100"}, false, {}},
        {{"--version", "24"}, false, {}},
    };
    for (const ParseCase& c : cases) {
        std::vector<const char*> argv{"boxsim"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        std::string shown;
        for (const char* arg : c.args) {
            shown += std::string(" ") + arg;
        }
        CommandLine line;
        const bool accepted = ParseCommandLine(static_cast<int>(argv.size()), argv.data(), line);
        EXPECT_EQ(accepted, c.accepted) << shown;
        if (!accepted || !c.accepted) {
            continue;
        }
        const std::map<std::string, std::string> expected(c.extra.begin(), c.extra.end());
        EXPECT_EQ(line.options.extra, expected) << shown;
        if (c.baud != 0) {
            EXPECT_EQ(line.options.baudRate, c.baud) << shown;
        }
        EXPECT_EQ(line.options.adapterLatencyMs, c.adapterMs) << shown;
    }
}

// boxsim --hw and padtool make --hw read a hardware type by one rule: hexadecimal, as hardware
// types are printed, so "14" is 0x14 in both.
TEST(BoxCommandLine, HardwareTypeIsHexadecimalAsInPadtool) {
    const std::pair<const char*, uint32_t> cases[] = {
        {"14", 0x14},
        {"0x14", 0x14},
        {"0E", 0x0E},
        {"ff", 0xFF},
    };
    for (const auto& [text, value] : cases) {
        std::vector<const char*> argv{"boxsim", "--hw", text};
        CommandLine line;
        ASSERT_TRUE(ParseCommandLine(static_cast<int>(argv.size()), argv.data(), line)) << text;
        EXPECT_EQ(line.options.hardwareType, value) << text;
        uint8_t padtoolValue = 0;
        ASSERT_TRUE(padtool::ParseHardwareType(text, padtoolValue)) << text;
        EXPECT_EQ(padtoolValue, value) << text;
    }
}

// One step of an adapter's life: bytes from the box at a time, or a look at what is due.
struct AdapterStep {
    double atMs;
    size_t put;                   // bytes the box sends now (0: none)
    std::vector<size_t> packets;  // sizes of the packets due now, after the put
};

TEST(AdapterHold, ReleasesFullPacketsAtOnceAndTheRestByTheLatencyTimer) {
    const struct {
        const char* name;
        std::vector<AdapterStep> steps;
    } cases[] = {
        {"one byte waits the latency", {{0, 1, {}}, {15.9, 0, {}}, {16, 0, {1}}}},
        {"62 bytes go at once", {{0, 62, {62}}, {16, 0, {}}}},
        {"the 62nd byte completes the packet", {{0, 61, {}}, {5, 1, {62}}, {21, 0, {}}}},
        {"later bytes ride on the first's timer", {{0, 10, {}}, {10, 10, {}}, {16, 0, {20}}}},
        {"a long send: full packets, then the rest", {{0, 130, {62, 62}}, {16, 0, {6}}}},
        {"the rest's timer starts at its own first byte",
         {{0, 60, {}}, {4, 10, {62}}, {19.9, 0, {}}, {20, 0, {8}}}},
    };
    for (const auto& c : cases) {
        AdapterHold hold(16);
        EXPECT_LT(hold.DueAtMs(), 0) << c.name;
        uint8_t next = 0;
        uint8_t expectedNext = 0;
        for (const AdapterStep& step : c.steps) {
            std::vector<uint8_t> bytes(step.put);
            for (uint8_t& byte : bytes) {
                byte = next++;
            }
            hold.Put(bytes.data(), bytes.size(), step.atMs);
            std::vector<size_t> sizes;
            for (const std::vector<uint8_t>& packet : hold.Take(step.atMs)) {
                sizes.push_back(packet.size());
                for (uint8_t byte : packet) {
                    EXPECT_EQ(byte, expectedNext++) << c.name << ": bytes out of order";
                }
            }
            EXPECT_EQ(sizes, step.packets) << c.name << " at " << step.atMs << " ms";
        }
        EXPECT_EQ(hold.Held(), 0u) << c.name;
    }
}

}  // namespace
