// The other processes with the port's device open, found in a /proc tree made in a temporary
// directory: fd entries are links to /dev/null (the device), /dev/zero (another device) and
// the kinds of target a real /proc shows for sockets and pipes.
#include "platform/device_holders.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/pad_builder.h"

namespace {

constexpr uint32_t OwnPid = 500;

class DeviceHolders : public ::testing::Test {
  protected:
    void SetUp() override { root_ = test::TempDir(); }

    // A process entry: its program name (none: no comm file) and its fd links.
    void Process(const std::string& pid, const char* program,
                 const std::vector<std::string>& targets) {
        const std::string dir = root_ + "/" + pid;
        std::filesystem::create_directories(dir + "/fd");
        if (program != nullptr) {
            ASSERT_TRUE(test::WriteFileBytes(
                dir + "/comm", std::vector<uint8_t>(program, program + std::strlen(program))));
        }
        int fd = 0;
        for (const std::string& target : targets) {
            ASSERT_EQ(symlink(target.c_str(), (dir + "/fd/" + std::to_string(fd++)).c_str()), 0);
        }
    }

    std::vector<std::string> Holders(const std::string& device) {
        std::vector<std::string> found;
        for (const DeviceHolder& holder :
             FindDeviceHolders(root_.c_str(), device.c_str(), OwnPid)) {
            found.push_back(holder.program + " " + std::to_string(holder.pid));
        }
        std::sort(found.begin(), found.end());
        return found;
    }

    std::string root_;
};

TEST_F(DeviceHolders, NamesTheOtherProcessesThatHoldTheDeviceByItsNumbers) {
    Process("100", "minicom\n", {"socket:[4711]", "/dev/null"});
    Process("200", "bash\n", {"/dev/zero", "pipe:[12]", "anon_inode:[eventfd]"});
    Process("300", nullptr, {"/dev/null"});
    Process(std::to_string(OwnPid), "update\n", {"/dev/null"});
    Process("self", "update\n", {"/dev/null"});
    Process("400", "gone\n", {"/nonexistent/device"});
    std::filesystem::create_directories(root_ + "/600");  // no fd directory at all
    // The device under another name, as /dev/serial/by-id links name an adapter.
    const std::string byId = root_ + "/usb-adapter-if00-port0";
    ASSERT_EQ(symlink("/dev/null", byId.c_str()), 0);

    const std::vector<std::string> expected{"? 300", "minicom 100"};
    EXPECT_EQ(Holders("/dev/null"), expected);
    EXPECT_EQ(Holders(byId), expected);
    EXPECT_EQ(Holders("/dev/zero"), std::vector<std::string>{"bash 200"});
    EXPECT_TRUE(Holders("/dev/full").empty());
    // Not a character device: nothing is looked for.
    EXPECT_TRUE(Holders(root_ + "/100/comm").empty());
}

TEST_F(DeviceHolders, LeavesPseudoTerminalsOut) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const std::string slave = ptsname(master);
    Process("100", "boxsim\n", {slave, "/dev/ptmx"});
    EXPECT_TRUE(Holders(slave).empty());
    EXPECT_TRUE(Holders("/dev/ptmx").empty());
    close(master);
}

}  // namespace
