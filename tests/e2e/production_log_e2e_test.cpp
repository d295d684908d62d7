// The production log end to end: the real update against boxsim with UPDATE_LOG set. Each box
// leaves one JSON record with the right facts (read back with padtool's reader, and every line
// checked by python3's json module where several processes share the log); the console texts
// and exit codes stay the same with and without the log; a log that cannot be opened costs one
// line on standard error and the update goes on.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <csignal>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/boxsim_runner.h"
#include "tests/support/pad_builder.h"
#include "tests/support/run_process.h"
#include "tools/padtool/log_table.h"

namespace {

using padtool::FindValue;
using padtool::FlatObject;
using padtool::JsonValue;

constexpr uint32_t Id244 = 0x00180004;

std::string ReadText(const std::string& path) {
    const std::vector<uint8_t> bytes = test::ReadFileBytes(path);
    return {bytes.begin(), bytes.end()};
}

// Every line of the log as a record; a line that is not one fails the test.
std::vector<FlatObject> Records(const std::string& log) {
    std::vector<FlatObject> records;
    const std::string text = ReadText(log);
    std::size_t start = 0;
    for (std::size_t end = 0; (end = text.find('\n', start)) != std::string::npos;
         start = end + 1) {
        FlatObject object;
        std::string error;
        const std::string line = text.substr(start, end - start);
        EXPECT_TRUE(padtool::ParseFlatJson(line, object, error)) << error << "\n" << line;
        records.push_back(std::move(object));
    }
    EXPECT_EQ(start, text.size()) << "the log does not end with a whole line:\n" << text;
    return records;
}

std::string Text(const FlatObject& record, const char* key) {
    const JsonValue* value = FindValue(record, key);
    return value == nullptr                       ? "<missing>"
           : value->kind == JsonValue::Kind::Null ? "null"
                                                  : value->text;
}

double Number(const FlatObject& record, const char* key) {
    const JsonValue* value = FindValue(record, key);
    EXPECT_TRUE(value != nullptr && value->kind == JsonValue::Kind::Number) << key;
    return value != nullptr ? value->number : -1;
}

std::string Sha256Sum(const std::string& path) {
    const ProcessResult result = RunProcess({"/usr/bin/sha256sum", path});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    return result.out.substr(0, 64);
}

class ProductionLogE2E : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = test::TempDir();
        log_ = dir_ + "/production.log";
    }

    std::string WriteImage(const std::string& name, std::size_t payloadSize, uint32_t seed) {
        const std::string path = dir_ + "/" + name;
        EXPECT_TRUE(test::WriteFileBytes(
            path, test::MakePad(test::RandomBytes(payloadSize, seed), 5, 0x14, Id244)));
        return path;
    }

    std::string dir_;
    std::string log_;
};

struct BoxCase {
    const char* name;
    const char* program;
    const char* boxVersion;
    int exitCode;
    const char* result;
    const char* message;  // the number, or "null"
    const char* messageText;
    const char* family;
};

const BoxCase BoxCases[] = {
    {"Ok", UPDATE_BINARY, "24.4", 0, "ok", "null", "null", "StreamingDownload"},
    {"IdMismatch", UPDATE_BINARY, "24.2", 1, "failed", "32", "error -> wrong hardware IDs ",
     "null"},
    // A German session logs the failure's English text.
    {"IdMismatchInGerman", AKTUALISIEREN_BINARY, "24.2", 1, "failed", "32",
     "error -> wrong hardware IDs ", "null"},
};

class ProductionLogBox : public ProductionLogE2E, public ::testing::WithParamInterface<BoxCase> {};

TEST_P(ProductionLogBox, RecordsTheBoxAndLeavesTheConsoleAsItWas) {
    const BoxCase& c = GetParam();
    const std::string image = WriteImage("image.pad", 20000, 7);
    ProcessResult runs[2];
    std::string device;
    for (int withLog = 0; withLog < 2; ++withLog) {
        BoxSim box;
        ASSERT_TRUE(box.Start({"--version", c.boxVersion, "--hw", "0x14"})) << box.Log();
        std::vector<std::string> env{box.ComEnv(1)};
        if (withLog == 1) {
            env.push_back("UPDATE_LOG=" + log_);
            device = box.Path();
        }
        runs[withLog] = RunProcess({c.program, image}, "", 60000, env);
        box.Stop();
        EXPECT_EQ(runs[withLog].exitCode, c.exitCode) << runs[withLog].err;
    }
    EXPECT_EQ(runs[1].out, runs[0].out);
    EXPECT_EQ(runs[1].err, runs[0].err);

    const std::vector<FlatObject> records = Records(log_);
    ASSERT_EQ(records.size(), 1u) << ReadText(log_);
    const FlatObject& r = records[0];
    EXPECT_EQ(Text(r, "result"), c.result);
    EXPECT_EQ(Text(r, "message"), c.message);
    EXPECT_EQ(Text(r, "message_text"), c.messageText);
    EXPECT_EQ(Text(r, "family"), c.family);
    EXPECT_EQ(Number(r, "exit_code"), c.exitCode);
    EXPECT_EQ(Text(r, "error"), c.exitCode == 0 ? "null" : "0");
    EXPECT_EQ(Number(r, "port"), 1);
    EXPECT_EQ(Text(r, "device"), device);
    EXPECT_EQ(Text(r, "image"), image);
    EXPECT_EQ(Text(r, "program_version"), "2.16");
    EXPECT_EQ(Number(r, "image_size"), static_cast<double>(test::ReadFileBytes(image).size()));
    EXPECT_EQ(Text(r, "image_sha256"), Sha256Sum(image));
    EXPECT_EQ(Text(r, "hardware_type"), "0x14");
    EXPECT_EQ(Text(r, "software_id"), "24.4");
    EXPECT_EQ(Text(r, "loader_version"), c.boxVersion);
    ASSERT_NE(FindValue(r, "patch_mode"), nullptr);
    EXPECT_EQ(FindValue(r, "patch_mode")->kind, JsonValue::Kind::Boolean);
    EXPECT_FALSE(FindValue(r, "patch_mode")->boolean);
    EXPECT_GE(Number(r, "duration_s"), 0.0);
    EXPECT_LT(Number(r, "duration_s"), 60.0);
    EXPECT_EQ(Text(r, "start").size(), 25u) << Text(r, "start");
    const double sent = Number(r, "bytes_sent");
    const double size = Number(r, "image_size");
    if (c.exitCode == 0) {
        // The whole image in X-modem blocks (a few bytes of framing each), plus the handshake.
        EXPECT_GE(sent, size);
        EXPECT_LT(sent, size * 1.05 + 1000);
    } else {
        // The keyword, the synchronisation and the 400-byte release block, not the image.
        EXPECT_GT(sent, 400);
        EXPECT_LT(sent, size);
    }
}

INSTANTIATE_TEST_SUITE_P(Boxes, ProductionLogBox, ::testing::ValuesIn(BoxCases),
                         [](const auto& caseInfo) { return std::string(caseInfo.param.name); });

// Four update processes on four ports, two of them on boxes that refuse the image, share one
// log: four whole lines, each valid JSON, each with its port's result.
TEST_F(ProductionLogE2E, FourProcessesOnFourPortsShareOneLog) {
    constexpr int Boxes = 4;
    std::array<BoxSim, Boxes> boxes;
    std::vector<std::string> env{"UPDATE_LOG=" + log_};
    for (int i = 0; i < Boxes; ++i) {
        const bool refuses = i % 2 == 1;
        ASSERT_TRUE(
            boxes[i].Start({"--version", refuses ? "24.2" : "24.4", "--hw", "0x14", "--pace"}))
            << boxes[i].Log();
        env.push_back(boxes[i].ComEnv(i + 1));
    }
    const std::string image = WriteImage("image.pad", 30000, 11);
    std::array<ProcessResult, Boxes> results;
    std::vector<std::thread> threads;
    for (int i = 0; i < Boxes; ++i) {
        threads.emplace_back([&, i] {
            results[i] = RunProcess({UPDATE_BINARY, "-p", std::to_string(i + 1), image}, "", 120000,
                                    env, dir_);
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (auto& box : boxes) {
        box.Stop();
    }

    const ProcessResult python =
        RunProcess({"/usr/bin/python3", "-c",
                    "import json, sys\n"
                    "lines = open(sys.argv[1], 'rb').read().split(b'\\n')\n"
                    "assert lines[-1] == b'', 'no line end at the end'\n"
                    "for line in lines[:-1]:\n"
                    "    record = json.loads(line)\n"
                    "    print(record['port'], record['result'], record['exit_code'])\n",
                    log_});
    EXPECT_EQ(python.exitCode, 0) << python.err;

    const std::vector<FlatObject> records = Records(log_);
    ASSERT_EQ(records.size(), 4u) << ReadText(log_);
    std::map<int, std::string> resultByPort;
    for (const FlatObject& r : records) {
        const int port = static_cast<int>(Number(r, "port"));
        EXPECT_EQ(resultByPort.count(port), 0u) << "port " << port << " twice";
        resultByPort[port] = Text(r, "result");
        EXPECT_EQ(Number(r, "exit_code"), results[static_cast<std::size_t>(port - 1)].exitCode);
        EXPECT_EQ(Text(r, "device"), boxes[static_cast<std::size_t>(port - 1)].Path());
    }
    const std::map<int, std::string> expected{{1, "ok"}, {2, "failed"}, {3, "ok"}, {4, "failed"}};
    EXPECT_EQ(resultByPort, expected);
}

struct UnopenableCase {
    const char* name;
    const char* path;  // under the test's directory
    const char* reason;
};

const UnopenableCase UnopenableCases[] = {
    {"DirectoryMissing", "/no/such/dir/production.log", "No such file or directory"},
    {"DirectoryAtTheName", "/logdir", "Is a directory"},
    // Without O_NONBLOCK the open would wait for a reader for ever.
    {"FifoWithoutReader", "/fifo", "No such device or address"},
};

class UnopenableLog : public ProductionLogE2E,
                      public ::testing::WithParamInterface<UnopenableCase> {};

TEST_P(UnopenableLog, OneLineOnStandardErrorAndTheUpdateGoesOn) {
    const UnopenableCase& c = GetParam();
    ASSERT_EQ(mkdir((dir_ + "/logdir").c_str(), 0755), 0);
    ASSERT_EQ(mkfifo((dir_ + "/fifo").c_str(), 0644), 0);
    const std::string image = WriteImage("image.pad", 5000, 3);
    const std::string log = dir_ + c.path;
    BoxSim box;
    ASSERT_TRUE(box.Start({"--version", "24.4", "--hw", "0x14"})) << box.Log();
    const ProcessResult result =
        RunProcess({UPDATE_BINARY, image}, "", 30000, {box.ComEnv(1), "UPDATE_LOG=" + log});
    EXPECT_EQ(box.Wait(5000), 0) << box.Log();
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_NE(result.out.find("Download successfully finished. (com port: 1)"), std::string::npos)
        << result.out;
    EXPECT_EQ(result.err, "UPDATE_LOG=" + log + ": " + c.reason +
                              "; the update goes on without a production log.\n");
}

INSTANTIATE_TEST_SUITE_P(Paths, UnopenableLog, ::testing::ValuesIn(UnopenableCases),
                         [](const auto& caseInfo) { return std::string(caseInfo.param.name); });

TEST_F(ProductionLogE2E, AnInterruptedRunLeavesARecordInterrupted) {
    const std::string image = WriteImage("image.pad", 200000, 5);
    BoxSim box;
    ASSERT_TRUE(box.Start({"--version", "24.4", "--hw", "0x14", "--pace"})) << box.Log();
    ProcessOptions options;
    options.extraEnv = {box.ComEnv(1), "UPDATE_LOG=" + log_};
    options.signalNumber = SIGINT;
    options.signalAfterText = "% transmitted";
    options.signalDelayMs = 300;
    const ProcessResult result = RunProcessAs(UPDATE_BINARY, {"update", image}, options);
    box.Stop();
    ASSERT_GE(result.signalSentMs, 0);
    EXPECT_EQ(result.exitCode, 128 + SIGINT) << result.err;

    const std::vector<FlatObject> records = Records(log_);
    ASSERT_EQ(records.size(), 1u) << ReadText(log_);
    const FlatObject& r = records[0];
    EXPECT_EQ(Text(r, "result"), "interrupted");
    EXPECT_EQ(Number(r, "exit_code"), 128 + SIGINT);
    EXPECT_EQ(Text(r, "message"), "null");
    EXPECT_EQ(Text(r, "loader_version"), "24.4");
    EXPECT_EQ(Text(r, "family"), "StreamingDownload");
    EXPECT_GT(Number(r, "bytes_sent"), 0);
    EXPECT_LT(Number(r, "bytes_sent"), Number(r, "image_size"));
}

TEST_F(ProductionLogE2E, LoopModeWritesOneRecordPerBox) {
    const std::string image = WriteImage("image.pad", 20000, 9);
    BoxSim box;
    ASSERT_TRUE(box.Start({"--version", "24.4", "--hw", "0x14", "--boxes", "2"})) << box.Log();
    const ProcessResult result = RunProcess({UPDATE_BINARY, "-l", image}, "yn", 60000,
                                            {box.ComEnv(1), "UPDATE_LOG=" + log_});
    EXPECT_EQ(box.Wait(5000), 0) << box.Log();
    EXPECT_EQ(result.exitCode, 0) << result.err;

    const std::vector<FlatObject> records = Records(log_);
    ASSERT_EQ(records.size(), 2u) << ReadText(log_);
    for (const FlatObject& r : records) {
        EXPECT_EQ(Text(r, "result"), "ok");
        EXPECT_EQ(Number(r, "exit_code"), 0);
        // Counted per box: each record holds one image's worth, not the sum.
        EXPECT_GE(Number(r, "bytes_sent"), Number(r, "image_size"));
        EXPECT_LT(Number(r, "bytes_sent"), 2 * Number(r, "image_size"));
    }
    EXPECT_LE(Text(records[0], "start"), Text(records[1], "start"));
}

// A run that ends at the image check is a record (a production line wants to see it); a
// usage error or the version listing is not a box and leaves no record, not even a file.
TEST_F(ProductionLogE2E, RunsThatEndBeforeABox) {
    const std::string missing = dir_ + "/missing.pad";
    const ProcessResult checked =
        RunProcess({UPDATE_BINARY, missing}, "", 30000, {"UPDATE_LOG=" + log_});
    EXPECT_EQ(checked.exitCode, 1);
    const std::vector<FlatObject> records = Records(log_);
    ASSERT_EQ(records.size(), 1u) << ReadText(log_);
    EXPECT_EQ(Text(records[0], "result"), "failed");
    EXPECT_EQ(Text(records[0], "message"), "3");
    EXPECT_EQ(Text(records[0], "error"), "2");  // no such file
    EXPECT_EQ(Text(records[0], "image"), missing);
    EXPECT_EQ(Text(records[0], "image_sha256"), "null");
    EXPECT_EQ(Text(records[0], "loader_version"), "null");

    // An image that is there but not sound: named by its digest, its ids unknown.
    std::vector<uint8_t> bytes = test::MakePad(test::RandomBytes(3000, 4), 5, 0x14, Id244);
    bytes.back() ^= 0x01;  // the checksum no longer fits
    const std::string unsound = dir_ + "/unsound.pad";
    ASSERT_TRUE(test::WriteFileBytes(unsound, bytes));
    EXPECT_EQ(RunProcess({UPDATE_BINARY, unsound}, "", 30000, {"UPDATE_LOG=" + log_}).exitCode, 1);
    const std::vector<FlatObject> both = Records(log_);
    ASSERT_EQ(both.size(), 2u) << ReadText(log_);
    EXPECT_EQ(Text(both[1], "message"), "3");
    EXPECT_EQ(Text(both[1], "image_sha256"), Sha256Sum(unsound));
    EXPECT_EQ(Number(both[1], "image_size"), static_cast<double>(bytes.size()));
    EXPECT_EQ(Text(both[1], "hardware_type"), "null");

    const std::string other = dir_ + "/other.log";
    for (const std::vector<std::string>& argv :
         {std::vector<std::string>{UPDATE_BINARY, "-q", missing},
          std::vector<std::string>{UPDATE_BINARY, "-V"},
          std::vector<std::string>{UPDATE_BINARY, "-p", "7", missing}}) {
        const ProcessResult result = RunProcess(argv, "", 30000, {"UPDATE_LOG=" + other});
        EXPECT_TRUE(result.exitCode == 0 || result.exitCode == 1);
        struct stat info {};
        EXPECT_NE(stat(other.c_str(), &info), 0) << argv[1];
    }
}

// padtool log as a program: the table on standard output, malformed lines named on standard
// error with exit status 1, a log that cannot be read and a missing operand refused.
TEST_F(ProductionLogE2E, PadtoolLogShowsTheTableAndNamesMalformedLines) {
    const std::string good = dir_ + "/good.log";
    const std::string bad = dir_ + "/bad.log";
    const std::string ok =
        R"({"start":"2026-12-09T01:00:00+01:00","port":1,"result":"ok","bytes_sent":100})"
        "\n";
    const std::string failed =
        R"({"start":"2026-12-09T01:01:00+01:00","port":2,"result":"failed","message":5,)"
        R"("message_text":"Inititialization of COM-port failed (Error: ","error":16,)"
        R"("exit_code":1})"
        "\n";
    ASSERT_TRUE(test::WriteFileBytes(good, std::vector<uint8_t>(ok.begin(), ok.end())));
    const std::string mixed = ok + failed + "{\"port\":3,\n";
    ASSERT_TRUE(test::WriteFileBytes(bad, std::vector<uint8_t>(mixed.begin(), mixed.end())));

    const struct {
        std::vector<std::string> operands;
        int exitCode;
        std::vector<std::string> out;
        std::string err;
    } cases[] = {
        {{good}, 0, {"1 box: ok 1", "malformed lines: 0"}, ""},
        {{bad},
         1,
         {"2 boxes: failed 1, ok 1", "malformed lines: 1", "!! 2026-12-09T01:01:00+01:00",
          "message 5: Inititialization of COM-port failed (Error: (error 16), exit code 1"},
         "padtool: line 3: "},
        {{dir_ + "/missing.log"},
         1,
         {},
         "padtool: " + dir_ + "/missing.log: cannot open: No such file"},
        {{}, 2, {}, "padtool: log needs at least one FILE"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv{PADTOOL_BINARY, "log"};
        argv.insert(argv.end(), c.operands.begin(), c.operands.end());
        const ProcessResult result = RunProcess(argv);
        SCOPED_TRACE(result.out + result.err);
        EXPECT_EQ(result.exitCode, c.exitCode);
        for (const std::string& text : c.out) {
            EXPECT_NE(result.out.find(text), std::string::npos) << text;
        }
        EXPECT_EQ(result.err.rfind(c.err, 0), 0u) << c.err;
        // Standard output is no terminal here: no colour.
        EXPECT_EQ(result.out.find('\033'), std::string::npos);
    }
}

}  // namespace
