// boxsim's line trace (box_trace.h) over the program's trace writer.
#include "box_trace.h"

#include <array>
#include <cstdio>

#include "platform/platform.h"
#include "serial/line_trace.h"

namespace {

void ReportBoxTraceFailure(const char* fileName, uint32_t reason) {
    std::fprintf(stderr, "boxsim: --trace %s: %s\n", fileName, SystemErrorText(reason));
}

}  // namespace

bool StartBoxTrace(const BoxOptions& options, const std::string& slavePath) {
    const std::string fileName = options.Get("trace");
    if (fileName.empty()) {
        return true;
    }
    std::array<char, 512> header{};
    std::snprintf(header.data(), header.size(),
                  "# boxsim, box %s on hardware type 0x%02X at %u baud, on %s\n",
                  options.version.c_str(), options.hardwareType, options.baudRate,
                  slavePath.c_str());
    if (OpenLineTrace(fileName.c_str(), header.data(), ReportBoxTraceFailure) == 0) {
        ReportBoxTraceFailure(fileName.c_str(), GetLastErrorValue());
        return false;
    }
    return true;
}
