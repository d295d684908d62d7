// The bootloader access handshake and version query against scripted boxes on the virtual
// clock.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "common/messages.h"
#include "frontend/session.h"
#include "platform/platform.h"
#include "serial/port.h"
#include "tests/support/fake_port.h"
#include "tests/support/hint_lines.h"
#include "tests/support/message_by_number.h"

namespace {

const std::string Closing = "\xAF\xFE";
constexpr uint32_t Untouched = 0x12345678;

// A regular expression that matches `text` literally.
std::string Literal(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (std::string_view("\\^$.|?*+()[]{}").find(c) != std::string_view::npos) {
            out += '\\';
        }
        out += c;
    }
    return out;
}

std::string Text(int number) {
    return MessageByNumber(number);
}

// A box played by a responder: it answers the keyword, the digits and the closing bytes.
struct ScriptedBox {
    std::string keyword = " korvane";
    std::string afterKeyword;                    // e.g. "granted"
    std::function<std::string(char, int)> echo;  // answer to a digit in a round (from 0)
    std::string afterClosing;                    // e.g. the version line
    std::string laterAfterKeyword;  // e.g. the version line of a box without synchronisation
    uint32_t laterDelayMs = 50;
    int digitRounds = 0;
    int keywords = 0;
    uint32_t firstDigitAt = 0;
    uint32_t closingAt = 0;
    std::vector<uint32_t> keywordBauds;

    void Install() {
        fake::SetResponder([this](std::span<const uint8_t> bytes) {
            const std::string text(bytes.begin(), bytes.end());
            if (text == keyword) {
                ++keywords;
                keywordBauds.push_back(fake::Port().baudRate);
                fake::BoxSends(afterKeyword);
                fake::BoxSends(laterAfterKeyword, laterDelayMs);
            } else if (text.size() == 1 && text[0] >= '0' && text[0] <= '9') {
                if (digitRounds == 0) {
                    firstDigitAt = fake::Now();
                }
                if (echo) {
                    fake::BoxSends(echo(text[0], digitRounds), 20);
                }
                ++digitRounds;
            } else if (text == Closing) {
                closingAt = fake::Now();
                fake::BoxSends(afterClosing, 30);
            }
        });
    }
};

std::string Echo(char digit, int) {
    return std::string(1, digit);
}

class Handshake : public ::testing::Test {
  protected:
    void SetUp() override {
        fake::Reset();
        language = 0;
        retriesLeft = 15;
        SetLastErrorValue(0);
    }
    // Opens the port as the session does for a box.
    void Open(uint32_t baud, int noWriteTimeout) {
        link_ = OpenSerialLink(settings_.portNumber, baud, noWriteTimeout,
                               settings_.hardwareHandshake, settings_.evenParity);
        ASSERT_NE(link_, InvalidLink);
        fake::ClearWritten();
    }
    void SyncSettings() {
        settings_.syncMode = 1;
        settings_.grantedHandshake = 1;
        settings_.hardwareHandshake = 0;
        settings_.hardwareType = 0x14;
    }

    SessionSettings settings_;
    SerialLink link_ = InvalidLink;
    LoaderVersion version_;
    ScriptedBox box_;
};

// ---- The synchronisation stage --------------------------------------------------------------

struct SyncCase {
    const char* name;
    std::function<std::string(char, int)> echo;
    std::string digits;    // digits the program sends before 0xAF 0xFE
    uint32_t closingAtMs;  // when 0xAF 0xFE go out
};

// The box echoes 20 ms after each digit. The first digit goes out at 600 ms (opened at 300 ms,
// then the 300 ms drain); an echoed round lasts 300 ms (read, pause, byte, pause, read, pause)
// and a silent one 500 ms. After a blank the reads are not paused.
const SyncCase syncCases[] = {
    {"EchoesEveryDigit", Echo, "01", 600 + 2 * 300},
    {"MissRestartsTheMatches",
     [](char d, int round) { return round == 1 ? std::string("x") : std::string(1, d); }, "0123",
     600 + 4 * 300},
    {"BlankAfterTheEchoIsAMiss",
     [](char d, int round) { return std::string(1, d) + (round == 0 ? " " : ""); }, "012",
     600 + 200 + 20 + 200 + 300},
    {"SilentForThreeRounds",
     [](char d, int round) { return round < 3 ? std::string() : std::string(1, d); }, "01234",
     600 + 3 * 500 + 2 * 300},
};

class SyncCases : public Handshake, public ::testing::WithParamInterface<SyncCase> {};

TEST_P(SyncCases, EndsAfterTwoMatchingRoundsInARow) {
    const SyncCase& c = GetParam();
    SyncSettings();
    Open(115200, 1);
    box_.afterKeyword = "granted";
    box_.echo = c.echo;
    box_.afterClosing = "Bootloader Version 24.4\r\n";
    box_.Install();
    AccessBootloader(link_, settings_, version_);
    EXPECT_EQ(fake::WrittenText(), " korvane" + c.digits + Closing);
    EXPECT_EQ(box_.closingAt, c.closingAtMs);
    EXPECT_EQ(version_.major, 24);
    EXPECT_EQ(version_.minor, 4);
    EXPECT_EQ(fake::Port().writeMultiplierMs, 1u);
    EXPECT_EQ(fake::Port().writeConstantMs, 10u);
    EXPECT_EQ(retriesLeft, 15);
}

INSTANTIATE_TEST_SUITE_P(Box, SyncCases, ::testing::ValuesIn(syncCases),
                         [](const auto& caseInfo) { return std::string(caseInfo.param.name); });

TEST_F(Handshake, StageHasNoTimeLimit) {
    SyncSettings();
    Open(115200, 1);
    box_.echo = [](char digit, int) { return std::string(1, digit == '9' ? '0' : digit + 1); };
    box_.Install();
    fake::SetTimeCap(3600000);
    EXPECT_DEATH(
        {
            ::testing::internal::CaptureStdout();
            AccessBootloader(link_, settings_, version_);
        },
        "virtual time passed 3600000 ms");
}

TEST_F(Handshake, SilentRoundsArePacedAndAnnouncedEveryTwenty) {
    SyncSettings();
    settings_.grantedHandshake = 0;
    Open(115200, 1);
    // Silent for 38 rounds, then it echoes: 40 rounds, two notices.
    box_.echo = [](char d, int round) { return round < 38 ? std::string() : std::string(1, d); };
    box_.afterClosing = "Bootloader Version 24.4\r\n";
    box_.Install();
    ::testing::internal::CaptureStdout();
    AccessBootloader(link_, settings_, version_);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), Text(53) + "\n" + Text(53) + "\n");
    // A silent round takes five reads with 100 ms pauses; an echoed one three.
    EXPECT_EQ(box_.closingAt, 300u + 38 * 500 + 2 * 300);
    EXPECT_EQ(fake::WrittenText().substr(8, 12), "012345678901");
}

TEST_F(Handshake, FailedDigitWritesAreReportedAndNotCounted) {
    SyncSettings();
    settings_.grantedHandshake = 0;
    settings_.sendKeyword = 0;
    Open(115200, 1);
    // 17 silent rounds and two echoed ones are 19 counted rounds: no notice unless the three
    // failed writes were counted too.
    box_.echo = [](char d, int round) { return round < 17 ? std::string() : std::string(1, d); };
    box_.afterClosing = "Bootloader Version 4.12\r";
    box_.Install();
    fake::FailWrites(5, 3);
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    AccessBootloader(link_, settings_, version_);
    const std::string err = ::testing::internal::GetCapturedStderr();
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(err, Text(8) + "\n" + Text(8) + "\n" + Text(8) + "\n");
    EXPECT_EQ(out, "");
    // The three failed writes are repeated with the same digit "0".
    EXPECT_EQ(fake::WrittenText().substr(0, 3), "012");
    EXPECT_EQ(version_.minor, 12);
}

// ---- The "granted" wait and the drain -------------------------------------------------------

struct DrainCase {
    const char* name;
    int longSync;
    int factorySettings;
    uint32_t junkAtMs;     // after the keyword, which goes out at 300 ms
    uint32_t closingAtMs;  // when 0xAF 0xFE go out
};

// Junk that the drain misses is read by the first echo round, one byte per 100 ms pause.
const DrainCase drainCases[] = {
    {"JunkDuringThePauseIsDrained", 0, 0, 250, 600 + 2 * 300},
    {"JunkAfterTheDrainIsReadByTheFirstRound", 0, 0, 450, 600 + 2 * 300 + 600},
    {"FactorySettingsPauseLonger", 0, 1, 900, 1300 + 2 * 300},
    // Three rounds of 300 ms; without pauses each echo round ends 20 ms after its digit.
    {"LongSyncDrainsThreeRounds", 1, 0, 800, 1200 + 2 * 20},
};

class DrainCases : public Handshake, public ::testing::WithParamInterface<DrainCase> {};

TEST_P(DrainCases, ThrowsAwayWhatCameAfterGranted) {
    const DrainCase& c = GetParam();
    SyncSettings();
    settings_.longSync = c.longSync;
    settings_.factorySettings = c.factorySettings;
    Open(115200, 1);
    box_.afterKeyword = "granted";
    box_.echo = Echo;
    box_.afterClosing = "Bootloader Version 24.4\n";
    box_.Install();
    box_.laterAfterKeyword = "99999";
    box_.laterDelayMs = c.junkAtMs;
    AccessBootloader(link_, settings_, version_);
    EXPECT_EQ(fake::WrittenText(), " korvane01" + Closing);
    EXPECT_EQ(box_.closingAt, c.closingAtMs);
}

INSTANTIATE_TEST_SUITE_P(Box, DrainCases, ::testing::ValuesIn(drainCases),
                         [](const auto& caseInfo) { return std::string(caseInfo.param.name); });

TEST_F(Handshake, GrantedWithinTheLimitIsNotRequired) {
    SyncSettings();
    Open(115200, 1);
    box_.echo = Echo;  // no "granted"
    box_.afterClosing = "Bootloader Version 24.4\n";
    box_.Install();
    AccessBootloader(link_, settings_, version_);
    EXPECT_EQ(fake::WrittenText(), " korvane01" + Closing);
    // Opened at 300 ms; "granted" given up after 1001 ms, then the 300 ms drain pause.
    EXPECT_EQ(box_.firstDigitAt, 300u + 1001 + 300);
}

TEST_F(Handshake, GrantedWithoutLimitIsAwaitedAsLongAsItTakes) {
    SyncSettings();
    settings_.plainInvocation = 0;
    Open(115200, 1);
    box_.echo = Echo;
    box_.afterClosing = "Bootloader Version 24.4\n";
    box_.Install();
    fake::BoxSendsAt(fake::Now() + 600000, "granted");
    AccessBootloader(link_, settings_, version_);
    EXPECT_EQ(fake::WrittenText(), " korvane01" + Closing);
    EXPECT_GT(fake::Now(), 600000u);
}

TEST_F(Handshake, ErrorTextInsteadOfGrantedIsFatalWithoutLimit) {
    SyncSettings();
    settings_.plainInvocation = 0;
    Open(115200, 1);
    box_.afterKeyword = "ERROR: locked\n";
    box_.Install();
    EXPECT_EXIT(
        {
            ::testing::internal::CaptureStdout();
            AccessBootloader(link_, settings_, version_);
        },
        ::testing::ExitedWithCode(1),
        "^" + Literal(Text(13) + " 536870919\n" + FailureHintLine(ErrorBoxErrorText)) + "$");
}

TEST_F(Handshake, WithoutKeywordTheSynchronisationStillRuns) {
    SyncSettings();
    settings_.sendKeyword = 0;
    Open(115200, 1);
    box_.echo = Echo;
    box_.afterClosing = "Bootloader Version 24.4\n";
    box_.Install();
    fake::BoxSendsAt(100, "junk!");  // drained although "granted" is not awaited
    AccessBootloader(link_, settings_, version_);
    EXPECT_EQ(fake::WrittenText(), "01" + Closing);
    EXPECT_EQ(box_.closingAt, 300u + 300 + 2 * 300) << "drain pause, then two echoed rounds";
    EXPECT_EQ(version_.major, 24);
}

// ---- Keyword ----------------------------------------------------------------------------

TEST_F(Handshake, SlowKeywordGoesOutAt9600AndTheSpeedComesBack) {
    struct Case {
        uint8_t hardwareType;
        uint32_t openBaud;
    };
    for (const Case c : {Case{0x14, 115200}, Case{1, 38400}}) {
        fake::Reset();
        box_ = ScriptedBox{};
        settings_.slowKeyword = 1;
        settings_.hardwareType = c.hardwareType;
        Open(c.openBaud, 0);
        box_.laterAfterKeyword = "Bootloader Version 5.3\r";
        box_.Install();
        ::testing::internal::CaptureStdout();
        AccessBootloader(link_, settings_, version_);
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), "\n\n\n\n");
        EXPECT_EQ(box_.keywordBauds, std::vector<uint32_t>{9600});
        EXPECT_EQ(fake::Port().baudHistory, (std::vector<uint32_t>{c.openBaud, 9600, c.openBaud}));
        EXPECT_EQ(version_.major, 5);
    }
}

TEST_F(Handshake, LegacyPathSendsTheLoaderKeywordAndAsksNoVersion) {
    settings_.legacyPath = 1;
    Open(38400, 0);
    box_.keyword = "pelmorant";
    box_.laterAfterKeyword = "Bootloader Version 4.12\r";
    box_.Install();
    version_ = {};
    AccessBootloader(link_, settings_, version_);
    EXPECT_EQ(fake::WrittenText(), "pelmorant");
    EXPECT_EQ(version_.major, 0);
    EXPECT_EQ(version_.minor, 0);
    EXPECT_EQ(fake::PendingFromBox(), 24u);
}

struct FatalCase {
    const char* name;
    int slowKeyword;
    std::function<void()> arrange;
    std::function<std::string()> stderrText;
};

TEST_F(Handshake, KeywordAndSpeedFailuresEndTheProgram) {
    const FatalCase cases[] = {
        {"speed 9600 refused", 1, [] { fake::FailBaudChanges(1); },
         [] { return Text(6) + " 31)\n" + FailureHintLine(31); }},
        {"speed back refused", 1,
         [] { fake::SetResponder([](std::span<const uint8_t>) { fake::FailBaudChanges(1); }); },
         [] { return Text(9) + " 31)\n" + FailureHintLine(31); }},
        {"keyword send timed out", 0, [] { fake::LimitWrites(1, 600); },
         [] { return Text(7) + " 2\n" + HintLine(SessionPortHint(Hint::KeywordHeld)); }},
        {"keyword write failed", 0, [] { fake::FailWrites(1117); },
         [] { return Text(8) + " 1117\n" + FailureHintLine(1117); }},
    };
    for (const FatalCase& c : cases) {
        fake::Reset();
        settings_.slowKeyword = c.slowKeyword;
        settings_.portNumber = 2;
        SetReportedPort(2);  // as AccessBootloader does, for the expected lines
        Open(115200, 0);
        c.arrange();
        EXPECT_EXIT(AccessBootloader(link_, settings_, version_), ::testing::ExitedWithCode(1),
                    "^" + Literal(c.stderrText()) + "$")
            << c.name;
    }
}

// ---- Retries ----------------------------------------------------------------------------

TEST_F(Handshake, SilentBoxGetsSixteenAttemptsThenTheProgramEnds) {
    Open(115200, 0);
    // The box notes every keyword on standard error, so that the attempts can be counted.
    fake::SetResponder([](std::span<const uint8_t> bytes) {
        if (std::string(bytes.begin(), bytes.end()) == " korvane") {
            std::fprintf(stderr, "K%u,", fake::Now());
        }
    });
    std::string expected = "^";
    uint32_t at = 300;
    for (int attempt = 0; attempt < 16; ++attempt) {
        expected += "K" + std::to_string(at) + ",";
        at += 15001;  // each query ends just past its 15 s limit
    }
    SetReportedPort(1);  // as AccessBootloader does, for the expected hint
    expected += Literal(Text(25) + "\n" + Text(26) + "\n" +
                        HintLine(SessionPortHint(Hint::AccessTimedOut))) +
                "$";
    EXPECT_EXIT(AccessBootloader(link_, settings_, version_), ::testing::ExitedWithCode(1),
                expected);
}

TEST_F(Handshake, TimedOutQueryIsRetriedOnTheSameLink) {
    Open(115200, 0);
    // The third keyword is answered.
    fake::SetResponder([this](std::span<const uint8_t>) {
        if (++box_.keywords == 3) {
            fake::BoxSends("Bootloader Version 21.0\r\n", 100);
        }
    });
    AccessBootloader(link_, settings_, version_);
    EXPECT_EQ(version_.major, 21);
    EXPECT_EQ(retriesLeft, 13);
    EXPECT_EQ(fake::Port().opens, 1);
    EXPECT_EQ(fake::WrittenText(), " korvane korvane korvane");
}

TEST_F(Handshake, AbortedReadReopensThePort) {
    struct Case {
        uint8_t hardwareType;
        uint32_t firstBaud;
        uint32_t reopenBaud;
    };
    for (const Case c : {Case{2, 115200, 38400}, Case{1, 38400, 38400}, Case{3, 115200, 115200}}) {
        fake::Reset();
        retriesLeft = 15;
        box_ = ScriptedBox{};
        settings_.hardwareType = c.hardwareType;
        settings_.evenParity = 1;  // the re-opening passes the legacy flag instead
        settings_.hardwareHandshake = 1;
        Open(c.firstBaud, 0);
        fake::SetResponder([this](std::span<const uint8_t>) {
            if (++box_.keywords == 1) {
                fake::FailReads(ErrorOperationAborted);
            } else {
                fake::BoxSends("Bootloader Version 24.4\r\n", 10);
            }
        });
        AccessBootloader(link_, settings_, version_);
        const auto& port = fake::Port();
        EXPECT_EQ(port.baudHistory, (std::vector<uint32_t>{c.firstBaud, c.reopenBaud}));
        EXPECT_EQ(port.opens, 2);
        EXPECT_EQ(port.closes, 1);
        EXPECT_TRUE(port.open);
        EXPECT_EQ(port.evenParity, 0);
        EXPECT_EQ(port.hardwareHandshake, 1);
        EXPECT_EQ(port.noWriteTimeout, 0);
        EXPECT_EQ(retriesLeft, 14);
        EXPECT_EQ(version_.major, 24);
    }
}

TEST_F(Handshake, RetryFailuresEndTheProgram) {
    const FatalCase cases[] = {
        {"aborted read, no retry left", 0, [] { retriesLeft = 0; },
         [] { return Text(26) + "\n" + FailureHintLine(ErrorOperationAborted); }},
        {"re-opening refused", 0, [] { fake::FailOpens(2); },
         [] { return Text(5) + " 2)\n" + HintLine(PortReopenHint(1, 2)); }},
    };
    for (const FatalCase& c : cases) {
        fake::Reset();
        retriesLeft = 15;
        SetReportedPort(1);
        Open(115200, 0);
        c.arrange();
        fake::SetResponder(
            [](std::span<const uint8_t>) { fake::FailReads(ErrorOperationAborted); });
        EXPECT_EXIT(AccessBootloader(link_, settings_, version_), ::testing::ExitedWithCode(1),
                    "^" + Literal(c.stderrText()) + "$")
            << c.name;
    }
}

TEST_F(Handshake, UnreadableVersionEndsTheProgramWithoutAStaleReason) {
    Open(115200, 0);
    box_.laterAfterKeyword = "Bootloader Version ?\r";
    box_.Install();
    SetLastErrorValue(ErrorTimeout);
    EXPECT_EXIT(AccessBootloader(link_, settings_, version_), ::testing::ExitedWithCode(1),
                "^" + Literal(Text(13) + " 0\n") + "$");
}

// ---- The version query ------------------------------------------------------------------

struct QueryCase {
    const char* name;
    std::vector<std::pair<uint32_t, std::string>> box;
    int result;
    LoaderVersion version;
    uint32_t error;
};

const QueryCase queryCases[] = {
    {"DecimalWithCarriageReturn", {{0, "Bootloader Version 4.12\r"}}, 1, {4, 12}, Untouched},
    {"HexadecimalAfterColon", {{0, "Bootloader Version: 18.4\n"}}, 1, {24, 4}, Untouched},
    {"NotAVersion", {{0, "Bootloader Version ?\r"}}, 0, {9, 9}, 0},
    {"ColonWithoutHexadecimal", {{0, "Bootloader Version: x\r"}}, 0, {9, 9}, 0},
    {"NoiseBeforeAndAfter",
     {{0, "\xff menu\r\nBootloader Version  1.9 (c)\r\n"}},
     1,
     {1, 9},
     Untouched},
    {"DoubledFirstLetterHidesTheLine",
     {{0, "BBootloader Version 1.4\r\n"}},
     0,
     {9, 9},
     ErrorTimeout},
    {"LaterCompleteLineIsRead",
     {{0, "BBootloader Version 1.4\r\n"}, {500, "Bootloader Version 2.3\r\n"}},
     1,
     {2, 3},
     Untouched},
    {"SplitAcrossArrivals",
     {{0, "Bootloa"}, {7000, "der Vers"}, {14000, "ion 12.6\n"}},
     1,
     {12, 6},
     Untouched},
    {"LineEndAtTheLimit", {{0, "Bootloader Version 5.1"}, {15000, "\r"}}, 1, {5, 1}, Untouched},
    {"LineEndPastTheLimit",
     {{0, "Bootloader Version 5.1"}, {15001, "\r"}},
     0,
     {9, 9},
     ErrorTimeout},
    {"SilentBox", {}, 0, {9, 9}, ErrorTimeout},
    {"LineWithoutEnd", {{0, "Bootloader Version 5.1"}}, 0, {9, 9}, ErrorTimeout},
};

class QueryCases : public Handshake, public ::testing::WithParamInterface<QueryCase> {};

TEST_P(QueryCases, ReadsTheVersionLine) {
    const QueryCase& c = GetParam();
    for (const auto& [at, bytes] : c.box) {
        fake::BoxSendsAt(at, bytes);
    }
    version_ = {9, 9};
    SetLastErrorValue(Untouched);
    EXPECT_EQ(QueryLoaderVersion(InvalidLink, version_, 15000), c.result);
    EXPECT_EQ(version_.major, c.version.major);
    EXPECT_EQ(version_.minor, c.version.minor);
    EXPECT_EQ(GetLastErrorValue(), c.error);
    if (c.error == ErrorTimeout) {
        EXPECT_LE(fake::Now(), 30002u);
    }
}

INSTANTIATE_TEST_SUITE_P(Box, QueryCases, ::testing::ValuesIn(queryCases),
                         [](const auto& caseInfo) { return std::string(caseInfo.param.name); });

TEST_F(Handshake, SilentQueryEndsJustPastItsLimit) {
    EXPECT_EQ(QueryLoaderVersion(InvalidLink, version_, 15000), 0);
    EXPECT_EQ(GetLastErrorValue(), ErrorTimeout);
    EXPECT_EQ(fake::Now(), 15001u);
}

TEST_F(Handshake, OverlongVersionLineStaysInsideTheBuffer) {
    // "Bootloader Version 1.2" and blanks: the line end fits in the last byte of the buffer
    // with 10,217 blanks, and no longer with one more.
    for (uint32_t blanks : {10217u, 10218u}) {
        fake::Reset();
        const std::string line = "Bootloader Version 1.2" + std::string(blanks, ' ') + "\r";
        fake::BoxSends(line + "rest");
        version_ = {};
        SetLastErrorValue(Untouched);
        const int result = QueryLoaderVersion(InvalidLink, version_, 15000);
        if (blanks == 10217u) {
            EXPECT_EQ(result, 1);
            EXPECT_EQ(version_.minor, 2);
            EXPECT_EQ(fake::PendingFromBox(), 4u);
        } else {
            EXPECT_EQ(result, 0);
            EXPECT_EQ(GetLastErrorValue(), ErrorWaitBufferFull);
            EXPECT_EQ(fake::PendingFromBox(), 1u + 4u) << "reading stops at the full buffer";
        }
    }
}

TEST_F(Handshake, FailedReadEndsTheQueryWithItsReason) {
    fake::BoxSends("Bootloader");
    fake::SetStallHandler([] {
        fake::FailReads(ErrorOperationAborted);
        fake::BoxSends("x");
    });
    EXPECT_EQ(QueryLoaderVersion(InvalidLink, version_, 0), 0);
    EXPECT_EQ(GetLastErrorValue(), ErrorOperationAborted);
}

}  // namespace
