// The acknowledged block transfer: the prefix-coding file reader and the sender that pushes a
// file to a menu-driven bootloader in 10,240-byte blocks while it watches the box's replies.
#include "protocols/block_transfer.h"

#include <algorithm>
#include <cstdio>
#include <string_view>

#include "common/errors.h"
#include "common/messages.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "platform/platform.h"
#include "protocols/failure_report.h"
#include "serial/port.h"
#include "serial/serial_link.h"

// A static code: frequent byte values get short codes; 0x00 takes the two bits 00. Each entry
// is the code length and the code value (its low `length` bits, most significant bit first).
// Eight byte values per line, in byte order.
// clang-format off
const std::array<ByteCode, 256> ByteCodeTable{{
    {2, 0x0}, {6, 0x19}, {7, 0x40}, {5, 0xD}, {7, 0x49}, {7, 0x53}, {8, 0xB5}, {8, 0xC3},  // 0x00
    {6, 0x21}, {8, 0xBB}, {9, 0x1B1}, {10, 0x3B0}, {8, 0xBC}, {10, 0x381}, {9, 0x195}, {7, 0x41},  // 0x08
    {5, 0xB}, {7, 0x4D}, {9, 0x194}, {9, 0x198}, {6, 0x27}, {9, 0x1C1}, {9, 0x1BC}, {9, 0x1B3},  // 0x10
    {6, 0x23}, {8, 0xA4}, {10, 0x3E3}, {10, 0x3C6}, {8, 0xB2}, {12, 0xFC0}, {9, 0x1BD}, {10, 0x3C7},  // 0x18
    {5, 0x9}, {5, 0x8}, {10, 0x3BC}, {10, 0x3A0}, {5, 0xA}, {8, 0xC6}, {9, 0x1B6}, {7, 0x45},  // 0x20
    {7, 0x55}, {11, 0x7D2}, {9, 0x1B7}, {10, 0x398}, {8, 0xBD}, {10, 0x3DD}, {8, 0xDF}, {10, 0x3B1},  // 0x28
    {7, 0x51}, {9, 0x1CE}, {10, 0x3B3}, {9, 0x1C3}, {8, 0xA9}, {10, 0x3D6}, {11, 0x7C3}, {9, 0x1A0},  // 0x30
    {7, 0x57}, {8, 0xCE}, {11, 0x7F3}, {11, 0x7F7}, {8, 0xA0}, {10, 0x3E7}, {11, 0x7B9}, {10, 0x3CA},  // 0x38
    {8, 0xA5}, {10, 0x3A9}, {8, 0xCF}, {11, 0x781}, {9, 0x1B9}, {10, 0x399}, {11, 0x7D4}, {11, 0x7DB},  // 0x40
    {9, 0x1D3}, {10, 0x3C2}, {11, 0x7E4}, {10, 0x3B4}, {9, 0x1D5}, {9, 0x1A1}, {9, 0x1D7}, {9, 0x1C7},  // 0x48
    {9, 0x1BA}, {12, 0xFE1}, {9, 0x1CD}, {9, 0x1C6}, {9, 0x1AC}, {10, 0x3B5}, {10, 0x3C4}, {12, 0xFD1},  // 0x50
    {10, 0x3A1}, {10, 0x3A8}, {12, 0xFED}, {11, 0x7E9}, {10, 0x3E5}, {12, 0xFE0}, {11, 0x7DA}, {10, 0x3BD},  // 0x58
    {8, 0xB8}, {7, 0x5B}, {10, 0x3C9}, {10, 0x390}, {9, 0x199}, {8, 0xB3}, {11, 0x7B8}, {10, 0x3B9},  // 0x60
    {10, 0x3A4}, {9, 0x188}, {11, 0x7E7}, {9, 0x1D1}, {9, 0x190}, {9, 0x1DD}, {9, 0x181}, {8, 0xC9},  // 0x68
    {9, 0x180}, {10, 0x3EB}, {8, 0xC5}, {9, 0x1B8}, {8, 0xBF}, {9, 0x1CA}, {10, 0x3DE}, {11, 0x7E5},  // 0x70
    {9, 0x1A4}, {11, 0x780}, {11, 0x7EB}, {12, 0xFF5}, {10, 0x3D4}, {12, 0xFF7}, {11, 0x7D1}, {10, 0x3B8},  // 0x78
    {7, 0x48}, {10, 0x3D2}, {10, 0x3C3}, {10, 0x3AD}, {8, 0xC1}, {9, 0x1DB}, {8, 0xC2}, {8, 0xCB},  // 0x80
    {9, 0x1C5}, {12, 0xFD8}, {10, 0x3D9}, {11, 0x7E1}, {9, 0x191}, {10, 0x391}, {8, 0xBA}, {6, 0x18},  // 0x88
    {9, 0x1B5}, {11, 0x7D9}, {10, 0x3D7}, {10, 0x3D1}, {10, 0x3B2}, {12, 0xFE5}, {10, 0x3D5}, {11, 0x7C0},  // 0x90
    {9, 0x1B0}, {8, 0xBE}, {13, 0x1FF1}, {13, 0x1FF0}, {11, 0x7C8}, {12, 0xFFB}, {11, 0x7C9}, {7, 0x4C},  // 0x98
    {8, 0xA8}, {10, 0x380}, {10, 0x3C1}, {9, 0x1C2}, {9, 0x1A2}, {9, 0x1AD}, {10, 0x3CC}, {10, 0x3C5},  // 0xA0
    {9, 0x1BB}, {12, 0xFF1}, {11, 0x7EE}, {11, 0x7EF}, {9, 0x1B4}, {10, 0x3C8}, {9, 0x1AB}, {5, 0xF},  // 0xA8
    {9, 0x1AA}, {11, 0x7B0}, {11, 0x7A1}, {10, 0x3CB}, {9, 0x1CF}, {9, 0x1C4}, {9, 0x1B2}, {12, 0xFF2},  // 0xB0
    {8, 0xD3}, {8, 0xC7}, {13, 0x1FFC}, {12, 0xFFD}, {10, 0x3EF}, {8, 0xB1}, {8, 0xCD}, {8, 0xB0},  // 0xB8
    {7, 0x44}, {11, 0x7C2}, {10, 0x3D3}, {10, 0x3DA}, {9, 0x1A8}, {11, 0x7C4}, {9, 0x1CB}, {10, 0x3CF},  // 0xC0
    {8, 0xB4}, {11, 0x7E3}, {12, 0xFD0}, {8, 0xB9}, {9, 0x1A3}, {11, 0x7DD}, {9, 0x1C9}, {9, 0x1DF},  // 0xC8
    {10, 0x3CE}, {13, 0x1FF5}, {13, 0x1FF4}, {12, 0xFEC}, {11, 0x7D3}, {11, 0x7EA}, {10, 0x3DF}, {13, 0x1FF9},  // 0xD0
    {9, 0x1A9}, {9, 0x1A5}, {12, 0xFFF}, {13, 0x1FFD}, {11, 0x7E2}, {13, 0x1FF8}, {10, 0x3AC}, {12, 0xFF4},  // 0xD8
    {6, 0x25}, {11, 0x7D8}, {12, 0xFF3}, {11, 0x7DC}, {10, 0x3DB}, {11, 0x7ED}, {11, 0x7F5}, {11, 0x7C5},  // 0xE0
    {11, 0x7B1}, {12, 0xFE8}, {12, 0xFF6}, {12, 0xFF9}, {11, 0x7CD}, {12, 0xFE4}, {11, 0x7CC}, {10, 0x3CD},  // 0xE8
    {7, 0x56}, {8, 0xA1}, {8, 0xD7}, {12, 0xFE9}, {11, 0x7D0}, {12, 0xFF0}, {11, 0x7D5}, {12, 0xFD9},  // 0xF0
    {9, 0x189}, {11, 0x7C1}, {11, 0x7F1}, {12, 0xFC1}, {10, 0x3A5}, {11, 0x7E6}, {11, 0x7A0}, {5, 0xE},  // 0xF8
}};
// clang-format on

std::array<uint8_t, TransferBlockSize + 1> ReplyBuffer{};

namespace {

constexpr uint32_t ColonLimit = 6;
constexpr uint32_t IdleSliceMs = 100;
constexpr uint32_t LeadInMarker = 0x11;
constexpr uint32_t LeadInSize = 2;
constexpr uint32_t RecordPauseMs = 1000;

struct WatchedTextRow {
    std::string_view text;
    uint32_t failure;
};
constexpr std::array<WatchedTextRow, WatchedTextCount> WatchedTexts{{
    {"Flash's manufacturer and/or device ids dont match!", ErrorFlashIdMismatch},
    {"ERROR:", ErrorBoxErrorText},
    {"STOP", ErrorBoxStop},
}};

// ---- Encoder state of ReadImageBlock -------------------------------------------------------
// The register is filled from its most significant bit downward; freeBits counts its low bits
// not yet filled (32: empty).
uint32_t bitAccumulator = 0;
uint32_t freeBits = 32;

// File bytes read ahead for the encoder, taken one at a time: reading the file byte by byte
// through the platform would cost more than the encoding itself.
std::array<uint8_t, 4096> InputBuffer{};
uint32_t inputPosition = 0;
uint32_t inputLength = 0;

std::array<uint8_t, TransferBlockSize> BlockBuffer{};

// Takes the top byte of the register into the block.
inline void DeliverTopByte(uint8_t* buffer, uint32_t& produced) {
    buffer[produced++] = static_cast<uint8_t>(bitAccumulator >> 24);
    bitAccumulator <<= 8;
    freeBits += 8;
}

}  // namespace

void ResetImageBlockReader() {
    bitAccumulator = 0;
    freeBits = 32;
    inputPosition = 0;
    inputLength = 0;
}

int ReadImageBlock(File& file, uint8_t* buffer, uint32_t wanted, uint32_t& produced,
                   uint32_t& consumed, Encoding encoding) {
    if (encoding == Encoding::Plain) {
        uint32_t got = 0;
        int ok = file.Read(buffer, wanted, got);
        produced = consumed = got;
        return ok;
    }
    produced = consumed = 0;
    if (wanted == 0) {
        return 1;
    }
    for (;;) {
        while (freeBits <= 24 && produced < wanted) {
            DeliverTopByte(buffer, produced);
        }
        if (produced == wanted) {
            return 1;  // pending bits stay in the register for the next block
        }
        if (inputPosition == inputLength) {
            inputPosition = 0;
            if (!file.Read(InputBuffer.data(), InputBuffer.size(), inputLength)) {
                inputLength = 0;
                return 0;
            }
        }
        if (inputLength == 0) {
            // End of the file: pad the last byte with 1-bits and deliver what is left.
            if (freeBits == 32) {
                return 1;
            }
            bitAccumulator |= (1u << freeBits) - 1;
            while (freeBits < 32 && produced < wanted) {
                DeliverTopByte(buffer, produced);
            }
            if (freeBits < 32) {
                return 1;  // the block is full; the next call delivers the rest
            }
            ResetImageBlockReader();
            return 1;
        }
        ++consumed;
        const ByteCode code = ByteCodeTable[InputBuffer[inputPosition++]];
        if (freeBits < code.length) {
            SetLastErrorValue(ErrorCodeOverflow);
            return 0;
        }
        freeBits -= code.length;
        bitAccumulator |= static_cast<uint32_t>(code.value) << freeBits;
    }
}

uint32_t ScanReply(ReplyScan& scan, std::span<const uint8_t> received) {
    for (uint8_t c : received) {
        bool advanced = false;
        for (std::size_t i = 0; i < WatchedTexts.size(); ++i) {
            if (i == std::size_t{WatchStop} && !scan.watchStop) {
                continue;
            }
            const std::string_view text = WatchedTexts[i].text;
            uint32_t& position = scan.matched[i];
            if (static_cast<uint8_t>(text[position]) == c) {
                advanced = true;
                if (++position == text.size()) {
                    return WatchedTexts[i].failure;
                }
            } else {
                // The mismatching character is not tried as the text's first character.
                position = 0;
            }
        }
        if (advanced) {
            continue;
        }
        switch (c) {
            case '.':
            case 'e':
            case 'p':
                scan.colons = 0;
                break;
            case ':':
            case ';':
                if (++scan.colons == ColonLimit) {
                    return ErrorBoxFlashReport;
                }
                break;
            case '?':
            case 'F':
            case 'U':
                return ErrorBoxFlashReport;
            default:
                break;
        }
    }
    return 0;
}

void PrintTransferProgress(uint32_t percentage) {
    std::printf("%4i %% %s       ", static_cast<int>(percentage),
                messageText(Message::Transferred));
    std::fputs("\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b", stdout);
    std::fflush(stdout);
}

uint32_t IdleWaitMs(uint32_t limitMs, uint32_t elapsedMs) {
    if (limitMs == NoTimeLimit) {
        return IdleSliceMs;
    }
    // One millisecond past the limit is the first moment at which it counts as exceeded.
    const uint32_t untilExceeded = elapsedMs > limitMs ? 1 : limitMs - elapsedMs + 1;
    return std::min(untilExceeded, IdleSliceMs);
}

int SendImageBlocks(SerialLink link, const char* fileName, uint32_t silenceLimitMs,
                    Progress progress, Encoding encoding, LeadIn leadIn) {
    enum class LeadInState { None, ExpectLeadIn, RecordNext, PausePending };
    uint32_t blockSize = TransferBlockSize;
    LeadInState leadInState = LeadInState::None;
    if (leadIn == LeadIn::Expected) {
        encoding = Encoding::Plain;
        blockSize = LeadInSize;
        leadInState = LeadInState::ExpectLeadIn;
    }

    // The file is closed on every way out when `file` goes out of scope.
    File file = File::OpenRead(fileName);
    if (!file.IsOpen()) {
        return 0;
    }
    uint64_t fileSize = 0;
    if (!file.Size(fileSize)) {
        return 0;
    }
    ResetImageBlockReader();

    ReplyScan scan;
    uint64_t progressNumerator = 0;  // 100 times the bytes taken from the file
    uint32_t shownPercentage = 0;
    uint32_t produced = 0;
    uint32_t consumed = 0;
    if (!ReadImageBlock(file, BlockBuffer.data(), blockSize, produced, consumed, encoding)) {
        return 0;
    }
    while (produced != 0) {
        switch (leadInState) {
            case LeadInState::ExpectLeadIn:
                if (produced == LeadInSize && BlockBuffer[0] == LeadInMarker &&
                    BlockBuffer[1] != 0) {
                    blockSize = BlockBuffer[1];
                    leadInState = LeadInState::RecordNext;
                } else {
                    // An empty record (length 0) is no record: the rest of the file follows at
                    // once instead of the transfer ending after the two lead-in bytes.
                    blockSize = TransferBlockSize;
                    leadInState = LeadInState::None;
                }
                break;
            case LeadInState::RecordNext:
                blockSize = TransferBlockSize;
                leadInState = LeadInState::PausePending;
                break;
            default:
                break;
        }

        uint32_t t0 = ClockMs();
        progressNumerator += 100ull * consumed;
        uint32_t sent = 0;
        while (sent < produced) {
            uint32_t written = 0;
            if (!PortWrite(link, BlockBuffer.data() + sent, produced - sent, written) &&
                GetLastErrorValue() != ErrorCounterTimeout) {
                return 0;  // the write error stays in the last-error value
            }
            PortClearErrors(link);
            if (leadInState == LeadInState::PausePending) {
                // Gives the box time to take in the record before the image follows.
                SleepMs(RecordPauseMs);
                leadInState = LeadInState::None;
            }
            uint32_t got = 0;
            if (!PortRead(link, ReplyBuffer.data(), TransferBlockSize, got)) {
                return 0;
            }
            ReplyBuffer[got] = 0;
            if (uint32_t failure = ScanReply(scan, std::span(ReplyBuffer.data(), got))) {
                SetLastErrorValue(failure);
                return 0;
            }
            sent += written;

            const bool idle = written == 0 && got == 0;
            if (idle) {
                if (silenceLimitMs != NoTimeLimit && ElapsedMs(t0) > silenceLimitMs) {
                    SetLastErrorValue(ErrorTimeout);
                    return 0;
                }
            } else {
                t0 = ClockMs();
            }
            if (progress == Progress::Shown && fileSize != 0) {
                const uint32_t percentage = static_cast<uint32_t>(progressNumerator / fileSize);
                if (percentage > shownPercentage) {
                    shownPercentage = percentage;
                    PrintTransferProgress(percentage);
                }
            }
            if (idle) {
                // Nothing moved: block until the box says something or the write may be tried
                // again, instead of polling the port in a busy loop.
                PortWaitReadable(link, IdleWaitMs(silenceLimitMs, ElapsedMs(t0)));
            }
        }
        if (!ReadImageBlock(file, BlockBuffer.data(), blockSize, produced, consumed, encoding)) {
            return 0;
        }
    }
    return 1;
}

void ReportTransferFailure(SerialLink link, uint32_t value) {
    const char* hint = FailureHint(value);
    switch (value) {
        case ErrorTimeout:
            ReportFailureOf(ErrorOutput(), Message::BoxDoesNotRespond, value, hint, "\n\n");
            break;
        case ErrorBoxFlashReport:
            ReportFailureOf(ErrorOutput(), Message::FlashErrorsAbort, value, hint, "\n\n");
            break;
        case ErrorFlashIdMismatch:
            ReportFailureOf(ErrorOutput(), Message::FlashIdsDontMatch, value, hint, "\n");
            break;
        case ErrorBoxErrorText:
            ReportFailureOf(ErrorOutput(), Message::Error, value, hint, "\n");
            break;
        default:
            ReportFailureOf(ErrorOutput(), Message::FatalError, value, hint, " %i\n\n",
                            static_cast<int>(value));
            break;
    }
    CloseSerialLink(link);
}
