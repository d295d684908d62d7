// Placeholder until this box family is simulated.
#include "box.h"

int PlayStreaming(BoxLine& line, const BoxOptions&) {
    line.Violation("this bootloader family is not simulated yet");
    return 1;
}
