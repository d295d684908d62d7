// The line trace of a run: switched on by the environment variable UPDATE_TRACE, which names the
// file (serial/line_trace.h has the format). The command line, the console texts and the exit
// codes stay as they are; a trace that cannot be written costs one line on standard error.
#pragma once

// Opens the trace named by UPDATE_TRACE, if it is set and not empty, for an update on port
// `portNumber`. A trace that cannot be created is reported in one line on standard error
// (the file and the system's reason), and the update runs without it.
void StartLineTrace(int portNumber);
