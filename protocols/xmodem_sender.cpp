// The two X-modem senders (checksum mode, 128-byte blocks): one pushes a file, the other the
// start of the image buffer.
//
// The transfer is driven by the box: the first NAK (or CAN) asks for block 1, every ACK moves
// on to the next block and every NAK or CAN repeats the current one. After the last block the
// EOT byte goes out and the sender returns without waiting for its acknowledgement.
#include "protocols/xmodem_sender.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <span>

#include "common/messages.h"
#include "image/pad_image.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "platform/platform.h"
#include "protocols/failure_report.h"
#include "serial/port.h"

namespace {

constexpr uint8_t Soh = 0x01;
constexpr uint8_t Eot = 0x04;
constexpr uint8_t Ack = 0x06;
constexpr uint8_t Nak = 0x15;
constexpr uint8_t Can = 0x18;

constexpr uint32_t DataSize = 128;
constexpr uint32_t BlockSize = DataSize + 4;
// Progress: each acknowledged block adds 100 x 132 to the sum, and the total is 132 per block,
// so sum / total is the percentage of blocks acknowledged.
constexpr uint64_t ProgressPerBlock = uint64_t{100} * BlockSize;
// Silence on the line after which the sender says it is still trying: 5 s without a single
// byte from the box. Waiting for each acknowledgement is most of a healthy transfer, so only
// silence that lasts counts, not the waits added up.
constexpr uint32_t SilenceNoticeMs = 5000;

// The buffer sender's blocks never reach past the buffer: every block starts at a multiple of
// 128 below n <= ImageBufferSize.
static_assert(ImageBufferSize % DataSize == 0);

// What fills the data field of the next block.
enum class Fill { Data, End, ReadError };

// The block being sent: SOH, number, complement, 128 data bytes, checksum. Byte 0 becomes EOT
// when the data has run out.
struct Block {
    std::array<uint8_t, BlockSize> bytes{};
    uint8_t number = 1;

    std::span<uint8_t, DataSize> Data() {
        return std::span<uint8_t, DataSize>(&bytes[3], DataSize);
    }

    void Head() {
        bytes[0] = Soh;
        bytes[1] = number;
        bytes[2] = static_cast<uint8_t>(0xFF - number);
    }
    void Seal() {
        uint8_t sum = 0;
        for (uint8_t b : Data()) {
            sum = static_cast<uint8_t>(sum + b);
        }
        bytes[BlockSize - 1] = sum;
    }
};

// Writes all bytes. A write call that ran into the link's write limit has taken part of them
// and is simply continued with the rest; any other failure ends the transfer.
bool SendAll(SerialLink link, const uint8_t* data, uint32_t length) {
    while (length > 0) {
        uint32_t written = 0;
        if (PortWrite(link, data, length, written) == 1) {
            return true;
        }
        if (GetLastErrorValue() != ErrorCounterTimeout || written > length) {
            return false;
        }
        data += written;
        length -= written;
    }
    return true;
}

// Waits for the box without using the processor, at most `mostMs`, and counts the silence
// since the box's last byte. After each 5 seconds of it, StillTryingToSend tells the user that
// the sender is still trying.
void WaitForBox(SerialLink link, uint32_t& silentMs, uint32_t mostMs) {
    const uint32_t start = ClockMs();
    PortWaitReadable(link, std::min(SilenceNoticeMs - silentMs, mostMs));
    silentMs += ElapsedMs(start);
    if (silentMs >= SilenceNoticeMs) {
        std::printf("%s\n", messageText(Message::StillTryingToSend));
        std::fflush(stdout);
        silentMs %= SilenceNoticeMs;
    }
}

// Steps of both senders from block 1 on: `next` fills the data field of the following block
// (and prints its own error line on a read error). `blocks` is the number of data blocks.
// Returns 0 when every block and the EOT went out, 1 on failure. A limit (not 0) ends the
// transfer with ErrorTimeout, silently, once it has passed.
template <typename NextData>
int RunTransfer(SerialLink link, uint64_t blocks, Block& block, NextData next,
                uint32_t limitMs = 0) {
    const uint32_t start = ClockMs();
    const uint64_t progressTotal = BlockSize * blocks;
    uint64_t progressSum = 0;
    uint32_t lastPercent = 0;
    uint32_t silentMs = 0;
    int result = 0;

    SleepMs(0);
    for (;;) {
        if (limitMs != 0 && ElapsedMs(start) > limitMs) {
            SetLastErrorValue(ErrorTimeout);
            result = 1;
            break;
        }
        uint8_t byte = 0;
        uint32_t got = 0;
        if (PortRead(link, &byte, 1, got) != 1) {
            ReportFailure("Error during read from COM1", GetLastErrorValue());
            result = 1;
            break;
        }
        if (got == 0) {
            // Without a limit the wait is cut only by the silence notice; with one, it ends
            // just past the limit, so that the check above sees it passed.
            const uint32_t mostMs =
                limitMs == 0 ? WaitForever : limitMs - std::min(ElapsedMs(start), limitMs) + 1;
            WaitForBox(link, silentMs, mostMs);
            continue;
        }
        silentMs = 0;  // the box has said something: the silence starts again
        const uint8_t* out = nullptr;
        uint32_t outLength = 0;
        if (byte == Ack) {
            ++block.number;
            progressSum += ProgressPerBlock;
            const auto percent = static_cast<uint32_t>(progressSum / progressTotal);
            if (percent > lastPercent) {
                std::printf("%3d %% transmitted\r", static_cast<int>(percent));
                std::fflush(stdout);
            }
            lastPercent = percent;
            block.Head();
            const Fill fill = next(block.Data());
            if (fill == Fill::ReadError) {
                result = 1;
                break;
            }
            if (fill == Fill::End) {
                block.bytes[0] = Eot;
                out = block.bytes.data();
                outLength = 1;
            } else {
                block.Seal();
                out = block.bytes.data();
                outLength = BlockSize;
            }
        } else if (byte == Nak || byte == Can) {
            out = block.bytes.data();
            outLength = BlockSize;
        }
        if (out != nullptr && !SendAll(link, out, outLength)) {
            ReportFailure("Error during write to COM", GetLastErrorValue());
            result = 1;
            break;
        }
        if (block.bytes[0] != Soh) {
            break;  // the EOT went out; its acknowledgement is not awaited
        }
        SleepMs(0);
    }
    std::printf("                              \r");
    std::fflush(stdout);
    return result;
}

// A failure of the image file: "<what> <file>"; the log notes `what`. Gives 1.
int FileFailed(const char* what, const char* fileName) {
    ReportFailureText(ErrorOutput(), what, GetLastErrorValue(), nullptr, "%s %s\n", what, fileName);
    return 1;
}

uint64_t BlockCount(uint64_t size) {
    return (size + DataSize - 1) / DataSize;
}

}  // namespace

int XmodemSendFile(SerialLink link, const char* fileName) {
    File file = File::OpenRead(fileName);
    if (!file.IsOpen()) {
        return FileFailed("Cannot open file", fileName);
    }
    uint64_t size = 0;
    if (file.Size(size) != 1) {
        return FileFailed("Cannot determine size of file", fileName);
    }

    // A short last read leaves the rest of the data field as the block before left it.
    Block block;
    block.Head();
    uint32_t got = 0;
    if (file.Read(block.Data().data(), DataSize, got) != 1) {
        return FileFailed("Error during read from file", fileName);
    }
    if (got == 0) {
        return FileFailed("Unexpected end of file", fileName);
    }
    block.Seal();

    return RunTransfer(link, BlockCount(size), block, [&](std::span<uint8_t, DataSize> data) {
        uint32_t read = 0;
        if (file.Read(data.data(), DataSize, read) != 1) {
            (void)FileFailed("Error during read from file", fileName);
            return Fill::ReadError;
        }
        return read == 0 ? Fill::End : Fill::Data;
    });
}

int XmodemSendBuffer(SerialLink link, uint32_t n, uint32_t limitMs) {
    // Nothing to send, or more than the buffer holds: refused before anything goes out, so that
    // neither the progress nor a block can reach outside the buffer.
    if (n == 0 || n > ImageBufferSize) {
        ReportFailureText(ErrorOutput(), "Cannot send bytes from the image buffer", 0, nullptr,
                          "Cannot send %u bytes from the image buffer\n", n);
        return 1;
    }
    Block block;
    block.Head();
    uint32_t offset = 0;
    auto take = [&](std::span<uint8_t, DataSize> data) {
        std::copy_n(ImageBuffer.begin() + offset, DataSize, data.begin());
        offset += DataSize;
    };
    take(block.Data());
    block.Seal();

    return RunTransfer(
        link, BlockCount(n), block,
        [&](std::span<uint8_t, DataSize> data) {
            if (offset >= n) {
                return Fill::End;
            }
            take(data);
            return Fill::Data;
        },
        limitMs);
}
