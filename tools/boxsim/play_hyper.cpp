// The 1.4 to 1.9 bootloaders and the hyper bootloader that they are given first.
//
// The old menu ends in "choice!:"; the download entry is "2" (1.4, 1.5; 1.4 asks "now?" and
// wants "y") or "3" (1.6 to 1.9). After "file:" the box takes hyper.pad: plain for 1.4 and 1.5,
// prefix-coded for 1.6 to 1.9, with the 1-byte tag 0x01 for 1.7 and 1.9 and without a tag
// otherwise, and it must hold exactly the program's built-in hyper bootloader. After
// "finished!" the hyper bootloader runs at 115200 baud: it answers a blank with "hyperboot\n",
// reads the hyper type byte (0x01 for 1.7 and 1.9, else 0x00), receives the prefix-coded image
// and answers "finished.\n".
//
// The menu runs at the box's own speed for 1.4 and at 115200 baud from the menu entry on for
// the others.
//
// Options: --hyper-silent N (the hyper bootloader ignores the first N blanks), --refuse-file
// (the menu answers its entry with an error text instead of "file:"), --save FILE (the image
// received by the hyper bootloader).
#include <algorithm>
#include <chrono>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "box_decoders.h"
#include "box_line.h"
#include "box_players.h"
#include "image/pad_image.h"

namespace {

constexpr uint32_t HyperBaud = 115200;
constexpr int QuietMs = 200;

struct Generation {
    char entry;         // the menu entry of the download
    bool confirm;       // "now?" must be answered with "y"
    bool padEncoded;    // hyper.pad comes prefix-coded
    uint8_t padTag;     // 0: hyper.pad without tag, else its 1-byte tag
    bool fastMenu;      // the menu switches to 115200 baud after "choice!:"
    uint8_t hyperType;  // the byte after "hyperboot\n"
};

Generation GenerationOf(int minor) {
    const bool typeOne = minor == 7 || minor == 9;
    return Generation{minor >= 6 ? '3' : '2',   minor == 4, minor >= 6,
                      uint8_t(typeOne ? 1 : 0), minor != 4, uint8_t(typeOne ? 1 : 0)};
}

void Pause(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// Nothing may follow a complete transfer before the box has answered it.
bool NothingMore(BoxLine& line, const char* what) {
    const std::vector<uint8_t> more = line.DrainQuiet(QuietMs);
    if (!more.empty()) {
        line.Violation("%zu bytes more after %s", more.size(), what);
        return false;
    }
    return true;
}

// Receives hyper.pad and checks it against the built-in hyper bootloader.
bool ReceiveHyperPad(BoxLine& line, const Generation& g, int step) {
    const size_t size = 4 + (g.padTag != 0 ? 1 : 0) + HyperBootloaderSize + 4;
    std::vector<uint8_t> pad;
    if (g.padEncoded) {
        box::EncodedImageReceiver receiver(size);
        for (;;) {
            const int byte = line.ReadByte(step);
            if (byte < 0) {
                line.Violation("hyper.pad stopped after %zu coded bytes", receiver.Received());
                return false;
            }
            if (receiver.Take(static_cast<uint8_t>(byte))) {
                break;
            }
        }
        pad = receiver.Image();
        line.Log("hyper.pad: %zu bytes decoded from %zu", pad.size(), receiver.Received());
    } else if (!line.ReadExact(pad, size, step)) {
        line.Violation("hyper.pad stopped after %zu bytes", pad.size());
        return false;
    }
    box::PadLayout layout;
    std::string problem;
    if (!box::CheckPadImage(pad, layout, problem)) {
        line.Violation("hyper.pad is no sound PAD file: %s", problem.c_str());
        return false;
    }
    const std::span<const uint8_t> payload(pad.data() + 4 + layout.tagLength, layout.payloadLength);
    const size_t expectedTag = g.padTag != 0 ? 1 : 0;
    if (layout.payloadLength != HyperBootloaderSize || layout.tagLength != expectedTag ||
        (expectedTag == 1 && layout.hardwareType != g.padTag) ||
        !std::equal(payload.begin(), payload.end(), HyperBootloaderImage.begin())) {
        line.Violation(
            "hyper.pad: payload %u bytes, tag %u bytes (0x%02X); expected the hyper "
            "bootloader with %zu tag bytes",
            layout.payloadLength, layout.tagLength, layout.hardwareType, expectedTag);
        return false;
    }
    line.Log("hyper.pad %s, %s, holds the hyper bootloader", g.padEncoded ? "coded" : "plain",
             expectedTag != 0 ? "tag 0x01" : "no tag");
    return NothingMore(line, "hyper.pad");
}

// The running hyper bootloader: wake-up, type byte, the coded image.
bool PlayHyperBootloader(BoxLine& line, const BoxOptions& options, const Generation& g) {
    const int step = options.StepTimeoutMs();
    const long silent = options.GetInt("hyper-silent", 0);
    for (long blanks = 1;; ++blanks) {
        const int byte = line.ReadByte(step);
        if (byte != ' ') {
            line.Violation("wake-up: %d instead of a blank", byte);
            return false;
        }
        if (blanks > silent) {
            line.Log("blank %ld answered", blanks);
            break;
        }
        line.Log("blank %ld ignored", blanks);
    }
    line.Send("hyperboot\n");
    const int type = line.ReadByte(step);
    if (type != g.hyperType) {
        line.Violation("hyper type %d, expected %u", type, g.hyperType);
        return false;
    }
    box::EncodedImageReceiver receiver;
    for (;;) {
        const int byte = line.ReadByte(step);
        if (byte < 0) {
            line.Violation("the image stopped after %zu coded bytes", receiver.Received());
            line.Save(options, receiver.Image());
            return false;
        }
        if (receiver.Take(static_cast<uint8_t>(byte))) {
            break;
        }
    }
    line.Log("image: %zu bytes decoded from %zu", receiver.Image().size(), receiver.Received());
    line.Save(options, receiver.Image());
    if (!NothingMore(line, "the image")) {
        return false;
    }
    Pause(300);  // programming
    line.Send("\r\nfinished.\n");
    return true;
}

}  // namespace

int PlayHyperLoader(BoxLine& line, const BoxOptions& options) {
    const int step = options.StepTimeoutMs();
    const Generation g = GenerationOf(options.Minor());
    line.Send("\r\nBootloader " + options.version +
              "\r\n 1 Exit\r\n 2 Erase and load\r\n 3 Load\r\nchoice!:");
    if (g.fastMenu) {
        line.SetBoxBaud(HyperBaud);
    }
    const int choice = line.ReadByte(step);
    if (choice == '1') {
        line.Log("the program left the menu");
        return 0;
    }
    if (choice != g.entry) {
        line.Violation("menu answer %d, expected '%c'", choice, g.entry);
        return 1;
    }
    if (g.confirm) {
        line.Send("\r\nErase flash now?");
        if (!line.Expect("y", step)) {
            return 1;
        }
    }
    if (options.Has("refuse-file")) {
        line.Send("\r\nERROR: flash locked\n");
        line.Log("download refused");
        line.DrainQuiet(QuietMs);
        return 0;
    }
    line.Send("\r\nSend file:");
    if (!ReceiveHyperPad(line, g, step)) {
        return 1;
    }
    Pause(200);  // storing the hyper bootloader
    line.Send("\r\nfinished!\r\n");
    line.SetBoxBaud(HyperBaud);
    return PlayHyperBootloader(line, options, g) ? 0 : 1;
}
