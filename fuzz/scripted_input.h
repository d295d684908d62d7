// Turns fuzz input into what a scripted box sends: pieces of text, each readable from its own
// moment on the virtual clock, so that the code under test sees texts split across reads,
// pauses, and silences around its time limits.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "tests/support/fake_port.h"

namespace fuzz {

// Queues the rest of `input` as pieces: a pause byte (its value times `pauseUnitMs` after the
// previous piece), a length byte, then that many bytes. Returns the arrival time of the last
// piece; `queued`, when given, receives every queued byte in order.
inline uint32_t QueueBoxPieces(InputReader& input, uint32_t pauseUnitMs,
                               std::string* queued = nullptr) {
    uint32_t at = fake::Now();
    while (!input.Empty()) {
        at += input.Byte() * pauseUnitMs;
        const size_t length = input.Byte();
        const std::string_view piece = input.Take(length);
        fake::BoxSendsAt(at, piece);
        if (queued != nullptr) {
            queued->append(piece);
        }
    }
    return at;
}

}  // namespace fuzz
