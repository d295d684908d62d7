// Download for the 4.11 to 4.13 loaders: menu entry, the PC's local time, the announcement of
// the image, the image with its lead-in record, and the byte sum of the image.
#include "protocols/loader411.h"

#include <cstdio>
#include <ctime>

#include "common/messages.h"
#include "image/pad_image.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "platform/platform.h"
#include "protocols/block_transfer.h"
#include "protocols/failure_report.h"
#include "protocols/link_steps.h"
#include "protocols/procedures.h"
#include "protocols/time_limits.h"
#include "serial/serial_link.h"

namespace {

constexpr uint8_t AnnouncedHardwareType = 0x07;
constexpr uint32_t SumPieceSize = 10240;

std::array<uint8_t, SumPieceSize> SumBuffer;

uint8_t Bcd(int value) {
    return static_cast<uint8_t>(((value / 10) << 4) | (value % 10));
}

// The time stamp for the PC's current local time.
void CurrentBoxTimeStamp(uint8_t out[5]) {
    std::time_t now = std::time(nullptr);
    std::tm local{};
#ifdef _WIN32
    localtime_s(&local, &now);
#else
    localtime_r(&now, &local);
#endif
    BuildBoxTimeStamp(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                      local.tm_min, local.tm_sec, out);
}

// Sums the first `length` bytes of the file. 1 on success; 0 when the file cannot be opened
// or read, or ends before `length` bytes (a file that shrank since it was checked).
int SumImageBytes(const char* fileName, uint32_t length, uint32_t& sum) {
    File file = File::OpenRead(fileName);
    if (!file.IsOpen())
        return 0;
    sum = 0;
    uint32_t left = length;
    while (left > 0) {
        uint32_t wanted = left < SumPieceSize ? left : SumPieceSize;
        uint32_t got = 0;
        if (file.Read(SumBuffer.data(), wanted, got) == 0 || got == 0)
            return 0;
        for (uint32_t i = 0; i < got; ++i)
            sum += SumBuffer[i];
        left -= got;
    }
    return 1;
}

}  // namespace

void BuildBoxTimeStamp(int year, int month, int day, int hour, int minute, int second,
                       uint8_t out[5]) {
    const int y = year - 1900;
    const int l = (month == 1 || month == 2) ? 1 : 0;
    const int32_t mjd = 14956 + day + static_cast<int32_t>((y - l) * 365.25) +
                        static_cast<int32_t>((month + 1 + l * 12) * 30.6001);
    const uint32_t low = static_cast<uint32_t>(mjd) & 0xFFFFu;
    out[0] = static_cast<uint8_t>(low >> 8);
    out[1] = static_cast<uint8_t>(low);
    out[2] = Bcd(hour);
    out[3] = Bcd(minute);
    out[4] = Bcd(second);
}

int DownloadLoader411(SerialLink link, const char* imageName, uint32_t imageLength,
                      uint32_t softwareId, int quitRequest, int, int, uint32_t, int, int) {
    if (WaitOrReport(link, "choice!:") != 0)
        return 1;
    std::printf("Choice found\n");
    std::fflush(stdout);
    if (const int entered = EnterMenu(link, quitRequest); entered != MenuEntered)
        return entered;

    SleepMs(MenuPauseMs);
    if (SendOrReport(link, "2") != 0 || WaitOrReport(link, "file:") != 0)
        return 1;
    SleepMs(MenuPauseMs);
    std::printf("%s\n", messageText(Message::StartDownload));
    std::fflush(stdout);

    uint8_t stamp[5];
    CurrentBoxTimeStamp(stamp);
    if (SendOrReport(link, stamp, sizeof stamp) != 0)
        return 1;
    uint8_t announcement[9];
    WriteBigEndian32(announcement, imageLength);
    announcement[4] = AnnouncedHardwareType;
    WriteBigEndian32(announcement + 5, softwareId);
    if (SendOrReport(link, announcement, sizeof announcement) != 0)
        return 1;

    if (SendImageBlocks(link, imageName, TransferLimitMs, Progress::Shown, Encoding::Plain,
                        LeadIn::Expected) == 0) {
        const uint32_t reason = GetLastErrorValue();
        if (reason == ErrorBoxStop) {
            // The box ends the transfer itself once it has what it needs.
            std::printf("%s\n", messageText(Message::Done));
            return 0;
        }
        ReportTransferFailure(link, reason);
        return 1;
    }

    uint32_t sum = 0;
    if (SumImageBytes(imageName, imageLength, sum) == 0) {
        CloseSerialLink(link);
        return 1;
    }
    uint8_t sumBytes[4];
    WriteBigEndian32(sumBytes, sum);
    if (SendOrReport(link, sumBytes, sizeof sumBytes) != 0)
        return 1;
    return AwaitFlashProgrammed(link);
}
