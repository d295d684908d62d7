// The files a run writes are never the image: the real program against boxsim with
// UPDATE_TRACE and UPDATE_LOG naming the image (by its name, another spelling, a hard or a
// symbolic link) or each other, and with an image that is the working directory's hyper.pad.
// Every case checks that the image is unchanged byte for byte.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "common/messages.h"
#include "tests/support/boxsim_runner.h"
#include "tests/support/pad_builder.h"
#include "tests/support/run_process.h"

namespace {

const std::string OldRecord = "{\"result\":\"ok\"}\n";

// The line a refusal prints about `name`, in English or German.
std::string Refusal(Hint hint, const std::string& name, bool german = false) {
    const std::size_t row = german ? static_cast<std::size_t>(HintCount) : 0;
    std::string line(512, '\0');
    line.resize(static_cast<std::size_t>(
        std::snprintf(line.data(), line.size(), HintCatalog[row + static_cast<std::size_t>(hint)],
                      name.c_str())));
    return line + "\n";
}

struct WrittenFileCase {
    const char* name;
    const char* trace;  // UPDATE_TRACE in the run's directory, or null
    const char* log;    // UPDATE_LOG, or null
    bool oldLog;  // "x" holds a log record before the run; "link" and "hard" lead to the image
    std::optional<Hint> refusal;  // the one line on standard error
    const char* traceAt;          // where the trace must stand afterwards, or null
    const char* logAt;            // where the old record and the run's must stand, or null
};

const WrittenFileCase Cases[] = {
    {"TraceIsImage", "image.pad", nullptr, false, Hint::TraceIsImage, nullptr, nullptr},
    {"TraceIsImageSpeltOtherwise", "./sub/../image.pad", nullptr, false, Hint::TraceIsImage,
     nullptr, nullptr},
    {"TraceIsAHardLinkOfTheImage", "hard", nullptr, false, Hint::TraceIsImage, nullptr, nullptr},
    {"LogIsImage", nullptr, "image.pad", false, Hint::LogIsImage, nullptr, nullptr},
    // The log is appended through a link; the trace replaces a link and leaves its target alone.
    {"LogIsALinkToTheImage", nullptr, "link", false, Hint::LogIsImage, nullptr, nullptr},
    {"TraceReplacesALinkToTheImage", "link", nullptr, false, std::nullopt, "link", nullptr},
    {"LogIsTheNewTrace", "x", "x", false, Hint::LogIsTrace, "x", nullptr},
    // A shift's log keeps its records: the trace does not take its name.
    {"TraceIsTheShiftsLog", "x", "x", true, Hint::TraceIsLog, nullptr, "x"},
    {"TraceAndLogApart", "t", "x", true, std::nullopt, "t", "x"},
};

class WrittenFiles : public ::testing::TestWithParam<WrittenFileCase> {};

TEST_P(WrittenFiles, TheImageStaysAsItWas) {
    const WrittenFileCase& c = GetParam();
    const std::string dir = test::TempDir();
    std::filesystem::create_directory(dir + "/sub");
    const std::vector<uint8_t> image =
        test::MakePad(test::RandomBytes(5000, 3), 5, 0x14, 0x00180004);
    ASSERT_TRUE(test::WriteFileBytes(dir + "/image.pad", image));
    ASSERT_EQ(symlink("image.pad", (dir + "/link").c_str()), 0);
    ASSERT_EQ(link((dir + "/image.pad").c_str(), (dir + "/hard").c_str()), 0);
    if (c.oldLog) {
        ASSERT_TRUE(test::WriteFileBytes(dir + "/x", {OldRecord.begin(), OldRecord.end()}));
    }
    BoxSim box;
    ASSERT_TRUE(box.Start({"--version", "24.4", "--hw", "0x14"})) << box.Log();
    std::vector<std::string> env{box.ComEnv(1)};
    for (const auto& [variable, value] :
         {std::pair{"UPDATE_TRACE=", c.trace}, {"UPDATE_LOG=", c.log}}) {
        if (value != nullptr) {
            env.push_back(std::string(variable) + value);
        }
    }
    const ProcessResult run = RunProcess({UPDATE_BINARY, "image.pad"}, "", 60000, env, dir);
    box.Stop();

    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(test::ReadFileBytes(dir + "/image.pad"), image);
    if (c.refusal) {
        const bool trace = *c.refusal == Hint::TraceIsImage || *c.refusal == Hint::TraceIsLog;
        EXPECT_EQ(run.err, Refusal(*c.refusal, trace ? c.trace : c.log));
    } else {
        EXPECT_EQ(run.err, "");
    }
    if (c.traceAt != nullptr) {
        EXPECT_FALSE(std::filesystem::is_symlink(dir + "/" + c.traceAt));
        const std::vector<uint8_t> trace = test::ReadFileBytes(dir + "/" + c.traceAt);
        EXPECT_TRUE(trace.size() > 2 && trace[0] == '#' && trace[1] == ' ');
    }
    if (c.logAt != nullptr) {
        const std::vector<uint8_t> bytes = test::ReadFileBytes(dir + "/" + c.logAt);
        const std::string log(bytes.begin(), bytes.end());
        EXPECT_EQ(log.rfind(OldRecord, 0), 0u) << log;
        EXPECT_NE(log.find("\"result\":\"ok\"", OldRecord.size()), std::string::npos) << log;
    }
}

INSTANTIATE_TEST_SUITE_P(Names, WrittenFiles, ::testing::ValuesIn(Cases),
                         [](const auto& caseInfo) { return std::string(caseInfo.param.name); });

// An image that is the working directory's hyper.pad (by any name, or a link standing there) is
// refused before the port is opened, in both languages: the box hears nothing.
TEST(WrittenFilesHyperPad, AnImageThatIsHyperPadIsRefusedBeforeThePortIsOpened) {
    const std::string dir = test::TempDir();
    const std::vector<uint8_t> image = test::MakePad(test::RandomBytes(3000, 5), 1, 0x00, 0);
    ASSERT_TRUE(test::WriteFileBytes(dir + "/box.pad", image));
    const struct {
        std::string argument;
        bool link;
        const char* program;
    } cases[] = {{"hyper.pad", false, UPDATE_BINARY},
                 {dir + "/hyper.pad", false, AKTUALISIEREN_BINARY},
                 {"hyper.pad", true, UPDATE_BINARY}};
    for (const auto& c : cases) {
        std::filesystem::remove(dir + "/hyper.pad");
        ASSERT_TRUE(c.link ? symlink("box.pad", (dir + "/hyper.pad").c_str()) == 0
                           : test::WriteFileBytes(dir + "/hyper.pad", image));
        BoxSim box;
        ASSERT_TRUE(box.Start({"--version", "1.6", "--hw", "0x00"})) << box.Log();
        const ProcessResult run =
            RunProcess({c.program, c.argument}, "", 20000, {box.ComEnv(1)}, dir);
        box.Stop();
        EXPECT_EQ(run.exitCode, 1) << c.argument;
        EXPECT_EQ(run.out, "") << c.argument;
        EXPECT_EQ(run.err, Refusal(Hint::ImageIsHyperPad, c.argument,
                                   c.program == std::string(AKTUALISIEREN_BINARY)));
        EXPECT_EQ(box.Log().find("keyword"), std::string::npos) << box.Log();
        EXPECT_EQ(test::ReadFileBytes(dir + "/hyper.pad"), image) << c.argument;
    }
}

}  // namespace
