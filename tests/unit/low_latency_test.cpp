// Low latency for USB serial adapters: the flag arithmetic, that a driver which does not know
// the request (a pseudo-terminal) is left exactly as it was, and that every way out of the
// program (closing the link, a failure exit, an interrupt) puts the flags back.
#include "serial/posix_port_state.h"

#include <gtest/gtest.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>

#include <fcntl.h>
#include <unistd.h>

#include "frontend/startup.h"
#include "platform/clock.h"
#include "platform/interrupt.h"
#include "platform/platform.h"
#include "serial/port.h"
#include "serial/port_state.h"

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

    ASSERT_TRUE(HoldPort(fd));
    errno = EAGAIN;
    SetLastErrorValue(0x20000002);
    EXPECT_FALSE(RequestLowLatency(*FindPort(fd)));
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_EQ(GetLastErrorValue(), 0x20000002u);
    GiveBackPort(fd);  // nothing was changed, so nothing is put back
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_EQ(FindPort(fd), nullptr);

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

// A driver that knows the flags, in place of a pseudo-terminal's: it starts with 0x40
// (ASYNC_SKIP_TEST) and tells standard error of every change, for the death tests to see.
int driverFlags = ASYNC_SKIP_TEST;
int FakeGetFlags(int, int& flags) {
    flags = driverFlags;
    return 0;
}
int FakeSetFlags(int, int flags) {
    driverFlags = flags;
    std::fprintf(stderr, "flags 0x%x\n", static_cast<unsigned>(flags));
    return 0;
}

// Every way out gives the flags back: the low-latency flag asked for at open (0x2040 while the
// link is open) is off again (0x40) as the process ends.
TEST(LowLatencyRequest, EveryWayOutPutsTheFlagsBack) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    setenv("COM1", ptsname(master), 1);
    struct WayOut {
        const char* name;
        std::function<void(SerialLink)> end;
        std::function<bool(int)> status;
    };
    const WayOut waysOut[] = {
        {"close",
         [](SerialLink link) {
             CloseSerialLink(link);
             std::_Exit(0);  // no exit handlers: only the close can have given anything back
         },
         ::testing::ExitedWithCode(0)},
        {"failure exit", [](SerialLink) { ExitProgram(1); }, ::testing::ExitedWithCode(1)},
        {"interrupt",
         [](SerialLink) {
             std::raise(SIGTERM);
             SleepMs(5000);  // the pause notices the interrupt and ends the program
         },
         ::testing::KilledBySignal(SIGTERM)},
    };
    for (const WayOut& way : waysOut) {
        EXPECT_EXIT(
            {
                InstallInterruptHandlers();
                UseSerialFlagCalls({FakeGetFlags, FakeSetFlags});
                const SerialLink link = OpenSerialLink(1, 115200, 0, 0, 0);
                if (link == InvalidLink || driverFlags != (ASYNC_SKIP_TEST | Low)) {
                    std::_Exit(99);
                }
                way.end(link);
            },
            way.status, "^flags 0x2040\nflags 0x40\n$")
            << way.name;
    }
    unsetenv("COM1");
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
