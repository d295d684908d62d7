// The timed send, receive and wait-for-text operations against the scripted box on the
// virtual clock.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/platform.h"
#include "serial/serial_link.h"
#include "tests/support/fake_port.h"

namespace {

constexpr SerialLink Link = 42;
constexpr uint32_t Untouched = 0x12345678;

class TimedIo : public ::testing::Test {
  protected:
    void SetUp() override {
        fake::Reset();
        SetLastErrorValue(Untouched);
    }
};

// ---- WaitFor ------------------------------------------------------------------------------

struct Arrival {
    uint32_t atMs;
    std::string bytes;
};

struct WaitCase {
    const char* name;
    std::vector<Arrival> box;
    const char* text;
    uint32_t limitMs;
    int result;
    uint32_t error;     // expected last-error value (Untouched: not set)
    uint32_t endsAtMs;  // virtual time when the call returns
};

const WaitCase waitCases[] = {
    {"AtOnce", {{0, "xx granted yy"}}, "granted", 1000, 1, Untouched, 0},
    {"SplitOverReads",
     {{0, "Now st"}, {40, "art dow"}, {90, "nload\r\n"}},
     "Now start download",
     1000,
     1,
     Untouched,
     90},
    {"TextAndErrorBothAtFirstSearch", {{0, "ERROR: x\nOK"}}, "OK", 100, 1, Untouched, 0},
    {"ErrorTextAfterExpectedText", {{0, "OK then ERROR: x\n"}}, "OK", 100, 1, Untouched, 0},
    {"OtherFormsOfErrorAreText",
     {{0, "Error: x\nerror:\n ERROR \n"}, {50, "OK"}},
     "OK",
     100,
     1,
     Untouched,
     50},
    {"ErrorWithoutLineFeedEndsByTheLimit",
     {{0, "ERROR: no line end"}, {100, "OK"}},
     "OK",
     500,
     0,
     ErrorTimeout,
     501},
    {"ZeroByteHidesTheRest", {{0, std::string("ab\0OK", 5)}}, "OK", 300, 0, ErrorTimeout, 301},
    {"ZeroByteHidesAnErrorText",
     {{0, std::string("\0ERROR: x\n", 10)}},
     "OK",
     300,
     0,
     ErrorTimeout,
     301},
    {"SilentBoxTimesOutJustPastTheLimit", {}, "OK", 1000, 0, ErrorTimeout, 1001},
    {"TextAtTheLimitStillCounts", {{1000, "OK"}}, "OK", 1000, 1, Untouched, 1000},
    {"RestOfTheTextJustPastTheLimitStillCounts",
     {{1000, "O"}, {1001, "K"}},
     "OK",
     1000,
     1,
     Untouched,
     1001},
    {"TextAfterTheLimitIsTooLate", {{1002, "OK"}}, "OK", 1000, 0, ErrorTimeout, 1001},
    {"NoLimitWaitsAsLongAsItTakes", {{3600000, "OK"}}, "OK", 0, 1, Untouched, 3600000},
    {"CaseSensitive", {{0, "ok granted"}}, "OK", 200, 0, ErrorTimeout, 201},
};

class WaitForCases : public TimedIo, public ::testing::WithParamInterface<WaitCase> {};

TEST_P(WaitForCases, ResultErrorAndTime) {
    const WaitCase& c = GetParam();
    for (const Arrival& a : c.box) {
        fake::BoxSendsAt(a.atMs, a.bytes);
    }
    EXPECT_EQ(WaitFor(Link, c.text, c.limitMs), c.result);
    EXPECT_EQ(GetLastErrorValue(), c.error);
    EXPECT_EQ(fake::Now(), c.endsAtMs);
}

INSTANTIATE_TEST_SUITE_P(Box, WaitForCases, ::testing::ValuesIn(waitCases),
                         [](const auto& caseInfo) { return std::string(caseInfo.param.name); });

TEST_F(TimedIo, ErrorLineIsPrintedAndEndsTheWait) {
    fake::BoxSendsAt(0, "menu\r\nERROR: flash");
    fake::BoxSendsAt(100, " failed\r\nNow");
    fake::BoxSendsAt(200, " start download");
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(WaitFor(Link, "Now start download", 1000), 0);
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(GetLastErrorValue(), ErrorBoxErrorText);
    EXPECT_EQ(out, "\n\nERROR: flash failed\r\nNow\n\n");
    EXPECT_EQ(fake::Now(), 100u);
    EXPECT_EQ(fake::PendingFromBox(), 15u) << "later text is not read";
}

TEST_F(TimedIo, ErrorWithoutLineFeedAndNoLimitEndsByAFullBuffer) {
    fake::BoxSendsAt(0, "ERROR:");
    fake::BoxSendsAt(500, std::string(5000, 'x'));
    fake::BoxSendsAt(900, std::string(6000, 'y'));
    EXPECT_EQ(WaitFor(Link, "OK", 0), 0);
    EXPECT_EQ(GetLastErrorValue(), ErrorWaitBufferFull);
    EXPECT_EQ(fake::Now(), 900u);
    EXPECT_EQ(fake::PendingFromBox(), 6 + 5000 + 6000 - (WaitBufferSize - 1));
}

TEST_F(TimedIo, FullBufferFailsEvenWhenTheLastReadCompletedTheText) {
    fake::BoxSendsAt(0, std::string(WaitBufferSize - 5, '.'));
    fake::BoxSendsAt(10, "DONE");
    EXPECT_EQ(WaitFor(Link, "DONE", 1000), 0);
    EXPECT_EQ(GetLastErrorValue(), ErrorWaitBufferFull);
    EXPECT_EQ(WaitBuffer[WaitBufferSize - 1], '\0');
}

TEST_F(TimedIo, TextInTheLastByteThatFitsStillCounts) {
    fake::BoxSendsAt(0, std::string(WaitBufferSize - 6, '.'));
    fake::BoxSendsAt(10, "DONE");
    EXPECT_EQ(WaitFor(Link, "DONE", 1000), 1);
}

TEST_F(TimedIo, EachWaitStartsWithAnEmptyBuffer) {
    fake::BoxSends("first OK");
    EXPECT_EQ(WaitFor(Link, "OK", 100), 1);
    EXPECT_EQ(WaitFor(Link, "first", 100), 0) << "bytes already read are gone";
    EXPECT_EQ(GetLastErrorValue(), ErrorTimeout);
}

TEST_F(TimedIo, FailedReadEndsTheWaitWithItsReason) {
    fake::FailReads(ErrorOperationAborted);
    EXPECT_EQ(WaitFor(Link, "OK", 1000), 0);
    EXPECT_EQ(GetLastErrorValue(), ErrorOperationAborted);
    EXPECT_EQ(fake::Now(), 0u);

    // A later read fails: the box sent "O" and then the device went away.
    fake::BoxSends("O");
    fake::SetStallHandler([] {
        fake::FailReads(ErrorOperationAborted);
        fake::BoxSends("K");
    });
    EXPECT_EQ(WaitFor(Link, "OK", 0), 0);
    EXPECT_EQ(GetLastErrorValue(), ErrorOperationAborted);
}

// ---- SendTimed ----------------------------------------------------------------------------

TEST_F(TimedIo, ShortWritesWithTheWriteLimitErrorGoOn) {
    fake::LimitWrites(3);
    const std::string data = "0123456789";
    EXPECT_EQ(SendTimed(Link, data.c_str(), 0), 1);
    EXPECT_EQ(fake::WrittenText(), data);
    EXPECT_EQ(fake::WriteCalls(), (std::vector<uint32_t>{3, 3, 3, 1}));
}

TEST_F(TimedIo, WritesThatSendNothingAreRetried) {
    fake::FailWrites(ErrorCounterTimeout, 3);
    EXPECT_EQ(SendTimed(Link, "abc", 1000), 1);
    EXPECT_EQ(fake::WrittenText(), "abc");
}

TEST_F(TimedIo, OtherWriteErrorsFailAtOnce) {
    fake::FailWrites(5);
    EXPECT_EQ(SendTimed(Link, "abc", 1000), 0);
    EXPECT_EQ(GetLastErrorValue(), 5u);
    EXPECT_TRUE(fake::Written().empty());
}

TEST_F(TimedIo, LimitIsCheckedAfterEveryWriteEvenTheLast) {
    struct Case {
        uint32_t msPerWrite;
        int result;
        uint32_t writeCalls;
    };
    // Two writes of 4 bytes each; the second one ends at 2 * msPerWrite.
    for (const Case c : {Case{500, 1, 2}, Case{600, 0, 2}, Case{1100, 0, 1}}) {
        fake::Reset();
        fake::LimitWrites(4);
        fake::SetResponder([&](std::span<const uint8_t>) { fake::Advance(c.msPerWrite); });
        EXPECT_EQ(SendTimed(Link, "abcdefgh", 1000), c.result) << c.msPerWrite;
        EXPECT_EQ(fake::WriteCalls().size(), c.writeCalls) << c.msPerWrite;
        if (c.result == 0) {
            EXPECT_EQ(GetLastErrorValue(), ErrorTimeout);
        }
    }
}

TEST_F(TimedIo, NoLimitGoesOnUntilEverythingIsWritten) {
    fake::LimitWrites(1, 1000);
    EXPECT_EQ(SendTimed(Link, "abcde", 0), 1);
    EXPECT_EQ(fake::WrittenText(), "abcde");
    EXPECT_EQ(fake::Now(), 4000u) << "four short writes cost their time";
}

TEST_F(TimedIo, EmptySendMakesOneWriteCall) {
    const uint8_t nothing[1] = {0};
    EXPECT_EQ(SendTimed(Link, nothing, 0, 1000), 1);
    EXPECT_EQ(fake::WriteCalls(), (std::vector<uint32_t>{0}));
}

TEST_F(TimedIo, BinaryDataIsSentWithItsZeroBytes) {
    const uint8_t data[] = {0xAF, 0x00, 0xFE};
    EXPECT_EQ(SendTimed(Link, data, 3, 0), 1);
    EXPECT_EQ(fake::Written(), (std::vector<uint8_t>{0xAF, 0x00, 0xFE}));
}

// ---- Single bytes -------------------------------------------------------------------------

TEST_F(TimedIo, SingleByteReads) {
    struct Case {
        const char* name;
        int orExpire;
        int arrivalMs;  // -1: nothing comes
        uint32_t limitMs;
        int result;
        uint32_t endsAtMs;
    };
    const Case cases[] = {
        {"timed, byte in time", 0, 50, 100, 1, 50},
        {"timed, byte at the limit", 0, 100, 100, 1, 100},
        {"timed, silent", 0, -1, 100, 0, 101},
        {"timed, no limit", 0, 600000, 0, 1, 600000},
        {"or-expire, byte in time", 1, 50, 100, 1, 50},
        {"or-expire, silent", 1, -1, 100, 1, 101},
        {"or-expire, byte too late", 1, 102, 100, 1, 101},
    };
    for (const Case& c : cases) {
        fake::Reset();
        SetLastErrorValue(Untouched);
        if (c.arrivalMs >= 0) {
            fake::BoxSendsAt(static_cast<uint32_t>(c.arrivalMs), "AB");
        }
        uint8_t byte = '?';
        const int result = c.orExpire ? ReadByteOrExpire(Link, byte, c.limitMs)
                                      : ReadByteTimed(Link, byte, c.limitMs);
        EXPECT_EQ(result, c.result) << c.name;
        EXPECT_EQ(fake::Now(), c.endsAtMs) << c.name;
        const bool arrived = c.arrivalMs >= 0 && static_cast<uint32_t>(c.arrivalMs) <= c.endsAtMs;
        EXPECT_EQ(byte, arrived ? 'A' : '?') << c.name;
        EXPECT_EQ(fake::PendingFromBox(), c.arrivalMs < 0 ? 0u : arrived ? 1u : 2u) << c.name;
        EXPECT_EQ(GetLastErrorValue(), Untouched) << c.name << ": a time-out sets no reason";
    }
}

TEST_F(TimedIo, SingleByteReadFailures) {
    uint8_t byte = '?';
    fake::FailReads(ErrorOperationAborted);
    EXPECT_EQ(ReadByteTimed(Link, byte, 100), 0);
    EXPECT_EQ(GetLastErrorValue(), ErrorOperationAborted);
    fake::FailReads(ErrorOperationAborted);
    EXPECT_EQ(ReadByteOrExpire(Link, byte, 100), 0);
    EXPECT_EQ(GetLastErrorValue(), ErrorOperationAborted);
    EXPECT_EQ(byte, '?');
}

}  // namespace
