// The line trace of a run: switched on by the environment variable UPDATE_TRACE, which names the
// file (serial/line_trace.h has the format). The command line, the console texts and the exit
// codes stay as they are; a trace that cannot be written costs one line on standard error.
#pragma once

// Opens the trace named by UPDATE_TRACE, if it is set and not empty, for an update on port
// `portNumber` with the image `imageName` (null when there is none). A trace that cannot be
// created, or that is the image or the production log (frontend/written_files.h), is reported
// in one line on standard error, and the update runs without it.
void StartLineTrace(int portNumber, const char* imageName);
