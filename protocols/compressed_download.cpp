// The compressed download: the image is read into memory, optionally given the box's tag,
// packed into a CompressedImage container and pushed to the box in pieces of up to 10,240
// bytes, while the box's replies are watched as in the block transfer.
#include "protocols/compressed_download.h"

#include <algorithm>
#include <cstdio>

#include "common/errors.h"
#include "common/messages.h"
#include "image/compression.h"
#include "image/pad_image.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "platform/platform.h"
#include "protocols/block_transfer.h"
#include "serial/port.h"
#include "serial/serial_link.h"

namespace {

constexpr uint32_t ShownAsComplete = 98;  // a percentage above this is shown as 100

// Patch mode: the image takes the container's type as its hardware type and, for the types
// that carry one, the software id, so that the box accepts it as its own.
void PatchImageTag(int type, uint32_t softwareId) {
    if (type >= 4 && type <= 6) {
        WriteBigEndian32(ImageBuffer.data() + 5, softwareId);
    }
    ImageBuffer[4] = static_cast<uint8_t>(type);
}

// The box's error text is shown with everything that arrived in the same read.
void PrintBoxMessage(uint32_t got) {
    std::printf("%s (%i)\n", messageText(Message::MessageFromBox), static_cast<int>(got));
    std::fwrite(ReplyBuffer.data(), 1, got, stdout);
    std::printf("\n\n");
    std::fflush(stdout);
}

}  // namespace

int SendCompressedImage(SerialLink link, const char* fileName, int type, uint32_t softwareId,
                        uint32_t limitMs, Progress progress, int /*ignored*/, int patchImage) {
    uint32_t imageLength = 0;
    {
        File file = File::OpenRead(fileName);
        if (!file.IsOpen()) {
            return 0;
        }
        // A longer file is cut at the size of the image buffer; a failing read simply leaves
        // the bytes read so far.
        (void)file.Read(ImageBuffer.data(), ImageBufferSize, imageLength);
    }
    if (patchImage != 0) {
        PatchImageTag(type, softwareId);
    }

    std::printf("%s\n", messageText(Message::CompressingFile));
    std::fflush(stdout);
    uint32_t total = 0;
    if (!BuildCompressedImage(imageLength, type, softwareId, total)) {
        // The compression has printed its reason; the caller's report shows this value
        // instead of whatever an earlier call left behind.
        SetLastErrorValue(ErrorCompressionFailed);
        return 0;
    }

    uint32_t t0 = ClockMs();
    if (total == 0) {
        return 1;
    }
    ReplyScan scan;
    scan.watchStop = false;
    uint32_t remaining = total;
    uint32_t position = 0;
    uint32_t shownPercentage = 0;
    for (;;) {
        uint32_t written = 0;
        const uint32_t piece = std::min(remaining, TransferBlockSize);
        if (!PortWrite(link, CompressedBuffer.data() + position, piece, written) &&
            GetLastErrorValue() != ErrorCounterTimeout) {
            return 0;  // the write error stays in the last-error value
        }

        // The limit bounds the whole transfer, counted from the pass in which the port took
        // the first bytes; until then the clock keeps being restarted.
        if (remaining == total) {
            t0 = ClockMs();
        } else if (limitMs != NoTimeLimit && ElapsedMs(t0) > limitMs) {
            SetLastErrorValue(ErrorTimeout);
            return 0;
        }

        uint32_t percentage = static_cast<uint32_t>(
            (static_cast<uint64_t>(total) * 100 - static_cast<uint64_t>(remaining) * 100) / total);
        if (percentage > ShownAsComplete) {
            percentage = 100;
        }
        if (progress == Progress::Shown && percentage > shownPercentage) {
            shownPercentage = percentage;
            PrintTransferProgress(percentage);
        }

        PortClearErrors(link);
        uint32_t got = 0;
        if (!PortRead(link, ReplyBuffer.data(), TransferBlockSize, got)) {
            return 0;
        }
        ReplyBuffer[got] = 0;
        if (uint32_t failure = ScanReply(scan, std::span(ReplyBuffer.data(), got))) {
            if (failure == ErrorBoxErrorText) {
                PrintBoxMessage(got);
            }
            SetLastErrorValue(failure);
            return 0;
        }

        remaining -= written;
        position += written;
        if (remaining == 0) {
            return 1;
        }
        if (written == 0 && got == 0) {
            // Nothing moved: block until the box says something or the write may be tried
            // again. Before the first accepted byte no limit runs yet.
            const uint32_t budget = remaining == total ? NoTimeLimit : limitMs;
            PortWaitReadable(link, IdleWaitMs(budget, ElapsedMs(t0)));
        }
    }
}
