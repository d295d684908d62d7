// The legacy image transfer against a scripted loader on the virtual clock: type byte, length
// and its limits, packets and their refusals, compression, and the flash reports.
#include <bzlib.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "protocols/legacy_image.h"
#include "protocols/legacy_transfer.h"
#include "serial/port.h"
#include "tests/support/fake_port.h"
#include "tests/support/pad_builder.h"

namespace {

constexpr SerialLink Link = 42;
constexpr uint32_t Max10 = 0xDC000;
constexpr uint32_t Max11 = 0x53FFC;

using Transfer = int (*)(SerialLink, uint8_t*, uint32_t, uint32_t&, uint32_t);

// A legacy loader after its id query: answers the type byte, takes the length, answers every
// packet (by `reply`: the byte, or -1 for silence) and sends its reports once every announced
// byte has come.
struct ScriptedLoader {
    int ignoreTypeBytes = 0;
    uint8_t typeReply = 0xFE;
    // Reply to send `send` (from 1) of packet `index` (from 0); default: accept.
    std::function<int(int index, int send)> reply = [](int, int) { return 0x00; };
    // The reports after the last packet: (delay after the previous one, byte).
    std::vector<std::pair<uint32_t, uint8_t>> reports{{5, 0x04}, {100, 0x05}, {100, 0x06}};

    // What the loader saw.
    int typeBytes = 0;
    uint8_t type = 0;
    bool lengthSeen = false;
    uint32_t length = 0;
    std::vector<std::vector<uint8_t>> packets;  // every packet as sent, repeats included
    std::vector<uint8_t> received;              // the accepted data
    int index = 0;
    int send = 0;

    void Install() {
        fake::SetResponder([this](std::span<const uint8_t> bytes) { OnWrite(bytes); });
    }

    void OnWrite(std::span<const uint8_t> bytes) {
        if (!lengthSeen && type == 0) {
            ++typeBytes;
            if (typeBytes > ignoreTypeBytes) {
                type = bytes[0];
                fake::BoxSends(std::string(1, static_cast<char>(typeReply)));
            }
            return;
        }
        if (!lengthSeen) {
            lengthSeen = true;
            length = (uint32_t{bytes[0]} << 16) | (uint32_t{bytes[1]} << 8) | bytes[2];
            return;
        }
        packets.emplace_back(bytes.begin(), bytes.end());
        ++send;
        const int answer = reply(index, send);
        if (answer >= 0) {
            fake::BoxSends(std::string(1, static_cast<char>(answer)));
        }
        if (answer != 0x00) {
            return;
        }
        received.insert(received.end(), bytes.begin() + 3, bytes.end() - 1);
        ++index;
        send = 0;
        if (received.size() == length) {
            uint32_t at = fake::Now();
            for (const auto& [delay, byte] : reports) {
                at += delay;
                fake::BoxSendsAt(at, std::string(1, static_cast<char>(byte)));
            }
        }
    }
};

class LegacyTransferTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fake::Reset();
        LegacyImageState = LegacyState::A;
    }
    void TearDown() override { fake::SetResponder({}); }

    // Runs a transfer on a copy of `payload` in a block with room behind it; the output is kept
    // in `output`.
    int Run(Transfer transfer, const std::vector<uint8_t>& payload, uint32_t spare = 4096) {
        block.assign(payload.begin(), payload.end());
        block.resize(payload.size() + spare);
        length = static_cast<uint32_t>(payload.size());
        testing::internal::CaptureStdout();
        const int result =
            transfer(Link, block.data(), static_cast<uint32_t>(block.size()), length, 0x4000);
        output = testing::internal::GetCapturedStdout();
        return result;
    }

    ScriptedLoader loader;
    std::vector<uint8_t> block;
    uint32_t length = 0;
    std::string output;
};

// An application image: anything before 0x4000, then a rest that compresses well.
std::vector<uint8_t> CompressibleImage(size_t size) {
    std::vector<uint8_t> payload(size);
    for (size_t i = 0; i < size; ++i) {
        payload[i] = static_cast<uint8_t>((i / 64) % 7 + i % 3);
    }
    return payload;
}

std::vector<uint8_t> Bytes(std::initializer_list<uint8_t> list) {
    return std::vector<uint8_t>(list);
}

size_t Count(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

TEST_F(LegacyTransferTest, SplitsThePayloadIntoPacketsOfAtMost253Bytes) {
    struct Case {
        size_t size;
        std::vector<uint8_t> lengthBytes;  // third byte of each packet
    };
    const Case cases[] = {
        {1, {0x03}},
        {253, {0xFF}},
        {254, {0xFF, 0x03}},
        {506, {0xFF, 0xFF}},
        {507, {0xFF, 0xFF, 0x03}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        fake::Reset();
        loader = ScriptedLoader{};
        loader.Install();
        LegacyImageState = LegacyState::F;
        std::vector<uint8_t> payload = test::RandomBytes(c.size, 7);
        ASSERT_EQ(Run(LegacyTransfer11, payload), 0);

        ASSERT_EQ(loader.packets.size(), c.lengthBytes.size());
        size_t offset = 0;
        for (size_t i = 0; i < loader.packets.size(); ++i) {
            const std::vector<uint8_t>& packet = loader.packets[i];
            const size_t n = c.lengthBytes[i] - 2u;
            ASSERT_EQ(packet.size(), n + 4);
            EXPECT_EQ(packet[0], 0x55);
            EXPECT_EQ(packet[1], 0x55);
            EXPECT_EQ(packet[2], c.lengthBytes[i]);
            uint8_t sum = 0;
            for (size_t k = 0; k < n; ++k) {
                EXPECT_EQ(packet[3 + k], payload[offset + k]);
                sum = static_cast<uint8_t>(sum + payload[offset + k]);
            }
            EXPECT_EQ(packet.back(), sum);
            offset += n;
        }
        // On the line: type byte, length, packets and nothing else.
        std::vector<uint8_t> expected{0x77, 0, static_cast<uint8_t>(c.size >> 8),
                                      static_cast<uint8_t>(c.size)};
        for (const auto& packet : loader.packets) {
            expected.insert(expected.end(), packet.begin(), packet.end());
        }
        EXPECT_EQ(fake::Written(), expected);
    }
}

TEST_F(LegacyTransferTest, AcceptsTheMaximumLengthAndRefusesOneByteMore) {
    struct Case {
        const char* name;
        Transfer transfer;
        uint32_t size;
        std::vector<uint8_t> lengthBytes;
        bool accepted;
    };
    const Case cases[] = {
        {"10.0 at its maximum", LegacyTransfer10, Max10, {0x0D, 0xC0, 0x00}, true},
        {"10.0 one more", LegacyTransfer10, Max10 + 1, {0, 0, 0}, false},
        {"11.x at its maximum", LegacyTransfer11, Max11, {0x05, 0x3F, 0xFC}, true},
        {"11.x one more", LegacyTransfer11, Max11 + 1, {0, 0, 0}, false},
        {"12.x at its maximum", LegacyTransfer12, Max11, {0x05, 0x3F, 0xFC}, true},
        {"12.x one more", LegacyTransfer12, Max11 + 1, {0, 0, 0}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake::Reset();
        loader = ScriptedLoader{};
        loader.Install();
        LegacyImageState = LegacyState::F;  // never compressed
        const int result = Run(c.transfer, std::vector<uint8_t>(c.size, 0x5A));
        ASSERT_GE(fake::Written().size(), 4u);
        EXPECT_EQ(std::vector<uint8_t>(fake::Written().begin() + 1, fake::Written().begin() + 4),
                  c.lengthBytes);
        if (c.accepted) {
            EXPECT_EQ(result, 0);
            EXPECT_EQ(loader.received.size(), c.size);
            EXPECT_EQ(output.find("Filelength"), std::string::npos);
        } else {
            EXPECT_EQ(result, 1);
            EXPECT_EQ(fake::Written().size(), 4u) << "no packet may follow a refused length";
            const std::string line =
                "Filelength exceeds maximum length (compressed size=" + std::to_string(c.size) +
                ", max=" + std::to_string(c.size - 1) + ")\n";
            EXPECT_NE(output.find(line), std::string::npos) << output;
        }
    }
}

TEST_F(LegacyTransferTest, RepeatsARefusedPacketUpTo50Times) {
    struct Case {
        const char* name;
        int refusal;  // -1: no reply at all
        int refusals;
        int result;
    };
    const Case cases[] = {
        {"0xFE, 50 times", 0xFE, 50, 0},  {"0x15, 50 times", 0x15, 50, 0},
        {"silence, 50 times", -1, 50, 0}, {"0x15, 51 times", 0x15, 51, 1},
        {"silence, 51 times", -1, 51, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake::Reset();
        loader = ScriptedLoader{};
        // The second packet is refused.
        loader.reply = [&c](int index, int send) {
            return index == 1 && send <= c.refusals ? c.refusal : 0x00;
        };
        loader.Install();
        LegacyImageState = LegacyState::F;
        const std::vector<uint8_t> payload = test::RandomBytes(600, 3);
        EXPECT_EQ(Run(LegacyTransfer10, payload), c.result);

        const size_t secondSends = loader.packets.size() - (c.result == 0 ? 2 : 1);
        EXPECT_EQ(secondSends, 51u) << "the refused packet goes out 51 times in all";
        for (size_t i = 2; i < 1 + secondSends; ++i) {
            EXPECT_EQ(loader.packets[i], loader.packets[1]) << "repeat " << i;
        }
        EXPECT_EQ(fake::Port().flushCalls, 50);
        if (c.result == 0) {
            EXPECT_EQ(loader.received, payload);
        } else {
            EXPECT_EQ(loader.received.size(), 253u) << "the transfer ends at the refused packet";
        }
        const size_t timeouts = Count(output, "\nerror read character 536870914\n");
        EXPECT_EQ(timeouts, c.refusal < 0 ? static_cast<size_t>(c.refusals) : 0u);
    }
}

TEST_F(LegacyTransferTest, PausesAfterARefusalAndReportsAFailedWrite) {
    loader.reply = [](int index, int send) { return index == 0 && send == 1 ? 0x15 : 0x00; };
    loader.Install();
    LegacyImageState = LegacyState::F;
    std::vector<uint32_t> sendTimes;
    auto inner = [this, &sendTimes](std::span<const uint8_t> bytes) {
        if (bytes.size() > 4) {
            sendTimes.push_back(fake::Now());
        }
        loader.OnWrite(bytes);
    };
    fake::SetResponder(inner);
    // The refused packet is repeated 10 ms later.
    ASSERT_EQ(Run(LegacyTransfer10, test::RandomBytes(100, 1)), 0);
    ASSERT_EQ(sendTimes.size(), 2u);
    EXPECT_GE(sendTimes[1] - sendTimes[0], 10u);

    // A write that fails is reported, its reply awaited all the same, and the packet repeated.
    fake::Reset();
    loader = ScriptedLoader{};
    loader.Install();
    fake::SetResponder([this](std::span<const uint8_t> bytes) {
        if (loader.lengthSeen && loader.packets.empty() && bytes.size() > 4) {
            fake::FailWrites(5, 1);  // the first send of packet 1
        }
        loader.OnWrite(bytes);
    });
    LegacyImageState = LegacyState::F;
    // Packet 0 is accepted, the first send of packet 1 fails (no reply: a refusal), its repeat
    // is accepted.
    ASSERT_EQ(Run(LegacyTransfer10, test::RandomBytes(300, 2)), 0);
    EXPECT_NE(output.find("\nERROR write packet 5\n"), std::string::npos) << output;
    EXPECT_NE(output.find("\nerror read character 536870914\n"), std::string::npos) << output;
    EXPECT_EQ(loader.received.size(), 300u);
}

TEST_F(LegacyTransferTest, PrintsADotForEveryTenthAcceptedPacket) {
    struct Case {
        size_t packets;
        std::string dots;
    };
    for (const Case& c :
         {Case{1, "."}, Case{10, "."}, Case{11, ".."}, Case{20, ".."}, Case{21, "..."}}) {
        SCOPED_TRACE(c.packets);
        fake::Reset();
        loader = ScriptedLoader{};
        loader.Install();
        LegacyImageState = LegacyState::R;  // no reports: the output is the dots alone
        ASSERT_EQ(Run(LegacyTransfer10, std::vector<uint8_t>(c.packets * 253, 1)), 0);
        EXPECT_EQ(output, c.dots);
    }
}

TEST_F(LegacyTransferTest, TypeByteAndMessageFollowTheImageState) {
    struct Case {
        LegacyState state;
        uint8_t type;
        const char* message;
        bool reports;
    };
    const Case cases[] = {
        {LegacyState::A, 0x55, "sending flashimage\n", true},
        {LegacyState::S, 0x99, "sending flashimage\n", true},
        {LegacyState::R, 0x66, "", false},
        {LegacyState::C, 0x66, "", false},
        {LegacyState::F, 0x77, "sending factory settings\n", true},
        {LegacyState::B, 0x88, "", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<char>(c.state));
        fake::Reset();
        loader = ScriptedLoader{};
        if (!c.reports) {
            loader.reports.clear();  // a loader for RAM sends none, and none are awaited
        }
        loader.Install();
        LegacyImageState = c.state;
        ASSERT_EQ(Run(LegacyTransfer10, std::vector<uint8_t>(300, 0x33)), 0);
        EXPECT_EQ(loader.type, c.type);
        EXPECT_EQ(output.rfind(c.message, 0), 0u) << output;
        const bool reported = output.find(
                                  " no errors\nerasing flash, please wait... no errors\n"
                                  "flashing image, please wait... ready.\n") != std::string::npos;
        EXPECT_EQ(reported, c.reports) << output;
        EXPECT_EQ(fake::PendingFromBox(), 0u);
    }
}

TEST_F(LegacyTransferTest, FollowsTheFlashReports) {
    struct Case {
        const char* name;
        std::vector<std::pair<uint32_t, uint8_t>> reports;
        int result;
        const char* tail;  // end of the output
    };
    const Case cases[] = {
        {"all well, slow flash",
         {{900, 0x04}, {19000, 0x05}, {19000, 0x06}},
         0,
         ". no errors\nerasing flash, please wait... no errors\nflashing image, please wait... "
         "ready.\n"},
        {"no transfer report", {}, 1, ".Error, timeout -> good by\n"},
        {"transfer report too late", {{1100, 0x04}}, 1, ".Error, timeout -> good by\n"},
        {"wrong transfer report", {{5, 0x07}}, 1, ".Error erasing flash -> exit\n"},
        {"erase fails",
         {{5, 0x04}, {5, 0x09}},
         1,
         " no errors\nerasing flash, please wait... Error erasing flash -> exit: 09\n"},
        {"erase never ends",
         {{5, 0x04}},
         1,
         " no errors\nerasing flash, please wait... Error, timeout -> exit\n"},
        {"erase too slow",
         {{5, 0x04}, {21000, 0x05}},
         1,
         " no errors\nerasing flash, please wait... Error, timeout -> exit\n"},
        {"programming fails",
         {{5, 0x04}, {5, 0x05}, {5, 0x0A}},
         1,
         "flashing image, please wait... Error writing image -> exit\n"},
        {"programming never ends",
         {{5, 0x04}, {5, 0x05}},
         1,
         "flashing image, please wait... Error, timeout -> exit\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake::Reset();
        loader = ScriptedLoader{};
        loader.reports = c.reports;
        loader.Install();
        LegacyImageState = LegacyState::F;
        EXPECT_EQ(Run(LegacyTransfer10, std::vector<uint8_t>(10, 1)), c.result);
        const std::string tail = c.tail;
        ASSERT_GE(output.size(), tail.size()) << output;
        EXPECT_EQ(output.substr(output.size() - tail.size()), tail) << output;
    }
}

TEST_F(LegacyTransferTest, RepeatsTheTypeByteUntilTheLoaderAnswers) {
    // A loader that needs minutes to get ready still gets the image.
    loader.ignoreTypeBytes = 3000;
    loader.Install();
    LegacyImageState = LegacyState::F;
    ASSERT_EQ(Run(LegacyTransfer10, std::vector<uint8_t>(10, 1)), 0);
    EXPECT_EQ(loader.typeBytes, 3001);
    const std::vector<uint8_t>& written = fake::Written();
    for (int i = 0; i < 3001; ++i) {
        ASSERT_EQ(written[static_cast<size_t>(i)], 0x77) << i;
    }
    EXPECT_EQ(written[3001], 0x00) << "the length follows the answered type byte";
    // 100 ms pause, then one try every 50 ms.
    EXPECT_GE(fake::Now(), 100u + 3000u * 50u);
}

TEST_F(LegacyTransferTest, FailsSilentlyWhenTheTypeByteIsNotAccepted) {
    loader.typeReply = 0x15;
    loader.Install();
    LegacyImageState = LegacyState::F;
    EXPECT_EQ(Run(LegacyTransfer10, std::vector<uint8_t>(10, 1)), 1);
    EXPECT_EQ(fake::Written(), Bytes({0x77})) << "neither length nor packets follow";
    EXPECT_EQ(output, "sending factory settings\n");
}

// The data the loader received, with the rest behind 0x4000 decompressed.
std::vector<uint8_t> Decompressed(const std::vector<uint8_t>& received) {
    std::vector<char> out(4u << 20);
    unsigned int outLength = static_cast<unsigned int>(out.size());
    std::vector<char> in(received.begin() + 0x4000, received.end());
    EXPECT_EQ(BZ2_bzBuffToBuffDecompress(out.data(), &outLength, in.data(),
                                         static_cast<unsigned int>(in.size()), 0, 0),
              BZ_OK);
    std::vector<uint8_t> image(received.begin(), received.begin() + 0x4000);
    image.insert(image.end(), out.begin(), out.begin() + outLength);
    return image;
}

TEST_F(LegacyTransferTest, CompressesApplicationImagesForThe11And12LoadersOnly) {
    struct Case {
        const char* name;
        Transfer transfer;
        LegacyState state;
        bool compressed;
    };
    const Case cases[] = {
        {"11.x, A", LegacyTransfer11, LegacyState::A, true},
        {"12.x, A", LegacyTransfer12, LegacyState::A, true},
        {"10.0, A", LegacyTransfer10, LegacyState::A, false},
        {"11.x, S", LegacyTransfer11, LegacyState::S, false},
        {"12.x, F", LegacyTransfer12, LegacyState::F, false},
        {"11.x, R", LegacyTransfer11, LegacyState::R, false},
        {"12.x, B", LegacyTransfer12, LegacyState::B, false},
        {"11.x, C", LegacyTransfer11, LegacyState::C, false},
    };
    const std::vector<uint8_t> payload = CompressibleImage(0x4000 + 200000);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake::Reset();
        loader = ScriptedLoader{};
        if (c.state == LegacyState::R || c.state == LegacyState::C) {
            loader.reports.clear();
        }
        loader.Install();
        LegacyImageState = c.state;
        ASSERT_EQ(Run(c.transfer, payload), 0) << output;
        EXPECT_EQ(loader.length, length) << "the announced length is the length handed back";
        EXPECT_EQ(loader.received.size(), length);
        if (c.compressed) {
            EXPECT_LT(length, payload.size() / 4);
            EXPECT_TRUE(
                std::equal(payload.begin(), payload.begin() + 0x4000, loader.received.begin()))
                << "the first 0x4000 bytes go as they are";
            EXPECT_EQ(Decompressed(loader.received), payload);
        } else {
            EXPECT_EQ(length, payload.size());
            EXPECT_EQ(loader.received, payload);
        }
    }
}

TEST_F(LegacyTransferTest, MeasuresTheLimitOnTheCompressedLength) {
    // Random bytes do not shrink: compressed, an image 100 bytes below the 11.x maximum
    // exceeds it.
    std::vector<uint8_t> payload = CompressibleImage(0x4000);
    const std::vector<uint8_t> rest = test::RandomBytes(Max11 - 0x4000 - 100, 9);
    payload.insert(payload.end(), rest.begin(), rest.end());
    loader.Install();
    ASSERT_EQ(Run(LegacyTransfer11, payload, 16384), 1);
    EXPECT_GT(length, Max11);
    EXPECT_NE(output.find("(compressed size=" + std::to_string(length) + ", max=344060)\n"),
              std::string::npos)
        << output;
    EXPECT_EQ(loader.length, 0u);
}

TEST_F(LegacyTransferTest, CompressesAnIncompressibleRestInsideTheLoadedBlock) {
    // LoadLegacyImage leaves room behind the payload: the compressed rest, larger than the
    // rest itself, still fits (AddressSanitizer would report a write past the block).
    std::vector<uint8_t> payload = CompressibleImage(0x4000);
    const std::vector<uint8_t> rest = test::RandomBytes(250000, 4);
    payload.insert(payload.end(), rest.begin(), rest.end());
    const std::string path = test::TempDir() + "/random.pad";
    ASSERT_TRUE(test::WriteFileBytes(path, test::MakePad(payload, 5, 4, 0x000B0001)));
    LegacyImage image;
    ASSERT_EQ(LoadLegacyImage(path.c_str(), image), 1);

    loader.Install();
    testing::internal::CaptureStdout();
    const int result = LegacyTransfer11(Link, image.payload.get(), image.payloadCapacity,
                                        image.payloadLength, 0x4000);
    output = testing::internal::GetCapturedStdout();
    ASSERT_EQ(result, 0) << output;
    EXPECT_GT(image.payloadLength, payload.size());
    EXPECT_LE(image.payloadLength, image.payloadCapacity);
    EXPECT_EQ(Decompressed(loader.received), payload);
}

TEST_F(LegacyTransferTest, FailsBeforeSendingWhenTheImageIsShorterThanTheCompressionStart) {
    loader.Install();
    EXPECT_EQ(Run(LegacyTransfer12, std::vector<uint8_t>(0x3FFF, 1)), 1);
    EXPECT_TRUE(fake::Written().empty());
}

}  // namespace
