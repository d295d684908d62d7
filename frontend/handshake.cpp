// The bootloader access handshake: the access keyword (optionally at 9600 baud), the
// synchronisation stage ("granted", drain, digit echo, 0xAF 0xFE) and the version query, with
// up to 15 retries.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/messages.h"
#include "frontend/session.h"
#include "frontend/startup.h"
#include "platform/clock.h"
#include "platform/platform.h"
#include "protocols/failure_report.h"
#include "protocols/time_limits.h"
#include "serial/serial_link.h"

int retriesLeft = 15;

namespace {

constexpr uint8_t NoByte = 0xFF;  // "nothing received in this echo round"
constexpr uint8_t Blank = 0x20;

// Pause of the echo reading after each read. When that pause is left out, an empty read is
// followed by a wait for input of at most EchoPollMs instead of an immediate new read: the round
// still ends as soon as the box answers, a silent round costs 40 ms instead of a busy processor,
// and an echo held back by a USB adapter's latency timer (16 ms) still falls into the round.
constexpr uint32_t EchoPauseMs = 100;
constexpr uint32_t EchoPollMs = 10;

// The pause after each change of speed around the slow keyword.
constexpr uint32_t SlowKeywordPauseMs = 1000;
// How long the input after "granted" is left to arrive before it is thrown away.
constexpr uint32_t DrainPauseMs = 300;
constexpr uint32_t FactorySettingsDrainPauseMs = 1000;
// How long a plain invocation waits for "granted" before it synchronises anyway.
constexpr uint32_t GrantedLimitMs = 1000;
// The limit of each version query.
constexpr uint32_t VersionQueryLimitMs = 15000;

// The write limit of the link once the box is synchronised: 1 ms per byte plus 10 ms per write.
constexpr uint32_t WriteLimitPerByteMs = 1;
constexpr uint32_t WriteLimitPerWriteMs = 10;

// The most recently received byte of the synchronisation reads, kept across rounds and
// attempts for one box. Before the box's first byte it is "none", which is not a blank, so the
// echo reading makes its pauses from the start.
int mostRecentByte = -1;

// Set when a read of the synchronisation found the device gone (an adapter pulled out, the line
// hung up): it will not come back on this handle, so the stage ends instead of trying on.
bool deviceGone = false;

[[noreturn]] void CloseAndExit(SerialLink link) {
    CloseSerialLink(link);
    ExitProgram(1);
}

// Reads at most one byte; true when one arrived. A failed read counts as nothing received; a
// read that finds the device gone also sets deviceGone.
bool ReadSingleByte(SerialLink link, uint8_t& byte) {
    uint32_t got = 0;
    if (PortRead(link, &byte, 1, got) == 0) {
        deviceGone = deviceGone || GetLastErrorValue() == ErrorOperationAborted;
        return false;
    }
    if (got == 0) {
        return false;
    }
    mostRecentByte = byte;
    return true;
}

void SendKeyword(SerialLink link, const SessionSettings& settings) {
    if (settings.slowKeyword == 1) {
        if (ChangeBaudRate(link, 9600) == 0) {
            const uint32_t error = GetLastErrorValue();
            CloseSerialLink(link);
            ReportFailure("%s %i)\n", Message::SlowKeywordPortInitFailed, error);
            ExitProgram(1);
        }
        std::printf("\n\n");
        SleepMs(SlowKeywordPauseMs);
    }
    const char* keyword =
        settings.legacyPath == 1 ? settings.loaderKeyword : settings.accessKeyword;
    if (SendTimed(link, keyword, settings.syncMode != 0 ? NoTimeLimit : SendLimitMs) == 0) {
        if (GetLastErrorValue() == ErrorTimeout) {
            ReportFailureOf(ErrorOutput(), Message::CannotConnectToBootloader, ErrorTimeout,
                            SessionPortHint(Hint::KeywordHeld), " %i\n", settings.portNumber);
        } else {
            ReportFailure("%s %i\n", Message::CannotSendData, GetLastErrorValue());
        }
        CloseAndExit(link);
    }
    if (settings.slowKeyword == 1) {
        if (ChangeBaudRate(link, settings.hardwareType < 2 ? 38400 : 115200) == 0) {
            const uint32_t error = GetLastErrorValue();
            CloseSerialLink(link);
            ReportFailure("%s %i)\n", Message::SlowKeywordPortReinitFailed, error);
            ExitProgram(1);
        }
        std::printf("\n\n");
        SleepMs(SlowKeywordPauseMs);
    }
}

// Throws away what the box sent after "granted": one round, or three with the long sync.
void DrainInput(SerialLink link, const SessionSettings& settings) {
    const int rounds = settings.longSync == 1 ? 3 : 1;
    for (int round = 0; round < rounds; ++round) {
        SleepMs(settings.factorySettings == 1 ? FactorySettingsDrainPauseMs : DrainPauseMs);
        uint8_t byte = 0;
        while (ReadSingleByte(link, byte)) {
        }
    }
}

// Reads the box's answer to one digit. Returns the last byte received in this round, or NoByte
// when nothing came: the reading goes on while bytes keep coming, and a round without any byte
// ends after five empty reads.
uint8_t ReadEcho(SerialLink link, const SessionSettings& settings) {
    int extraReads = 4;
    uint8_t lastOfRound = NoByte;
    for (;;) {
        uint8_t byte = 0;
        const bool arrived = ReadSingleByte(link, byte);
        if (deviceGone) {
            return NoByte;
        }
        const bool pause = settings.longSync != 1 && mostRecentByte != Blank;
        if (pause) {
            SleepMs(EchoPauseMs);
        }
        if (arrived) {
            lastOfRound = byte;
            continue;
        }
        if (lastOfRound == NoByte && extraReads > 0) {
            --extraReads;
            if (!pause) {
                PortWaitReadable(link, EchoPollMs);
            }
            continue;
        }
        return lastOfRound;
    }
}

// A device that has gone away ends the synchronisation: a failed write is otherwise tried again
// without limit, and the device will not come back on the same handle.
[[noreturn]] void DeviceGoneDuringSynchronisation(SerialLink link) {
    ReportFailure("%s %i\n", Message::CannotSendData, ErrorOperationAborted);
    CloseAndExit(link);
}

// The echo game with the digits: ends after two consecutive rounds whose last received byte
// was the digit sent in that round. It has no time limit.
void SynchroniseDigits(SerialLink link, const SessionSettings& settings) {
    char digit = '0';
    int matchesNeeded = 2;
    int rounds = 0;
    const int roundsPerNotice = settings.longSync == 1 ? 30000 : 20;
    while (matchesNeeded > 0) {
        PortClearErrors(link);
        uint32_t written = 0;
        if (deviceGone) {
            DeviceGoneDuringSynchronisation(link);
        }
        if (PortWrite(link, reinterpret_cast<const uint8_t*>(&digit), 1, written) == 0) {
            if (GetLastErrorValue() == ErrorOperationAborted) {
                DeviceGoneDuringSynchronisation(link);
            }
            std::fprintf(ErrorOutput(), "%s\n", messageText(Message::CannotSendData));
            SleepMs(10);
            continue;
        }
        if (written == 0) {
            SleepMs(10);
            continue;
        }
        const uint8_t echo = ReadEcho(link, settings);
        if (deviceGone) {
            DeviceGoneDuringSynchronisation(link);
        }
        if (echo == static_cast<uint8_t>(digit)) {
            --matchesNeeded;
        } else {
            matchesNeeded = 2;
        }
        digit = digit == '9' ? '0' : static_cast<char>(digit + 1);
        if (++rounds == roundsPerNotice) {
            std::printf("%s\n", messageText(Message::StillTryingToConnect));
            std::fflush(stdout);  // the user sees it while the wait goes on
            rounds = 0;
        }
    }
}

void Synchronise(SerialLink link, const SessionSettings& settings) {
    if (settings.grantedHandshake != 0) {
        if (settings.sendKeyword == 1) {
            const uint32_t limit = settings.plainInvocation != 0 ? GrantedLimitMs : NoTimeLimit;
            // Within 1000 ms a missing "granted" is no failure; without a limit only a full
            // buffer or the box's error text end the wait, and they are fatal.
            if (WaitFor(link, "granted", limit) == 0 && limit == NoTimeLimit) {
                ReportFailure("%s %i\n", Message::WaitForError, GetLastErrorValue());
                CloseAndExit(link);
            }
        }
        DrainInput(link, settings);
    }
    SynchroniseDigits(link, settings);
    static constexpr uint8_t closing[] = {0xAF, 0xFE};
    uint32_t written = 0;
    // Not checked: the version query that follows tells whether the box is still there.
    (void)PortWrite(link, closing, sizeof closing, written);
    PortSetWriteLimits(link, WriteLimitPerByteMs, WriteLimitPerWriteMs);
}

// Reads "major.minor" in decimal, or after ": " in hexadecimal, as the box writes its version.
bool ReadNumber(const char*& text, int base, int& value) {
    char* end = nullptr;
    errno = 0;
    const long number = std::strtol(text, &end, base);
    if (end == text || errno == ERANGE || number < INT_MIN || number > INT_MAX) {
        return false;
    }
    value = static_cast<int>(number);
    text = end;
    return true;
}

bool ReadVersionPair(const char* text, int base, LoaderVersion& version) {
    LoaderVersion read;
    if (!ReadNumber(text, base, read.major) || *text != '.') {
        return false;
    }
    ++text;
    if (!ReadNumber(text, base, read.minor)) {
        return false;
    }
    version = read;
    return true;
}

bool ParseVersion(const char* text, LoaderVersion& version) {
    if (ReadVersionPair(text, 10, version)) {
        return true;
    }
    return std::strncmp(text, ": ", 2) == 0 && ReadVersionPair(text + 2, 16, version);
}

bool LimitPassed(uint32_t start, uint32_t limitMs) {
    return limitMs != 0 && ElapsedMs(start) > limitMs;
}

}  // namespace

int QueryLoaderVersion(SerialLink link, LoaderVersion& version, uint32_t limitMs) {
    static constexpr char expected[] = "Bootloader Version";
    constexpr uint32_t expectedLength = sizeof expected - 1;
    const uint32_t start = ClockMs();
    uint32_t position = 0;
    // A byte that a read did not bring stays 0: a zero never matches the text and never ends
    // the line, so an expired read cannot pass for stale buffer contents.
    while (position < expectedLength) {
        uint8_t byte = 0;
        if (ReadByteOrExpire(link, byte, limitMs) == 0) {
            return 0;
        }
        WaitBuffer[position] = static_cast<char>(byte);
        PortClearErrors(link);
        if (WaitBuffer[position] == expected[position]) {
            ++position;
        } else {
            position = 0;
        }
        if (position == expectedLength) {
            break;
        }
        if (LimitPassed(start, limitMs)) {
            SetLastErrorValue(ErrorTimeout);
            return 0;
        }
    }
    // The rest of the line, up to a line feed or carriage return, behind the matched text.
    const uint32_t textStart = position;
    for (;;) {
        uint8_t byte = 0;
        if (ReadByteOrExpire(link, byte, limitMs) == 0) {
            return 0;
        }
        WaitBuffer[position] = static_cast<char>(byte);
        ++position;
        if (LimitPassed(start, limitMs)) {
            SetLastErrorValue(ErrorTimeout);
            return 0;
        }
        if (byte == '\n' || byte == '\r') {
            WaitBuffer[position - 1] = '\0';
            break;
        }
        if (position == WaitBufferSize) {
            // No room is left for the terminating zero: the line is not a version line.
            SetLastErrorValue(ErrorWaitBufferFull);
            return 0;
        }
    }
    if (ParseVersion(WaitBuffer.data() + textStart, version)) {
        return 1;
    }
    // Not a version: no reason of its own. The last-error value is cleared so that the report
    // does not show a stale reason from an earlier operation.
    SetLastErrorValue(0);
    return 0;
}

void AccessBootloader(SerialLink& link, const SessionSettings& settings, LoaderVersion& version) {
    mostRecentByte = -1;
    deviceGone = false;
    SetReportedPort(settings.portNumber);
    for (;;) {
        if (settings.sendKeyword == 1) {
            SendKeyword(link, settings);
        }
        if (settings.syncMode != 0) {
            Synchronise(link, settings);
        }
        if (settings.legacyPath == 1) {
            return;
        }
        if (QueryLoaderVersion(link, version, VersionQueryLimitMs) == 1) {
            return;
        }
        const uint32_t error = GetLastErrorValue();
        if (error == ErrorOperationAborted) {
            // The device went away during the read (an adapter pulled, a hang-up): open the
            // port afresh.
            if (retriesLeft == 0) {
                ReportFailureOf(ErrorOutput(), Message::BootloaderAccessFailed, error,
                                FailureHint(error), "\n");
                CloseAndExit(link);
            }
            CloseSerialLink(link);
            link =
                OpenSerialLink(settings.portNumber, settings.hardwareType < 3 ? 38400 : 115200,
                               settings.syncMode, settings.hardwareHandshake, settings.legacyPath);
            if (link == InvalidLink) {
                // The device has gone away: whatever the open says, that is the reason.
                ReportPortReopenFailure(settings.portNumber, GetLastErrorValue());
                ExitProgram(1);
            }
            --retriesLeft;
        } else if (error == ErrorTimeout) {
            if (retriesLeft == 0) {
                // "Time out" leads; the access failure is the one the log names.
                std::fprintf(ErrorOutput(), "%s\n", messageText(Message::TimeOut));
                ReportFailureOf(ErrorOutput(), Message::BootloaderAccessFailed, error,
                                SessionPortHint(Hint::AccessTimedOut), "\n");
                CloseAndExit(link);
            }
            --retriesLeft;
        } else {
            ReportFailure("%s %i\n", Message::WaitForError, error);
            CloseAndExit(link);
        }
    }
}
