// The image of the legacy loaders: the PAD payload loaded into a block with room for an in-place
// compression, and its check against the image type chosen with -t.
#include "protocols/legacy_image.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <new>
#include <span>

#include "common/messages.h"
#include "image/pad_image.h"
#include "platform/file.h"
#include "protocols/failure_report.h"

LegacyState LegacyImageState = LegacyState::None;

namespace {

// Payload marks that tell the image kinds apart.
constexpr std::array<uint8_t, 8> ImageSignature{0x00, 0x00, 0x1F, 0x38, 0x16, 0x00, 0x20, 0x00};
constexpr std::array<uint8_t, 8> BootImageHeader{0x00, 0x00, 0x1F, 0x38, 0x16, 0x00, 0x00, 0x00};
constexpr std::array<uint8_t, 2> FactorySettingsMagic{'V', 'K'};

// Room behind the payload for a compressed rest that bzip2 could not shrink: its output is at
// most about 1 % plus 600 bytes larger than its input.
// The block's size is a 32-bit count, so a payload near 4 GiB gets what is left below that.
uint32_t CapacityFor(uint32_t payloadLength) {
    const uint64_t wanted = static_cast<uint64_t>(payloadLength) + payloadLength / 100 + 1024;
    return static_cast<uint32_t>(std::min<uint64_t>(wanted, UINT32_MAX));
}

// Whether `mark` lies at `offset`; a payload too short to hold all of it does not count.
bool HasMarkAt(const uint8_t* payload, uint32_t length, uint32_t offset,
               std::span<const uint8_t> mark) {
    return static_cast<uint64_t>(offset) + mark.size() <= length &&
           std::equal(mark.begin(), mark.end(), payload + offset);
}

bool HasApplicationSignature(const uint8_t* payload, uint32_t length) {
    return HasMarkAt(payload, length, 0x4000, ImageSignature) ||
           HasMarkAt(payload, length, 0x10000, ImageSignature);
}

// The image types of -t: the mark at the payload's start that each must carry (none: the
// application signature), and whether only the service build offers it.
struct ImageTypeRow {
    LegacyState state;  // its value is the letter
    std::span<const uint8_t> mark;
    bool serviceOnly;
};
constexpr std::array<ImageTypeRow, 6> ImageTypes{{
    {LegacyState::A, {}, false},
    {LegacyState::F, FactorySettingsMagic, false},
    {LegacyState::R, {}, true},
    {LegacyState::B, BootImageHeader, true},
    {LegacyState::C, {}, true},
    {LegacyState::S, ImageSignature, true},
}};

char UpperCase(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// Reads exactly `wanted` bytes; false when the file ends early or a read fails.
bool ReadExactly(File& file, uint8_t* buffer, uint32_t wanted) {
    uint32_t got = 0;
    return file.Read(buffer, wanted, got) == 1 && got == wanted;
}

}  // namespace

int LoadLegacyImage(const char* fileName, LegacyImage& image) {
    image = LegacyImage{};
    File file = File::OpenRead(fileName);
    if (!file.IsOpen()) {
        return 0;
    }
    uint64_t fileSize = 0;
    if (file.Size(fileSize) != 1 || fileSize == 0) {
        return 0;
    }
    std::array<uint8_t, 4> field{};
    if (!ReadExactly(file, field.data(), 4)) {
        return 0;
    }
    const uint32_t payloadLength = ReadBigEndian32(field.data());
    // The tag length follows from the sizes; a payload length beyond the file gives no tag.
    if (static_cast<uint64_t>(payloadLength) + 8 > fileSize) {
        return 0;
    }
    const uint64_t tagLength = fileSize - payloadLength - 8;
    uint32_t softwareId = 0;
    if (tagLength == 1) {
        if (!ReadExactly(file, field.data(), 1)) {
            return 0;
        }
    } else if (tagLength == 5) {
        if (!ReadExactly(file, field.data(), 1) || !ReadExactly(file, field.data(), 4)) {
            return 0;
        }
        softwareId = ReadBigEndian32(field.data());
    } else if (tagLength != 0) {
        return 0;
    }

    const uint32_t capacity = CapacityFor(payloadLength);
    std::unique_ptr<uint8_t[]> payload(new (std::nothrow) uint8_t[capacity]);
    if (!payload) {
        std::printf("memory Error...\n");
        return 0;
    }
    if (payloadLength != 0 && !ReadExactly(file, payload.get(), payloadLength)) {
        return 0;
    }
    uint32_t sum = 0;
    for (uint32_t i = 0; i < payloadLength; ++i) {
        sum += payload[i];
    }
    if (!ReadExactly(file, field.data(), 4) || ReadBigEndian32(field.data()) != sum) {
        return 0;
    }
    // Nothing may follow the stored sum (the sizes above already say so; a file that grew
    // while being read is refused as well).
    uint8_t extra = 0;
    uint32_t got = 0;
    if (file.Read(&extra, 1, got) != 1 || got != 0) {
        return 0;
    }
    image.payload = std::move(payload);
    image.payloadCapacity = capacity;
    image.payloadLength = payloadLength;
    image.softwareId = softwareId;
    return 1;
}

int CheckImageType(char letter, int serviceBuild, const uint8_t* payload, uint32_t payloadLength) {
    LegacyImageState = LegacyState::None;
    const auto upper = static_cast<LegacyState>(UpperCase(letter));
    const auto row = std::find_if(ImageTypes.begin(), ImageTypes.end(),
                                  [upper](const ImageTypeRow& r) { return r.state == upper; });
    if (row == ImageTypes.end() || (row->serviceOnly && serviceBuild == 0)) {
        ReportFailureOf(stdout, Message::WrongImageParameter, 0, nullptr, "\n");
        return 0;
    }
    const bool met = row->mark.empty() ? HasApplicationSignature(payload, payloadLength)
                                       : HasMarkAt(payload, payloadLength, 0, row->mark);
    if (!met) {
        if (row->state == LegacyState::A) {
            ReportFailureOf(stdout, Message::InvalidFlashApplication, 0, nullptr, "\n");
        } else if (row->state == LegacyState::F) {
            ReportFailureOf(stdout, Message::InvalidFactorySettings, 0, nullptr, "\n");
        }
        return 0;
    }
    LegacyImageState = row->state;
    return 1;
}
