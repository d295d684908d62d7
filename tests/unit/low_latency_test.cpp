// Low latency for USB serial adapters: the flag arithmetic, and that a driver which does not know
// the request (a pseudo-terminal) is left exactly as it was.
#include "serial/posix_latency.h"

#include <gtest/gtest.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

#include "platform/platform.h"
#include "serial/port.h"

namespace {

constexpr int Low = ASYNC_LOW_LATENCY;
constexpr int Others = ASYNC_SPD_HI | ASYNC_SKIP_TEST | ASYNC_CALLOUT_NOHUP;

TEST(LowLatencyFlags, SetsTheFlagAndKeepsTheOthers) {
    struct Case {
        int flags;
        int wanted;
    };
    for (const Case c : {Case{0, Low}, Case{Others, Others | Low}, Case{Low, Low},
                         Case{Others | Low, Others | Low}}) {
        EXPECT_EQ(LowLatencyFlags(c.flags), c.wanted) << std::hex << c.flags;
    }
}

TEST(LowLatencyFlags, RestoreTakesTheSavedFlagAndKeepsTheCurrentOthers) {
    struct Case {
        int current;
        int saved;
        int restored;
    };
    const Case cases[] = {
        {Low, 0, 0},                                 // asked for at open: off again
        {Others | Low, Others, Others},              //
        {Low, Low, Low},                             // it was on before: stays on
        {ASYNC_SPD_HI | Low, Others, ASYNC_SPD_HI},  // others as the driver has them now
        {0, Low, Low},                               // someone cleared it meanwhile: back to saved
    };
    for (const Case& c : cases) {
        EXPECT_EQ(RestoredLatencyFlags(c.current, c.saved), c.restored)
            << std::hex << c.current << " " << c.saved;
    }
}

TEST(LowLatencyRequest, PseudoTerminalRefusesAndNothingChanges) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const int fd = open(ptsname(master), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    termios before{};
    ASSERT_EQ(tcgetattr(fd, &before), 0);

    errno = EAGAIN;
    SetLastErrorValue(0x20000002);
    EXPECT_FALSE(RequestLowLatency(fd));
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_EQ(GetLastErrorValue(), 0x20000002u);
    RestoreLowLatency(fd);  // nothing was changed, so nothing is put back
    EXPECT_EQ(errno, EAGAIN);

    termios after{};
    ASSERT_EQ(tcgetattr(fd, &after), 0);
    EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0);
    // The line still carries bytes.
    ASSERT_EQ(write(fd, "ok", 2), 2);
    char got[2] = {};
    ASSERT_EQ(read(master, got, 2), 2);
    EXPECT_EQ(std::memcmp(got, "ok", 2), 0);
    close(fd);
    close(master);
}

// On a real serial port (named by UPDATE_TEST_SERIAL_DEVICE, for example /dev/ttyS0 or an
// adapter's /dev/ttyUSB0; the test is skipped without it): opening asks for low latency and
// closing puts the flag back as it was.
TEST(LowLatencyRequest, RealPortGetsTheFlagWhileOpenAndBackAtClose) {
    const char* device = std::getenv("UPDATE_TEST_SERIAL_DEVICE");
    if (device == nullptr || *device == '\0') {
        GTEST_SKIP() << "UPDATE_TEST_SERIAL_DEVICE names no serial port";
    }
    const int probe = open(device, O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(probe, 0) << device;
    serial_struct found{};
    ASSERT_EQ(ioctl(probe, TIOCGSERIAL, &found), 0) << device;
    close(probe);

    setenv("COM4", device, 1);
    const SerialLink link = OpenSerialLink(4, 115200, 0, 0, 0);
    ASSERT_NE(link, InvalidLink) << GetLastErrorValue();
    serial_struct whileOpen{};
    ASSERT_EQ(ioctl(static_cast<int>(link), TIOCGSERIAL, &whileOpen), 0);
    EXPECT_NE(whileOpen.flags & Low, 0) << "low latency while the link is open";
    CloseSerialLink(link);
    unsetenv("COM4");

    const int again = open(device, O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(again, 0);
    serial_struct closed{};
    ASSERT_EQ(ioctl(again, TIOCGSERIAL, &closed), 0);
    close(again);
    EXPECT_EQ(closed.flags, found.flags) << "the flags as they were before the link";
}

}  // namespace
