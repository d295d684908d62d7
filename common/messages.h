// The bilingual message catalogue: 56 numbered texts in English and German, named by Message,
// and beside it the texts of the lines that follow a failure line and say what to do (Hint).
// At the bottom of the layers: every layer may print a message.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// The messages by number; the names follow the English texts (common/messages.cpp).
enum class Message : int {
    InvalidPort = 0,                  // "Invalid Port:"
    InvalidOption = 1,                // "is an invalid option"
    CheckingFile = 2,                 // "Checking file ..."
    FailedAbort = 3,                  // " failed. Abort!"
    Ok = 4,                           // " OK"
    PortInitFailed = 5,               // "Inititialization of COM-port failed (Error: "
    SlowKeywordPortInitFailed = 6,    // "... COM-port to send slow keyword failed (Error: "
    CannotConnectToBootloader = 7,    // "Cannot connect to bootloader over COM-port "
    CannotSendData = 8,               // "WriteFile error " (a write to the port failed)
    SlowKeywordPortReinitFailed = 9,  // "ReInititialization of COM-port ... (Error: "
    Done = 10,                        // "Done!" padded to 24 characters
    ProgrammingFlash = 11,            // "Programming the flash memory..."
    StartDownload = 12,               // "Start download ..."
    WaitForError = 13,                // "WaitFor error "
    FlashIdsDontMatch = 14,           // "Flash's manufacturer and/or device ids dont match!"
    Error = 15,                       // "Error "
    FlashErrorsAbort = 16,            // "Error(s) during erasing, programming or transfering..."
    BoxDoesNotRespond = 17,           // "Fatal error, settop box does not respond. Abort!"
    FatalError = 18,                  // "Fatal error "
    ErasingFlash = 19,                // "Erasing flash memory "
    DownloadHyperBootloader = 20,     // "Download hyper bootloader..."
    BootloaderVersion = 21,           // "Access to bootloader version: "
    PleaseBePatient = 22,             // "Please be patient and wait ... (about 15min)\n"
    CompressingFile = 23,             // "Compressing file ..."
    CannotCreateHyperFile = 24,       // "Cannot create hyper bootloader file, try to restart!"
    TimeOut = 25,                     // "Time out "
    BootloaderAccessFailed = 26,      // "Access to bootloader failed "
    VersionNotSupported = 27,         // "Bootloader version not supported: "
    ErrorConnecting = 28,             // "error connecting..."
    ErrorReadingFile = 29,            // "error opening and reading file"
    ErrorAccessingBootloader = 30,    // "error accessing bootloader"
    ErrorGettingVersion = 31,         // "error getting bootloader version"
    WrongHardwareIds = 32,            // "error -> wrong hardware IDs "
    ErrorUpdatingImage = 33,          // "error updating image"
    UnsupportedSoftwareId = 34,       // "unsupported software id -> exit"
    BootloaderAccessed = 35,          // "bootloader accessed, check version"
    InvalidFlashApplication = 36,     // "invalid flash application"
    InvalidFactorySettings = 37,      // "invalid factory settings"
    WrongImageParameter = 38,         // "Error, wrong image parameter"
    SendingFlashImage = 39,           // "sending flashimage"
    SendingFactorySettings = 40,      // "sending factory settings"
    ErasingFlashPleaseWait = 41,      // " no errors\nerasing flash, please wait... "
    ErrorErasingFlash = 42,           // "Error erasing flash -> exit"
    ErrorWritingImage = 43,           // "Error writing image -> exit"
    Ready = 44,                       // "ready."
    FlashingImagePleaseWait = 45,     // "no errors\nflashing image, please wait... "
    DownloadFinished = 46,            // "Download successfully finished. (com port:"
    Transferred = 47,                 // "transfered"
    MessageFromBox = 48,              // "Message from the box: "
    FileTooLong = 49,                 // "Filelength exceeds maximum length (compressed size"
    SupportedVersions = 50,           // "This program supports the following bootloader ..."
    ParallelPortImage = 51,           // "This PAD-file must be transmitted via the parallel port "
    BadSyntax = 52,                   // "Bad Syntax of parameter: "
    StillTryingToConnect = 53,        // "Cannot connect to loader over COM-port, still trying. "
    StillTryingToSend = 54,           // "Cannot send data to box, still trying."
    TryingToCorrect = 55,             // "Problem while downloading data, trying to correct:"
};

inline constexpr int MessageCount = 56;
static_assert(static_cast<int>(Message::TryingToCorrect) == MessageCount - 1);

// Row 0 English, row 1 German; message n in language L is entry L * 56 + n.
extern const std::array<const char*, 2 * static_cast<std::size_t>(MessageCount)> MessageCatalog;

// The text of a message in the current language; an empty text for a value outside the
// catalogue.
[[nodiscard]] const char* messageText(Message message);

// Not one of the 56: the line printed when an interrupt (Ctrl-C, termination, a closed
// terminal or console window) ends the update, in the current language. The box has been left
// in the middle of a protocol and must be switched off and on before it is tried again.
[[nodiscard]] const char* interruptedText();

// ---- Hint lines -----------------------------------------------------------------------------
// Texts of the lines that come after a failure line on standard error and say what the failure
// means and what to do, in the session's language. They are not among the numbered messages:
// the failure lines stay as they are, and these follow them. Texts with %s and %d are printf
// formats; both languages take the same values in the same order.
enum class Hint : int {
    PortDevice,                // "Port %d (%s)": the port number and its device
    DevicesNone,               // in place of the list when no serial device is present
    OpenMissingVariableSet,    // %s: the COMn variable, the serial devices present
    OpenMissingVariableUnset,  // %s: the COMn variable, the serial devices present
    OpenNotASerialPort,        // %s: the COMn variable, the serial devices present
    OpenMissingPort,           // Windows: no such COM port, or none that is a serial port
    OpenNoPermissionJoin,      // %s: the device's group, twice
    OpenNoPermissionAdmin,     // %s: the device's owner, group, mode (octal), the device
    OpenNoPermission,          // %s: the device
    OpenBusy,
    RunDeviceGone,
    RunWriteLimit,
    RunRefused,
    KeywordHeld,  // after message 7
    OwnBadPort,   // the meanings of the system's own values 0x20000000 to 0x20000008
    OwnWaitBufferFull,
    OwnTimeout,
    OwnCompressionFailed,
    OwnBoxFlashReport,
    OwnFlashIdMismatch,
    OwnCodeOverflow,
    OwnBoxErrorText,
    OwnBoxStop,
    StandInHyperBootloader,  // before the stand-in hyper bootloader goes to a box
    ArgumentsAfterImage,     // followed by the arguments after the image name
    // Why the image check failed, after message 3; %s: the image name.
    ImageMissing,
    ImageEmpty,
    ImageTruncated,
    ImageDirectory,
    ImageNotRegular,
    ImageUnreadable,  // %s: the image name, the system's words for the reason
    ImageBadChecksum,
    ImageUnknownTag,
    ImageTooLarge,
    AccessTimedOut,        // after messages 25 and 26
    InvalidPortVariables,  // after message 0 where COM1 to COM4 are environment variables
    InvalidPortWindows,    // after message 0 on Windows
    TraceIsImage,          // %s: the UPDATE_TRACE name
    LogIsImage,            // %s: the UPDATE_LOG name
    LogIsTrace,            // %s: the UPDATE_LOG name
    TraceIsLog,            // %s: the UPDATE_TRACE name
    ImageIsHyperPad,       // %s: the image name
    PortHeldBy,            // %s: the device, the programs with it open ("name (pid N), ...")
    DefaultDevice,         // %d %s %s %s: the port, its default device, COMn, COMn
    StoppedBetweenBoxes,   // an interrupt at the loop question, after a box was updated
};

inline constexpr int HintCount = static_cast<int>(Hint::StoppedBetweenBoxes) + 1;

// Row 0 English, row 1 German, as in the message catalogue.
extern const std::array<const char*, 2 * static_cast<std::size_t>(HintCount)> HintCatalog;

// The text of a hint in the current language.
[[nodiscard]] const char* hintText(Hint hint);
