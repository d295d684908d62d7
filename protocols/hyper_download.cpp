// Download for the 1.4 to 1.9 bootloaders: the old menu takes the hyper bootloader (the file
// hyper.pad, written from the built-in image), then the running hyper bootloader takes the image.
#include "protocols/hyper_download.h"

#include <cstdio>

#include "common/messages.h"
#include "image/pad_image.h"
#include "platform/clock.h"
#include "platform/platform.h"
#include "protocols/block_transfer.h"
#include "protocols/failure_report.h"
#include "protocols/link_steps.h"
#include "protocols/procedures.h"
#include "protocols/time_limits.h"
#include "serial/serial_link.h"

namespace {

constexpr const char* HyperPadName = "hyper.pad";
constexpr uint32_t WakeUpWaitMs = 500;

// What sets the members of the 1.x family apart from each other.
struct HyperFamily {
    int padTag;               // WriteHyperPad argument: 0 no tag, 1 the 1-byte tag 0x01
    bool setBaudRate;         // switch to 115200 before the menu entry
    bool announceErasing;     // ErasingFlash before the menu entry
    uint32_t pauseBeforeMs;   // pause before the menu entry
    const char* entry;        // the menu entry that starts the download
    bool confirmEntry;        // "now?" is answered with "y"
    bool doneBeforeDownload;  // Done before DownloadHyperBootloader
    Encoding padEncoding;     // how hyper.pad goes out
    uint8_t hyperType;        // the byte that follows "hyperboot\n"
};

// The members, in the order of the fields above.
constexpr HyperFamily Loader14{0, false, true, 0, "2", true, true, Encoding::Plain, 0};
constexpr HyperFamily Loader15{0, true, false, 100, "2", false, false, Encoding::Plain, 0};
constexpr HyperFamily Loader16{0, true, false, 0, "3", false, false, Encoding::PrefixCoded, 0};
constexpr HyperFamily Loader17{1, true, false, 0, "3", false, false, Encoding::PrefixCoded, 1};

int DownloadHyperFamily(SerialLink link, const char* imageName, int quitRequest,
                        const HyperFamily& family) {
    bool leaveMenu = quitRequest != 0;
    bool padFailed = false;
    if (WriteHyperPad(family.padTag) == 0) {
        // Every member says so (the 1.4 too), and names the file and the system's reason.
        const uint32_t reason = GetLastErrorValue();
        ReportFailureOf(ErrorOutput(), Message::CannotCreateHyperFile, reason, nullptr,
                        "\n%s: %s\n", HyperPadName, SystemErrorText(reason));
        leaveMenu = true;
        padFailed = true;
    }

    if (WaitOrReport(link, "choice!:") != 0)
        return 1;
    const int entered = EnterMenu(link, leaveMenu ? 1 : 0, family.setBaudRate);
    if (entered != MenuEntered)
        return padFailed ? 1 : entered;

    if (family.announceErasing)
        std::printf("%s\n", messageText(Message::ErasingFlash));
    if (family.pauseBeforeMs != 0)
        SleepMs(family.pauseBeforeMs);
    if (SendOrReport(link, family.entry) != 0)
        return 1;
    if (family.confirmEntry) {
        if (WaitOrReport(link, "now?") != 0 || SendOrReport(link, "y") != 0)
            return 1;
    }
    if (WaitOrReport(link, "file:") != 0)
        return 1;
    if (family.doneBeforeDownload)
        std::printf("%s\n", messageText(Message::Done));
    if (HyperBootloaderIsStandIn)
        std::fprintf(ErrorOutput(), "%s\n", hintText(Hint::StandInHyperBootloader));
    std::printf("%s\n", messageText(Message::DownloadHyperBootloader));
    std::fflush(stdout);

    if (SendImageBlocks(link, HyperPadName, TransferLimitMs, Progress::Shown, family.padEncoding,
                        LeadIn::None) == 0) {
        ReportTransferFailure(link, GetLastErrorValue());
        return 1;
    }
    std::printf("%s\n", messageText(Message::Done));
    std::fflush(stdout);
    if (WaitOrReport(link, "finished!") != 0)
        return 1;
    // The box holds the hyper bootloader now; the file is no longer needed. A file that stays
    // behind is replaced by the next download.
    RemoveHyperPad();
    return SendViaHyperBootloader(link, imageName, family.hyperType);
}

}  // namespace

int DownloadLoader14(SerialLink link, const char* imageName, uint32_t, uint32_t, int quitRequest,
                     int, int, uint32_t, int, int) {
    return DownloadHyperFamily(link, imageName, quitRequest, Loader14);
}

int DownloadLoader15(SerialLink link, const char* imageName, uint32_t, uint32_t, int quitRequest,
                     int, int, uint32_t, int, int) {
    return DownloadHyperFamily(link, imageName, quitRequest, Loader15);
}

int DownloadLoader16(SerialLink link, const char* imageName, uint32_t, uint32_t, int quitRequest,
                     int, int, uint32_t, int, int) {
    return DownloadHyperFamily(link, imageName, quitRequest, Loader16);
}

int DownloadLoader17(SerialLink link, const char* imageName, uint32_t, uint32_t, int quitRequest,
                     int, int, uint32_t, int, int) {
    return DownloadHyperFamily(link, imageName, quitRequest, Loader17);
}

int SendViaHyperBootloader(SerialLink link, const char* imageFileName, uint8_t hyperType) {
    std::printf("%s\n", messageText(Message::StartDownload));
    std::fflush(stdout);
    if (ChangeBaudRate(link, MenuBaudRate) == 0) {
        CloseSerialLink(link);
        return 1;
    }
    // The hyper bootloader answers a blank once it runs; until then the blank is repeated, as
    // long as it takes.
    for (;;) {
        if (SendOrReport(link, " ") != 0)
            return 1;
        if (WaitFor(link, "hyperboot\n", WakeUpWaitMs) != 0)
            break;
        if (GetLastErrorValue() != ErrorTimeout)
            return ReportFailureAndClose(link, Message::WaitForError);
    }
    if (SendOrReport(link, &hyperType, 1) != 0)
        return 1;
    if (SendImageBlocks(link, imageFileName, TransferLimitMs, Progress::Shown,
                        Encoding::PrefixCoded, LeadIn::None) == 0) {
        ReportTransferFailure(link, GetLastErrorValue());
        return 1;
    }
    return AwaitFlashProgrammed(link, "finished.\n");
}
