// The line trace end to end: the real program with UPDATE_TRACE against boxsim with --trace.
// The traces are parsed, not compared as text: what counts is the bytes in each direction, the
// events, and that the file is complete.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/boxsim_runner.h"
#include "tests/support/pad_builder.h"
#include "tests/support/run_process.h"

namespace {

constexpr uint32_t Id244 = 0x00180004;

// What a trace holds: the bytes per direction and the events ("name text") in order.
struct Trace {
    bool parsed = false;
    std::string error;
    std::vector<uint8_t> toBox;
    std::vector<uint8_t> fromBox;
    std::vector<std::string> events;
    bool endsWithLineEnd = false;

    bool HasEvent(const std::string& prefix) const {
        return std::any_of(events.begin(), events.end(),
                           [&](const std::string& e) { return e.rfind(prefix, 0) == 0; });
    }
    // Index of the first event that begins with `prefix`, or -1.
    long EventAt(const std::string& prefix) const {
        for (size_t i = 0; i < events.size(); ++i) {
            if (events[i].rfind(prefix, 0) == 0) {
                return static_cast<long>(i);
            }
        }
        return -1;
    }
};

Trace ParseTrace(const std::string& path) {
    Trace trace;
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        trace.error = "cannot read " + path;
        return trace;
    }
    const std::string text((std::istreambuf_iterator<char>(file)), {});
    trace.endsWithLineEnd = !text.empty() && text.back() == '\n';
    std::istringstream lines(text);
    int number = 0;
    for (std::string line; std::getline(lines, line);) {
        ++number;
        if (line.empty() || line[0] == '#') {
            continue;
        }
        std::istringstream fields(line);
        unsigned long long microseconds = 0;
        std::string label;
        if (!(fields >> microseconds >> label)) {
            trace.error = "line " + std::to_string(number) + ": " + line;
            return trace;
        }
        if (label != "prog>box" && label != "box>prog") {
            std::string rest;
            std::getline(fields >> std::ws, rest);
            trace.events.push_back(label + " " + rest);
            continue;
        }
        std::vector<uint8_t>& bytes = label == "prog>box" ? trace.toBox : trace.fromBox;
        int count = 0;
        for (std::string token; fields >> token && token[0] != '|';) {
            if (token.size() != 2 || !std::isxdigit(static_cast<unsigned char>(token[0])) ||
                !std::isxdigit(static_cast<unsigned char>(token[1]))) {
                trace.error = "line " + std::to_string(number) + ": " + line;
                return trace;
            }
            bytes.push_back(static_cast<uint8_t>(std::stoul(token, nullptr, 16)));
            ++count;
        }
        if (count < 1 || count > 16) {
            trace.error = "line " + std::to_string(number) + " holds " + std::to_string(count) +
                          " bytes: " + line;
            return trace;
        }
    }
    trace.parsed = true;
    return trace;
}

bool Contains(const std::vector<uint8_t>& haystack, const std::vector<uint8_t>& needle) {
    return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) !=
           haystack.end();
}

class LineTraceE2E : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = test::TempDir();
        image_ =
            test::MakePad(test::MakeSegment(Id244, test::RandomBytes(20000, 7)), 5, 0x14, Id244);
        ASSERT_TRUE(test::WriteFileBytes(dir_ + "/image.pad", image_));
    }

    // One update of a 24.4 box (the box's trace into box.trace when `boxTrace`), with the
    // environment entries `env` added.
    ProcessResult Update(const std::vector<std::string>& box, std::vector<std::string> env,
                         bool boxTrace = true, int signalNumber = 0,
                         const std::string& signalAfter = "") {
        std::vector<std::string> args = box;
        if (boxTrace) {
            args.insert(args.end(), {"--trace", dir_ + "/box.trace"});
        }
        BoxSim sim;
        if (!sim.Start(args)) {
            ADD_FAILURE() << sim.Log();
            return {};
        }
        env.push_back(sim.ComEnv(1));
        ProcessOptions options;
        options.extraEnv = env;
        options.workDir = dir_;
        options.timeoutMs = 60000;
        options.signalNumber = signalNumber;
        options.signalAfterText = signalAfter;
        options.signalDelayMs = signalNumber != 0 ? 200 : 0;
        ProcessResult result =
            RunProcessAs(UPDATE_BINARY, {UPDATE_BINARY, dir_ + "/image.pad"}, options);
        if (signalNumber != 0) {
            sim.Stop();
        } else {
            boxStatus_ = sim.Wait(10000);
        }
        boxLog_ = sim.Log();
        return result;
    }

    std::string dir_;
    std::vector<uint8_t> image_;
    int boxStatus_ = -1;
    std::string boxLog_;
};

const std::vector<std::string> Box244{"--version", "24.4", "--hw", "0x14"};

TEST_F(LineTraceE2E, SuccessfulUpdateTracesTheBytesTheBoxSawWithoutChangingTheConsole) {
    const ProcessResult plain = Update(Box244, {}, /*boxTrace=*/false);
    ASSERT_EQ(plain.exitCode, 0) << plain.out << plain.err;

    const ProcessResult traced = Update(Box244, {"UPDATE_TRACE=" + dir_ + "/prog.trace"});
    ASSERT_EQ(traced.exitCode, 0) << traced.out << traced.err << boxLog_;
    EXPECT_EQ(boxStatus_, 0) << boxLog_;
    // The console is the same with and without the trace.
    EXPECT_EQ(traced.out, plain.out);
    EXPECT_EQ(traced.err, plain.err);

    const Trace program = ParseTrace(dir_ + "/prog.trace");
    const Trace box = ParseTrace(dir_ + "/box.trace");
    ASSERT_TRUE(program.parsed) << program.error;
    ASSERT_TRUE(box.parsed) << box.error;
    // Same bytes, same order, in each direction; the image went out inside the blocks.
    EXPECT_EQ(program.toBox, box.toBox);
    EXPECT_EQ(program.fromBox, box.fromBox);
    EXPECT_GT(program.toBox.size(), image_.size());
    EXPECT_TRUE(
        Contains(program.toBox, std::vector<uint8_t>(image_.begin(), image_.begin() + 128)));
    EXPECT_TRUE(Contains(program.fromBox, {'2', '4', '.', '4'}));

    // The events a reader finds the way by, in the order they happened; the file is complete.
    const std::vector<std::string> order{"open",
                                         "stage access",
                                         "stage version 24.4",
                                         "stage download StreamingDownload",
                                         "restored",
                                         "close",
                                         "end"};
    long last = -1;
    for (const std::string& event : order) {
        const long at = program.EventAt(event);
        EXPECT_GT(at, last) << event << " missing or out of order";
        last = std::max(last, at);
    }
    EXPECT_TRUE(program.endsWithLineEnd);
    EXPECT_FALSE(program.HasEvent("error"));

    // The support engineer's tool agrees.
    const ProcessResult diff = RunProcess({std::string(SOURCE_DIR) + "/scripts/trace-diff",
                                           dir_ + "/prog.trace", dir_ + "/box.trace"});
    EXPECT_EQ(diff.exitCode, 0) << diff.out << diff.err;
    // Nothing else was left in the directory (no file of the trace's own under another name).
    EXPECT_EQ(test::DirectoryNames(dir_),
              (std::vector<std::string>{"box.trace", "image.pad", "prog.trace"}));
}

TEST_F(LineTraceE2E, IdMismatchShowsTheStageAndTheReleaseInACompleteTrace) {
    const ProcessResult result =
        Update({"--version", "24.2", "--hw", "0x14"}, {"UPDATE_TRACE=" + dir_ + "/prog.trace"});
    ASSERT_EQ(result.exitCode, 1) << result.out << result.err;
    ASSERT_NE(result.out.find("wrong hardware IDs"), std::string::npos) << result.out;

    const Trace program = ParseTrace(dir_ + "/prog.trace");
    ASSERT_TRUE(program.parsed) << program.error;
    EXPECT_TRUE(program.HasEvent("stage version 24.2"));
    const long release = program.EventAt("stage release");
    ASSERT_GE(release, 0);
    EXPECT_GT(program.EventAt("end"), release);
    EXPECT_TRUE(program.endsWithLineEnd);
    EXPECT_FALSE(program.HasEvent("stage download"));
    // The release block went out after the version line came in.
    EXPECT_TRUE(Contains(program.fromBox, {'2', '4', '.', '2'}));
    // The box saw every byte the program sent; the program closed the line before it read the
    // box's last answer (the acknowledgement of the release's end), so its side is a prefix.
    const Trace box = ParseTrace(dir_ + "/box.trace");
    ASSERT_TRUE(box.parsed) << box.error;
    EXPECT_EQ(program.toBox, box.toBox);
    ASSERT_LE(program.fromBox.size(), box.fromBox.size());
    EXPECT_TRUE(std::equal(program.fromBox.begin(), program.fromBox.end(), box.fromBox.begin()));
}

struct Uncreatable {
    const char* name;
    const char* file;    // under the test's directory
    bool makeDirectory;  // a directory stands at the name
    const char* reason;
};

class TraceUncreatable : public LineTraceE2E, public ::testing::WithParamInterface<Uncreatable> {};

TEST_P(TraceUncreatable, OneLineOnStandardErrorAndTheUpdateSucceeds) {
    const Uncreatable& c = GetParam();
    const std::string file = dir_ + "/" + c.file;
    if (c.makeDirectory) {
        ASSERT_EQ(mkdir(file.c_str(), 0755), 0);
    }
    const ProcessResult result = Update(Box244, {"UPDATE_TRACE=" + file}, false);
    EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
    EXPECT_NE(result.out.find("Download successfully finished. (com port: 1)"), std::string::npos);
    EXPECT_EQ(result.err, "UPDATE_TRACE " + file + ": " + c.reason +
                              "; the update runs without a line trace.\n");
    // No file of the trace's own is left behind.
    std::vector<std::string> expected{"image.pad"};
    if (c.makeDirectory) {
        expected.push_back(c.file);
        std::sort(expected.begin(), expected.end());
    }
    EXPECT_EQ(test::DirectoryNames(dir_), expected);
}

INSTANTIATE_TEST_SUITE_P(Files, TraceUncreatable,
                         ::testing::Values(Uncreatable{"MissingDirectory", "no-such-dir/prog.trace",
                                                       false, "No such file or directory"},
                                           Uncreatable{"DirectoryAtTheName", "trace.d", true,
                                                       "Is a directory"}),
                         [](const auto& caseInfo) { return std::string(caseInfo.param.name); });

TEST_F(LineTraceE2E, SymbolicLinkAtTheNameIsReplacedAndItsTargetUntouched) {
    const std::string target = dir_ + "/precious.txt";
    ASSERT_TRUE(test::WriteFileBytes(target, {'k', 'e', 'e', 'p'}));
    const std::string file = dir_ + "/prog.trace";
    ASSERT_EQ(symlink(target.c_str(), file.c_str()), 0);

    const ProcessResult result = Update(Box244, {"UPDATE_TRACE=" + file}, false);
    ASSERT_EQ(result.exitCode, 0) << result.out << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(test::ReadFileBytes(target), (std::vector<uint8_t>{'k', 'e', 'e', 'p'}));
    struct stat info {};
    ASSERT_EQ(lstat(file.c_str(), &info), 0);
    EXPECT_TRUE(S_ISREG(info.st_mode));
    const Trace program = ParseTrace(file);
    ASSERT_TRUE(program.parsed) << program.error;
    EXPECT_GT(program.toBox.size(), image_.size());
}

TEST_F(LineTraceE2E, InterruptedTransferLeavesAFlushedTraceWithThePortGivenBack) {
    const ProcessResult result =
        Update({"--version", "24.4", "--hw", "0x14", "--pace"},
               {"UPDATE_TRACE=" + dir_ + "/prog.trace"}, true, SIGINT, "% transmitted");
    ASSERT_EQ(result.exitCode, 128 + SIGINT) << result.out << result.err;

    const Trace program = ParseTrace(dir_ + "/prog.trace");
    ASSERT_TRUE(program.parsed) << program.error;
    EXPECT_TRUE(program.endsWithLineEnd);
    const long stop = program.EventAt("stop");
    ASSERT_GE(stop, 0);
    EXPECT_GT(program.EventAt("restored"), stop);
    EXPECT_TRUE(program.HasEvent("stage download StreamingDownload"));
    // The blocks sent before the interrupt are in the file: at least the first one.
    EXPECT_TRUE(Contains(program.toBox, std::vector<uint8_t>(image_.begin(), image_.begin() + 64)));
    // The two sides agree up to where the shorter one ends (the box is stopped with bytes
    // still on their way).
    const Trace box = ParseTrace(dir_ + "/box.trace");
    ASSERT_TRUE(box.parsed) << box.error;
    const size_t common = std::min(program.toBox.size(), box.toBox.size());
    EXPECT_GT(common, 128u);
    EXPECT_TRUE(
        std::equal(program.toBox.begin(), program.toBox.begin() + common, box.toBox.begin()));
}

}  // namespace
