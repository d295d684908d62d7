// The satellite update request end to end: the real program with -s against boxsim showing
// its menu and checking the answer.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/boxsim_runner.h"
#include "tests/support/run_process.h"

namespace {

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

struct Outcome {
    ProcessResult program;
    int box = -1;
    std::string log;
};

// Runs the program with -s `method` against boxsim; a box that is still running after
// `boxWaitMs` is stopped.
Outcome RunRequest(const std::string& method, const std::vector<std::string>& boxArgs,
                   int boxWaitMs = 5000) {
    Outcome outcome;
    BoxSim box;
    if (!box.Start(boxArgs)) {
        ADD_FAILURE() << "boxsim did not start: " << box.Log();
        return outcome;
    }
    ProcessOptions options;
    options.extraEnv = {box.ComEnv(1)};
    options.timeoutMs = 60000;
    outcome.program = RunProcessAs(UPDATE_BINARY, {"update", "-s", method}, options);
    outcome.box = box.Wait(boxWaitMs);
    if (outcome.box == -1) {
        outcome.box = box.Stop();
    }
    outcome.log = box.Log();
    return outcome;
}

std::string Describe(const Outcome& o) {
    return "program exit " + std::to_string(o.program.exitCode) + "\n--- out:\n" + o.program.out +
           "--- err:\n" + o.program.err + "--- boxsim:\n" + o.log;
}

TEST(SatelliteEndToEnd, EachMethodSendsItsMenuAnswer) {
    struct Case {
        const char* method;
        const char* answer;
    };
    const Case cases[] = {
        {"eol", "5"},
        {"ORB", "6"},
        {"mix", "8"},
        {"EoLonline", "5"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.method);
        const Outcome o = RunRequest(c.method, {"--version", "24.4", "--hw", "2", "--satellite",
                                                "--expect-answer", c.answer});
        EXPECT_EQ(o.program.exitCode, 0) << Describe(o);
        EXPECT_EQ(o.box, 0) << Describe(o);
        EXPECT_TRUE(Contains(o.log, std::string("menu answer '") + c.answer + "'")) << o.log;
        EXPECT_TRUE(Contains(o.program.out,
                             "Access to bootloader version:  24.4\n"
                             "Done!                   \n"
                             "Please be patient and wait for update to be finished (about "
                             "15min)\n\n"))
            << Describe(o);
        EXPECT_FALSE(Contains(o.program.out, "Download successfully finished")) << Describe(o);
    }
}

TEST(SatelliteEndToEnd, AMethodWithoutAMenuAnswerIsRefusedBeforeTheBoxIsTouched) {
    for (const char* method : {"ast", "eo", "xyz"}) {
        SCOPED_TRACE(method);
        const Outcome o =
            RunRequest(method, {"--version", "24.4", "--hw", "2", "--satellite"}, 200);
        EXPECT_EQ(o.program.exitCode, 1) << Describe(o);
        EXPECT_TRUE(Contains(o.program.err, std::string("Bad Syntax of parameter:  ") + method))
            << Describe(o);
        EXPECT_EQ(o.box, 3) << "the box must receive nothing\n" << Describe(o);
    }
}

}  // namespace
