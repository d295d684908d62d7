// The POSIX platform base: last-error value, files, console and process priority.
#include "platform/platform.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/file.h"
#include "tests/support/pad_builder.h"

namespace {

using Bytes = std::vector<uint8_t>;

// ---- Last-error value -------------------------------------------------------------------------

TEST(LastError, BelongsToTheThread) {
    SetLastErrorValue(0x20000002);
    uint32_t seenInThread = 1;
    std::thread other([&] {
        seenInThread = GetLastErrorValue();
        SetLastErrorValue(0x20000007);
    });
    other.join();
    EXPECT_EQ(seenInThread, 0u);
    EXPECT_EQ(GetLastErrorValue(), 0x20000002u);
}

// ---- Files ------------------------------------------------------------------------------------

class FileTest : public ::testing::Test {
  protected:
    std::string dir = test::TempDir();
};

TEST(LastError, ReasonsInWords) {
    const struct {
        uint32_t value;
        const char* words;
    } cases[] = {
        {ENOENT, "No such file or directory"},
        {EACCES, "Permission denied"},
        {EBUSY, "Device or resource busy"},
        {0x20000002, "error 536870914"},  // the program's own time-out has no system text
        {0, "error 0"},
    };
    for (const auto& c : cases) {
        EXPECT_STREQ(SystemErrorText(c.value), c.words) << c.value;
    }
    // A number the C library does not know still gives a line of text.
    EXPECT_NE(std::string(SystemErrorText(4000)).find("4000"), std::string::npos);
}

TEST_F(FileTest, WrittenBytesReadBackInPieces) {
    const std::string path = dir + "/data.bin";
    const Bytes data = test::RandomBytes(30000, 1);
    {
        File file = File::Create(path.c_str());
        ASSERT_TRUE(file.IsOpen());
        EXPECT_EQ(file.Write(data.data(), 10000), 1);
        EXPECT_EQ(file.Write(data.data() + 10000, 20000), 1);
        EXPECT_EQ(file.Write(data.data(), 0), 1);
    }
    File file = File::OpenRead(path.c_str());
    ASSERT_TRUE(file.IsOpen());
    uint64_t size = 0;
    ASSERT_EQ(file.Size(size), 1);
    EXPECT_EQ(size, data.size());

    Bytes back(data.size() + 100);
    uint32_t got = 0;
    ASSERT_EQ(file.Read(back.data(), 4, got), 1);
    EXPECT_EQ(got, 4u);
    ASSERT_EQ(file.Read(back.data() + 4, 40000, got), 1);
    EXPECT_EQ(got, data.size() - 4);  // a short count at the end of the file
    back.resize(data.size());
    EXPECT_EQ(back, data);

    uint8_t more = 0;
    EXPECT_EQ(file.Read(&more, 1, got), 1);
    EXPECT_EQ(got, 0u);  // end of file is no error
}

TEST_F(FileTest, CreateTruncatesAnExistingFile) {
    const std::string path = dir + "/old.bin";
    ASSERT_TRUE(test::WriteFileBytes(path, Bytes(5000, 1)));
    {
        File file = File::Create(path.c_str());
        ASSERT_TRUE(file.IsOpen());
        ASSERT_EQ(file.Write("ab", 2), 1);
    }
    EXPECT_EQ(test::ReadFileBytes(path), (Bytes{'a', 'b'}));
}

TEST_F(FileTest, OpenFailuresLeaveTheReason) {
    enum class Open { Read, Create, CreateNew };
    struct OpenCase {
        std::string name;
        Open open;
        uint32_t error;
    };
    // Only regular files are read: a FIFO (without a writer it would hold the open) and a
    // device are refused at once. A new file is never made through what stands at its name.
    const std::string fifo = dir + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    const std::string existing = dir + "/existing.bin";
    ASSERT_TRUE(test::WriteFileBytes(existing, {1}));
    const std::string dangling = dir + "/dangling";
    ASSERT_EQ(symlink((dir + "/nowhere").c_str(), dangling.c_str()), 0);
    const std::vector<OpenCase> cases = {
        {dir + "/missing.bin", Open::Read, ENOENT},
        {dir, Open::Read, EISDIR},
        {fifo, Open::Read, EINVAL},
        {"/dev/null", Open::Read, EINVAL},
        {dir + "/no/such/dir.bin", Open::Create, ENOENT},
        {dir, Open::Create, EISDIR},
        {existing, Open::CreateNew, EEXIST},
        {dangling, Open::CreateNew, EEXIST},
        {fifo, Open::CreateNew, EEXIST},
    };
    for (const auto& c : cases) {
        SetLastErrorValue(0);
        File file = c.open == Open::Read     ? File::OpenRead(c.name.c_str())
                    : c.open == Open::Create ? File::Create(c.name.c_str())
                                             : File::CreateNew(c.name.c_str());
        EXPECT_FALSE(file.IsOpen()) << c.name;
        EXPECT_EQ(GetLastErrorValue(), c.error) << c.name;
    }
    EXPECT_EQ(test::ReadFileBytes(existing), Bytes{1});
    EXPECT_FALSE(std::filesystem::exists(dir + "/nowhere"));
}

TEST_F(FileTest, WriteReportsAFullDisk) {
    File file = File::Create("/dev/full");
    ASSERT_TRUE(file.IsOpen());
    SetLastErrorValue(0);
    EXPECT_EQ(file.Write("x", 1), 0);
    EXPECT_EQ(GetLastErrorValue(), static_cast<uint32_t>(ENOSPC));
}

TEST_F(FileTest, ClosedOrMovedFromFileRefusesEverything) {
    const std::string path = dir + "/moved.bin";
    ASSERT_TRUE(test::WriteFileBytes(path, {1, 2, 3}));
    File first = File::OpenRead(path.c_str());
    ASSERT_TRUE(first.IsOpen());
    File second = std::move(first);
    EXPECT_FALSE(first.IsOpen());
    ASSERT_TRUE(second.IsOpen());

    uint8_t byte = 0;
    uint32_t got = 7;
    uint64_t size = 7;
    EXPECT_EQ(first.Read(&byte, 1, got), 0);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(first.Size(size), 0);
    EXPECT_EQ(first.Write(&byte, 1), 0);

    File third;
    third = std::move(second);
    ASSERT_EQ(third.Read(&byte, 1, got), 1);
    EXPECT_EQ(byte, 1);
    third.Close();
    EXPECT_FALSE(third.IsOpen());
    EXPECT_EQ(third.Read(&byte, 1, got), 0);
}

TEST_F(FileTest, DeleteRemovesFilesOnly) {
    const std::string path = dir + "/gone.bin";
    ASSERT_TRUE(test::WriteFileBytes(path, {1}));
    EXPECT_EQ(DeleteFileNamed(path.c_str()), 1);
    EXPECT_FALSE(std::filesystem::exists(path));

    SetLastErrorValue(0);
    EXPECT_EQ(DeleteFileNamed(path.c_str()), 0);
    EXPECT_EQ(GetLastErrorValue(), static_cast<uint32_t>(ENOENT));

    const std::string subdir = dir + "/sub";
    ASSERT_TRUE(std::filesystem::create_directory(subdir));
    EXPECT_EQ(DeleteFileNamed(subdir.c_str()), 0);
    EXPECT_TRUE(std::filesystem::exists(subdir));
}

// ---- Console ----------------------------------------------------------------------------------

TEST(Console, ReadsCharactersAsUnsignedUntilTheEnd) {
    const std::string dir = test::TempDir();
    const std::string path = dir + "/input.txt";
    ASSERT_TRUE(test::WriteFileBytes(path, {'y', 0xFF, '\n'}));
    const int saved = dup(STDIN_FILENO);
    ASSERT_GE(saved, 0);
    ASSERT_NE(std::freopen(path.c_str(), "rb", stdin), nullptr);

    EXPECT_EQ(ReadConsoleChar(), 'y');
    EXPECT_EQ(ReadConsoleChar(), 0xFF);  // not mistaken for the end of input
    EXPECT_EQ(ReadConsoleChar(), '\n');
    EXPECT_EQ(ReadConsoleChar(), -1);

    dup2(saved, STDIN_FILENO);
    close(saved);
    std::clearerr(stdin);
}

TEST(Console, BeepNeverGoesToStandardOutput) {
    ::testing::internal::CaptureStdout();
    ConsoleBeep();
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
}

// ---- Process priority -------------------------------------------------------------------------

int Nice() {
    errno = 0;
    return getpriority(PRIO_PROCESS, 0);
}

TEST(Priority, HighClassIsRaisedIfAllowedAndTheOldClassRestored) {
    const int before = Nice();
    const uint32_t old = GetProcessPriorityClass();
    SetProcessPriorityClass(HighPriorityClass);
    const int raised = Nice();
    // Without the privilege the raise is refused; with it the process runs at a lower nice.
    EXPECT_TRUE(raised == before || raised < before) << before << " -> " << raised;
    if (before > -10) {
        EXPECT_TRUE(raised == before || raised == -10) << raised;
    }
    SetProcessPriorityClass(old);
    EXPECT_EQ(Nice(), before);
    EXPECT_EQ(GetProcessPriorityClass(), old);
}

TEST(Priority, HighClassNeverLowersAProcessAboveIt) {
    const int before = Nice();
    if (setpriority(PRIO_PROCESS, 0, -15) != 0) {
        GTEST_SKIP() << "no privilege to raise the priority";
    }
    const uint32_t atMinus15 = GetProcessPriorityClass();
    SetProcessPriorityClass(HighPriorityClass);
    EXPECT_EQ(Nice(), -15);
    EXPECT_EQ(GetProcessPriorityClass(), atMinus15);
    setpriority(PRIO_PROCESS, 0, before);
}

TEST(Priority, UnknownClassChangesNothing) {
    const int before = Nice();
    for (uint32_t value : {0u, 0x12345u, 0x10000u | 200u, 0xFFFFFFFFu}) {
        SetProcessPriorityClass(value);
        EXPECT_EQ(Nice(), before) << std::hex << value;
    }
}

}  // namespace
