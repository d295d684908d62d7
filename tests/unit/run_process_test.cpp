// The process runner that the end-to-end tests rely on.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "tests/support/pad_builder.h"
#include "tests/support/run_process.h"

namespace {

TEST(RunProcessTest, FeedsInputAndSeparatesTheStreams) {
    const ProcessResult r = RunProcess(
        {"/bin/sh", "-c", "read line; echo \"out:$line\"; echo err >&2; exit 3"}, "hello\n", 10000);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_EQ(r.out, "out:hello\n");
    EXPECT_EQ(r.err, "err\n");
}

TEST(RunProcessTest, PassesTheChosenProgramNameEnvironmentAndDirectory) {
    const std::string dir = test::TempDir();
    ProcessOptions options;
    options.extraEnv = {"RUN_PROCESS_TEST=value"};
    options.workDir = dir;
    options.timeoutMs = 10000;
    const ProcessResult r = RunProcessAs(
        "/bin/sh", {"any-name", "-c", "echo \"$0 $RUN_PROCESS_TEST\"; pwd -P"}, options);
    EXPECT_EQ(r.exitCode, 0);
    char resolved[4096];
    ASSERT_NE(realpath(dir.c_str(), resolved), nullptr);
    EXPECT_EQ(r.out, "any-name value\n" + std::string(resolved) + "\n");
}

TEST(RunProcessTest, KillsAChildThatOutlivesTheTimeLimit) {
    ProcessOptions options;
    options.closeStdin = false;
    options.timeoutMs = 300;
    const ProcessResult r = RunProcessAs("/bin/sh", {"sh", "-c", "echo started; read x"}, options);
    EXPECT_TRUE(r.timedOut);
    EXPECT_EQ(r.exitCode, 128 + 9);
    EXPECT_EQ(r.out, "started\n");
}

TEST(RunProcessTest, ReportsAProgramThatCannotBeStarted) {
    const ProcessResult r = RunProcess({"/nonexistent/program"}, "", 10000);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitCode, 127);
}

TEST(RunProcessTest, SurvivesAChildThatIgnoresItsInput) {
    const std::string input(1 << 20, 'x');  // more than a pipe holds
    const ProcessResult r = RunProcess({"/bin/sh", "-c", "exit 0"}, input, 10000);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitCode, 0);
}

}  // namespace
