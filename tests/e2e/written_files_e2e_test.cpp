// The files a run writes are never the image: the real program against boxsim with
// UPDATE_TRACE and UPDATE_LOG naming the image (by its name, another spelling, a link) or each
// other, and with an image that is the working directory's hyper.pad. Every case checks that
// the image is unchanged byte for byte.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/boxsim_runner.h"
#include "tests/support/pad_builder.h"
#include "tests/support/run_process.h"

namespace {

constexpr uint32_t Id244 = 0x00180004;
const std::string LogRecordLine = "{\"result\":\"ok\"}\n";

struct WrittenFileCase {
    const char* name;
    const char* program;
    const char* trace;    // UPDATE_TRACE relative to the run's directory, or null
    const char* log;      // UPDATE_LOG, or null
    const char* linkTo;   // a symbolic link "link" to this name is made first, or null
    bool oldLog;          // a log with one record stands at "x" before the run
    const char* refusal;  // the line on standard error, %s for the refused name; null: none
    const char* traceAt;  // where a trace must stand afterwards, or null
    const char* logAt;    // where the run's record must be appended, or null
};

const WrittenFileCase Cases[] = {
    {"TraceIsImage", UPDATE_BINARY, "image.pad", nullptr, nullptr, false,
     "UPDATE_TRACE %s is the image file; the update runs without a line trace.", nullptr, nullptr},
    {"TraceIsImageSpeltOtherwise", UPDATE_BINARY, "./sub/../image.pad", nullptr, nullptr, false,
     "UPDATE_TRACE %s is the image file; the update runs without a line trace.", nullptr, nullptr},
    {"TraceIsImageInGerman", AKTUALISIEREN_BINARY, "image.pad", nullptr, nullptr, false,
     "UPDATE_TRACE %s ist die PAD-Datei; die Aktualisierung laeuft ohne Leitungsprotokoll.",
     nullptr, nullptr},
    {"LogIsImage", UPDATE_BINARY, nullptr, "image.pad", nullptr, false,
     "UPDATE_LOG %s is the image file; the update runs without a production log.", nullptr,
     nullptr},
    // The log is appended through a link, so a link to the image is the image.
    {"LogIsALinkToTheImage", UPDATE_BINARY, nullptr, "link", "image.pad", false,
     "UPDATE_LOG %s is the image file; the update runs without a production log.", nullptr,
     nullptr},
    // The trace replaces a link at its name and leaves the image the link led to alone.
    {"TraceAtALinkToTheImageReplacesTheLink", UPDATE_BINARY, "link", nullptr, "image.pad", false,
     nullptr, "link", nullptr},
    {"LogIsTheNewTrace", UPDATE_BINARY, "x", "x", nullptr, false,
     "UPDATE_LOG %s is the line trace's file; the update runs without a production log.", "x",
     nullptr},
    // A shift's log keeps its records: the trace does not take its name.
    {"TraceIsTheShiftsLog", UPDATE_BINARY, "x", "x", nullptr, true,
     "UPDATE_TRACE %s is the production log's file; the update runs without a line trace.", nullptr,
     "x"},
    {"TraceAndLogApart", UPDATE_BINARY, "t", "x", nullptr, true, nullptr, "t", "x"},
};

class WrittenFiles : public ::testing::TestWithParam<WrittenFileCase> {};

TEST_P(WrittenFiles, TheImageStaysAsItWas) {
    const WrittenFileCase& c = GetParam();
    const std::string dir = test::TempDir();
    std::filesystem::create_directory(dir + "/sub");
    const std::vector<uint8_t> image = test::MakePad(test::RandomBytes(5000, 3), 5, 0x14, Id244);
    ASSERT_TRUE(test::WriteFileBytes(dir + "/image.pad", image));
    if (c.linkTo != nullptr) {
        ASSERT_EQ(symlink(c.linkTo, (dir + "/link").c_str()), 0);
    }
    if (c.oldLog) {
        ASSERT_TRUE(test::WriteFileBytes(dir + "/x", {LogRecordLine.begin(), LogRecordLine.end()}));
    }
    BoxSim box;
    ASSERT_TRUE(box.Start({"--version", "24.4", "--hw", "0x14"})) << box.Log();
    std::vector<std::string> env{box.ComEnv(1)};
    if (c.trace != nullptr) {
        env.push_back(std::string("UPDATE_TRACE=") + c.trace);
    }
    if (c.log != nullptr) {
        env.push_back(std::string("UPDATE_LOG=") + c.log);
    }
    const ProcessResult run = RunProcess({c.program, "image.pad"}, "", 60000, env, dir);
    box.Stop();

    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(test::ReadFileBytes(dir + "/image.pad"), image);
    std::string expected;
    if (c.refusal != nullptr) {
        std::vector<char> line(512);
        std::snprintf(line.data(), line.size(), c.refusal,
                      std::string(c.refusal).rfind("UPDATE_TRACE", 0) == 0 ? c.trace : c.log);
        expected = std::string(line.data()) + "\n";
    }
    EXPECT_EQ(run.err, expected);
    if (c.traceAt != nullptr) {
        const std::string path = dir + "/" + c.traceAt;
        EXPECT_FALSE(std::filesystem::is_symlink(path));
        const std::vector<uint8_t> trace = test::ReadFileBytes(path);
        EXPECT_EQ(std::string(trace.begin(), trace.begin() + std::min<size_t>(2, trace.size())),
                  "# ");
    }
    if (c.logAt != nullptr) {
        const std::vector<uint8_t> bytes = test::ReadFileBytes(dir + "/" + c.logAt);
        const std::string log(bytes.begin(), bytes.end());
        EXPECT_EQ(log.rfind(LogRecordLine, 0), 0u) << log;
        EXPECT_NE(log.find("\"result\":\"ok\"", LogRecordLine.size()), std::string::npos) << log;
    }
}

INSTANTIATE_TEST_SUITE_P(Names, WrittenFiles, ::testing::ValuesIn(Cases),
                         [](const auto& caseInfo) { return std::string(caseInfo.param.name); });

// An image that is the working directory's hyper.pad (or a link standing there) is refused
// before the port is opened, whatever box is on the line: the box hears nothing.
TEST(WrittenFilesHyperPad, AnImageThatIsHyperPadIsRefusedBeforeThePortIsOpened) {
    const std::string dir = test::TempDir();
    const std::vector<uint8_t> image = test::MakePad(test::RandomBytes(3000, 5), 1, 0x00, 0);
    ASSERT_TRUE(test::WriteFileBytes(dir + "/box.pad", image));
    struct {
        const char* imageArgument;
        bool hyperPadIsLink;
    } const cases[] = {{"hyper.pad", false}, {"ABSOLUTE", false}, {"hyper.pad", true}};
    for (const auto& c : cases) {
        std::filesystem::remove(dir + "/hyper.pad");
        if (c.hyperPadIsLink) {
            ASSERT_EQ(symlink("box.pad", (dir + "/hyper.pad").c_str()), 0);
        } else {
            ASSERT_TRUE(test::WriteFileBytes(dir + "/hyper.pad", image));
        }
        const std::string argument =
            std::string(c.imageArgument) == "ABSOLUTE" ? dir + "/hyper.pad" : c.imageArgument;
        BoxSim box;
        ASSERT_TRUE(box.Start({"--version", "1.6", "--hw", "0x00"})) << box.Log();
        const ProcessResult run =
            RunProcess({UPDATE_BINARY, argument}, "", 20000, {box.ComEnv(1)}, dir);
        box.Stop();
        EXPECT_EQ(run.exitCode, 1) << argument;
        EXPECT_EQ(run.out, "") << argument;
        EXPECT_EQ(run.err, argument +
                               " is the file hyper.pad of the working directory, which the "
                               "update writes and deletes: copy the image to another name, or "
                               "start in another directory.\n");
        EXPECT_EQ(box.Log().find("keyword"), std::string::npos) << box.Log();
        EXPECT_EQ(test::ReadFileBytes(dir + "/hyper.pad"), image) << argument;
        EXPECT_EQ(test::ReadFileBytes(dir + "/box.pad"), image) << argument;
    }
}

}  // namespace
