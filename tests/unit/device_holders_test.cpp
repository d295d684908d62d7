// The other processes with the port's device open, found in a /proc tree made in a temporary
// directory: fd entries are links to /dev/null (the device), /dev/zero (another device), a
// pseudo-terminal and the kinds of target a real /proc shows for sockets and pipes.
#include "platform/device_holders.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/pad_builder.h"

namespace {

TEST(DeviceHolders, NamesTheOtherProcessesThatHoldTheDeviceByItsNumbers) {
    const std::string root = test::TempDir();
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_TRUE(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0);
    const std::string pty = ptsname(master);
    const struct {
        std::string pid;
        std::string comm;  // empty: no comm file
        std::vector<std::string> targets;
    } processes[] = {
        {"100", "minicom\n", {"socket:[4711]", "/dev/null"}},
        {"200", "bash\n", {"/dev/zero", "pipe:[12]", "anon_inode:[eventfd]", pty}},
        {"300", "", {"/dev/null"}},
        {"500", "update\n", {"/dev/null"}},  // this process
        {"self", "update\n", {"/dev/null"}},
        {"400", "gone\n", {"/nonexistent/device"}},
        {"600", "boxsim\n", {pty, "/dev/ptmx"}},
    };
    for (const auto& p : processes) {
        std::filesystem::create_directories(root + "/" + p.pid + "/fd");
        if (!p.comm.empty()) {
            ASSERT_TRUE(
                test::WriteFileBytes(root + "/" + p.pid + "/comm", {p.comm.begin(), p.comm.end()}));
        }
        for (std::size_t fd = 0; fd < p.targets.size(); ++fd) {
            const std::string link = root + "/" + p.pid + "/fd/" + std::to_string(fd);
            ASSERT_EQ(symlink(p.targets[fd].c_str(), link.c_str()), 0);
        }
    }
    // The device under another name, as /dev/serial/by-id links name an adapter.
    const std::string byId = root + "/usb-adapter-if00-port0";
    ASSERT_EQ(symlink("/dev/null", byId.c_str()), 0);
    const auto holders = [&](const std::string& device) {
        std::vector<std::string> found;
        for (const DeviceHolder& h : FindDeviceHolders(root.c_str(), device.c_str(), 500)) {
            found.push_back(h.program + " " + std::to_string(h.pid));
        }
        std::sort(found.begin(), found.end());
        return found;
    };
    const std::vector<std::string> nullHolders{"? 300", "minicom 100"};
    EXPECT_EQ(holders("/dev/null"), nullHolders);
    EXPECT_EQ(holders(byId), nullHolders);
    EXPECT_EQ(holders("/dev/zero"), std::vector<std::string>{"bash 200"});
    EXPECT_TRUE(holders("/dev/full").empty());
    EXPECT_TRUE(holders(root + "/100/comm").empty());  // not a character device
    // Pseudo-terminals are left out: their other end is the simulated box.
    EXPECT_TRUE(holders(pty).empty());
    EXPECT_TRUE(holders("/dev/ptmx").empty());
    close(master);
}

}  // namespace
