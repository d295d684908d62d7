// The legacy loaders 10.0 to 12.3: the lookup in their table, the loader's keyword and id query,
// and the download that loads the image, checks it against the image type chosen with -t and the
// box's software id, and runs the transfer that the loader's LegacyLoaderTable row names.
#include "protocols/legacy_path.h"

#include <array>
#include <cstdint>
#include <cstdio>

#include "common/messages.h"
#include "image/pad_image.h"
#include "platform/platform.h"
#include "protocols/failure_report.h"
#include "protocols/legacy_image.h"
#include "protocols/legacy_transfer.h"
#include "protocols/time_limits.h"
#include "serial/serial_link.h"

bool FindLegacyRow(uint32_t softwareId, uint8_t hardwareType) {
    for (const LegacyLoaderRow& row : LegacyLoaderTable) {
        if (row.transfer == nullptr) {
            break;
        }
        if (row.softwareId == softwareId &&
            static_cast<uint8_t>(row.hardwareType & 0xFF) == hardwareType) {
            return true;
        }
    }
    return false;
}

namespace {

// The keyword of this loader family; -n does not change it here.
constexpr char LegacyKeyword[] = "pelmorant";
constexpr uint32_t LegacyKeywordLength = sizeof(LegacyKeyword) - 1;

constexpr int KeywordPasses = 10;
constexpr int AccessAttempts = 5;
// How long the loader may take for each byte of a reply.
constexpr uint32_t ReplyLimitMs = 1000;
constexpr uint32_t QuietMs = 300;
constexpr uint8_t IdQueryStart = 0xFF;
constexpr uint8_t IdRequest = 0x03;
constexpr uint8_t LoaderReached = 0x01;

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

int OpenLegacyLoader(SerialLink link) {
    const auto* keyword = reinterpret_cast<const uint8_t*>(LegacyKeyword);
    for (int pass = 0; pass < KeywordPasses; ++pass) {
        if (SendTimed(link, keyword, LegacyKeywordLength, SendLimitMs) != 1) {
            return 0;
        }
        if (LegacyImageState == LegacyState::B) {
            // A loader waiting for a boot image does not answer the keyword.
            return 1;
        }
        uint8_t byte = 0;
        // Bytes other than 0x01 (the keyword's echo, noise) are passed over; a silent second
        // starts the next pass, a device that is gone ends the passes.
        SetLastErrorValue(0);
        while (ReadByteTimed(link, byte, ReplyLimitMs) == 1) {
            if (byte == LoaderReached) {
                std::printf("%s\n", messageText(Message::BootloaderAccessed));
                std::fflush(stdout);
                return 1;
            }
        }
        if (GetLastErrorValue() == ErrorOperationAborted) {
            return 0;
        }
    }
    return 0;
}

int QueryBoxSoftwareId(SerialLink link, uint32_t& boxSoftwareId) {
    // A failed start byte is not acted on, unless the device is gone: the request decides.
    SetLastErrorValue(0);
    if (SendTimed(link, &IdQueryStart, 1, SendLimitMs) != 1 &&
        GetLastErrorValue() == ErrorOperationAborted) {
        return 0;
    }
    uint8_t byte = 0;
    while (ReadByteTimed(link, byte, QuietMs) == 1) {
        // Whatever the loader says before the request is of no interest.
    }
    if (GetLastErrorValue() == ErrorOperationAborted) {
        return 0;
    }
    if (SendTimed(link, &IdRequest, 1, SendLimitMs) != 1) {
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

int LegacyDownload(SerialLink link, const char* imageName, int patchImage, char imageType,
                   int serviceBuild) {
    // The block is released by the owner on every way out.
    LegacyImage image;
    if (LoadLegacyImage(imageName, image) != 1) {
        ReportFailureOf(stdout, Message::ErrorReadingFile, GetLastErrorValue(), nullptr, "\n");
        return 1;
    }
    if (CheckImageType(imageType, serviceBuild, image.payload.get(), image.payloadLength) != 1) {
        return 1;
    }

    uint32_t boxSoftwareId = 0;
    bool reached = false;
    // A device that is gone ends the attempts: it does not come back on this handle.
    for (int attempt = 0; attempt < AccessAttempts && !reached; ++attempt) {
        reached = AccessLegacyLoader(link, boxSoftwareId);
        if (!reached && GetLastErrorValue() == ErrorOperationAborted) {
            break;
        }
    }
    if (!reached) {
        const uint32_t error = GetLastErrorValue();
        ReportFailureOf(stdout, Message::ErrorGettingVersion, error,
                        error == ErrorOperationAborted ? FailureHint(error) : nullptr, "\n");
        return 1;
    }

    const bool bootImage = LegacyImageState == LegacyState::B || LegacyImageState == LegacyState::C;
    if (!bootImage && patchImage != 1 && boxSoftwareId != image.softwareId) {
        ReportFailureOf(stdout, Message::WrongHardwareIds, 0, nullptr, " (0x%8.8x)\n",
                        image.softwareId);
        return 1;
    }

    const LegacyLoaderRow* row = FindLoaderRow(boxSoftwareId);
    if (row == nullptr) {
        ReportFailureOf(ErrorOutput(), Message::VersionNotSupported, 0, nullptr, " %lx\n",
                        static_cast<unsigned long>(boxSoftwareId));
        CloseSerialLink(link);
        std::printf("%s (0x%8.8x)\n", messageText(Message::UnsupportedSoftwareId),
                    image.softwareId);
        return 1;
    }

    if (row->transfer(link, image.payload.get(), image.payloadCapacity, image.payloadLength,
                      row->compressFrom) != 0) {
        ReportFailureOf(stdout, Message::ErrorUpdatingImage, GetLastErrorValue(), nullptr, "\n");
        return 1;
    }
    return 0;
}
