// The legacy loaders 10.0 to 12.3: load the image payload into memory, check it against the
// image type chosen with -t, wake the loader with its keyword, ask for its software id and run
// the transfer that the loader's LegacyLoaderTable row names. Also the placeholder procedure of
// the 22.0 row.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <new>

#include "frontend/messages.h"
#include "frontend/settings.h"
#include "image/pad_image.h"
#include "platform/platform.h"
#include "protocols/procedures.h"

LegacyState LegacyImageState = LegacyState::None;

namespace {

// The keyword of this loader family; -n does not change it here.
constexpr char LegacyKeyword[] = "pelmorant";
constexpr uint32_t LegacyKeywordLength = sizeof(LegacyKeyword) - 1;

constexpr int KeywordPasses = 10;
constexpr int AccessAttempts = 5;
constexpr uint32_t ReplyLimitMs = 1000;
constexpr uint32_t QuietMs = 300;
constexpr uint8_t IdQueryStart = 0xFF;
constexpr uint8_t IdRequest = 0x03;
constexpr uint8_t LoaderReached = 0x01;

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
template <std::size_t N>
bool HasMarkAt(const uint8_t* payload, uint32_t length, uint32_t offset,
               const std::array<uint8_t, N>& mark) {
    if (static_cast<uint64_t>(offset) + N > length) {
        return false;
    }
    for (std::size_t i = 0; i < N; ++i) {
        if (payload[offset + i] != mark[i]) {
            return false;
        }
    }
    return true;
}

bool HasApplicationSignature(const uint8_t* payload, uint32_t length) {
    return HasMarkAt(payload, length, 0x4000, ImageSignature) ||
           HasMarkAt(payload, length, 0x10000, ImageSignature);
}

char UpperCase(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// Reads exactly `wanted` bytes; false when the file ends early or a read fails.
bool ReadExactly(File& file, uint8_t* buffer, uint32_t wanted) {
    uint32_t got = 0;
    return file.Read(buffer, wanted, got) == 1 && got == wanted;
}

// One access attempt: the keyword until the loader answers, then the id query.
bool AccessLegacyLoader(SerialLink link, uint32_t& boxSoftwareId) {
    return OpenLegacyLoader(link) == 1 && QueryBoxSoftwareId(link, boxSoftwareId) == 1;
}

const LegacyLoaderRow* FindLoaderRow(uint32_t boxSoftwareId) {
    for (const LegacyLoaderRow& row : LegacyLoaderTable) {
        if (row.transfer == nullptr) {
            break;
        }
        if (row.softwareId == boxSoftwareId) {
            return &row;
        }
    }
    return nullptr;
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

int CheckImageType(char letter, const uint8_t* payload, uint32_t payloadLength) {
    LegacyImageState = LegacyState::None;
    const char upper = UpperCase(letter);
    bool met = false;
    LegacyState state = LegacyState::None;
    switch (upper) {
        case 'A':
            state = LegacyState::A;
            met = HasApplicationSignature(payload, payloadLength);
            break;
        case 'F':
            state = LegacyState::F;
            met = HasMarkAt(payload, payloadLength, 0, FactorySettingsMagic);
            break;
        case 'R':
            state = LegacyState::R;
            met = HasApplicationSignature(payload, payloadLength);
            break;
        case 'B':
            state = LegacyState::B;
            met = HasMarkAt(payload, payloadLength, 0, BootImageHeader);
            break;
        case 'C':
            state = LegacyState::C;
            met = HasApplicationSignature(payload, payloadLength);
            break;
        case 'S':
            state = LegacyState::S;
            met = HasMarkAt(payload, payloadLength, 0, ImageSignature);
            break;
        default:
            break;
    }
    const bool serviceOnly = state == LegacyState::R || state == LegacyState::B ||
                             state == LegacyState::C || state == LegacyState::S;
    if (state == LegacyState::None || (serviceOnly && serviceMode == 0)) {
        std::printf("%s\n", messageText(38));
        return 0;
    }
    if (!met) {
        if (state == LegacyState::A) {
            std::printf("%s\n", messageText(36));
        } else if (state == LegacyState::F) {
            std::printf("%s\n", messageText(37));
        }
        return 0;
    }
    LegacyImageState = state;
    return 1;
}

int OpenLegacyLoader(SerialLink link) {
    const auto* keyword = reinterpret_cast<const uint8_t*>(LegacyKeyword);
    for (int pass = 0; pass < KeywordPasses; ++pass) {
        if (SendTimed(link, keyword, LegacyKeywordLength, ReplyLimitMs) != 1) {
            return 0;
        }
        if (LegacyImageState == LegacyState::B) {
            // A loader waiting for a boot image does not answer the keyword.
            return 1;
        }
        uint8_t byte = 0;
        // Bytes other than 0x01 (the keyword's echo, noise) are passed over; a silent second
        // starts the next pass.
        while (ReadByteTimed(link, byte, ReplyLimitMs) == 1) {
            if (byte == LoaderReached) {
                std::printf("%s\n", messageText(35));
                std::fflush(stdout);
                return 1;
            }
        }
    }
    return 0;
}

int QueryBoxSoftwareId(SerialLink link, uint32_t& boxSoftwareId) {
    // A failed start byte is not acted on: the request below decides.
    SendTimed(link, &IdQueryStart, 1, ReplyLimitMs);
    uint8_t byte = 0;
    while (ReadByteTimed(link, byte, QuietMs) == 1) {
        // Whatever the loader says before the request is of no interest.
    }
    if (SendTimed(link, &IdRequest, 1, ReplyLimitMs) != 1) {
        return 0;
    }
    std::array<uint8_t, 4> id{};
    for (uint8_t& b : id) {
        if (ReadByteTimed(link, b, ReplyLimitMs) != 1) {
            return 0;
        }
    }
    boxSoftwareId = ReadBigEndian32(id.data());
    return 1;
}

int LegacyDownload(SerialLink link, const char* imageName, int patchImage) {
    // The block is released by the owner on every way out.
    LegacyImage image;
    if (LoadLegacyImage(imageName, image) != 1) {
        std::printf("%s\n", messageText(29));
        return 1;
    }
    if (CheckImageType(imageTypeLetter, image.payload.get(), image.payloadLength) != 1) {
        return 1;
    }

    uint32_t boxSoftwareId = 0;
    bool reached = false;
    for (int attempt = 0; attempt < AccessAttempts && !reached; ++attempt) {
        reached = AccessLegacyLoader(link, boxSoftwareId);
    }
    if (!reached) {
        std::printf("%s\n", messageText(31));
        return 1;
    }

    const bool bootImage = LegacyImageState == LegacyState::B || LegacyImageState == LegacyState::C;
    if (!bootImage && patchImage != 1 && boxSoftwareId != image.softwareId) {
        std::printf("%s (0x%8.8x)\n", messageText(32), image.softwareId);
        return 1;
    }

    const LegacyLoaderRow* row = FindLoaderRow(boxSoftwareId);
    if (row == nullptr) {
        std::fflush(stdout);
        std::fprintf(stderr, "%s %lx\n", messageText(27),
                     static_cast<unsigned long>(boxSoftwareId));
        CloseSerialLink(link);
        std::printf("%s (0x%8.8x)\n", messageText(34), image.softwareId);
        return 1;
    }

    if (row->transfer(link, image.payload.get(), image.payloadCapacity, image.payloadLength,
                      row->compressFrom) != 0) {
        std::printf("%s\n", messageText(33));
        return 1;
    }
    return 0;
}

int DownloadNotAvailable(SerialLink, const char*, uint32_t, uint32_t, int, int, int, uint32_t, int,
                         int) {
    std::printf("Function not yet available\n");
    return 1;
}
