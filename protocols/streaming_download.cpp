// Streaming download for the 12.4 to 12.6, 21.x to 24.x and 0.0 bootloaders: the box asks for
// the image with "Now start download", takes it by X-modem and reports "finished!" once its
// flash is programmed.
#include <cstdint>
#include <cstdio>

#include "common/messages.h"
#include "image/pad_image.h"
#include "platform/platform.h"
#include "protocols/link_steps.h"
#include "protocols/procedures.h"
#include "protocols/xmodem_sender.h"
#include "serial/serial_link.h"

namespace {

// Raises the process priority for the lifetime of the object when asked to, and puts the old
// priority class back on every way out.
class PriorityRaise {
  public:
    explicit PriorityRaise(bool raise) : raised_(raise), previous_(GetProcessPriorityClass()) {
        if (raised_) {
            SetProcessPriorityClass(HighPriorityClass);
        }
    }
    ~PriorityRaise() {
        if (raised_) {
            SetProcessPriorityClass(previous_);
        }
    }
    PriorityRaise(const PriorityRaise&) = delete;
    PriorityRaise& operator=(const PriorityRaise&) = delete;

  private:
    bool raised_;
    uint32_t previous_;
};

}  // namespace

int StreamingDownload(SerialLink link, const char* imageName, uint32_t /*imageLength*/,
                      uint32_t softwareId, int /*quitRequest*/, int /*compressedImage*/,
                      int /*compressInput*/, uint32_t /*baudRate*/, int patchImage,
                      int raisePriority) {
    const PriorityRaise priority(raisePriority == 1);

    if (WaitOrReport(link, "Now start download") != 0)
        return 1;
    int sent = 1;
    if (patchImage == 1) {
        uint32_t size = 0;
        if (LoadStampedImage(imageName, size, softwareId) != 0) {
            return 1;  // the loader has said why; the link stays open
        }
        sent = XmodemSendBuffer(link, size);
    } else {
        sent = XmodemSendFile(link, imageName);
    }
    if (sent != 0) {
        return 1;
    }

    return AwaitFlashProgrammed(link);
}
