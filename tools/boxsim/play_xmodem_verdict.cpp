// The 5.1 and 5.3 loaders: they ask for an X-modem transfer (checksum mode, started with NAK),
// receive the image, report progress and end with one verdict line (LF CR at its end).
//
// Options:
//   --verdict V       success (default), download, format, crc, header-crc, stb, newer or
//                     manipulated: the line the box sends after the transfer
//   --verdict-crlf    send the success line with CR LF instead of LF CR (the program must not
//                     take it), then listen until the line falls silent for --hold MS
//   --xmodem-fail PATH
//                     make the program's transfer fail and send the verdict all the same: the
//                     box removes the image file PATH just before its prompt, so the program's
//                     X-modem sender cannot open it. (Over a pseudo-terminal the line itself
//                     cannot make the sender fail without hanging up, and after a hang-up no
//                     verdict could reach the program.)
//   --save FILE       the image received (the PAD image, without the filler of the last block)
#include <array>
#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "box_line.h"
#include "box_players.h"

namespace {

constexpr uint8_t Soh = 0x01;
constexpr uint8_t Eot = 0x04;
constexpr uint8_t Ack = 0x06;
constexpr uint8_t Nak = 0x15;
constexpr int NakIntervalMs = 3000;

struct Verdict {
    std::string_view name;
    std::string_view line;
};
constexpr std::array<Verdict, 8> Verdicts = {{
    {"download", "Download failed! Please try again\n\r"},
    {"format", "Wrong file format.\n\r"},
    {"crc", "CRC check failed! Please try again\n\r"},
    {"header-crc", "Header CRC check failed! Please try again\n\r"},
    {"stb", "The software cannot be used with this stb.\n\r"},
    {"newer", "This is not a newer software version\n\r"},
    {"manipulated", "Manipulated header found (consistency check)!\n\r"},
    {"success", "Start application         \n\r"},
}};

uint32_t BigEndian32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

// The received data without the filler of the last block: the length of the PAD image whose
// payload sum matches, trying the tag lengths 5, 1 and 0; 0 when none does.
size_t PadLength(const std::vector<uint8_t>& data) {
    if (data.size() < 8) {
        return 0;
    }
    const uint64_t n = BigEndian32(data.data());
    for (uint64_t tag : {5u, 1u, 0u}) {
        const uint64_t size = n + 8 + tag;
        if (size > data.size() || size + 128 <= data.size()) {
            continue;
        }
        uint32_t sum = 0;
        for (uint64_t i = 4 + tag; i < 4 + tag + n; ++i) {
            sum += data[i];
        }
        if (sum == BigEndian32(data.data() + 4 + tag + n)) {
            return static_cast<size_t>(size);
        }
    }
    return 0;
}

// X-modem receive in checksum mode. True when the EOT came; `data` holds every block.
bool ReceiveXmodem(BoxLine& line, const BoxOptions& options, std::vector<uint8_t>& data) {
    const int step = options.StepTimeoutMs();
    uint8_t expected = 1;
    bool started = false;
    int waitedMs = 0;
    line.SendByte(Nak);
    for (;;) {
        const int byte = line.ReadByte(started ? step : NakIntervalMs);
        if (byte == -2) {
            return false;
        }
        if (byte == -1) {
            waitedMs += NakIntervalMs;
            if (started || waitedMs >= step) {
                line.Violation("X-modem: nothing came %s", started ? "in the middle" : "at all");
                return false;
            }
            line.SendByte(Nak);  // the first request may have gone unseen
            continue;
        }
        if (byte == Eot) {
            line.SendByte(Ack);
            line.Log("X-modem: EOT after %zu blocks", data.size() / 128);
            return true;
        }
        if (byte != Soh) {
            line.Violation("X-modem: byte 0x%02X where a block or EOT should begin", byte);
            return false;
        }
        std::vector<uint8_t> block;
        if (!line.ReadExact(block, 131, step)) {
            line.Violation("X-modem: block %u cut short", expected);
            return false;
        }
        uint8_t sum = 0;
        for (size_t i = 2; i < 130; ++i) {
            sum = static_cast<uint8_t>(sum + block[i]);
        }
        if (block[0] != static_cast<uint8_t>(~block[1]) || sum != block[130]) {
            line.Log("X-modem: damaged block, NAK");
            line.SendByte(Nak);
            continue;
        }
        if (block[0] == static_cast<uint8_t>(expected - 1) && started) {
            line.SendByte(Ack);  // a repeat of the block already taken
            continue;
        }
        if (block[0] != expected) {
            line.Violation("X-modem: block number %u, expected %u", block[0], expected);
            return false;
        }
        started = true;
        data.insert(data.end(), block.begin() + 2, block.begin() + 130);
        ++expected;
        line.SendByte(Ack);
    }
}

// The transfer that the program cannot begin: its image file is gone. The box asks for the
// transfer as usual and makes sure that nothing comes.
bool AwaitNoTransfer(BoxLine& line) {
    line.SendByte(Nak);
    const std::vector<uint8_t> got = line.DrainQuiet(2000);
    if (!got.empty()) {
        line.Violation("X-modem: %zu bytes came although the image was removed", got.size());
        return false;
    }
    line.Log("X-modem: nothing came, as expected");
    return true;
}

}  // namespace

int PlayXmodemVerdict(BoxLine& line, const BoxOptions& options) {
    std::string_view verdict = Verdicts.back().line;
    const std::string wanted = options.Get("verdict", "success");
    bool known = false;
    for (const Verdict& v : Verdicts) {
        if (v.name == wanted) {
            verdict = v.line;
            known = true;
        }
    }
    if (!known) {
        line.Violation("unknown --verdict %s", wanted.c_str());
        return 1;
    }

    const std::string removePath = options.Get("xmodem-fail");
    if (!removePath.empty()) {
        if (std::remove(removePath.c_str()) != 0) {
            line.Violation("cannot remove %s", removePath.c_str());
            return 1;
        }
        line.Log("image %s removed", removePath.c_str());
    }
    line.Send("\r\nLoader " + options.version +
              "\r\nPlease start transfer with X modem protocol.\r\n");
    // Give the program time to take the prompt, so that the request is not read with it.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));

    if (!removePath.empty()) {
        if (!AwaitNoTransfer(line)) {
            return 1;
        }
        line.Send("\r\nNo data\r\n");
    } else {
        std::vector<uint8_t> data;
        if (!ReceiveXmodem(line, options, data)) {
            return 1;
        }
        const size_t length = PadLength(data);
        if (length == 0) {
            line.Violation("the %zu bytes received are no PAD image", data.size());
            line.Save(options, data);
            return 1;
        }
        data.resize(length);
        line.Save(options, data);
        line.Send("\r\n" + std::to_string(length) + " bytes received\r\nChecking image...\r\n");
    }

    if (options.Has("verdict-crlf")) {
        line.Send("Start application         \r\n");
        line.Log("success line sent with CR LF; listening");
        const std::vector<uint8_t> more =
            line.DrainQuiet(static_cast<int>(options.GetInt("hold", options.StepTimeoutMs())));
        line.Log("%zu bytes came after the verdict", more.size());
        return 0;
    }
    line.Send(verdict);
    line.Log("verdict \"%s\" sent", PrintableBytes(verdict).c_str());
    return 0;
}
