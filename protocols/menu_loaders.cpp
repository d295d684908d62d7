// The menu-driven 2.x to 4.x bootloaders: answer the menu, check the image size against the
// loader's flash, choose the encoded or the compressed download, send the image and wait until
// the box has programmed its flash. Every failure closes the port exactly once.
#include <cstdio>

#include "common/messages.h"
#include "platform/clock.h"
#include "platform/platform.h"
#include "protocols/block_transfer.h"
#include "protocols/compressed_download.h"
#include "protocols/failure_report.h"
#include "protocols/link_steps.h"
#include "protocols/procedures.h"
#include "protocols/time_limits.h"
#include "serial/serial_link.h"

namespace {

// What sets one menu loader apart from the others.
struct MenuLoader {
    uint32_t sizeLimit;       // largest payload the loader's flash takes
    const char* versionLine;  // second line of the size refusal
    bool encodedEntry;        // offers the encoded download "3"
    int compressedType;       // container type of the compressed download
    bool passesSoftwareId;    // the container carries the image's software id
};

// The members, in the order of the fields above.
constexpr MenuLoader Loader20{0x1D0000, "supported by bootloader version 2.0!\n", true, 2, false};
constexpr MenuLoader Loader42{0x1C0000, "supported by bootloader version 4.x!\n", false, 4, true};
constexpr MenuLoader Loader46{0x1C0000, "supported by bootloader version 4.x!\n", false, 5, true};

int RunMenuLoader(const MenuLoader& loader, SerialLink link, const char* imageName,
                  uint32_t imageLength, uint32_t softwareId, int quitRequest, int compressedImage,
                  int compressInput, int patchImage) {
    if (WaitOrReport(link, "choice!:") != 0)
        return 1;
    if (const int entered = EnterMenu(link, quitRequest); entered != MenuEntered)
        return entered;

    // The payload length; an image length below 8 wraps around and is refused here.
    const uint32_t payloadLength = imageLength - 8;
    if (payloadLength > loader.sizeLimit) {
        ReportFailureText(ErrorOutput(), "The image size exceeds the limit", 0, nullptr,
                          "\n\nThe image size of %li bytes exceeds the limit of %li bytes \n",
                          static_cast<long>(payloadLength), static_cast<long>(loader.sizeLimit));
        std::fputs(loader.versionLine, ErrorOutput());
        std::fputs("Try to restart the application and abort.\n\n", ErrorOutput());
        LeaveMenu(link);
        return 1;
    }
    SleepMs(MenuPauseMs);

    const char* entry = "7";
    if (compressedImage == 0) {
        if (loader.encodedEntry) {
            entry = "3";
        } else {
            compressInput = 1;  // an uncompressed image is always compressed before it is sent
        }
    }
    if (SendOrReport(link, entry) != 0 || WaitOrReport(link, "file:") != 0)
        return 1;
    SleepMs(MenuPauseMs);
    std::printf("%s\n", messageText(Message::StartDownload));
    std::fflush(stdout);

    int sent = 0;
    if (compressInput != 0) {
        sent = SendCompressedImage(link, imageName, loader.compressedType,
                                   loader.passesSoftwareId ? softwareId : 0, TransferLimitMs,
                                   Progress::Shown, /*ignored=*/0, patchImage);
    } else {
        // With -2 alone the file is a ready container and goes out unchanged.
        const Encoding encoding = compressedImage == 0 ? Encoding::PrefixCoded : Encoding::Plain;
        sent = SendImageBlocks(link, imageName, TransferLimitMs, Progress::Shown, encoding,
                               LeadIn::None);
    }
    if (!sent) {
        ReportTransferFailure(link, GetLastErrorValue());
        return 1;
    }
    return AwaitFlashProgrammed(link);
}

}  // namespace

int DownloadLoader20(SerialLink link, const char* imageName, uint32_t imageLength,
                     uint32_t softwareId, int quitRequest, int compressedImage, int compressInput,
                     uint32_t /*baudRate*/, int patchImage, int /*param*/) {
    return RunMenuLoader(Loader20, link, imageName, imageLength, softwareId, quitRequest,
                         compressedImage, compressInput, patchImage);
}

int DownloadLoader42(SerialLink link, const char* imageName, uint32_t imageLength,
                     uint32_t softwareId, int quitRequest, int compressedImage, int compressInput,
                     uint32_t /*baudRate*/, int patchImage, int /*param*/) {
    return RunMenuLoader(Loader42, link, imageName, imageLength, softwareId, quitRequest,
                         compressedImage, compressInput, patchImage);
}

int DownloadLoader46(SerialLink link, const char* imageName, uint32_t imageLength,
                     uint32_t softwareId, int quitRequest, int compressedImage, int compressInput,
                     uint32_t /*baudRate*/, int patchImage, int /*param*/) {
    return RunMenuLoader(Loader46, link, imageName, imageLength, softwareId, quitRequest,
                         compressedImage, compressInput, patchImage);
}
