// The write limit of a link held until the bytes have left the port: a port whose output queue
// drains in time, late, or never (RTS/CTS held back by a box that is off), on the virtual clock.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frontend/session.h"
#include "platform/platform.h"
#include "serial/output_drain.h"
#include "serial/serial_link.h"
#include "tests/support/fake_port.h"

namespace {

constexpr uint32_t LineRate = 11520;  // bytes per second at 115200 baud, 10 bits a byte

std::string Block(size_t size) {
    std::string block;
    for (size_t i = 0; i < size; ++i) {
        block += static_cast<char>('A' + i % 26);
    }
    return block;
}

class WriteLimit : public ::testing::Test {
  protected:
    void SetUp() override {
        fake::Reset();
        SetLastErrorValue(0);
    }
    // Opens the port as the session does for a box without synchronisation: with the write
    // limit of 1 ms per byte plus 10 ms per write.
    SerialLink Open(int noWriteTimeout = 0) {
        const SerialLink link = OpenSerialLink(1, 115200, noWriteTimeout, 1, 0);
        EXPECT_NE(link, InvalidLink);
        fake::ClearWritten();
        return link;
    }
};

TEST(TransmitTime, QueuedBytesAtTheLineSpeedRoundedUpAndAtLeastOneMs) {
    struct Case {
        uint32_t bytes;
        uint32_t baud;
        uint32_t ms;
    };
    const Case cases[] = {
        {132, 115200, 12},  // an X-modem block: 11.46 ms
        {10240, 115200, 889},
        {1, 115200, 1},                   // 0.09 ms, but never less than 1 ms
        {0, 115200, 1},                   // even for nothing
        {8, 9600, 9},                     // 8.33 ms
        {96, 9600, 100},                  // exactly 100 ms
        {5, 0, 5},                        // speed unknown: 1 ms a byte
        {4000000000u, 300, 4294967295u},  // 1.3e11 ms, clamped to 32 bits
    };
    for (const Case& c : cases) {
        EXPECT_EQ(TransmitMs(c.bytes, c.baud), c.ms) << c.bytes << " bytes at " << c.baud;
    }
}

struct OutputQueueCase {
    const char* name;
    fake::OutputQueue queue;
    uint32_t bytesPerSecond;
    int result;
    uint32_t written;   // what PortWrite reports: the bytes that left the port
    uint32_t endsAtMs;  // virtual time after the write, from its start
    int discards;       // the held-back rest thrown away
};

// One 132-byte block on a link with the limit 1 * 132 + 10 = 142 ms.
const OutputQueueCase outputQueueCases[] = {
    {"EmptyQueue", fake::OutputQueue::Empty, 0, 1, 132, 0, 0},
    {"DrainsAtTheLineRate", fake::OutputQueue::Draining, LineRate, 1, 132, 12, 0},
    {"DrainsSlowlyButInTime", fake::OutputQueue::Draining, 1000, 1, 132, 132, 0},
    {"DrainsLate", fake::OutputQueue::Draining, 500, 0, 71, 142, 1},
    {"NeverDrains", fake::OutputQueue::Held, 0, 0, 0, 142, 1},
    {"PortCannotTell", fake::OutputQueue::Unknown, 0, 1, 132, 0, 0},
};

class OutputQueueCases : public WriteLimit,
                         public ::testing::WithParamInterface<OutputQueueCase> {};

TEST_P(OutputQueueCases, WriteHoldsItsLimitUntilTheBytesHaveLeft) {
    const OutputQueueCase& c = GetParam();
    const SerialLink link = Open();
    fake::SetOutputQueue(c.queue, c.bytesPerSecond);
    const std::string block = Block(132);
    const uint32_t start = fake::Now();
    uint32_t written = 0;
    EXPECT_EQ(PortWrite(link, reinterpret_cast<const uint8_t*>(block.data()), 132, written),
              c.result);
    EXPECT_EQ(written, c.written);
    EXPECT_EQ(fake::Now() - start, c.endsAtMs);
    EXPECT_EQ(fake::Port().outputDiscards, c.discards);
    if (c.result == 0) {
        EXPECT_EQ(GetLastErrorValue(), ErrorCounterTimeout);
    }
    // What reached the line is what the write reports, and nothing stays queued for later.
    EXPECT_EQ(fake::WrittenText(), block.substr(0, c.written));
    EXPECT_EQ(fake::OutputQueued(), 0u);
    // Paced by the queued bytes' time on the line, at least 1 ms: a handful of looks, not one a
    // millisecond (the slow queue, whose bytes need 11.5 times longer than at 115200 baud,
    // takes the most).
    EXPECT_LE(fake::Port().outputQueueLooks, c.endsAtMs / 2 + 2);
}

INSTANTIATE_TEST_SUITE_P(Queue, OutputQueueCases, ::testing::ValuesIn(outputQueueCases),
                         [](const auto& caseInfo) { return std::string(caseInfo.param.name); });

TEST_F(WriteLimit, LinkWithoutLimitKeepsWritingIntoTheQueue) {
    const SerialLink link = Open(/*noWriteTimeout=*/1);
    fake::SetOutputQueue(fake::OutputQueue::Held);
    const std::string block = Block(132);
    uint32_t written = 0;
    EXPECT_EQ(PortWrite(link, reinterpret_cast<const uint8_t*>(block.data()), 132, written), 1);
    EXPECT_EQ(written, 132u);
    EXPECT_EQ(fake::Now(), 300u) << "no wait after the opening";
    EXPECT_EQ(fake::Port().outputQueueLooks, 0);
    EXPECT_EQ(fake::OutputQueued(), 132u);
}

TEST_F(WriteLimit, HeldKeywordFailsTheSendAfterItsSecond) {
    const SerialLink link = Open();
    fake::SetOutputQueue(fake::OutputQueue::Held);
    const uint32_t start = fake::Now();
    EXPECT_EQ(SendTimed(link, " korvane", 1000), 0);
    EXPECT_EQ(GetLastErrorValue(), ErrorTimeout);
    // Each write waits its own limit of 18 ms; the first check past 1000 ms ends the send.
    const uint32_t took = fake::Now() - start;
    EXPECT_GT(took, 1000u);
    EXPECT_LE(took, 1018u);
    EXPECT_EQ(fake::WriteCalls().size(), 56u);
    EXPECT_TRUE(fake::Written().empty()) << "nothing reached the box";
    EXPECT_EQ(fake::OutputQueued(), 0u) << "and nothing waits to go out later";
}

TEST_F(WriteLimit, RestThatWasHeldBackIsSentAgainOnceEachByteInOrder) {
    // The line moves at 300 bytes a second: each write of the rest gets 1 ms a byte plus 10 ms,
    // so about a third of it leaves in time, and the rest is written again.
    const SerialLink link = Open();
    fake::SetOutputQueue(fake::OutputQueue::Draining, 300);
    const std::string data = Block(400);
    EXPECT_EQ(SendTimed(link, reinterpret_cast<const uint8_t*>(data.data()), 400, 10000), 1);
    EXPECT_EQ(fake::WrittenText(), data);
    EXPECT_GT(fake::WriteCalls().size(), 3u);
    EXPECT_EQ(fake::Port().outputDiscards, static_cast<int>(fake::WriteCalls().size()) - 1);
}

TEST_F(WriteLimit, InputWaitingDoesNotMakeTheWaitSpin) {
    // A byte from the box is waiting unread while the block drains at 1000 bytes a second: the
    // first pause ends at once, the others are plain pauses (the fake port aborts on endless
    // looks at the same moment).
    const SerialLink link = Open();
    fake::BoxSends("C");
    fake::SetOutputQueue(fake::OutputQueue::Draining, 1000);
    const std::string block = Block(132);
    uint32_t written = 0;
    EXPECT_EQ(PortWrite(link, reinterpret_cast<const uint8_t*>(block.data()), 132, written), 1);
    EXPECT_EQ(written, 132u);
    EXPECT_EQ(fake::Now(), 300u + 132u);
    EXPECT_EQ(fake::PendingFromBox(), 1u) << "the wait reads nothing";
}

TEST_F(WriteLimit, BoxAnswerEndsTheFirstPauseEarly) {
    // The queue's first pause would last 12 ms; the box answers after 3 ms, the queue is looked
    // at again at once and is empty by then (its last bytes were on the line).
    const SerialLink link = Open();
    fake::SetOutputQueue(fake::OutputQueue::Draining, 50000);
    fake::BoxSends("\x06", 3);
    const std::string block = Block(132);
    uint32_t written = 0;
    EXPECT_EQ(PortWrite(link, reinterpret_cast<const uint8_t*>(block.data()), 132, written), 1);
    EXPECT_EQ(fake::Now(), 300u + 3u);
    EXPECT_EQ(fake::Port().outputQueueLooks, 2);
}

TEST_F(WriteLimit, HeldKeywordEndsTheProgramWithMessage7AndItsHint) {
    // A box without synchronisation behind a cable without CTS: the keyword never leaves, and
    // the program says so after a second instead of asking for the version 16 times.
    SessionSettings settings;
    settings.hardwareType = 0x04;
    SerialLink link = Open();
    fake::SetOutputQueue(fake::OutputQueue::Held);
    language = 0;
    LoaderVersion version;
    EXPECT_EXIT(AccessBootloader(link, settings, version), ::testing::ExitedWithCode(1),
                "^Cannot connect to bootloader over COM-port  1\n"
                "Port 1 \\(COM1\\): the access keyword did not go out within a second: the "
                "hardware handshake held it back\\. Switch the box on, and use a cable that "
                "carries RTS and CTS\\.\n$");
}

}  // namespace
