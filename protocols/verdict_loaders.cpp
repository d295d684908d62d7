// Download for the 5.1 and 5.3 loaders: the image goes out by X-modem, then the box checks it
// and says what it thinks of it in one of its verdict lines.
#include <cstdio>

#include "common/messages.h"
#include "platform/platform.h"
#include "protocols/link_steps.h"
#include "protocols/procedures.h"
#include "protocols/verdict_lines.h"
#include "protocols/xmodem_sender.h"
#include "serial/serial_link.h"

namespace {

constexpr const char* StartPrompt = "Please start transfer with X modem protocol.";

constexpr const char* FailureBanner =
    "\n\t\tEEEEE RRRR  RRRR   OOO   RRRR   !!! "
    "\n\t\tE     R   R R   R O   O  R   R  !!! "
    "\n\t\tEEEE  RRRR  RRRR  O   O  RRRR    !  "
    "\n\t\tE     R  R  R R   O   O  R R        "
    "\n\t\tEEEEE R   R R  R   OOO   R  R    *  \n\n";

bool IsShown(uint8_t byte) {
    return (byte >= 0x09 && byte <= 0x0D) || (byte >= 0x20 && byte <= 0x7E);
}

// Echoes what the box says until one of its verdict lines is complete. The index of that line,
// or -1 when the port could not be read.
int AwaitVerdict(SerialLink link) {
    VerdictMatcher matcher;
    for (;;) {
        uint8_t byte = 0;
        uint32_t got = 0;
        if (PortRead(link, &byte, 1, got) == 0) {
            ReportFailure("Error during write to COM", GetLastErrorValue());
            return -1;
        }
        if (got == 0) {
            // Nothing there: show what was echoed so far and sleep until the box says more.
            std::fflush(stdout);
            PortWaitReadable(link, WaitForever);
            continue;
        }
        if (IsShown(byte))
            std::putchar(byte);
        const int line = matcher.Feed(byte);
        if (line >= 0) {
            std::fflush(stdout);
            return line;
        }
    }
}

}  // namespace

int DownloadXmodem(SerialLink link, const char* imageName, uint32_t, uint32_t, int, int, int,
                   uint32_t, int, int) {
    if (WaitOrReport(link, StartPrompt) != 0)
        return 1;
    // The box judges the image itself, even after a transfer that went wrong on this side.
    int result = XmodemSendFile(link, imageName);
    if (AwaitVerdict(link) != SuccessVerdictLine) {
        std::printf("%s", FailureBanner);
        result = 1;
    }
    std::printf("%s\n", messageText(Message::Done));
    std::fflush(stdout);
    return result;
}
