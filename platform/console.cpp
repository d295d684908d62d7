// Standard error behind standard output: the two streams often go to one file or terminal
// (`update image.pad >run.log 2>&1`), so what the program printed before a line on standard
// error must be out before that line.
#include <cstdio>

#include "platform/platform.h"

std::FILE* ErrorOutput() {
    std::fflush(stdout);
    return stderr;
}
