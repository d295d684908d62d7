// Start-up: the program's revision, the usage texts, the version listing, the options of one
// run and ExitProgram, through which every way out of the program passes.
#pragma once

#include "common/settings.h"

// The program's revision text and its parsed form.
inline constexpr const char* RevisionText = "$Revision: 2.16 $";
struct RevisionPair {
    int major = 0;
    int minor = 0;
};
[[nodiscard]] RevisionPair ParseRevision(const char* text);

// Usage text on standard error, in the given language, with the service lines when
// usageServiceMode is 1 (the callers pass the program-wide values).
void PrintUsage(int usageLanguage, int usageServiceMode);

// Version listing (-V) on standard output; standardForm is 1 outside service mode.
void PrintVersionListing(int major, int minor, const char* programName, int standardForm);

// The only way the program ends other than by an interrupt: runs the shutdown (the box's log
// record, in service mode a failure waits for ENTER, the ports given back, the trace finished)
// and exits with `code`.
[[noreturn]] void ExitProgram(int code);

// Start-up: derives language and service mode from argv[0], parses the options into
// `settings`, and answers a bare start (usage) and -V at once. Every start-up error ends the
// program through ExitProgram. Returns only when an update is to be run.
void StartUp(int argc, char** argv, SessionSettings& settings);
