// The image checks of padtool. The PAD rules are those of the program's image reader; here
// every refusal also gets its reason in words, for the technician in front of a bad file.
#include "tools/padtool/image_facts.h"

#include <bzlib.h>

#include <array>
#include <cstdarg>
#include <cstdio>
#include <limits>

#include "image/pad_image.h"

namespace padtool {

namespace {

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
    std::array<char, 256> text{};
    va_list args;
    va_start(args, format);
    std::vsnprintf(text.data(), text.size(), format, args);
    va_end(args);
    return text.data();
}

// Marks in the payload that tell the legacy image kinds apart.
constexpr std::array<uint8_t, 8> ImageSignature{0x00, 0x00, 0x1F, 0x38, 0x16, 0x00, 0x20, 0x00};
constexpr std::array<uint8_t, 8> BootImageHeader{0x00, 0x00, 0x1F, 0x38, 0x16, 0x00, 0x00, 0x00};
constexpr std::array<uint8_t, 2> FactorySettingsMagic{'V', 'K'};
constexpr uint32_t FirstSignatureOffset = 0x4000;
constexpr uint32_t SecondSignatureOffset = 0x10000;

// Whether `mark` lies at `offset`; a payload too short to hold all of it does not count.
template <std::size_t N>
bool HasMarkAt(std::span<const uint8_t> payload, uint64_t offset,
               const std::array<uint8_t, N>& mark) {
    if (offset + N > payload.size()) {
        return false;
    }
    for (std::size_t i = 0; i < N; ++i) {
        if (payload[offset + i] != mark[i]) {
            return false;
        }
    }
    return true;
}

bool HasApplicationSignature(std::span<const uint8_t> payload) {
    return HasMarkAt(payload, FirstSignatureOffset, ImageSignature) ||
           HasMarkAt(payload, SecondSignatureOffset, ImageSignature);
}

// A bzip2 stream begins "BZh" and the block size digit 1 to 9.
bool LooksLikeBzip2(std::span<const uint8_t> payload) {
    return payload.size() >= 4 && payload[0] == 'B' && payload[1] == 'Z' && payload[2] == 'h' &&
           payload[3] >= '1' && payload[3] <= '9';
}

// Decompresses the whole stream, piece by piece, into `out`. Empty result on success.
std::string Decompress(std::span<const uint8_t> stream, std::vector<uint8_t>& out) {
    constexpr std::size_t Piece = 65536;
    bz_stream bz{};
    if (BZ2_bzDecompressInit(&bz, 0, 0) != BZ_OK) {
        return "the bzip2 library could not be set up";
    }
    // The library takes a non-const pointer but does not write through the input.
    bz.next_in = const_cast<char*>(reinterpret_cast<const char*>(stream.data()));
    bz.avail_in = static_cast<unsigned int>(stream.size());
    std::string fault;
    for (;;) {
        if (out.size() >= MaxInputBytes) {
            fault = Format("the bzip2 stream decompresses to more than %llu bytes",
                           static_cast<unsigned long long>(MaxInputBytes));
            break;
        }
        const std::size_t had = out.size();
        out.resize(had + Piece);
        bz.next_out = reinterpret_cast<char*>(out.data() + had);
        bz.avail_out = static_cast<unsigned int>(Piece);
        const int rc = BZ2_bzDecompress(&bz);
        out.resize(had + Piece - bz.avail_out);
        if (rc == BZ_STREAM_END) {
            if (bz.avail_in != 0) {
                fault =
                    Format("the bzip2 stream ends %u bytes before the payload does", bz.avail_in);
            }
            break;
        }
        if (rc != BZ_OK) {
            fault = Format("the bzip2 stream is damaged (bzip2 error %d)", rc);
            break;
        }
        if (bz.avail_in == 0 && bz.avail_out != 0) {
            fault = "the bzip2 stream is cut short";
            break;
        }
    }
    BZ2_bzDecompressEnd(&bz);
    return fault;
}

}  // namespace

PadFacts InspectPad(std::span<const uint8_t> file) {
    PadFacts facts;
    const uint64_t size = file.size();
    facts.fileSize = size;
    if (size <= 8) {
        facts.fault = Format(
            "too short: %llu bytes (a PAD image has a 4-byte length, a tag, the payload and a "
            "4-byte checksum: at least 9 bytes)",
            static_cast<unsigned long long>(size));
        return facts;
    }
    if (size > std::numeric_limits<uint32_t>::max()) {
        facts.fault = "larger than 4 GiB; a PAD image is at most 4294967295 bytes";
        return facts;
    }
    const uint32_t payloadLength = ReadBigEndian32(file.data());
    const int64_t tagLength = static_cast<int64_t>(size) - static_cast<int64_t>(payloadLength) - 8;
    if (tagLength < 0) {
        facts.fault = Format(
            "truncated or not a PAD image: the length field says %u payload bytes, but the "
            "file has only %llu bytes in all",
            payloadLength, static_cast<unsigned long long>(size));
        return facts;
    }
    if (tagLength != 0 && tagLength != 1 && tagLength != 5) {
        facts.fault = Format(
            "bad tag length %lld: the file has %llu bytes for %u payload bytes, which leaves "
            "%lld tag bytes; a tag has 0, 1 or 5 bytes (a truncated or extended image?)",
            static_cast<long long>(tagLength), static_cast<unsigned long long>(size), payloadLength,
            static_cast<long long>(tagLength));
        return facts;
    }
    facts.payloadLength = payloadLength;
    facts.tagLength = static_cast<uint32_t>(tagLength);
    facts.hardwareType = tagLength >= 1 ? file[4] : 0;
    facts.softwareId = tagLength == 5 ? ReadBigEndian32(file.data() + 5) : 0;

    const uint64_t payloadStart = 4 + facts.tagLength;
    uint32_t sum = 0;
    for (uint64_t i = 0; i < payloadLength; ++i) {
        sum += file[payloadStart + i];
    }
    facts.sumsKnown = true;
    facts.computedSum = sum;
    facts.storedSum = ReadBigEndian32(file.data() + payloadStart + payloadLength);
    if (facts.storedSum != facts.computedSum) {
        facts.fault = Format("wrong checksum: stored 0x%08X, but the payload sums to 0x%08X",
                             facts.storedSum, facts.computedSum);
        return facts;
    }
    facts.sound = true;
    return facts;
}

std::span<const uint8_t> PayloadOf(std::span<const uint8_t> file, const PadFacts& facts) {
    if (!facts.sound) {
        return {};
    }
    return file.subspan(4 + facts.tagLength, facts.payloadLength);
}

std::string LegacyTypeLetters(std::span<const uint8_t> payload) {
    std::string letters;
    const bool application = HasApplicationSignature(payload);
    if (application) {
        letters += 'A';
    }
    if (HasMarkAt(payload, 0, FactorySettingsMagic)) {
        letters += 'F';
    }
    if (application) {
        letters += 'R';
    }
    if (HasMarkAt(payload, 0, BootImageHeader)) {
        letters += 'B';
    }
    if (application) {
        letters += 'C';
    }
    if (HasMarkAt(payload, 0, ImageSignature)) {
        letters += 'S';
    }
    return letters;
}

ContainerFacts InspectContainer(std::span<const uint8_t> file, const PadFacts& facts) {
    ContainerFacts container;
    const std::span<const uint8_t> payload = PayloadOf(file, facts);
    const bool containerTag =
        (facts.tagLength == 1 && facts.hardwareType == 2) ||
        (facts.tagLength == 5 && facts.hardwareType >= 4 && facts.hardwareType <= 6);
    if (!facts.sound || !containerTag || !LooksLikeBzip2(payload)) {
        return container;
    }
    container.isContainer = true;
    container.type = facts.hardwareType;
    container.softwareId = facts.tagLength == 5 ? facts.softwareId : 0;
    container.streamLength = facts.payloadLength;
    container.streamSum = facts.computedSum;
    container.fault = Decompress(payload, container.inner);
    container.decompressed = container.fault.empty();
    return container;
}

}  // namespace padtool
