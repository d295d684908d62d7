// WaitFor on whatever a box may send, in pieces over time, through the scripted port. Every
// call must end (a silent box after a full buffer at the latest, fed here once the box has
// nothing more to say), with success only when the expected text has arrived, and with one of
// its own reasons otherwise: a time-out only after the limit, a full buffer only after 10,239
// bytes, the error text only after "ERROR:" and a line feed.
//
// Input: the expected text's number, the limit's number, then pieces (see scripted_input.h).
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "fuzz/scripted_input.h"
#include "platform/platform.h"
#include "serial/serial_link.h"

namespace {

constexpr SerialLink Link = 42;
constexpr std::array<const char*, 6> Texts = {
    "granted", "Now start download", "finished!", "OK", "Bootloader Version", "E",
};
constexpr std::array<uint32_t, 4> Limits = {0, 1, 1000, 20000};

[[noreturn]] void Fail(const char* what, const char* text, uint32_t limit) {
    std::fprintf(stderr, "WaitFor(\"%s\", %u): %s\n", text, limit, what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::InputReader input(data, size);
    const char* text = Texts[input.Byte() % Texts.size()];
    const uint32_t limit = Limits[input.Byte() % Limits.size()];
    fake::Reset();
    fuzz::QueueBoxPieces(input, 250);
    // A silent box after its last piece: a wait without limit can then end only by a full
    // buffer, so the box fills it (with bytes that complete no text).
    bool filled = false;
    fake::SetStallHandler([&] {
        if (!filled) {
            filled = true;
            fake::BoxSends(std::string(10240, '.'));
        }
    });

    const uint32_t start = fake::Now();
    const int result = WaitFor(Link, text, limit);
    const uint32_t took = fake::Now() - start;
    const uint32_t error = GetLastErrorValue();
    const std::string_view received(WaitBuffer.data());

    if (result == 1) {
        if (received.find(text) == std::string_view::npos) {
            Fail("success without the text in the buffer", text, limit);
        }
        return 0;
    }
    if (result != 0) {
        Fail("a result other than 0 and 1", text, limit);
    }
    switch (error) {
        case ErrorTimeout:
            if (limit == 0 || took <= limit) {
                Fail("a time-out before the limit passed", text, limit);
            }
            break;
        case ErrorWaitBufferFull:
            if (WaitBuffer[10239] != '\0') {
                Fail("the full buffer is not terminated", text, limit);
            }
            break;
        case ErrorBoxErrorText: {
            const size_t at = received.find("ERROR:");
            if (at == std::string_view::npos || received.find('\n', at) == std::string_view::npos) {
                Fail("an error text without \"ERROR:\" and a line feed", text, limit);
            }
            break;
        }
        default:
            Fail("an unknown reason", text, limit);
    }
    if (limit != 0 && took > limit + 1000) {
        Fail("the wait ran far past its limit", text, limit);
    }
    return 0;
}
