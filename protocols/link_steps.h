// Steps on the link that the download procedures share, each reporting its own failure: the
// failure line with the last-error value, the link closed, the procedure's result 1.
#pragma once

#include <cstdint>
#include <cstdio>

#include "common/messages.h"
#include "protocols/failure_report.h"
#include "protocols/time_limits.h"
#include "serial/serial_link.h"

// The speed of the 1.5 to 4.x menus once they are shown (and of the hyper bootloader).
inline constexpr uint32_t MenuBaudRate = 115200;

// Waits for `text`; 0 when it came, else message 13 and 1.
inline int WaitOrReport(SerialLink link, const char* text, uint32_t limitMs = NoTimeLimit) {
    return WaitFor(link, text, limitMs) != 0 ? 0
                                             : ReportFailureAndClose(link, Message::WaitForError);
}

// Sends `length` bytes within the send limit; 0 when they went out, else message 8 and 1.
inline int SendOrReport(SerialLink link, const uint8_t* data, uint32_t length) {
    return SendTimed(link, data, length, SendLimitMs) != 0
               ? 0
               : ReportFailureAndClose(link, Message::CannotSendData);
}
inline int SendOrReport(SerialLink link, const char* text) {
    return SendTimed(link, text, SendLimitMs) != 0
               ? 0
               : ReportFailureAndClose(link, Message::CannotSendData);
}

// Asks the box to leave its menu and closes the link. The request is a courtesy to the box:
// the link is closed whether it goes out or not.
inline void LeaveMenu(SerialLink link) {
    (void)SendTimed(link, "1", SendLimitMs);
    CloseSerialLink(link);
}

// The result of EnterMenu when the procedure goes on with its menu entry.
inline constexpr int MenuEntered = -1;

// Once the menu is shown ("choice!:"): with `changeSpeed` the link switches to MenuBaudRate,
// and with `quitRequest` the box then leaves the menu. Gives MenuEntered when the procedure goes
// on, otherwise its result: 0 after the quit request, 1 after a failure (the link closed).
inline int EnterMenu(SerialLink link, int quitRequest, bool changeSpeed = true) {
    if (changeSpeed && ChangeBaudRate(link, MenuBaudRate) == 0) {
        CloseSerialLink(link);
        return 1;
    }
    if (quitRequest == 0)
        return MenuEntered;
    LeaveMenu(link);
    return 0;
}

// Once the image has gone out: "Done", then "Programming flash" until the box says `finished`,
// then "Done" again. 0 when the box said so, 1 after a failure (the link closed).
inline int AwaitFlashProgrammed(SerialLink link, const char* finished = "finished!") {
    std::printf("%s\n", messageText(Message::Done));
    std::printf("%s", messageText(Message::ProgrammingFlash));
    std::fflush(stdout);
    if (WaitOrReport(link, finished) != 0)
        return 1;
    std::printf("%s\n", messageText(Message::Done));
    std::fflush(stdout);
    return 0;
}
