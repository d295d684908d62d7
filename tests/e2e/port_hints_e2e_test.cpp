// The line after "Inititialization of COM-port failed": the real program on a port that does not
// exist, on a regular file and on a port that another program holds, in both languages.
#include <gtest/gtest.h>
#include <sys/file.h>

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/devices.h"
#include "tests/support/pad_builder.h"
#include "tests/support/run_process.h"

namespace {

// The serial devices present on this machine, as the program lists them.
std::string DevicesPresent(const char* none) {
    std::array<char, 1024> list{};
    return ListSerialDevices("/dev", list) > 0 ? std::string(list.data()) : std::string(none);
}

class PortHints : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = test::TempDir();
        image_ = dir_ + "/image.pad";
        ASSERT_TRUE(test::WriteFileBytes(
            image_, test::MakePad(test::RandomBytes(1000, 3), 5, 0x14, 0x00180004)));
    }
    ProcessResult Update(const std::string& device, const std::string& program = UPDATE_BINARY) {
        ProcessOptions options;
        options.timeoutMs = 20000;
        options.extraEnv = {"COM1=" + device};
        options.workDir = dir_;
        return RunProcessAs(program, {program, image_}, options);
    }
    std::string dir_;
    std::string image_;
};

TEST_F(PortHints, MissingDeviceNamesTheVariableAndTheSerialDevicesPresent) {
    const ProcessResult english = Update("/nonexistent/tty");
    EXPECT_EQ(english.exitCode, 1);
    EXPECT_EQ(english.out, "Checking file ... OK\n");
    EXPECT_EQ(english.err,
              "Inititialization of COM-port failed (Error:  2)\n"
              "Port 1 (/nonexistent/tty): No such file or directory. Set COM1 to the adapter's "
              "device; serial devices present: " +
                  DevicesPresent("none (is the adapter plugged in?)") + ".\n");

    const ProcessResult german = Update("/nonexistent/tty", AKTUALISIEREN_BINARY);
    EXPECT_EQ(german.exitCode, 1);
    EXPECT_EQ(german.err,
              "Initialisierung der seriellen Schnittstelle fehlgeschlagen (Fehler:  2)\n"
              "Schnittstelle 1 (/nonexistent/tty): No such file or directory. Setzen Sie COM1 auf "
              "das Geraet des Adapters; vorhandene serielle Geraete: " +
                  DevicesPresent("keine (ist der Adapter eingesteckt?)") + ".\n");
}

TEST_F(PortHints, RegularFileAsThePortIsNotASerialPort) {
    const std::string file = dir_ + "/notes.txt";
    ASSERT_TRUE(test::WriteFileBytes(file, {'h', 'i', '\n'}));
    const ProcessResult r = Update(file);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err,
              "Inititialization of COM-port failed (Error:  25)\n"
              "Port 1 (" +
                  file +
                  "): Inappropriate ioctl for device. COM1 names something that "
                  "is not a serial port; set it to the adapter's device; serial devices present: " +
                  DevicesPresent("none (is the adapter plugged in?)") + ".\n");
    EXPECT_EQ(test::ReadFileBytes(file), (std::vector<uint8_t>{'h', 'i', '\n'}));
}

TEST_F(PortHints, PortHeldByAnotherProgramIsBusy) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const std::string terminal = ptsname(master);
    // Another program has the port open and locked, as a running update does.
    const int holder = open(terminal.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);

    const ProcessResult r = Update(terminal);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err,
              "Inititialization of COM-port failed (Error:  16)\n"
              "Port 1 (" +
                  terminal +
                  "): Device or resource busy. Another program holds the "
                  "port (another update, a terminal program, a modem manager): end it, then start "
                  "again.\n");
    close(holder);
    close(master);
}

}  // namespace
