// The lines after a failure line: the hint texts in both languages, the serial devices listed
// by name, and the lines for the common failures, word for word.
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "common/errors.h"
#include "common/messages.h"
#include "common/settings.h"
#include "platform/devices.h"
#include "platform/platform.h"
#include "protocols/failure_report.h"
#include "tests/support/pad_builder.h"

namespace {

// The printf conversions of a text, in order ("%s%d" for "Port %d (%s)" is "ds").
std::string Conversions(const char* text) {
    std::string kinds;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p == '%' && p[1] != '\0') {
            kinds += *++p;
        }
    }
    return kinds;
}

TEST(HintCatalog, EveryHintInBothLanguagesTakesTheSameValues) {
    for (int i = 0; i < HintCount; ++i) {
        const char* english = HintCatalog[static_cast<std::size_t>(i)];
        const char* german = HintCatalog[static_cast<std::size_t>(HintCount + i)];
        ASSERT_NE(english, nullptr) << i;
        ASSERT_NE(german, nullptr) << i;
        EXPECT_NE(*english, '\0') << i;
        EXPECT_NE(*german, '\0') << i;
        EXPECT_EQ(Conversions(english), Conversions(german)) << english;
        for (const char* text : {english, german}) {
            for (const char* p = text; *p != '\0'; ++p) {
                EXPECT_LT(static_cast<unsigned char>(*p), 0x80) << "7-bit texts: " << text;
                EXPECT_NE(*p, '\n') << "one line: " << text;
            }
        }
    }
}

class DeviceTree : public ::testing::Test {
  protected:
    void SetUp() override {
        root_ = test::TempDir();
        std::filesystem::create_directories(root_ + "/serial/by-id");
    }
    // A name in the tree: a FIFO, which a listing that opened it instead of only reading the
    // directory would hang on.
    void Add(const std::string& name) { ASSERT_EQ(mkfifo((root_ + "/" + name).c_str(), 0600), 0); }
    std::string List(std::size_t room, int& count) {
        std::vector<char> out(room);
        count = ListSerialDevices(root_.c_str(), out);
        return out.data();
    }
    std::string root_;
};

TEST_F(DeviceTree, ListsByIdThenUsbThenAcmByNameWithoutOpeningThem) {
    for (const char* name : {"ttyACM0", "ttyUSB1", "ttyS0", "ttyUSB0", "tty", "console",
                             "serial/by-id/usb-FTDI_FT232R_A50285BI-if00-port0",
                             "serial/by-id/usb-1a86_USB_Serial-if00-port0"}) {
        Add(name);
    }
    int count = 0;
    const std::string list = List(1024, count);
    EXPECT_EQ(count, 5);
    EXPECT_EQ(list, root_ + "/serial/by-id/usb-1a86_USB_Serial-if00-port0, " + root_ +
                        "/serial/by-id/usb-FTDI_FT232R_A50285BI-if00-port0, " + root_ +
                        "/ttyUSB0, " + root_ + "/ttyUSB1, " + root_ + "/ttyACM0");
}

TEST_F(DeviceTree, NothingPresentAndAListCutShort) {
    int count = -1;
    EXPECT_EQ(List(64, count), "");
    EXPECT_EQ(count, 0);
    std::filesystem::remove_all(root_ + "/serial");  // no by-id directory at all
    EXPECT_EQ(List(64, count), "");
    Add("ttyUSB0");
    Add("ttyUSB1");
    const std::string whole = root_ + "/ttyUSB0, " + root_ + "/ttyUSB1";
    const std::string cut = List(whole.size(), count);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(cut.size(), whole.size() - 1);
    EXPECT_EQ(cut, whole.substr(0, whole.size() - 4) + "...");
}

// ---- The line after message 5 -----------------------------------------------------------------

class OpenHints : public DeviceTree {
  protected:
    void SetUp() override {
        DeviceTree::SetUp();
        language = 0;
        unsetenv("COM3");
    }
    void TearDown() override {
        unsetenv("COM3");
        language = 0;
    }
    std::string Hint(uint32_t error) {
        const char* hint = PortOpenHint(3, error, root_.c_str());
        return hint != nullptr ? hint : "(none)";
    }
};

TEST_F(OpenHints, MissingDeviceNamesTheVariableAndTheDevicesPresent) {
    Add("ttyUSB0");
    Add("serial/by-id/usb-FTDI_FT232R_A50285BI-if00-port0");
    setenv("COM3", "/dev/ttyUSB7", 1);
    EXPECT_EQ(Hint(ENOENT),
              "Port 3 (/dev/ttyUSB7): No such file or directory. Set COM3 to the adapter's "
              "device; serial devices present: " +
                  root_ + "/serial/by-id/usb-FTDI_FT232R_A50285BI-if00-port0, " + root_ +
                  "/ttyUSB0.");
}

TEST_F(OpenHints, MissingDefaultDeviceSaysTheVariableIsNotSet) {
    EXPECT_EQ(Hint(ENOENT),
              "Port 3 (/dev/ttyS2): No such file or directory. COM3 is not set, so the default "
              "is used; set it to the adapter's device; serial devices present: none (is the "
              "adapter plugged in?).");
    language = 1;
    EXPECT_EQ(Hint(ENOENT),
              "Schnittstelle 3 (/dev/ttyS2): No such file or directory. COM3 ist nicht gesetzt, "
              "daher gilt die Vorgabe; setzen Sie es auf das Geraet des Adapters; vorhandene "
              "serielle Geraete: keine (ist der Adapter eingesteckt?).");
}

TEST_F(OpenHints, BusyNotATerminalAndOtherReasons) {
    setenv("COM3", "/tmp/notes.txt", 1);
    struct Case {
        uint32_t error;
        std::string line;
    };
    const Case cases[] = {
        {EBUSY,
         "Port 3 (/tmp/notes.txt): Device or resource busy. Another program holds the port "
         "(another update, a terminal program, a modem manager): end it, then start again."},
        {ENOTTY,
         "Port 3 (/tmp/notes.txt): Inappropriate ioctl for device. COM3 names something that is "
         "not a serial port; set it to the adapter's device; serial devices present: none (is "
         "the adapter plugged in?)."},
        {EISDIR,
         "Port 3 (/tmp/notes.txt): Is a directory. COM3 names something that is not a serial "
         "port; set it to the adapter's device; serial devices present: none (is the adapter "
         "plugged in?)."},
        {EINVAL, "Port 3 (/tmp/notes.txt): Invalid argument."},
        {4711, "(none)"},  // no words and no advice: no line
        {ErrorBadPort, "0x20000000: the port number is outside 1 to 4."},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Hint(c.error), c.line) << c.error;
    }
}

// ---- The port's device when COMn is not set --------------------------------------------------

TEST(PortDeviceChoice, TheVariableOrTheMachinesOwnPort) {
    struct Case {
        int port;
        const char* variable;
        const char* name;  // nullptr: no device
        bool isDefault;
    };
    const Case cases[] = {
        {1, nullptr, "/dev/ttyS0", true},
        {4, "", "/dev/ttyS3", true},
        {2, "/dev/ttyUSB0", "/dev/ttyUSB0", false},
        {0, "/dev/ttyUSB0", nullptr, false},
        {5, nullptr, nullptr, false},
    };
    for (const Case& c : cases) {
        const PortDeviceChoice choice = ChoosePortDevice(c.port, c.variable);
        EXPECT_STREQ(choice.name, c.name) << c.port;
        EXPECT_EQ(choice.isDefault, c.isDefault) << c.port;
    }
}

TEST_F(OpenHints, DefaultDeviceNoteNamesTheDeviceAndTheUnsetVariable) {
    EXPECT_EQ(std::string(DefaultDeviceNote(3)),
              "Port 3 stands for /dev/ttyS2, the machine's own serial port, since COM3 is not "
              "set; for an adapter set COM3 to its device.");
    setenv("COM3", "/dev/ttyUSB0", 1);
    EXPECT_EQ(DefaultDeviceNote(3), nullptr);
}

// Joining the device's group is advised only where it gives access and gives nothing more.
TEST(PermissionAdvice, JoinOnlyAGroupThatMayReadAndWriteAndIsNotRoots) {
    using enum PermissionAdvice;
    struct Case {
        const char* what;
        uint32_t groupId;
        uint32_t mode;
        bool owner;
        bool member;
        PermissionAdvice advice;
    };
    const Case cases[] = {
        {"dialout, crw-rw----, not in it", 20, 0660, false, false, JoinGroup},
        {"root:root crw-------", 0, 0600, false, false, AskAdministrator},
        {"root's group even with crw-rw----", 0, 0660, false, false, AskAdministrator},
        {"group may only read", 20, 0640, false, false, AskAdministrator},
        {"group may only write", 20, 0620, false, false, AskAdministrator},
        {"already in the group", 20, 0660, false, true, AskAdministrator},
        {"the owner, whose own bits apply", 20, 0060, true, false, AskAdministrator},
    };
    for (const Case& c : cases) {
        DeviceAccess access;
        access.groupId = c.groupId;
        access.mode = c.mode;
        access.userIsOwner = c.owner;
        access.userInGroup = c.member;
        EXPECT_EQ(AdviseOnPermission(access), c.advice) << c.what;
    }
}

TEST_F(OpenHints, PermissionDeniedSaysWhoMayOpenTheDeviceOrHowToJoinItsGroup) {
    const std::string device = root_ + "/ttyUSB0";
    Add("ttyUSB0");
    setenv("COM3", device.c_str(), 1);
    // The device's group is this process's own, with mode 0600: an administrator must help.
    ASSERT_EQ(chown(device.c_str(), static_cast<uid_t>(-1), getegid()), 0);
    const group* own = getgrgid(getegid());  // NOLINT(concurrency-mt-unsafe)
    const passwd* me = getpwuid(geteuid());  // NOLINT(concurrency-mt-unsafe)
    ASSERT_NE(own, nullptr);
    ASSERT_NE(me, nullptr);
    const std::string owner = me->pw_name;
    const std::string groupName = own->gr_name;
    EXPECT_EQ(Hint(EACCES), "Port 3 (" + device + "): Permission denied. The device belongs to " +
                                owner + " and the group " + groupName + " with mode 0600 (ls -l " +
                                device +
                                "), which does not let this user read and write it: an "
                                "administrator must grant access, by a udev rule or the group "
                                "that the distribution uses for serial ports.");

    // Another owner and a group this process is not in, which may read and write (only root
    // may give a file away so).
    const uid_t nobody = 65534;
    const group* other = getgrnam("dialout");  // NOLINT(concurrency-mt-unsafe)
    if (other == nullptr || other->gr_gid == getegid() || geteuid() == nobody ||
        chown(device.c_str(), nobody, other->gr_gid) != 0) {
        GTEST_SKIP() << "cannot give the device to a group this process is not in";
    }
    std::vector<gid_t> groups(static_cast<size_t>(getgroups(0, nullptr)) + 1);
    groups.resize(static_cast<size_t>(getgroups(static_cast<int>(groups.size()), groups.data())));
    if (std::find(groups.begin(), groups.end(), other->gr_gid) != groups.end()) {
        GTEST_SKIP() << "this process is in dialout";
    }
    ASSERT_EQ(chmod(device.c_str(), 0660), 0);
    EXPECT_EQ(Hint(EACCES), "Port 3 (" + device +
                                "): Permission denied. The device belongs to the group dialout, "
                                "and this user is not in it: sudo usermod -aG dialout $USER, "
                                "then log in again.");
    // Root's group is never to be joined, whatever its bits.
    ASSERT_EQ(chown(device.c_str(), static_cast<uid_t>(-1), 0), 0);
    EXPECT_NE(Hint(EACCES).find("an administrator must grant access"), std::string::npos);
}

// ---- The line after a failure during the run --------------------------------------------------

TEST(FailureHints, WordsForTheValuesOfTheRun) {
    language = 0;
    setenv("COM2", "/dev/ttyUSB0", 1);
    SetReportedPort(2);
    struct Case {
        uint32_t error;
        const char* line;
    };
    const Case cases[] = {
        {EIO,
         "Port 2 (/dev/ttyUSB0): Input/output error; the device is gone: the adapter was pulled "
         "out or lost its power. Plug it in, switch the box off and on, and start again."},
        {ErrorOperationAborted,
         "Port 2 (/dev/ttyUSB0): the device is gone: the adapter was pulled out or lost its "
         "power. Plug it in, switch the box off and on, and start again."},
        {ErrorCounterTimeout,
         "Port 2 (/dev/ttyUSB0): the port's write limit expired: the bytes could not go out in "
         "time. The hardware handshake holds the line: switch the box on, and use a cable that "
         "carries RTS and CTS."},
        // Values that may as well come from the image file do not name the port.
        {EACCES, "Permission denied."},
        {ENOENT, "No such file or directory."},
        {ErrorWaitBufferFull,
         "0x20000001: 10 KB came from the box without the awaited text: the box runs its normal "
         "software instead of its bootloader, or the speed does not match."},
        {ErrorTimeout, "0x20000002: a time limit passed: the box did not answer in time."},
        {ErrorCompressionFailed, "0x20000003: the image could not be compressed."},
        {ErrorBoxFlashReport,
         "0x20000004: the box reported a transfer, erase or programming error."},
        {ErrorFlashIdMismatch, "0x20000005: the box's flash ids do not match the image."},
        {ErrorCodeOverflow, "0x20000006: the image cannot be put into the prefix code."},
        {ErrorBoxErrorText,
         "0x20000007: the box reported an error (its \"ERROR:\" text is above)."},
        {ErrorBoxStop, "0x20000008: the box stopped the transfer (\"STOP\")."},
    };
    for (const Case& c : cases) {
        const char* hint = FailureHint(c.error);
        ASSERT_NE(hint, nullptr) << c.error;
        EXPECT_STREQ(hint, c.line) << c.error;
    }
    // No words of the system's or the program's own: no line at all.
    for (const uint32_t value : {0u, 0x20000009u, 4711u}) {
        EXPECT_EQ(FailureHint(value), nullptr) << value;
    }
    language = 1;
    EXPECT_STREQ(FailureHint(ErrorTimeout),
                 "0x20000002: eine Frist ist abgelaufen: die Box hat nicht rechtzeitig "
                 "geantwortet.");
    language = 0;
    unsetenv("COM2");
    SetReportedPort(1);
}

// A device node that vanished with its adapter gives "no such file" when the port is opened
// again: that is the device being gone, not a COMn to set.
TEST(FailureHints, PortThatCannotBeReopenedIsAGoneDevice) {
    language = 0;
    setenv("COM2", "/dev/ttyUSB0", 1);
    EXPECT_STREQ(PortReopenHint(2, ENOENT),
                 "Port 2 (/dev/ttyUSB0): No such file or directory; the device is gone: the "
                 "adapter was pulled out or lost its power. Plug it in, switch the box off and "
                 "on, and start again.");
    unsetenv("COM2");
}

TEST(FailureHints, ReportPrintsTheLineUnchangedThenTheHintAndKeepsTheLastError) {
    language = 0;
    SetReportedPort(1);
    SetLastErrorValue(0x12345);
    ::testing::internal::CaptureStderr();
    ReportFailure("%s %i\n", Message::WaitForError, ErrorTimeout);
    ReportFailure("%s %i\n", Message::WaitForError, 0);
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(err,
              "WaitFor error  536870914\n"
              "0x20000002: a time limit passed: the box did not answer in time.\n"
              "WaitFor error  0\n");
    EXPECT_EQ(GetLastErrorValue(), 0x12345u);
}

// Each form of the sink prints its line(s) and hint as the site did, and the log names the
// failure in English with the value the line reports, whatever the session's language.
TEST(FailureSink, PrintsTheLinesAndNotesWhatTheLogNames) {
    struct Case {
        const char* name;
        std::function<void()> report;
        std::string err;
        int message;
        std::string text;
        uint32_t error;
    };
    language = 1;  // the line in German, the log in English
    const std::vector<Case> cases{
        {"text with hint", [] { ReportFailure("Error during write to COM", ErrorTimeout); },
         "Error during write to COM\n0x20000002: eine Frist ist abgelaufen: die Box hat nicht "
         "rechtzeitig geantwortet.\n",
         -1, "Error during write to COM", ErrorTimeout},
        {"message and a line of its own",
         [] {
             ReportFailureOf(ErrorOutput(), Message::VersionNotSupported, 0, "hint", " %i.%i\n", 2,
                             7);
         },
         std::string(messageText(Message::VersionNotSupported)) + " 2.7\nhint\n",
         static_cast<int>(Message::VersionNotSupported),
         MessageCatalog[static_cast<std::size_t>(Message::VersionNotSupported)], 0},
        {"text and a line of its own",
         [] {
             ReportFailureText(ErrorOutput(), "Cannot open file", 2, nullptr,
                               "Cannot open file %s\n", "a.pad");
         },
         "Cannot open file a.pad\n", -1, "Cannot open file", 2},
    };
    for (const Case& c : cases) {
        ClearFailure();
        SetLastErrorValue(0x777);
        ::testing::internal::CaptureStderr();
        c.report();
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), c.err) << c.name;
        const NotedFailure noted = LastFailure();
        EXPECT_EQ(noted.message, c.message) << c.name;
        EXPECT_STREQ(noted.text, c.text.c_str()) << c.name;
        EXPECT_EQ(noted.error, c.error) << c.name;
        EXPECT_EQ(GetLastErrorValue(), 0x777u) << c.name;
    }
    language = 0;
}

// A box given up on keeps its cause in the log while its release fails; the next box starts
// without it.
TEST(FailureSink, KeptCauseOutlivesLaterFailuresUntilCleared) {
    ClearFailure();
    ::testing::internal::CaptureStderr();
    ReportFailureOf(ErrorOutput(), Message::WrongHardwareIds, 0, nullptr, "\n");
    KeepNotedFailure();
    ReportFailure("%s %i\n", Message::WaitForError, ErrorTimeout);
    EXPECT_EQ(LastFailure().message, static_cast<int>(Message::WrongHardwareIds));
    ClearFailure();
    EXPECT_EQ(LastFailure().text, nullptr);
    ReportFailure("%s %i\n", Message::WaitForError, ErrorTimeout);
    (void)::testing::internal::GetCapturedStderr();
    EXPECT_EQ(LastFailure().message, static_cast<int>(Message::WaitForError));
    ClearFailure();
}

TEST(SystemWords, OnlyValuesTheCLibraryKnows) {
    for (const uint32_t known : {1u, 2u, 5u, 13u, 16u, 25u}) {
        EXPECT_TRUE(SystemKnowsError(known)) << known;
    }
    for (const uint32_t unknown : {0u, 995u, 1121u, 0x20000002u, 70000u}) {
        EXPECT_FALSE(SystemKnowsError(unknown)) << unknown;
    }
}

}  // namespace
