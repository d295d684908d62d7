// boxsim's line trace (--trace FILE): the bytes of the line from the box's side, in the format of
// the program's own trace (serial/line_trace.h), with the same direction labels: what the box
// reads is prog>box, what it sends box>prog. scripts/trace-diff lines the two traces of a run up.
#pragma once

#include <string>

#include "box_options.h"

// Opens the trace that --trace names, if it was given; `slavePath` is the terminal the box plays
// on. False after a line on standard error when the file cannot be created.
bool StartBoxTrace(const BoxOptions& options, const std::string& slavePath);
