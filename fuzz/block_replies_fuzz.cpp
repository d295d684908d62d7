// The block transfer (SendImageBlocks) against a box whose replies come from fuzz input,
// through the scripted port. Whatever the box says, the transfer must end; it must fail with a
// box's reason exactly when the replies it read hold one, read in one piece by a plain reading
// of the reply rules (so that texts and colon runs split across reads count the same), and a
// plain transfer that succeeds must have sent the file byte for byte.
//
// Input: a flags byte (bit 0 encode, bit 1 lead-in, bits 2-3 file size, bits 4-5 the write
// size), the number of write calls that take nothing (in eights), then the box's pieces.
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/scripted_input.h"
#include "platform/platform.h"
#include "protocols/block_transfer.h"
#include "protocols/time_limits.h"
#include "serial/port.h"

namespace {

constexpr SerialLink Link = 42;
constexpr std::array<size_t, 4> FileSizes = {0, 100, 10241, 25000};
constexpr std::array<uint32_t, 4> WriteSizes = {0, 97, 700, 4096};

[[noreturn]] void Fail(const char* what, uint32_t got, uint32_t want) {
    std::fprintf(stderr, "SendImageBlocks: %s (0x%X, expected 0x%X)\n", what, got, want);
    std::abort();
}

// The reply rules read plainly: three watched texts with their own match positions (a
// mismatching character restarts a text and is not tried as its first character), and for a
// character that advances no text the status characters with the colon count.
uint32_t ScanPlainly(std::string_view replies) {
    static constexpr std::array<std::string_view, 3> texts = {
        "Flash's manufacturer and/or device ids dont match!", "ERROR:", "STOP"};
    static constexpr std::array<uint32_t, 3> failures = {ErrorFlashIdMismatch, ErrorBoxErrorText,
                                                         ErrorBoxStop};
    std::array<size_t, 3> matched{};
    int colons = 0;
    for (char c : replies) {
        bool advanced = false;
        for (size_t i = 0; i < texts.size(); ++i) {
            if (c == texts[i][matched[i]]) {
                advanced = true;
                if (++matched[i] == texts[i].size()) {
                    return failures[i];
                }
            } else {
                matched[i] = 0;
            }
        }
        if (advanced) {
            continue;
        }
        if (c == '.' || c == 'e' || c == 'p') {
            colons = 0;
        } else if ((c == ':' || c == ';') && ++colons == 6) {
            return ErrorBoxFlashReport;
        } else if (c == '?' || c == 'F' || c == 'U') {
            return ErrorBoxFlashReport;
        }
    }
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const fuzz::ScratchFile file;
    fuzz::InputReader input(data, size);
    const uint8_t flags = input.Byte();
    const Encoding encoding = (flags & 1) != 0 ? Encoding::PrefixCoded : Encoding::Plain;
    const LeadIn leadIn = ((flags >> 1) & 1) != 0 ? LeadIn::Expected : LeadIn::None;
    const size_t fileSize = FileSizes[(flags >> 2) & 3];
    const uint32_t writeSize = WriteSizes[(flags >> 4) & 3];
    const int emptyWrites = input.Byte();

    std::vector<uint8_t> content(fileSize);
    for (size_t i = 0; i < fileSize; ++i) {
        content[i] = static_cast<uint8_t>(i * 7 + (i >> 8));
    }
    if (leadIn == LeadIn::Expected && fileSize >= 2) {
        content[0] = 0x11;
        content[1] = static_cast<uint8_t>(flags | 0x40);
    }
    file.Write(content.data(), content.size());

    fake::Reset();
    fake::LimitWrites(writeSize, 2);
    if (emptyWrites != 0) {
        fake::FailWrites(ErrorCounterTimeout, emptyWrites * 8);
    }
    const std::string_view pieces(reinterpret_cast<const char*>(data) + (size - input.Left()),
                                  input.Left());
    fuzz::QueueBoxPieces(input, 400);
    std::string queued;
    for (fuzz::InputReader again(reinterpret_cast<const uint8_t*>(pieces.data()), pieces.size());
         !again.Empty();) {
        again.Byte();
        queued += again.Take(again.Byte());
    }

    const uint32_t start = fake::Now();
    const int result =
        SendImageBlocks(Link, file.Path(), TransferLimitMs, Progress::Shown, encoding, leadIn);
    const uint32_t error = GetLastErrorValue();
    const std::string_view read =
        std::string_view(queued).substr(0, queued.size() - fake::PendingFromBox());
    const uint32_t boxReason = ScanPlainly(read);

    if (boxReason != 0) {
        if (result != 0 || error != boxReason) {
            Fail("the box's reason in the replies read was not the transfer's end", error,
                 boxReason);
        }
        return 0;
    }
    if (result == 0) {
        if (error != ErrorTimeout) {
            Fail("a failure without a box reason in the replies", error, 0);
        }
        if (fake::Now() - start <= TransferLimitMs) {
            Fail("a time-out before the silence limit", fake::Now() - start, TransferLimitMs);
        }
        return 0;
    }
    if (encoding == Encoding::Plain) {
        const std::vector<uint8_t>& written = fake::Written();
        if (written != content) {
            Fail("the bytes on the line differ from the file",
                 static_cast<uint32_t>(written.size()), static_cast<uint32_t>(content.size()));
        }
    }
    return 0;
}
