// What the tests expect after a failure line: the line that says what the failure means
// (protocols/failure_report.h) with its line end, or nothing where there is no such line. The
// texts themselves are checked word for word by the unit tests of the hints; the protocol tests
// check that the specified line stays as it is and that exactly this line follows it.
#pragma once

#include <cstdint>
#include <string>

#include "common/errors.h"
#include "common/messages.h"
#include "image/pad_image.h"
#include "protocols/failure_report.h"

inline std::string HintLine(const char* hint) {
    return hint != nullptr ? std::string(hint) + "\n" : std::string();
}

inline std::string FailureHintLine(uint32_t error) {
    return HintLine(FailureHint(error));
}

// The warning before the hyper bootloader goes to a box, in a build that carries the stand-in.
inline std::string StandInLine() {
    return HyperBootloaderIsStandIn ? std::string(hintText(Hint::StandInHyperBootloader)) + "\n"
                                    : std::string();
}
