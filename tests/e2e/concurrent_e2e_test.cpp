// Several boxes at once: update processes on COM1 to COM4, each mapped to its own boxsim,
// update four boxes at the same time, each box with its own image; a second process on a port
// that is in use is refused with message 5 instead of sharing the line; 1.x updates, which write
// hyper.pad into the current directory, run side by side from a directory each.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/boxsim_runner.h"
#include "tests/support/pad_builder.h"
#include "tests/support/run_process.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string OkLine(int port) {
    return "Download successfully finished. (com port: " + std::to_string(port) + ")";
}

struct TimedRun {
    ProcessResult result;
    Clock::time_point start;
    Clock::time_point end;
};

// Runs update in a thread of its own and notes when it started and ended.
std::thread RunInBackground(TimedRun& run, std::vector<std::string> argv,
                            std::vector<std::string> env, std::string dir) {
    return std::thread([&run, argv = std::move(argv), env = std::move(env), dir = std::move(dir)] {
        run.start = Clock::now();
        run.result = RunProcess(argv, "", 120000, env, dir);
        run.end = Clock::now();
    });
}

std::string Story(const TimedRun& run, const BoxSim& box) {
    return "exit " + std::to_string(run.result.exitCode) + "\n--- out:\n" + run.result.out +
           "\n--- err:\n" + run.result.err + "\n--- boxsim:\n" + box.Log();
}

TEST(SeveralBoxes, FourPortsUpdateFourBoxesAtTheSameTimeEachWithItsOwnImage) {
    constexpr int Boxes = 4;
    const std::string dir = test::TempDir();
    std::array<BoxSim, Boxes> boxes;
    std::array<std::vector<uint8_t>, Boxes> images;
    std::array<TimedRun, Boxes> runs;
    std::vector<std::string> env;
    for (int i = 0; i < Boxes; ++i) {
        const int port = i + 1;
        // Paced at the line rate, so that the four transfers take long enough to overlap.
        images[i] = test::MakePad(test::RandomBytes(30000, 100 + port), 5, 0x14, 0x00180004);
        ASSERT_TRUE(
            test::WriteFileBytes(dir + "/image" + std::to_string(port) + ".pad", images[i]));
        ASSERT_TRUE(boxes[i].Start({"--version", "24.4", "--hw", "0x14", "--pace", "--save",
                                    dir + "/received" + std::to_string(port) + ".pad"}))
            << boxes[i].Log();
        env.push_back(boxes[i].ComEnv(port));
    }

    std::vector<std::thread> threads;
    for (int i = 0; i < Boxes; ++i) {
        const std::string port = std::to_string(i + 1);
        threads.push_back(RunInBackground(
            runs[i], {UPDATE_BINARY, "-p", port, dir + "/image" + port + ".pad"}, env, dir));
    }
    for (std::thread& thread : threads) {
        thread.join();
    }

    Clock::time_point lastStart = runs[0].start;
    Clock::time_point firstEnd = runs[0].end;
    for (int i = 0; i < Boxes; ++i) {
        SCOPED_TRACE("COM" + std::to_string(i + 1));
        EXPECT_EQ(runs[i].result.exitCode, 0) << Story(runs[i], boxes[i]);
        EXPECT_NE(runs[i].result.out.find(OkLine(i + 1)), std::string::npos)
            << Story(runs[i], boxes[i]);
        EXPECT_EQ(boxes[i].Wait(10000), 0) << boxes[i].Log();
        EXPECT_TRUE(test::ReadFileBytes(dir + "/received" + std::to_string(i + 1) + ".pad") ==
                    images[i])
            << "box " << i + 1 << " did not get its own image";
        lastStart = std::max(lastStart, runs[i].start);
        firstEnd = std::min(firstEnd, runs[i].end);
    }
    // All four were running at one moment: the last one started before the first one ended.
    EXPECT_LT(lastStart, firstEnd);
}

TEST(SeveralBoxes, ASecondProcessOnAPortInUseIsRefusedAndTheFirstUpdateGoesOn) {
    const std::string dir = test::TempDir();
    const std::vector<uint8_t> image =
        test::MakePad(test::RandomBytes(60000, 7), 5, 0x14, 0x00180004);
    ASSERT_TRUE(test::WriteFileBytes(dir + "/image.pad", image));
    BoxSim box;
    ASSERT_TRUE(
        box.Start({"--version", "24.4", "--hw", "0x14", "--pace", "--save", dir + "/received.pad"}))
        << box.Log();

    TimedRun first;
    std::thread thread = RunInBackground(first, {UPDATE_BINARY, "-p", "1", dir + "/image.pad"},
                                         {box.ComEnv(1)}, dir);
    // The first update holds the port once the box has its keyword.
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(20);
    while (box.Log().find("keyword") == std::string::npos && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const ProcessResult second =
        RunProcess({UPDATE_BINARY, "-p", "1", dir + "/image.pad"}, "", 20000, {box.ComEnv(1)}, dir);
    thread.join();

    EXPECT_EQ(second.exitCode, 1) << second.out << second.err;
    EXPECT_NE(second.err.find("Inititialization of COM-port failed (Error:  16)\n"),
              std::string::npos)
        << second.err;
    // The line after it says what to do.
    EXPECT_NE(second.err.find("Device or resource busy. Another program holds the port"),
              std::string::npos)
        << second.err;
    EXPECT_EQ(second.out, "Checking file ... OK\n");
    EXPECT_EQ(first.result.exitCode, 0) << Story(first, box);
    EXPECT_EQ(box.Wait(10000), 0) << box.Log();
    EXPECT_TRUE(test::ReadFileBytes(dir + "/received.pad") == image);
}

TEST(SeveralBoxes, HyperLoaderUpdatesRunSideBySideFromADirectoryEach) {
    // 1.x updates write hyper.pad into the current directory and delete it afterwards: two
    // at once in one directory would overwrite and delete each other's file.
    constexpr int Boxes = 2;
    std::array<std::string, Boxes> dirs;
    std::array<BoxSim, Boxes> boxes;
    std::array<std::vector<uint8_t>, Boxes> images;
    std::array<TimedRun, Boxes> runs;
    std::vector<std::thread> threads;
    for (int i = 0; i < Boxes; ++i) {
        const std::string port = std::to_string(i + 1);
        dirs[i] = test::TempDir();
        images[i] = test::MakePad(test::RandomBytes(20000, 40 + i), 5, 0, 0x00010004);
        ASSERT_TRUE(test::WriteFileBytes(dirs[i] + "/image.pad", images[i]));
        ASSERT_TRUE(boxes[i].Start(
            {"--version", "1.4", "--hw", "0", "--pace", "--save", dirs[i] + "/received.pad"}))
            << boxes[i].Log();
    }
    for (int i = 0; i < Boxes; ++i) {
        const std::string port = std::to_string(i + 1);
        threads.push_back(RunInBackground(runs[i], {UPDATE_BINARY, "-p", port, "image.pad"},
                                          {boxes[i].ComEnv(i + 1)}, dirs[i]));
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (int i = 0; i < Boxes; ++i) {
        SCOPED_TRACE("COM" + std::to_string(i + 1));
        EXPECT_EQ(runs[i].result.exitCode, 0) << Story(runs[i], boxes[i]);
        EXPECT_EQ(boxes[i].Wait(10000), 0) << boxes[i].Log();
        EXPECT_TRUE(test::ReadFileBytes(dirs[i] + "/received.pad") == images[i]);
    }
}

}  // namespace
