// The image transfer of the legacy loaders: a type byte, optionally an in-place compression, the
// length, the payload in small checksummed packets that the box acknowledges one by one, and
// the box's flash erase and programming reports.
#include "protocols/legacy_transfer.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <optional>
#include <span>

#include "common/messages.h"
#include "image/compression.h"
#include "platform/clock.h"
#include "platform/platform.h"
#include "protocols/failure_report.h"
#include "protocols/legacy_image.h"
#include "protocols/time_limits.h"
#include "serial/serial_link.h"

namespace {

// What tells the three loader generations apart.
struct TransferVariant {
    bool compresses;  // state A images are compressed from compressFrom on
    uint32_t maximumLength;
};
constexpr TransferVariant Variant10{.compresses = false, .maximumLength = 0xDC000};
constexpr TransferVariant Variant11{.compresses = true, .maximumLength = 0x53FFC};
constexpr TransferVariant Variant12{.compresses = true, .maximumLength = 0x53FFC};

constexpr uint32_t TypeReplyLimitMs = 50;
constexpr uint32_t PacketReplyLimitMs = 1000;
constexpr uint32_t TransferReportLimitMs = 1000;
constexpr uint32_t FlashReportLimitMs = 20000;
constexpr uint32_t RepeatPauseMs = 10;
// The pause before the first type byte goes out.
constexpr uint32_t TypeBytePauseMs = 100;

constexpr uint8_t TypeAccepted = 0xFE;
constexpr uint8_t PacketAccepted = 0x00;
constexpr uint8_t TransferDone = 0x04;
constexpr uint8_t EraseDone = 0x05;
constexpr uint8_t ProgramDone = 0x06;

constexpr uint8_t PacketMark = 0x55;
constexpr uint32_t PacketDataMaximum = 253;
constexpr int RepeatMaximum = 50;

struct TypeByte {
    uint8_t value;
    std::optional<Message> announcement;  // printed before the transfer
};

TypeByte TransferTypeByte(LegacyState state) {
    switch (state) {
        case LegacyState::A:
            return {0x55, Message::SendingFlashImage};
        case LegacyState::S:
            return {0x99, Message::SendingFlashImage};
        case LegacyState::R:
        case LegacyState::C:
            return {0x66, std::nullopt};
        case LegacyState::F:
            return {0x77, Message::SendingFactorySettings};
        case LegacyState::B:
        default:
            return {0x88, std::nullopt};
    }
}

// Reads one byte within limitMs. Tells a silent box (false, reason ErrorTimeout) from a failed
// read (false, the read's reason), which ReadByteTimed alone does not.
bool ReadReply(SerialLink link, uint8_t& byte, uint32_t limitMs) {
    SetLastErrorValue(0);
    if (ReadByteTimed(link, byte, limitMs) == 1) {
        return true;
    }
    if (GetLastErrorValue() == 0) {
        SetLastErrorValue(ErrorTimeout);
    }
    return false;
}

// After a stage's failure line: when the port call found the device gone, the line that says
// so follows and the stage ends, as nothing on this handle can succeed any more. False for any
// other reason, which the stage may try again.
bool ReportedDeviceGone() {
    if (GetLastErrorValue() != ErrorOperationAborted) {
        return false;
    }
    PrintHint(FailureHint(ErrorOperationAborted));
    return true;
}

// Type byte, compression and length. 1 when the box may receive the packets.
int StartLegacyTransfer(SerialLink link, uint8_t* payload, uint32_t payloadCapacity,
                        uint32_t& payloadLength, uint32_t compressFrom,
                        const TransferVariant& variant) {
    const TypeByte type = TransferTypeByte(LegacyImageState);
    if (type.announcement) {
        std::printf("%s\n", messageText(*type.announcement));
        std::fflush(stdout);
    }
    if (LegacyImageState == LegacyState::A && variant.compresses) {
        // The block has room behind the payload, so even a rest that bzip2 cannot shrink fits.
        if (CompressImageRange(std::span<uint8_t>(payload, payloadCapacity), payloadLength,
                               compressFrom) != 0) {
            return 0;
        }
    }
    SleepMs(TypeBytePauseMs);

    // The box answers the type byte only once it is ready; until then the byte is repeated,
    // without limit. Each try waits on the port for the answer.
    uint8_t reply = 0;
    for (;;) {
        // A send that failed shows as a missing answer, and the byte is repeated.
        (void)SendTimed(link, &type.value, 1, SendLimitMs);
        if (ReadReply(link, reply, TypeReplyLimitMs)) {
            break;
        }
        if (GetLastErrorValue() != ErrorTimeout) {
            // The port itself has failed (the device went away): no answer can come. Reported
            // as the packets report a failed read.
            std::printf("\nerror read character %d\n", static_cast<int>(GetLastErrorValue()));
            PrintHint(FailureHint(GetLastErrorValue()));
            return 0;
        }
    }
    if (reply != TypeAccepted) {
        return 0;
    }

    uint32_t announced = payloadLength;
    const bool tooLong = payloadLength > variant.maximumLength;
    if (tooLong) {
        std::printf("%s=%i, max=%i)\n", messageText(Message::FileTooLong),
                    static_cast<int>(payloadLength), static_cast<int>(variant.maximumLength));
        announced = 0;
    }
    const std::array<uint8_t, 3> length{static_cast<uint8_t>(announced >> 16),
                                        static_cast<uint8_t>(announced >> 8),
                                        static_cast<uint8_t>(announced)};
    if (SendTimed(link, length.data(), 3, SendLimitMs) != 1) {
        return 0;
    }
    return tooLong ? 0 : 1;
}

// The payload in packets of up to 253 bytes, each repeated until the box accepts it (at most
// 51 sends in a row). 1 when every packet was accepted.
int SendLegacyPackets(SerialLink link, const uint8_t* payload, uint32_t payloadLength) {
    std::array<uint8_t, PacketDataMaximum + 4> packet{};
    uint32_t position = 0;
    int packetCount = 0;
    int repeats = 0;
    while (position < payloadLength) {
        const uint32_t n = std::min(PacketDataMaximum, payloadLength - position);
        packet[0] = PacketMark;
        packet[1] = PacketMark;
        packet[2] = static_cast<uint8_t>(n + 2);
        uint8_t sum = 0;
        for (uint32_t i = 0; i < n; ++i) {
            packet[3 + i] = payload[position + i];
            sum = static_cast<uint8_t>(sum + payload[position + i]);
        }
        packet[3 + n] = sum;

        for (;;) {
            if (SendTimed(link, packet.data(), n + 4, SendLimitMs) != 1) {
                std::printf("\nERROR write packet %d\n", static_cast<int>(GetLastErrorValue()));
                if (ReportedDeviceGone()) {
                    return 0;
                }
            }
            uint8_t reply = 0;
            if (!ReadReply(link, reply, PacketReplyLimitMs)) {
                std::printf("\nerror read character %d\n", static_cast<int>(GetLastErrorValue()));
                if (ReportedDeviceGone()) {
                    return 0;
                }
                reply = 0xFF;  // no reply counts as a refusal
            }
            if (reply == PacketAccepted) {
                break;
            }
            if (++repeats > RepeatMaximum) {
                return 0;
            }
            PortFlush(link);
            SleepMs(RepeatPauseMs);
        }
        if (packetCount % 10 == 0) {
            std::printf(".");
            std::fflush(stdout);
        }
        ++packetCount;
        repeats = 0;
        position += n;
    }
    return 1;
}

// The box's reports of the end of the transfer, the erase and the programming, in their order:
// the report awaited, the lines for a missing and for another report, the line once it came.
struct FlashReport {
    uint32_t limitMs;
    uint8_t expected;
    const char* missingLine;
    Message failure;
    bool failureShowsReport;  // the other report's value follows the failure text
    Message next;
    bool nextEndsLine;
};
constexpr std::array<FlashReport, 3> FlashReports{{
    {TransferReportLimitMs, TransferDone, "Error, timeout -> good by\n", Message::ErrorErasingFlash,
     false, Message::ErasingFlashPleaseWait, false},
    {FlashReportLimitMs, EraseDone, "Error, timeout -> exit\n", Message::ErrorErasingFlash, true,
     Message::FlashingImagePleaseWait, false},
    {FlashReportLimitMs, ProgramDone, "Error, timeout -> exit\n", Message::ErrorWritingImage, false,
     Message::Ready, true},
}};

int AwaitFlashVerdict(SerialLink link) {
    for (const FlashReport& step : FlashReports) {
        uint8_t report = 0;
        if (!ReadReply(link, report, step.limitMs)) {
            std::fputs(step.missingLine, stdout);
            (void)ReportedDeviceGone();
            return 0;
        }
        if (report != step.expected) {
            std::printf("%s", messageText(step.failure));
            if (step.failureShowsReport)
                std::printf(": %02x", report);
            std::printf("\n");
            return 0;
        }
        std::printf(step.nextEndsLine ? "%s\n" : "%s", messageText(step.next));
        std::fflush(stdout);
    }
    return 1;
}

int LegacyTransfer(SerialLink link, uint8_t* payload, uint32_t payloadCapacity,
                   uint32_t& payloadLength, uint32_t compressFrom, const TransferVariant& variant) {
    if (StartLegacyTransfer(link, payload, payloadCapacity, payloadLength, compressFrom, variant) !=
        1) {
        return 1;
    }
    if (SendLegacyPackets(link, payload, payloadLength) != 1) {
        return 1;
    }
    // An image for RAM is not flashed: the box sends no reports.
    if (LegacyImageState == LegacyState::R || LegacyImageState == LegacyState::C) {
        return 0;
    }
    return AwaitFlashVerdict(link) == 1 ? 0 : 1;
}

}  // namespace

int LegacyTransfer10(SerialLink link, uint8_t* payload, uint32_t payloadCapacity,
                     uint32_t& payloadLength, uint32_t compressFrom) {
    return LegacyTransfer(link, payload, payloadCapacity, payloadLength, compressFrom, Variant10);
}

int LegacyTransfer11(SerialLink link, uint8_t* payload, uint32_t payloadCapacity,
                     uint32_t& payloadLength, uint32_t compressFrom) {
    return LegacyTransfer(link, payload, payloadCapacity, payloadLength, compressFrom, Variant11);
}

int LegacyTransfer12(SerialLink link, uint8_t* payload, uint32_t payloadCapacity,
                     uint32_t& payloadLength, uint32_t compressFrom) {
    return LegacyTransfer(link, payload, payloadCapacity, payloadLength, compressFrom, Variant12);
}
