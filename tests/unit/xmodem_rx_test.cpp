// Interoperability of the X-modem file sender with an independent receiver: `rx` of the lrzsz
// package. The sender opens its port with OpenSerialLink on one pseudo-terminal, rx runs on
// another, and a relay joins the two masters like a cable.
//
// The cable has a turnaround: bytes towards rx are held until rx has been quiet for a moment.
// rx empties its input queue right after each NAK or ACK it sends, which on a real line costs
// nothing (the next block is still on its way) but on an instant pseudo-terminal would throw
// away a block that had already arrived and leave rx waiting for its 13-second time-out.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "common/settings.h"
#include "platform/platform.h"
#include "protocols/xmodem_sender.h"
#include "serial/port.h"
#include "tests/support/pad_builder.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto Turnaround = std::chrono::milliseconds(20);

// The lrzsz receiver, under its Debian name or the name some systems give it.
std::string FindRx() {
    for (const char* dir : {"/usr/bin", "/bin", "/usr/local/bin"}) {
        for (const char* name : {"rx", "lrzsz-rx"}) {
            const std::string path = std::string(dir) + "/" + name;
            if (access(path.c_str(), X_OK) == 0) {
                return path;
            }
        }
    }
    return {};
}

// A pseudo-terminal: the master (non-blocking) and the path of the slave, set raw.
struct Terminal {
    int master = -1;
    std::string slavePath;

    bool Open() {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
            return false;
        }
        const char* name = ptsname(master);
        if (name == nullptr) {
            return false;
        }
        slavePath = name;
        termios settings{};
        if (tcgetattr(master, &settings) == 0) {
            cfmakeraw(&settings);
            tcsetattr(master, TCSANOW, &settings);
        }
        return true;
    }
    ~Terminal() {
        if (master >= 0) {
            close(master);
        }
    }
};

void WriteAll(int fd, const uint8_t* data, size_t length) {
    while (length > 0) {
        const ssize_t n = write(fd, data, length);
        if (n > 0) {
            data += n;
            length -= static_cast<size_t>(n);
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return;
        } else {
            pollfd entry{fd, POLLOUT, 0};
            poll(&entry, 1, 10);
        }
    }
}

// Carries bytes between the two masters until `stop` is set.
void Relay(int senderSide, int rxSide, const std::atomic<bool>& stop) {
    std::vector<uint8_t> towardsRx;
    auto rxSpokeAt = Clock::now();
    uint8_t buffer[4096];
    while (!stop) {
        pollfd entries[2] = {{senderSide, POLLIN, 0}, {rxSide, POLLIN, 0}};
        poll(entries, 2, 2);
        const ssize_t fromRx = read(rxSide, buffer, sizeof buffer);
        if (fromRx > 0) {
            WriteAll(senderSide, buffer, static_cast<size_t>(fromRx));
            rxSpokeAt = Clock::now();
        }
        const ssize_t fromSender = read(senderSide, buffer, sizeof buffer);
        if (fromSender > 0) {
            towardsRx.insert(towardsRx.end(), buffer, buffer + fromSender);
        }
        if (!towardsRx.empty() && Clock::now() - rxSpokeAt >= Turnaround) {
            WriteAll(rxSide, towardsRx.data(), towardsRx.size());
            towardsRx.clear();
        }
        if (fromRx <= 0 && fromSender <= 0 && (entries[0].revents | entries[1].revents) & POLLHUP) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));  // a side has no user yet
        }
    }
}

// Starts rx on the slave side in `dir`, receiving into `fileName`. Returns the child's id.
pid_t StartReceiver(const std::string& rx, const std::string& slavePath, const std::string& dir,
                    const std::string& fileName) {
    const pid_t pid = fork();
    if (pid != 0) {
        return pid;
    }
    setsid();
    const int slave = open(slavePath.c_str(), O_RDWR);
    const int log = open((dir + "/rx.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (slave < 0 || log < 0 || chdir(dir.c_str()) != 0) {
        _exit(126);
    }
    dup2(slave, 0);
    dup2(slave, 1);
    dup2(log, 2);
    execl(rx.c_str(), rx.c_str(), "-b", "-q", fileName.c_str(), static_cast<char*>(nullptr));
    _exit(127);
}

// Waits for the child up to `limit`; kills it when it is still running. Returns its exit code.
int WaitForChild(pid_t pid, std::chrono::seconds limit) {
    const auto deadline = Clock::now() + limit;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (Clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class XmodemRxTest : public ::testing::TestWithParam<size_t> {};

TEST_P(XmodemRxTest, LrzszReceiverGetsTheFile) {
    const std::string rx = FindRx();
    if (rx.empty()) {
        GTEST_SKIP() << "lrzsz's rx is not installed (scripts/setup.sh installs it)";
    }
    language = 0;
    const std::string dir = test::TempDir();
    const auto content = test::RandomBytes(GetParam(), static_cast<uint32_t>(GetParam()));
    const std::string image = dir + "/image.pad";
    ASSERT_TRUE(test::WriteFileBytes(image, content));

    Terminal senderLine;
    Terminal rxLine;
    ASSERT_TRUE(senderLine.Open());
    ASSERT_TRUE(rxLine.Open());
    ASSERT_EQ(setenv("COM1", senderLine.slavePath.c_str(), 1), 0);
    const SerialLink link = OpenSerialLink(1, 115200, 1, 0, 0);
    ASSERT_NE(link, InvalidLink) << GetLastErrorValue();

    std::atomic<bool> stop{false};
    std::thread relay(Relay, senderLine.master, rxLine.master, std::cref(stop));
    const pid_t receiver = StartReceiver(rx, rxLine.slavePath, dir, "received.bin");
    ASSERT_GT(receiver, 0);

    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    const auto start = Clock::now();
    const int result = XmodemSendFile(link, image.c_str());
    const auto sent = Clock::now();
    const std::string out = ::testing::internal::GetCapturedStdout();
    const std::string err = ::testing::internal::GetCapturedStderr();

    // The sender does not wait for the EOT's acknowledgement; rx ends once it has the EOT.
    const int rxStatus = WaitForChild(receiver, std::chrono::seconds(60));
    stop = true;
    relay.join();
    CloseSerialLink(link);

    EXPECT_EQ(result, 0) << err;
    EXPECT_EQ(rxStatus, 0);
    EXPECT_TRUE(out.ends_with("100 % transmitted\r" + std::string(30, ' ') + "\r")) << out;
    // Without lost blocks the transfer takes a turnaround per block, far below rx's time-out.
    EXPECT_LT(sent - start, std::chrono::seconds(10));

    // rx keeps the whole last block; the file is its first bytes.
    auto received = test::ReadFileBytes(dir + "/received.bin");
    ASSERT_EQ(received.size(), (content.size() + 127) / 128 * 128);
    received.resize(content.size());
    EXPECT_EQ(received, content);
}

INSTANTIATE_TEST_SUITE_P(Sizes, XmodemRxTest, ::testing::Values(1, 128, 129, 128 * 60 + 77));

}  // namespace
