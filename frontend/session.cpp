// The update session: checks the image, derives the port set-up and handshake from it, and then,
// box after box in loop mode, opens the port, reaches the bootloader, checks that the image
// fits the box, runs the download procedure of the box's bootloader and reports success.
#include "frontend/session.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "common/messages.h"
#include "frontend/line_trace_start.h"
#include "frontend/port_holders.h"
#include "frontend/production_log.h"
#include "frontend/startup.h"
#include "frontend/tables.h"
#include "frontend/written_files.h"
#include "image/pad_image.h"
#include "platform/clock.h"
#include "platform/interrupt.h"
#include "platform/platform.h"
#include "protocols/failure_report.h"
#include "protocols/legacy_path.h"
#include "protocols/link_steps.h"
#include "protocols/procedures.h"
#include "protocols/satellite.h"
#include "protocols/time_limits.h"
#include "protocols/xmodem_sender.h"
#include "serial/line_trace.h"
#include "serial/serial_link.h"

namespace {

// Boxes whose bootloader needs the digit synchronisation, no RTS/CTS and the "granted" reply.
constexpr std::array<uint8_t, 12> SyncHardwareTypes{0x10, 0x11, 0x13, 0x14, 0x15, 0x16,
                                                    0x20, 0x21, 0x23, 0x24, 0x25, 0x26};
// Boxes whose bootloader cannot take a patched image.
constexpr std::array<uint8_t, 6> UnpatchableHardwareTypes{0x20, 0x21, 0x23, 0x24, 0x25, 0x26};

// Images of this software id fit every box.
constexpr uint32_t UniversalSoftwareId = 0x00060001;
// The version id of a box that reports 65535.65535 (a bootloader without its own version).
constexpr uint32_t UnversionedBoxId = 0xFFFFFFFF;

// With -s no image is read. The request goes to the text menu of a 2.x to 4.x bootloader, which
// listens at 115200 baud with RTS/CTS; hardware type 2 opens the port so (and re-opens it at
// 38400 baud after an aborted read, for the older menus), and it lets the id check through, as
// there is no image whose id could be compared with the box.
constexpr uint8_t SatelliteHardwareType = 0x02;
constexpr uint32_t SatelliteSoftwareId = 0;

constexpr uint32_t DownloadBaudRate = 115200;

// The release block that answers the download prompt of a box that is given up on.
constexpr uint32_t ReleaseBlockSize = 400;
constexpr std::array<uint8_t, 4> ReleaseBlockHead{0x00, 0x00, 0x01, 0x91};
constexpr uint8_t ReleaseBlockFill = 0x12;
// The release is a courtesy to a box that is given up on: the wait for its download prompt and
// the release block's send together get this long. A box of the image's family sends the
// prompt as its next line; a box of another family never does.
constexpr uint32_t ReleaseLimitMs = 30000;

template <std::size_t N>
bool OneOf(const std::array<uint8_t, N>& set, uint8_t value) {
    return std::find(set.begin(), set.end(), value) != set.end();
}

// Refuses a satellite method without a menu answer before anything is sent to a box.
const char* SatelliteAnswerOrExit(const char* methodName) {
    const char* answer = SatelliteMenuAnswer(methodName);
    if (answer == nullptr) {
        std::fprintf(ErrorOutput(), "%s %s\n\n", messageText(Message::BadSyntax), methodName);
        PrintUsage(language, serviceMode);
        ExitProgram(1);
    }
    return answer;
}

void CheckImage(SessionSettings& settings) {
    std::printf("%s", messageText(Message::CheckingFile));
    std::fflush(stdout);
    // Before the image rules apply, syncMode is 1 only through option -i: a raw image.
    const PadReading reading = settings.syncMode == 1 ? PadReading::Raw : PadReading::Checked;
    const uint32_t length =
        ReadPadImage(settings.imageName, settings.hardwareType, settings.softwareId, reading);
    if (length == 0) {
        const uint32_t error = GetLastErrorValue();
        ReportFailureOf(stdout, Message::FailedAbort, error,
                        ImageProblemHint(settings.imageName, LastPadProblem(), error), "\n");
        ExitProgram(1);
    }
    settings.imageLength = length;
    std::printf("%s\n", messageText(Message::Ok));
}

// The image decides the port settings and the handshake; applied once per run, in this order.
void ApplyImageRules(SessionSettings& settings) {
    const uint8_t hardware = settings.hardwareType;
    const uint32_t id = settings.softwareId;
    if (hardware == 3) {
        ReportFailureOf(stdout, Message::ParallelPortImage, 0, nullptr, "\n");
        ExitProgram(1);
    }
    if (id == 0x0004000B || id == 0x0004000C || id == 0x0004000D) {
        settings.syncMode = 1;
    }
    if (OneOf(SyncHardwareTypes, hardware)) {
        settings.syncMode = 1;
        settings.hardwareHandshake = 0;
        settings.grantedHandshake = 1;
    }
    if (OneOf(UnpatchableHardwareTypes, hardware)) {
        settings.patchImage = 0;
    }
    if (hardware == 0x12 || hardware == 0x22) {
        settings.hardwareHandshake = 0;
    }
    if (id >= 0x00050000 && id <= 0x0005FFFF) {
        settings.hardwareHandshake = 0;
    }
    if (settings.legacyPath == 0 && FindLegacyRow(id, hardware)) {
        settings.legacyPath = 1;
        settings.evenParity = 1;
    }
    if ((id >> 16) == 0x000C && (id & 0xFFFF) > 3) {
        settings.evenParity = 1;
    }
}

SerialLink OpenLinkOrExit(const SessionSettings& settings) {
    const uint32_t baudRate = settings.hardwareType < 2 ? 38400 : 115200;
    const SerialLink link = OpenSerialLink(settings.portNumber, baudRate, settings.syncMode,
                                           settings.hardwareHandshake, settings.evenParity);
    if (link == InvalidLink) {
        ReportPortOpenFailure(settings.portNumber, GetLastErrorValue());
        ExitProgram(1);
    }
    std::printf("\n\n");
    std::fflush(stdout);
    retriesLeft = 15;
    return link;
}

// Ends the program after the failure just reported: the box is released and the link closed.
// The log keeps that failure as the cause, whatever the release reports (an interrupt during
// the release logs it too).
[[noreturn]] void GiveUpOnBox(SerialLink link, int grantedHandshake) {
    KeepNotedFailure();
    if (ReleaseBox(link, grantedHandshake) == 0) {
        CloseSerialLink(link);
    }
    ExitProgram(1);
}

// The image must be built for the box's bootloader, unless it fits every box or is to be
// patched to fit. Ends the program on a mismatch.
void CheckIds(SerialLink link, SessionSettings& settings, LoaderVersion version) {
    const uint32_t boxId = VersionId(version);
    if (boxId == settings.softwareId || settings.softwareId == UniversalSoftwareId) {
        return;
    }
    if (settings.hardwareType == 1 || settings.hardwareType == 2 || boxId == UnversionedBoxId) {
        settings.patchImage = 1;
        return;
    }
    if (settings.patchImage == 1) {
        return;
    }
    ReportFailureOf(stdout, Message::WrongHardwareIds, 0, nullptr, " (0x%8.8x != 0x%8.8x)\n",
                    settings.softwareId, boxId);
    GiveUpOnBox(link, settings.grantedHandshake);
}

void PrintBootloaderVersion(LoaderVersion version) {
    std::printf("%s %i.%i\n", messageText(Message::BootloaderVersion), version.major,
                version.minor);
}

// The banner of a successful update, five lines.
constexpr std::array<const char*, 5> Banner{"\n\t\t OOO   K   K  !!!\n", "\t\tO   O  K  K   !!!\n",
                                            "\t\tO   O  K K     !\n", "\t\tO   O  K  K     \n",
                                            "\t\t OOO   K   K   *\n\n"};

void PrintSuccess(int portNumber) {
    std::printf("%s%s%s%s%s%s %i)\n\n", Banner[0], Banner[1], Banner[2], Banner[3], Banner[4],
                messageText(Message::DownloadFinished), portNumber);
    std::fflush(stdout);
}

// One box from the opening of the port to the success report. Returns only on success, with
// the link closed.
void UpdateOneBox(SessionSettings& settings, LoaderVersion& version, const char* satelliteAnswer) {
    SerialLink link = OpenLinkOrExit(settings);
    WarnOfPortHolders(settings.portNumber);
    TraceLineEvent("stage", "access");
    AccessBootloader(link, settings, version);

    if (settings.legacyPath == 1) {
        // The legacy loaders are not asked for a version here: the legacy download reads the
        // loader's software id and checks the image against it itself.
        LogFamily("LegacyDownload");
        TraceLineEvent("stage", "download legacy");
        if (LegacyDownload(link, settings.imageName, settings.patchImage, imageTypeLetter,
                           serviceMode) != 0) {
            ExitProgram(1);
        }
    } else {
        LogLoaderVersion(version);
        TraceLineEvent("stage", "version %i.%i", version.major, version.minor);
        CheckIds(link, settings, version);

        PrintBootloaderVersion(version);
        PortClearErrors(link);
        if (version.major == 0xFFFF && version.minor == 0xFFFF) {
            // From here on the box counts as having the bootloader the image names.
            version.major = static_cast<int>(settings.softwareId >> 16);
            version.minor = static_cast<int>(settings.softwareId & 0xFFFF);
            PrintBootloaderVersion(version);
        }

        if (settings.satelliteUpdate == 1) {
            LogFamily("RequestSatelliteUpdate");
            TraceLineEvent("stage", "satellite request");
            ExitProgram(RequestSatelliteUpdate(link, satelliteAnswer) == 0 ? 0 : 1);
        }

        const std::size_t row =
            LookUpLoader(version, settings.hardwareType, settings.softwareId, settings.patchImage);
        const BootloaderRow& loader = BootloaderTable[row];
        LogFamily(DownloadProcedureName(loader.procedure));
        if (loader.procedure == nullptr) {
            ReportFailureOf(ErrorOutput(), Message::VersionNotSupported, 0, nullptr, " %i.%i\n",
                            version.major, version.minor);
            GiveUpOnBox(link, settings.grantedHandshake);
        }
        TraceLineEvent("stage", "download %s", DownloadProcedureName(loader.procedure));
        if (loader.procedure(link, settings.imageName, settings.imageLength, settings.softwareId,
                             /*quitRequest=*/0, settings.compressedImage, settings.compressInput,
                             DownloadBaudRate, settings.patchImage, loader.param) != 0) {
            ExitProgram(1);
        }
    }

    PrintSuccess(settings.portNumber);
    if (settings.beepWhenDone == 1) {
        ConsoleBeep();
    }
    CloseSerialLink(link);
}

// The first thing an interrupt does: end the line that may be open (a progress line ends
// with a carriage return, and the shell's prompt would overwrite it) and tell the user.
void PrintInterruptNotice() {
    std::fputs("\n", stdout);
    std::fflush(stdout);
    std::fprintf(ErrorOutput(), "%s\n", interruptedText());
}

// An interrupt at the loop question: the last box was updated and logged, nothing is running,
// and the box needs no restart.
void PrintStoppedBetweenBoxesNotice() {
    std::fflush(stdout);
    std::fprintf(ErrorOutput(), "%s\n", hintText(Hint::StoppedBetweenBoxes));
}

}  // namespace

void UpdateSession(SessionSettings& settings) {
    SetReportedPort(settings.portNumber);
    if (settings.imageName == nullptr) {
        PrintUsage(language, serviceMode);
        ExitProgram(1);
    }
    // With -s the name is the satellite method's, not a file's.
    const char* image = settings.satelliteUpdate == 1 ? nullptr : settings.imageName;
    RefuseHyperPadImage(image);
    // From here on an interrupt ends the update in order: the notice, the port's settings as
    // found, no hyper.pad left behind.
    InstallInterruptHandlers();
    SetInterruptNotice(PrintInterruptNotice);
    StartLineTrace(settings.portNumber, image);
    const char* satelliteAnswer = nullptr;
    if (settings.satelliteUpdate == 1) {
        satelliteAnswer = SatelliteAnswerOrExit(settings.imageName);
        settings.hardwareType = SatelliteHardwareType;
        settings.softwareId = SatelliteSoftwareId;
    }
    StartProductionLog(settings);
    if (settings.satelliteUpdate != 1) {
        CheckImage(settings);
        LogImageChecked();
    }
    ApplyImageRules(settings);
    // Without COMn the machine's own port is opened, where a box is rarely connected: say so
    // before the wait there begins.
    if (const char* note = DefaultDeviceNote(settings.portNumber)) {
        std::fflush(stdout);
        PrintHint(note);
    }

    // Everything in settings (patch mode, the ids LookUpLoader wrote) and the version pair carry
    // over to the next box.
    LoaderVersion version;
    for (;;) {
        UpdateOneBox(settings, version, satelliteAnswer);
        WriteBoxRecord(0);
        if (settings.loopMode != 1) {
            ExitProgram(0);
        }
        std::printf("Update another box (y/n)? [y]\n");
        std::fflush(stdout);
        SetInterruptNotice(PrintStoppedBetweenBoxesNotice);
        if (ReadConsoleChar() == 'n') {
            ExitProgram(0);
        }
        SetInterruptNotice(PrintInterruptNotice);
        LogNextBox();
    }
}

int ReleaseBox(SerialLink link, int mode) {
    TraceLineEvent("stage", "release");
    if (mode == 0) {
        // Leave the bootloader's menu, at both speeds the menu may listen at.
        for (const uint32_t baudRate : {115200u, 38400u}) {
            if (ChangeBaudRate(link, baudRate) != 1) {
                CloseSerialLink(link);
                return 1;
            }
            // Not checked: the box is given up on either way.
            (void)SendTimed(link, "1", SendLimitMs);
        }
        return 0;
    }
    const uint32_t start = ClockMs();
    if (WaitOrReport(link, "Now start download", ReleaseLimitMs) != 0)
        return 1;
    std::copy(ReleaseBlockHead.begin(), ReleaseBlockHead.end(), ImageBuffer.begin());
    std::fill(ImageBuffer.begin() + ReleaseBlockHead.size(), ImageBuffer.begin() + ReleaseBlockSize,
              ReleaseBlockFill);
    // What is left of the release's time; at least 1 ms, as 0 would mean no limit.
    const uint32_t left = ReleaseLimitMs - std::min(ElapsedMs(start), ReleaseLimitMs - 1);
    // The box is given up on either way; a release that fails shows only on the box, unless it
    // ran out of time, which ends it as a missing prompt does.
    if (XmodemSendBuffer(link, ReleaseBlockSize, left) != 0 && GetLastErrorValue() == ErrorTimeout)
        return ReportFailureAndClose(link, Message::WaitForError);
    return 0;
}
