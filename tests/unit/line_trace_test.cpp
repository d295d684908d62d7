// The line trace's lines: how bursts are split, what a line holds, and that tracing a port call
// leaves the caller's error state alone.
#include "serial/line_trace.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/errors.h"
#include "platform/platform.h"
#include "tests/support/pad_builder.h"

namespace {

struct Line {
    unsigned long long time = 0;
    std::string label;  // prog>box, box>prog or the event's name
    std::vector<uint8_t> bytes;
    std::string text;  // the printable column, or the event's text
};

std::vector<Line> ReadLines(const std::string& path) {
    std::ifstream file(path);
    std::vector<Line> lines;
    for (std::string row; std::getline(file, row);) {
        if (row.empty() || row[0] == '#') {
            continue;
        }
        std::istringstream fields(row);
        Line line;
        fields >> line.time >> line.label;
        if (line.label == "prog>box" || line.label == "box>prog") {
            for (std::string token; fields >> token;) {
                if (token[0] == '|') {
                    line.text = row.substr(row.find('|'));
                    break;
                }
                line.bytes.push_back(static_cast<uint8_t>(std::stoul(token, nullptr, 16)));
            }
        } else {
            std::getline(fields >> std::ws, line.text);
        }
        lines.push_back(line);
    }
    return lines;
}

constexpr LineDirection P = LineDirection::ProgToBox;
constexpr LineDirection B = LineDirection::BoxToProg;

struct Piece {
    uint64_t time;
    LineDirection direction;
    uint32_t count;  // bytes 0, 1, 2, ... continued over the pieces; 0: an event line
};
struct Expected {
    unsigned long long time;
    const char* label;
    size_t count;
};
struct BurstCase {
    const char* name;
    std::vector<Piece> pieces;
    std::vector<Expected> lines;
};

const BurstCase BurstCases[] = {
    {"SixteenBytesALine", {{100, P, 17}}, {{100, "prog>box", 16}, {100, "prog>box", 1}}},
    {"DirectionChangeEndsTheLine",
     {{100, P, 3}, {100, B, 2}, {150, P, 1}},
     {{100, "prog>box", 3}, {100, "box>prog", 2}, {150, "prog>box", 1}}},
    {"TwoMillisecondsAreNoPause", {{100, P, 3}, {2100, P, 3}}, {{100, "prog>box", 6}}},
    {"MoreThanTwoMillisecondsArePause",
     {{100, P, 3}, {2101, P, 3}},
     {{100, "prog>box", 3}, {2101, "prog>box", 3}}},
    {"AFullLineGoesOnWithTheNextPiecesTime",
     {{100, P, 10}, {900, P, 10}},
     {{100, "prog>box", 16}, {900, "prog>box", 4}}},
    {"GapMeasuredFromTheLastPieceNotTheLinesStart",
     {{100, P, 2}, {2000, P, 2}, {3900, P, 2}},
     {{100, "prog>box", 6}}},
    {"AnEventEndsTheLine",
     {{100, B, 3}, {0, P, 0}, {120, B, 3}},
     {{100, "box>prog", 3}, {0, "stage", 0}, {120, "box>prog", 3}}},
};

class BurstSplitting : public ::testing::TestWithParam<BurstCase> {};

TEST_P(BurstSplitting, LinesAsExpected) {
    const BurstCase& c = GetParam();
    const std::string path = test::TempDir() + "/t.trace";
    ASSERT_EQ(OpenLineTrace(path.c_str(), "# test\n", nullptr), 1);
    std::vector<uint8_t> sent;
    for (const Piece& piece : c.pieces) {
        if (piece.count == 0) {
            TraceLineEvent("stage", "between");
            continue;
        }
        std::vector<uint8_t> bytes;
        for (uint32_t i = 0; i < piece.count; ++i) {
            bytes.push_back(static_cast<uint8_t>(sent.size() * 7 + 0x30));
            sent.push_back(bytes.back());
        }
        RecordLineBytesAt(piece.time, piece.direction, bytes.data(), piece.count);
    }
    ASSERT_EQ(CloseLineTrace(), 1);
    EXPECT_FALSE(lineTraceActive);

    const std::vector<Line> lines = ReadLines(path);
    ASSERT_EQ(lines.size(), c.lines.size());
    std::vector<uint8_t> seen;
    for (size_t i = 0; i < c.lines.size(); ++i) {
        EXPECT_EQ(lines[i].label, c.lines[i].label) << "line " << i;
        EXPECT_EQ(lines[i].bytes.size(), c.lines[i].count) << "line " << i;
        if (c.lines[i].count != 0) {
            EXPECT_EQ(lines[i].time, c.lines[i].time) << "line " << i;
        }
        seen.insert(seen.end(), lines[i].bytes.begin(), lines[i].bytes.end());
    }
    EXPECT_EQ(seen, sent) << "every byte once, in order";
}

INSTANTIATE_TEST_SUITE_P(Trace, BurstSplitting, ::testing::ValuesIn(BurstCases),
                         [](const auto& caseInfo) { return std::string(caseInfo.param.name); });

TEST(LineTrace, PrintableColumnAndAFailedCallThatLeavesTheErrorStateAlone) {
    const std::string path = test::TempDir() + "/t.trace";
    ASSERT_EQ(OpenLineTrace(path.c_str(), "# test\n", nullptr), 1);
    const uint8_t bytes[] = {'A', 0x00, 0x7F, ' ', '~', 0xFF};
    SetLastErrorValue(ErrorCounterTimeout);
    errno = EAGAIN;
    RecordPortCall("write", 0, LineDirection::ProgToBox, bytes, sizeof bytes);
    EXPECT_EQ(GetLastErrorValue(), ErrorCounterTimeout);
    EXPECT_EQ(errno, EAGAIN);
    ASSERT_EQ(CloseLineTrace(), 1);

    const std::vector<Line> lines = ReadLines(path);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0].bytes, std::vector<uint8_t>(bytes, bytes + sizeof bytes));
    EXPECT_EQ(lines[0].text, "|A.. ~.|");
    EXPECT_EQ(lines[1].label, "error");
    EXPECT_EQ(lines[1].text.rfind("write 1121 ", 0), 0u) << lines[1].text;
}

TEST(LineTrace, OffCostsNothingAndWritesNothing) {
    ASSERT_FALSE(lineTraceActive);
    const uint8_t byte = 1;
    // Nothing open: these must neither crash nor create anything.
    TraceLineBytes(LineDirection::ProgToBox, &byte, 1);
    TracePortCall("read", 0, LineDirection::BoxToProg, &byte, 1);
    TraceLineEvent("stage", "nothing");
    EXPECT_EQ(CloseLineTrace(), 1);
}

TEST(LineTrace, ATraceThatCannotBeCreatedSaysWhyAndLeavesNothing) {
    const std::string dir = test::TempDir();
    EXPECT_EQ(OpenLineTrace((dir + "/missing/t.trace").c_str(), "# test\n", nullptr), 0);
    EXPECT_EQ(GetLastErrorValue(), static_cast<uint32_t>(ENOENT));
    ASSERT_EQ(mkdir((dir + "/d").c_str(), 0755), 0);
    EXPECT_EQ(OpenLineTrace((dir + "/d").c_str(), "# test\n", nullptr), 0);
    EXPECT_EQ(GetLastErrorValue(), static_cast<uint32_t>(EISDIR));
    EXPECT_FALSE(lineTraceActive);
    // The file of the trace's own was removed again: only the directory stands there.
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        names.push_back(entry.path().filename().string());
    }
    EXPECT_EQ(names, std::vector<std::string>{"d"});
}

}  // namespace
