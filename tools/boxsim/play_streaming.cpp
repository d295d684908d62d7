// The streaming bootloaders (12.4 to 12.6, 21.x to 24.x, 0.0): after the access the box says
// "Now start download", receives the whole PAD image by X-modem in checksum mode, checks it,
// programs its flash and says "finished!".
//
// The box starts the transfer with NAK (repeated while nothing comes), checks every block's
// start byte, number, complement and checksum, ACKs good blocks, NAKs damaged ones, ACKs a
// repeat of the block it already has, and ACKs the EOT. The last block is filled up beyond the
// end of the file with whatever the sender had there; the image's own length decides where the
// file ends.
//
// A 400-byte release block (00 00 01 91, then 396 times 0x12) instead of an image is the
// program giving the box back after a failed id check: it is logged as "release block received"
// and the box stays in its bootloader (no "finished!").
//
// Options:
//   --save FILE          the image received (without the filler of the last block)
//   --error-text TEXT    send TEXT (and CR LF) instead of the prompt or of "finished!"
//   --error-at start|end where TEXT goes (default start)
//   --nak-storm N        NAK every block N times before the ACK
//   --expect-id ID       the image must carry this software id in its tag and segment headers
//                        (the program patched it); its stored checksum may then be off
//   --flash-ms MS        time the box takes to program its flash (default 100)
// With --pace the box also takes each block no faster than the line rate.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "box_line.h"
#include "box_players.h"

namespace {

constexpr uint8_t Soh = 0x01;
constexpr uint8_t Eot = 0x04;
constexpr uint8_t Ack = 0x06;
constexpr uint8_t Nak = 0x15;

constexpr size_t DataSize = 128;
// A real receiver asks again when its start request goes unanswered.
constexpr int NakIntervalMs = 3000;
// Pause between the prompt and the first NAK, so that the program has taken the prompt.
constexpr int PromptToNakMs = 50;
// A block that arrives damaged this often in a row is the program's fault, not the line's.
constexpr int DamagedLimit = 10;

constexpr size_t ReleaseBlockSize = 400;
constexpr uint8_t ReleaseFill = 0x12;

constexpr size_t SegmentHeaderSize = 48;
constexpr size_t SegmentIdOffset = 16;
constexpr size_t SegmentLengthOffset = 32;

uint32_t BigEndian32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

void Pause(long ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

enum class Outcome { Received, Failed };

double NowMs() {
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

void SleepUntilMs(double ms) {
    const double left = ms - NowMs();
    if (left > 0) {
        std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(left));
    }
}

// The transfer as the box saw it, from the request that block 1 answered to the EOT, against
// the line's bound: per block 132 bytes and one reply byte, 10 bits each. The program's share of
// the rest is the time it took to answer the box (replies measured since `firstReply`); what
// remains is the box's own reply time. Only a paced box (`paced`) spends the line's time; a
// pseudo-terminal without pacing moves the bytes at once, so no line time is taken off then.
void LogTransferTime(BoxLine& line, size_t blocks, double startMs, size_t firstReply, bool paced) {
    const double ms = NowMs() - startMs;
    const uint32_t baud = line.BoxBaud();
    const double boundMs = 133.0 * static_cast<double>(blocks) * 10.0 * 1000.0 / baud;
    const double lineMs = paced ? boundMs : 0;
    const std::vector<double>& replies = line.ReplyLatenciesMs();
    double programMs = 0;
    for (size_t i = firstReply; i < replies.size(); ++i) {
        programMs += replies[i];
    }
    line.Log(
        "X-modem transfer: %zu blocks in %.0f ms (%.0f ms at the line rate of %u baud); "
        "program replies %.0f ms, box replies %.0f ms",
        blocks, ms, boundMs, baud, programMs, ms - lineMs - programMs);
}

// Receives blocks until the EOT; `data` gets every block's 128 bytes in order.
Outcome ReceiveXmodem(BoxLine& line, const BoxOptions& options, std::vector<uint8_t>& data) {
    const int step = options.StepTimeoutMs();
    const long storm = options.GetInt("nak-storm", 0);
    // With pacing a block is complete only when its last byte would have come down the line.
    const double byteMs = options.pace && line.BoxBaud() != 0 ? 10000.0 / line.BoxBaud() : 0;
    uint8_t expected = 1;
    size_t blocks = 0;
    int waitedMs = 0;
    int damaged = 0;
    long naksForThisBlock = 0;
    std::vector<uint8_t> firstCopy;  // the block as it came first, during a NAK storm

    Pause(PromptToNakMs);
    line.SendByte(Nak);
    line.MarkReplySent();
    double requestedAt = NowMs();  // the latest request before block 1
    size_t firstReply = line.ReplyLatenciesMs().size();
    for (;;) {
        const int byte = line.ReadByte(blocks == 0 ? NakIntervalMs : step);
        if (byte == -2) {
            line.Log("X-modem: the line ended after %zu blocks", blocks);
            return Outcome::Failed;
        }
        if (byte == -1) {
            waitedMs += NakIntervalMs;
            if (blocks > 0 || waitedMs >= step) {
                line.Violation("X-modem: nothing came %s", blocks > 0 ? "in the middle" : "at all");
                return Outcome::Failed;
            }
            line.SendByte(Nak);  // the first request may have been read with the prompt
            line.MarkReplySent();
            if (blocks == 0) {
                requestedAt = NowMs();
                firstReply = line.ReplyLatenciesMs().size();
            }
            continue;
        }
        if (byte == Eot) {
            line.SendByte(Ack);
            line.Log("X-modem: EOT after %zu blocks", blocks);
            LogTransferTime(line, blocks, requestedAt, firstReply, byteMs > 0);
            return Outcome::Received;
        }
        if (byte != Soh) {
            line.Violation("X-modem: byte 0x%02X where block %zu or the EOT should begin", byte,
                           blocks + 1);
            return Outcome::Failed;
        }
        const double blockStartMs = NowMs();
        std::vector<uint8_t> block;  // number, complement, 128 data bytes, checksum
        if (!line.ReadExact(block, DataSize + 3, step)) {
            line.Violation("X-modem: block %zu cut short (%zu of 131 bytes after SOH)", blocks + 1,
                           block.size());
            return Outcome::Failed;
        }
        SleepUntilMs(blockStartMs + byteMs * (DataSize + 4));
        uint8_t sum = 0;
        for (size_t i = 2; i < 2 + DataSize; ++i) {
            sum = static_cast<uint8_t>(sum + block[i]);
        }
        if (block[1] != static_cast<uint8_t>(0xFF - block[0]) || sum != block[2 + DataSize]) {
            if (++damaged >= DamagedLimit) {
                line.Violation("X-modem: block %zu damaged %d times in a row", blocks + 1, damaged);
                return Outcome::Failed;
            }
            line.Log("X-modem: damaged block (number 0x%02X, complement 0x%02X), NAK", block[0],
                     block[1]);
            line.SendByte(Nak);
            line.MarkReplySent();
            continue;
        }
        damaged = 0;
        if (blocks > 0 && block[0] == static_cast<uint8_t>(expected - 1)) {
            line.Log("X-modem: repeat of block %zu, ACK", blocks);
            line.SendByte(Ack);
            line.MarkReplySent();
            continue;
        }
        if (block[0] != expected) {
            line.Violation("X-modem: block number 0x%02X where 0x%02X was due", block[0], expected);
            return Outcome::Failed;
        }
        if (naksForThisBlock > 0 && block != firstCopy) {
            line.Violation("X-modem: block %zu came back changed after a NAK", blocks + 1);
            return Outcome::Failed;
        }
        if (naksForThisBlock < storm) {
            if (naksForThisBlock == 0) {
                firstCopy = block;
            }
            ++naksForThisBlock;
            line.SendByte(Nak);
            line.MarkReplySent();
            continue;
        }
        naksForThisBlock = 0;
        data.insert(data.end(), block.begin() + 2, block.begin() + 2 + DataSize);
        ++blocks;
        ++expected;
        line.SendByte(Ack);
        line.MarkReplySent();
    }
}

bool IsReleaseBlock(const std::vector<uint8_t>& data) {
    if (data.size() != 4 * DataSize) {
        return false;
    }
    if (data[0] != 0x00 || data[1] != 0x00 || data[2] != 0x01 || data[3] != 0x91) {
        return false;
    }
    for (size_t i = 4; i < ReleaseBlockSize; ++i) {
        if (data[i] != ReleaseFill) {
            return false;
        }
    }
    return true;
}

// The software ids written in the segment headers of a payload (walk as the program stamps).
std::vector<uint32_t> SegmentIds(const std::vector<uint8_t>& image, size_t payloadEnd) {
    std::vector<uint32_t> ids;
    uint64_t p = 9;
    while (p + SegmentLengthOffset + 4 <= payloadEnd) {
        ids.push_back(BigEndian32(&image[p + SegmentIdOffset]));
        p += SegmentHeaderSize + BigEndian32(&image[p + SegmentLengthOffset]);
    }
    return ids;
}

// Finds the PAD image in the received blocks: N from the header, a tag of 5, 1 or 0 bytes,
// the payload and its byte sum, ending in the last block. Returns the image length, or 0.
// With `stamped` the stored sum may be off (the program patched ids inside the payload
// without recomputing it); the tag must then be the 5-byte one.
size_t SoundImageLength(const std::vector<uint8_t>& data, bool stamped, bool& sumMatches) {
    sumMatches = false;
    if (data.size() < DataSize) {
        return 0;
    }
    const uint64_t n = BigEndian32(data.data());
    for (uint64_t tag : {5u, 1u, 0u}) {
        const uint64_t length = n + 8 + tag;
        if (length > data.size() || length + DataSize <= data.size()) {
            continue;  // the file would not end in the last block
        }
        uint32_t sum = 0;
        for (uint64_t i = 4 + tag; i < 4 + tag + n; ++i) {
            sum += data[i];
        }
        if (sum == BigEndian32(&data[4 + tag + n])) {
            sumMatches = true;
            return static_cast<size_t>(length);
        }
        if (stamped && tag == 5) {
            return static_cast<size_t>(length);
        }
    }
    return 0;
}

bool CheckImage(BoxLine& line, const BoxOptions& options, std::vector<uint8_t>& data) {
    const bool stamped = options.Has("expect-id");
    bool sumMatches = false;
    const size_t length = SoundImageLength(data, stamped, sumMatches);
    if (length == 0) {
        line.Violation("the %zu bytes received are no sound PAD image (N = %u)", data.size(),
                       data.size() >= 4 ? BigEndian32(data.data()) : 0);
        line.Save(options, data);
        return false;
    }
    data.resize(length);
    const size_t tag = length - 8 - BigEndian32(data.data());
    if (tag == 5) {
        line.Log("image received: %zu bytes, hardware type 0x%02X, software id 0x%08X%s", length,
                 data[4], BigEndian32(&data[5]), sumMatches ? "" : ", checksum off after stamping");
    } else {
        line.Log("image received: %zu bytes, %zu-byte tag", length, tag);
    }
    if (stamped) {
        const auto expected = static_cast<uint32_t>(options.GetInt("expect-id"));
        if (tag != 5 || BigEndian32(&data[5]) != expected) {
            line.Violation("the image's tag does not carry the software id 0x%08X", expected);
            line.Save(options, data);
            return false;
        }
        for (uint32_t id : SegmentIds(data, length - 4)) {
            if (id != expected) {
                line.Violation("a segment header carries 0x%08X instead of 0x%08X", id, expected);
                line.Save(options, data);
                return false;
            }
        }
    }
    line.Save(options, data);
    return true;
}

void SendErrorText(BoxLine& line, const BoxOptions& options) {
    const std::string text = options.Get("error-text");
    line.Send(text + "\r\n");
    line.Log("error text sent: \"%s\"", PrintableBytes(text).c_str());
}

}  // namespace

int PlayStreaming(BoxLine& line, const BoxOptions& options) {
    const bool errorText = options.Has("error-text");
    const std::string errorAt = options.Get("error-at", "start");
    if (errorText && errorAt != "start" && errorAt != "end") {
        line.Violation("--error-at must be start or end, not \"%s\"", errorAt.c_str());
        return 1;
    }
    if (errorText && errorAt == "start") {
        SendErrorText(line, options);
        return 0;
    }

    line.Send("\r\nNow start download\r\n");
    std::vector<uint8_t> data;
    if (ReceiveXmodem(line, options, data) != Outcome::Received) {
        return 1;
    }
    if (IsReleaseBlock(data)) {
        line.Log("release block received: the box stays in its bootloader");
        return 0;
    }
    if (!CheckImage(line, options, data)) {
        return 1;
    }
    Pause(options.GetInt("flash-ms", 100));
    if (errorText) {
        SendErrorText(line, options);
        return 0;
    }
    line.Send("\r\nfinished!\r\n");
    line.Log("flash programmed, \"finished!\" sent");
    return 0;
}
