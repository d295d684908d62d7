// Opening the line trace for a run (frontend/line_trace_start.h).
#include "frontend/line_trace_start.h"

#include <array>
#include <cstdio>
#include <cstdlib>

#include "common/settings.h"
#include "frontend/startup.h"
#include "frontend/written_files.h"
#include "platform/platform.h"
#include "serial/line_trace.h"
#include "serial/port.h"

namespace {

bool traceRunning = false;

// One line on standard error, after whatever the program printed before, in the language of
// the program's name.
void ReportTraceFailure(const char* fileName, uint32_t reason) {
    std::fflush(stdout);
    const char* consequence = nullptr;
    if (language == 1) {
        consequence = traceRunning ? "das Leitungsprotokoll ist unvollstaendig"
                                   : "die Aktualisierung laeuft ohne Leitungsprotokoll";
    } else {
        consequence =
            traceRunning ? "the line trace is incomplete" : "the update runs without a line trace";
    }
    std::fprintf(ErrorOutput(), "UPDATE_TRACE %s: %s; %s.\n", fileName, SystemErrorText(reason),
                 consequence);
    std::fflush(stderr);
}

}  // namespace

void StartLineTrace(int portNumber, const char* imageName) {
    const char* fileName = std::getenv("UPDATE_TRACE");
    if (fileName == nullptr || *fileName == '\0' ||
        !TraceNameAllowed(fileName, imageName, std::getenv("UPDATE_LOG"))) {
        return;
    }
    const RevisionPair revision = ParseRevision(RevisionText);
    const char* device = PortDeviceName(portNumber);
    std::array<char, 512> header{};
    std::snprintf(header.data(), header.size(), "# %s %d.%d, port %d (%s)\n",
                  language == 1 ? "aktualisieren" : "update", revision.major, revision.minor,
                  portNumber, device != nullptr ? device : "none");
    if (OpenLineTrace(fileName, header.data(), ReportTraceFailure) == 0) {
        ReportTraceFailure(fileName, GetLastErrorValue());
        return;
    }
    traceRunning = true;
}
