// The serial port on a real pseudo-terminal: COM1 names its slave side, the test holds the
// master side and plays the box.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include "frontend/session.h"
#include "platform/clock.h"
#include "platform/platform.h"
#include "serial/serial_link.h"

namespace {

double ProcessCpuMs() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1000.0 + static_cast<double>(now.tv_nsec) / 1e6;
}

class PtyPort : public ::testing::Test {
  protected:
    void SetUp() override {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master_, 0);
        ASSERT_EQ(grantpt(master_), 0);
        ASSERT_EQ(unlockpt(master_), 0);
        slavePath_ = ptsname(master_);
        setenv("COM1", slavePath_.c_str(), 1);
    }
    void TearDown() override {
        for (SerialLink link : links_) {
            CloseSerialLink(link);
        }
        CloseMaster();
        unsetenv("COM1");
    }

    SerialLink Open(uint32_t baud = 115200, int noWriteTimeout = 1, int handshake = 0,
                    int parity = 0) {
        const SerialLink link = OpenSerialLink(1, baud, noWriteTimeout, handshake, parity);
        if (link != InvalidLink) {
            links_.push_back(link);
        }
        return link;
    }
    void CloseMaster() {
        if (master_ >= 0) {
            close(master_);
            master_ = -1;
        }
    }
    void BoxSends(const std::string& bytes) {
        ASSERT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // What the program sent, waiting up to 1 s for the first byte.
    std::string BoxReads() {
        std::string got;
        pollfd entry{master_, POLLIN, 0};
        if (poll(&entry, 1, 1000) > 0) {
            char buffer[4096];
            const ssize_t n = read(master_, buffer, sizeof buffer);
            if (n > 0) {
                got.assign(buffer, static_cast<size_t>(n));
            }
        }
        return got;
    }

    int master_ = -1;
    std::string slavePath_;
    std::vector<SerialLink> links_;
};

TEST(Clock, PausesAreMeasuredByTheMillisecondClock) {
    const uint32_t start = ClockMs();
    SleepMs(120);
    const uint32_t slept = ElapsedMs(start);
    EXPECT_GE(slept, 120u);
    EXPECT_LT(slept, 400u);
}

TEST(PortDevice, NamesFromTheEnvironmentOrTheDefaults) {
    unsetenv("COM2");
    EXPECT_STREQ(PortDeviceName(2), "/dev/ttyS1");
    setenv("COM2", "/dev/ttyUSB0", 1);
    EXPECT_STREQ(PortDeviceName(2), "/dev/ttyUSB0");
    unsetenv("COM2");
    setenv("COM4", "", 1);
    EXPECT_STREQ(PortDeviceName(4), "/dev/ttyS3");
    unsetenv("COM4");
    EXPECT_EQ(PortDeviceName(0), nullptr);
    EXPECT_EQ(PortDeviceName(5), nullptr);
}

TEST(PortDevice, NumberOutsideOneToFourOpensNothing) {
    for (int port : {0, 5, -1}) {
        SetLastErrorValue(0);
        const uint32_t start = ClockMs();
        EXPECT_EQ(OpenSerialLink(port, 115200, 0, 0, 0), InvalidLink) << port;
        EXPECT_EQ(GetLastErrorValue(), ErrorBadPort) << port;
        EXPECT_LT(ElapsedMs(start), 250u) << "nothing to set up, so no pause";
    }
}

TEST(PortDevice, MissingDeviceLeavesTheSystemsReason) {
    setenv("COM3", "/nonexistent/tty", 1);
    EXPECT_EQ(OpenSerialLink(3, 115200, 0, 0, 0), InvalidLink);
    EXPECT_EQ(GetLastErrorValue(), static_cast<uint32_t>(ENOENT));
    unsetenv("COM3");
}

TEST_F(PtyPort, LineSettingsAreVisibleOnTheDevice) {
    struct Case {
        uint32_t baud;
        int handshake;
        int parity;
        speed_t speed;
        bool rtsCts;
        bool parityCheck;
    };
    const Case cases[] = {
        {115200, 1, 0, B115200, true, false},  // hardware handshake on
        {38400, 1, 1, B38400, false, true},    // even parity switches the handshake off
        {9600, 2, 0, B9600, false, false},     // only 1 counts as on
        {115200, 0, 2, B115200, false, false},
    };
    for (const Case& c : cases) {
        const uint32_t start = ClockMs();
        const SerialLink link = Open(c.baud, 0, c.handshake, c.parity);
        ASSERT_NE(link, InvalidLink) << GetLastErrorValue();
        EXPECT_GE(ElapsedMs(start), 300u);
        // The master side reads the slave's settings, as the box simulator does.
        termios seen{};
        ASSERT_EQ(tcgetattr(master_, &seen), 0);
        EXPECT_EQ(cfgetospeed(&seen), c.speed) << c.baud;
        EXPECT_EQ(cfgetispeed(&seen), c.speed) << c.baud;
        EXPECT_EQ((seen.c_cflag & CRTSCTS) != 0, c.rtsCts) << c.baud;
        EXPECT_EQ((seen.c_cflag & CSIZE), static_cast<tcflag_t>(CS8));
        EXPECT_EQ(seen.c_cflag & CSTOPB, 0u);
        EXPECT_NE(seen.c_cflag & CLOCAL, 0u);
        EXPECT_NE(seen.c_cflag & CREAD, 0u);
        // The pseudo-terminal driver clears PARENB itself; the input parity check stays.
        EXPECT_EQ((seen.c_iflag & INPCK) != 0, c.parityCheck) << c.baud;
        EXPECT_EQ(seen.c_lflag & (ICANON | ECHO | ISIG), 0u);
        EXPECT_EQ(seen.c_iflag & (IXON | IXOFF | ICRNL), 0u);
        EXPECT_EQ(seen.c_oflag & OPOST, 0u);
        CloseSerialLink(link);
        links_.clear();
    }
}

TEST_F(PtyPort, RawBytesPassUnchangedBothWays) {
    const SerialLink link = Open();
    ASSERT_NE(link, InvalidLink);
    const std::string bytes("\r\n\x00\x03\x11\x13\x7f\xff ok", 11);
    BoxSends(bytes);
    ASSERT_EQ(PortWaitReadable(link, 1000), 1);
    uint8_t buffer[64];
    uint32_t got = 0;
    ASSERT_EQ(PortRead(link, buffer, sizeof buffer, got), 1);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), got), bytes);
    uint32_t written = 0;
    ASSERT_EQ(PortWrite(link, reinterpret_cast<const uint8_t*>(bytes.data()),
                        static_cast<uint32_t>(bytes.size()), written),
              1);
    EXPECT_EQ(written, bytes.size());
    EXPECT_EQ(BoxReads(), bytes);
}

TEST_F(PtyPort, SecondOpenOfTheSamePortIsRefused) {
    const SerialLink first = Open();
    ASSERT_NE(first, InvalidLink);
    EXPECT_EQ(Open(), InvalidLink);
    EXPECT_EQ(GetLastErrorValue(), static_cast<uint32_t>(EBUSY));
    CloseSerialLink(first);
    links_.clear();
    EXPECT_NE(Open(), InvalidLink) << "the port is free again after closing";
}

TEST_F(PtyPort, ReadsNeverWait) {
    const SerialLink link = Open();
    ASSERT_NE(link, InvalidLink);
    uint8_t buffer[16];
    uint32_t got = 99;
    const uint32_t start = ClockMs();
    EXPECT_EQ(PortRead(link, buffer, sizeof buffer, got), 1);
    EXPECT_EQ(got, 0u);
    EXPECT_LT(ElapsedMs(start), 250u);
}

TEST_F(PtyPort, WaitingForInputUsesNoProcessorTime) {
    const SerialLink link = Open();
    ASSERT_NE(link, InvalidLink);
    const double cpuBefore = ProcessCpuMs();
    const uint32_t start = ClockMs();
    EXPECT_EQ(PortWaitReadable(link, 200), 0);
    const uint32_t elapsed = ElapsedMs(start);
    EXPECT_GE(elapsed, 200u);
    EXPECT_LT(elapsed, 500u);
    EXPECT_LT(ProcessCpuMs() - cpuBefore, 20.0);

    BoxSends("x");
    const uint32_t again = ClockMs();
    EXPECT_EQ(PortWaitReadable(link, WaitForever), 1);
    EXPECT_LT(ElapsedMs(again), 500u);
}

TEST_F(PtyPort, HangUpAbortsTheReadWithoutSpinning) {
    const SerialLink link = Open();
    ASSERT_NE(link, InvalidLink);
    CloseMaster();
    uint8_t buffer[16];
    uint32_t got = 0;
    const uint32_t start = ClockMs();
    EXPECT_EQ(PortWaitReadable(link, 5000), 1);
    EXPECT_LT(ElapsedMs(start), 1000u);
    EXPECT_EQ(PortRead(link, buffer, sizeof buffer, got), 0);
    EXPECT_EQ(GetLastErrorValue(), ErrorOperationAborted);
    // The timed operations stop at the failed read instead of polling until their limit.
    const double cpuBefore = ProcessCpuMs();
    EXPECT_EQ(WaitFor(link, "never", 5000), 0);
    EXPECT_EQ(GetLastErrorValue(), ErrorOperationAborted);
    uint8_t byte = 0;
    EXPECT_EQ(ReadByteOrExpire(link, byte, 5000), 0);
    EXPECT_EQ(GetLastErrorValue(), ErrorOperationAborted);
    EXPECT_LT(ElapsedMs(start), 1000u);
    EXPECT_LT(ProcessCpuMs() - cpuBefore, 50.0);
}

TEST_F(PtyPort, WriteLimitCutsAHeldBackWriteShort) {
    const SerialLink link = Open(115200, 0);
    ASSERT_NE(link, InvalidLink);
    // The box never reads, so the output queue fills up; 200 ms per write call, whatever its
    // length.
    PortSetWriteLimits(link, 0, 200);
    std::vector<uint8_t> data(1 << 20, 'a');
    uint32_t written = 0;
    const uint32_t start = ClockMs();
    EXPECT_EQ(PortWrite(link, data.data(), static_cast<uint32_t>(data.size()), written), 0);
    const uint32_t elapsed = ElapsedMs(start);
    EXPECT_EQ(GetLastErrorValue(), ErrorCounterTimeout);
    EXPECT_GT(written, 0u);
    EXPECT_LT(written, data.size());
    EXPECT_GE(elapsed, 200u);
    EXPECT_LT(elapsed, 1000u);

    // Per byte: 1 ms per byte plus 10 ms for 100 bytes is 110 ms.
    PortSetWriteLimits(link, 1, 10);
    const uint32_t second = ClockMs();
    EXPECT_EQ(PortWrite(link, data.data(), 100, written), 0);
    EXPECT_EQ(GetLastErrorValue(), ErrorCounterTimeout);
    EXPECT_GE(ElapsedMs(second), 110u);
    EXPECT_LT(ElapsedMs(second), 600u);
}

TEST_F(PtyPort, ChangeBaudRatePausesAndSetsOnlyTheSpeed) {
    const SerialLink link = Open(115200, 1, 1, 0);
    ASSERT_NE(link, InvalidLink);
    uint32_t start = ClockMs();
    EXPECT_EQ(ChangeBaudRate(link, 115200), 1);
    EXPECT_GE(ElapsedMs(start), 300u);
    EXPECT_LT(ElapsedMs(start), 700u);
    start = ClockMs();
    EXPECT_EQ(ChangeBaudRate(link, 9600), 1);
    EXPECT_GE(ElapsedMs(start), 800u);
    termios seen{};
    ASSERT_EQ(tcgetattr(master_, &seen), 0);
    EXPECT_EQ(cfgetospeed(&seen), static_cast<speed_t>(B9600));
    EXPECT_NE(seen.c_cflag & CRTSCTS, 0u) << "other settings stay";
    EXPECT_EQ(ChangeBaudRate(link, 12345), 0);
    EXPECT_EQ(GetLastErrorValue(), static_cast<uint32_t>(EINVAL));
}

// How much processor time the version query and WaitFor take while the box stays silent.
TEST_F(PtyPort, SilentBoxCostsUnderOnePercentOfACore) {
    const SerialLink link = Open();
    ASSERT_NE(link, InvalidLink);
    struct Wait {
        const char* name;
        uint32_t limitMs;
        std::function<int()> call;
    };
    LoaderVersion version;
    const Wait waits[] = {
        {"QueryLoaderVersion", 5000, [&] { return QueryLoaderVersion(link, version, 5000); }},
        {"WaitFor", 5000, [&] { return WaitFor(link, "granted", 5000); }},
    };
    for (const Wait& w : waits) {
        const double cpuBefore = ProcessCpuMs();
        const uint32_t start = ClockMs();
        EXPECT_EQ(w.call(), 0) << w.name;
        EXPECT_EQ(GetLastErrorValue(), ErrorTimeout) << w.name;
        const uint32_t elapsed = ElapsedMs(start);
        const double cpuMs = ProcessCpuMs() - cpuBefore;
        EXPECT_GT(elapsed, w.limitMs) << w.name;
        EXPECT_LT(elapsed, w.limitMs + 1000) << w.name;
        const double percent = 100.0 * cpuMs / elapsed;
        std::printf(
            "%s on a silent box: %u ms waited, %.2f ms processor time (%.3f %% of a core)\n",
            w.name, elapsed, cpuMs, percent);
        EXPECT_LT(percent, 1.0) << w.name;
    }
}

}  // namespace
