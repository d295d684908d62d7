// The legacy loaders 10.0 to 12.3: a byte protocol with a software-id query, a type byte, a
// 3-byte length, acknowledged packets and the flash reports.
//
// PlayAccess has read the first keyword; the loader answers every "pelmorant" with 0x01, the id
// query 0xFF 0x03 with its 4-byte software id (--legacy-id, default the --version as
// major * 65536 + minor), a type byte with 0xFE, then takes the length and the packets, and
// reports 0x04 (transfer done), 0x05 (erased) and 0x06 (programmed); a loader taking an image
// for RAM (type 0x66) reports nothing. The 11.x and 12.x loaders receive an application image
// compressed from 0x4000 on and decompress it. The program sets even parity for these loaders,
// but a pseudo-terminal drops the parity setting, so the box cannot check it.
//
// Options:
//   --legacy-id ID       the software id the loader reports
//   --ignore-keywords N  leave the first N keywords after the access unanswered
//   --id-noise N         send N bytes of noise after 0xFF (the program must discard them)
//   --ignore-type N      leave the first N type bytes unanswered
//   --type-reply B       answer the type byte with B instead of 0xFE
//   --expect-type B      the type byte the program must send
//   --expect-length N    the length the program must announce (0: it refuses the image)
//   --expect FILE        PAD image whose payload the box must end up with
//   --refuse-packet K --refusals N [--refusal-byte B]
//                        refuse the packet with counter K (from 0) N times with B (0x15)
//   --fail-transfer, --fail-erase, --fail-program
//                        report 0x15 in place of 0x04, 0x05 or 0x06
//   --no-verdict         send no reports at all
//   --erase-ms MS, --program-ms MS
//                        time before 0x05 and before 0x06 (default 10 ms each)
//   --save FILE          save the payload the box received (decompressed)
#include <bzlib.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "box_line.h"
#include "box_players.h"

namespace {

constexpr std::string_view Keyword = "pelmorant";
constexpr uint8_t LoaderReached = 0x01;
constexpr uint8_t IdQueryStart = 0xFF;
constexpr uint8_t IdRequest = 0x03;
constexpr uint8_t TypeAccepted = 0xFE;
constexpr uint8_t PacketAccepted = 0x00;
constexpr uint8_t Refusal = 0x15;
constexpr uint8_t PacketMark = 0x55;
constexpr uint8_t RamImageType = 0x66;
constexpr uint8_t FlashImageType = 0x55;
constexpr uint32_t CompressFrom = 0x4000;
constexpr int MaximumSends = 51;  // one packet, sent at most this often in a row
constexpr unsigned int DecompressLimit = 16u << 20;

bool IsTypeByte(int byte) {
    return byte == 0x55 || byte == 0x66 || byte == 0x77 || byte == 0x88 || byte == 0x99;
}

void Pause(long ms) {
    if (ms > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }
}

// The payload of a PAD image file (length, tag of 0, 1 or 5 bytes, payload, sum).
bool ReadPadPayload(const std::string& path, std::vector<uint8_t>& payload) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return false;
    }
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)),
                                     std::istreambuf_iterator<char>());
    if (bytes.size() < 8) {
        return false;
    }
    const uint32_t n = (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) |
                       (uint32_t{bytes[2]} << 8) | bytes[3];
    if (uint64_t{n} + 8 > bytes.size()) {
        return false;
    }
    const size_t tag = bytes.size() - n - 8;
    if (tag != 0 && tag != 1 && tag != 5) {
        return false;
    }
    payload.assign(bytes.begin() + 4 + static_cast<long>(tag),
                   bytes.begin() + 4 + static_cast<long>(tag) + n);
    return true;
}

struct LegacyBox {
    BoxLine& line;
    const BoxOptions& options;
    uint32_t softwareId = 0;
    uint8_t type = 0;
    uint32_t length = 0;
    std::vector<uint8_t> received;
};

// Keywords and the id query, up to the id. False when the line ended or the program broke the
// protocol.
bool PlayIdQuery(LegacyBox& box) {
    BoxLine& line = box.line;
    long ignoreKeywords = box.options.GetInt("ignore-keywords", 0);
    // The keyword that PlayAccess took is answered first.
    int keywords = 1;
    if (ignoreKeywords > 0) {
        --ignoreKeywords;
        line.Log("keyword 1 not answered");
    } else {
        line.SendByte(LoaderReached);
    }
    std::string window;
    bool queryStarted = false;
    for (;;) {
        const int byte = line.ReadByte(box.options.StepTimeoutMs());
        if (byte == -1) {
            line.Violation("no id query: the program fell silent after %d keywords", keywords);
            return false;
        }
        if (byte < 0) {
            line.Log("the line ended before the id query (%d keywords)", keywords);
            return false;
        }
        window += static_cast<char>(byte);
        if (window.size() > Keyword.size()) {
            window.erase(0, window.size() - Keyword.size());
        }
        if (window == Keyword) {
            window.clear();
            ++keywords;
            if (ignoreKeywords > 0) {
                --ignoreKeywords;
                line.Log("keyword %d not answered", keywords);
            } else {
                line.SendByte(LoaderReached);
            }
            continue;
        }
        if (byte == IdQueryStart) {
            queryStarted = true;
            const long noise = box.options.GetInt("id-noise", 0);
            for (long i = 0; i < noise; ++i) {
                line.SendByte(static_cast<uint8_t>(0xA0 + i % 16));
            }
            continue;
        }
        if (byte == IdRequest) {
            if (!queryStarted) {
                line.Violation("id request 0x03 without the 0xFF before it");
                return false;
            }
            line.Send(std::vector<uint8_t>{static_cast<uint8_t>(box.softwareId >> 24),
                                           static_cast<uint8_t>(box.softwareId >> 16),
                                           static_cast<uint8_t>(box.softwareId >> 8),
                                           static_cast<uint8_t>(box.softwareId)});
            line.Log("%d keywords, id 0x%08X sent", keywords, box.softwareId);
            return true;
        }
        if (Keyword.find(static_cast<char>(byte)) == std::string_view::npos) {
            line.Log("byte 0x%02X before the id request ignored", byte);
        }
    }
}

// The type byte (repeated by the program until answered) and the length.
bool PlayStart(LegacyBox& box) {
    BoxLine& line = box.line;
    long ignore = box.options.GetInt("ignore-type", 0);
    long typeBytes = 0;
    for (;;) {
        const int byte = line.ReadByte(box.options.StepTimeoutMs());
        if (byte < 0) {
            if (byte == -1) {
                line.Violation("no type byte within %d ms", box.options.StepTimeoutMs());
            }
            return false;
        }
        if (!IsTypeByte(byte)) {
            line.Violation("0x%02X where a type byte belongs", byte);
            return false;
        }
        ++typeBytes;
        if (ignore > 0) {
            --ignore;
            continue;
        }
        box.type = static_cast<uint8_t>(byte);
        break;
    }
    line.Log("type byte 0x%02X (sent %ld times)", box.type, typeBytes);
    if (box.options.Has("expect-type") && box.options.GetInt("expect-type") != box.type) {
        line.Violation("type byte 0x%02X, expected 0x%02lX", box.type,
                       box.options.GetInt("expect-type"));
        return false;
    }
    const uint8_t reply = static_cast<uint8_t>(box.options.GetInt("type-reply", TypeAccepted));
    line.SendByte(reply);
    if (reply != TypeAccepted) {
        line.Log("type byte answered with 0x%02X", reply);
        return false;
    }

    // Repeats of the type byte sent before the answer arrived come first; a length never
    // begins with a type byte (the largest is 0x0DC000).
    std::vector<uint8_t> length;
    while (length.size() < 3) {
        const int byte = line.ReadByte(box.options.StepTimeoutMs());
        if (byte < 0) {
            if (byte == -1) {
                line.Violation("no length within %d ms", box.options.StepTimeoutMs());
            }
            return false;
        }
        if (length.empty() && byte == box.type) {
            continue;
        }
        length.push_back(static_cast<uint8_t>(byte));
    }
    box.length = (uint32_t{length[0]} << 16) | (uint32_t{length[1]} << 8) | length[2];
    line.Log("length %u announced", box.length);
    if (box.options.Has("expect-length") &&
        static_cast<uint32_t>(box.options.GetInt("expect-length")) != box.length) {
        line.Violation("length %u, expected %ld", box.length, box.options.GetInt("expect-length"));
        return false;
    }
    return true;
}

// Reads one packet; false (after logging) when the line ended or the packet is malformed.
bool ReadPacket(LegacyBox& box, std::vector<uint8_t>& data) {
    BoxLine& line = box.line;
    std::vector<uint8_t> head;
    if (!line.ReadExact(head, 3, box.options.StepTimeoutMs())) {
        if (!line.Ended()) {
            line.Violation("packet missing after %zu of %u bytes", box.received.size(), box.length);
        }
        return false;
    }
    if (head[0] != PacketMark || head[1] != PacketMark || head[2] < 3) {
        line.Violation("packet head %02X %02X %02X after %zu bytes", head[0], head[1], head[2],
                       box.received.size());
        return false;
    }
    std::vector<uint8_t> rest;
    if (!line.ReadExact(rest, head[2] - 1u, box.options.StepTimeoutMs())) {
        if (!line.Ended()) {
            line.Violation("packet cut short after %zu bytes", box.received.size());
        }
        return false;
    }
    uint8_t sum = 0;
    for (size_t i = 0; i + 1 < rest.size(); ++i) {
        sum = static_cast<uint8_t>(sum + rest[i]);
    }
    if (sum != rest.back()) {
        line.Violation("packet checksum %02X, the bytes add up to %02X", rest.back(), sum);
        return false;
    }
    data.assign(rest.begin(), rest.end() - 1);
    if (box.received.size() + data.size() > box.length) {
        line.Violation("packet runs past the announced length %u", box.length);
        return false;
    }
    return true;
}

// The packets, acknowledged one by one, with the refusals asked for.
bool PlayPackets(LegacyBox& box) {
    BoxLine& line = box.line;
    const long refusePacket = box.options.GetInt("refuse-packet", -1);
    long refusalsLeft = box.options.GetInt("refusals", 0);
    const uint8_t refusal = static_cast<uint8_t>(box.options.GetInt("refusal-byte", Refusal));
    long counter = 0;
    int sends = 0;
    std::vector<uint8_t> data;
    std::vector<uint8_t> previous;
    while (box.received.size() < box.length) {
        if (!ReadPacket(box, data)) {
            if (line.Ended() && sends >= MaximumSends) {
                line.Log("the program gave up packet %ld after %d sends", counter, sends);
            }
            return false;
        }
        if (sends > 0 && data != previous) {
            line.Violation("packet %ld changed between repeats", counter);
            return false;
        }
        ++sends;
        if (sends > MaximumSends) {
            line.Violation("packet %ld sent %d times in a row", counter, sends);
            return false;
        }
        if (counter == refusePacket && refusalsLeft > 0) {
            --refusalsLeft;
            previous = data;
            line.SendByte(refusal);
            continue;
        }
        if (sends > 1) {
            line.Log("packet %ld accepted after %d sends", counter, sends);
        }
        line.SendByte(PacketAccepted);
        box.received.insert(box.received.end(), data.begin(), data.end());
        ++counter;
        sends = 0;
    }
    line.Log("%ld packets, %zu bytes received", counter, box.received.size());
    return true;
}

// Whether the program must have compressed the image: an application image for flash (type
// 0x55) sent to an 11.x or 12.x loader.
bool ExpectsCompression(const LegacyBox& box) {
    const uint32_t major = box.softwareId >> 16;
    return (major == 11 || major == 12) && box.type == FlashImageType;
}

// Restores the image the program compressed; false on a broken stream.
bool Decompress(LegacyBox& box) {
    if (box.received.size() < CompressFrom) {
        box.line.Violation("compressed image of %zu bytes is shorter than 0x%X",
                           box.received.size(), CompressFrom);
        return false;
    }
    std::vector<char> out(DecompressLimit);
    unsigned int outLength = DecompressLimit;
    std::vector<char> in(box.received.begin() + CompressFrom, box.received.end());
    const int rc = BZ2_bzBuffToBuffDecompress(out.data(), &outLength, in.data(),
                                              static_cast<unsigned int>(in.size()), 0, 0);
    if (rc != BZ_OK) {
        box.line.Violation("the rest from 0x%X is no bzip2 stream (rc %d)", CompressFrom, rc);
        return false;
    }
    box.line.Log("rest decompressed: %zu bytes to %u", in.size(), outLength);
    box.received.resize(CompressFrom);
    box.received.insert(box.received.end(), out.begin(), out.begin() + outLength);
    return true;
}

bool CompareWithExpected(LegacyBox& box) {
    if (!box.options.Has("expect")) {
        return true;
    }
    std::vector<uint8_t> expected;
    if (!ReadPadPayload(box.options.Get("expect"), expected)) {
        box.line.Violation("cannot read the expected image %s", box.options.Get("expect").c_str());
        return false;
    }
    if (expected == box.received) {
        box.line.Log("payload matches the expected image (%zu bytes)", expected.size());
        return true;
    }
    size_t at = 0;
    while (at < expected.size() && at < box.received.size() && expected[at] == box.received[at]) {
        ++at;
    }
    box.line.Violation(
        "payload differs from the expected image at offset %zu (%zu bytes, %zu "
        "expected)",
        at, box.received.size(), expected.size());
    return false;
}

void PlayVerdict(LegacyBox& box) {
    BoxLine& line = box.line;
    if (box.options.Has("no-verdict")) {
        line.Log("no reports sent");
        return;
    }
    line.SendByte(box.options.Has("fail-transfer") ? Refusal : 0x04);
    if (box.options.Has("fail-transfer")) {
        return;
    }
    Pause(box.options.GetInt("erase-ms", 10));
    line.SendByte(box.options.Has("fail-erase") ? Refusal : 0x05);
    if (box.options.Has("fail-erase")) {
        return;
    }
    Pause(box.options.GetInt("program-ms", 10));
    line.SendByte(box.options.Has("fail-program") ? Refusal : 0x06);
    line.Log("reports sent");
}

}  // namespace

namespace {

int PlayLoader(LegacyBox& box) {
    BoxLine& line = box.line;
    const BoxOptions& options = box.options;
    if (!PlayIdQuery(box)) {
        return line.Violated() ? 1 : 0;
    }
    if (!PlayStart(box)) {
        return line.Violated() ? 1 : 0;
    }
    if (box.length == 0) {
        // The program refused to send the image (too long); it gives up now.
        line.DrainQuiet(box.options.StepTimeoutMs());
        return line.Violated() ? 1 : 0;
    }
    if (!PlayPackets(box)) {
        return line.Violated() ? 1 : 0;
    }
    if (ExpectsCompression(box) && !Decompress(box)) {
        return 1;
    }
    line.Save(options, box.received);
    if (!CompareWithExpected(box)) {
        return 1;
    }
    if (box.type == RamImageType) {
        line.Log("image for RAM: no reports");
    } else {
        PlayVerdict(box);
    }
    return 0;
}

}  // namespace

int PlayLegacy(BoxLine& line, const BoxOptions& options) {
    LegacyBox box{line, options, 0, 0, 0, {}};
    box.softwareId = static_cast<uint32_t>(options.GetInt(
        "legacy-id", static_cast<long>((static_cast<uint32_t>(options.Major()) << 16) |
                                       static_cast<uint32_t>(options.Minor()))));
    return PlayLoader(box);
}
