// The files a run writes (the line trace, the production log, hyper.pad) are never the image,
// and the trace and the log are never one file. Names are compared by what they lead to, not by
// how they are spelt (platform/file_identity.h): the trace and hyper.pad are replaced by a
// rename, so a link at their names counts as itself; the image is read and the log appended
// through links, so they count as the file a link leads to. A name that leads to nothing yet
// cannot be any of the others.
#pragma once

// Ends the program with exit code 1 and one line on standard error when the image is the
// working directory's hyper.pad (or a link standing there), which the hyper-bootloader
// download replaces and deletes. Called before anything is opened.
void RefuseHyperPadImage(const char* imageName);

// Whether the line trace may be created at `traceName`: not when it is the image, nor when it
// is the existing production log `logName` (a shift's records would be replaced). A refusal
// costs one line on standard error. `imageName` and `logName` may be null.
[[nodiscard]] bool TraceNameAllowed(const char* traceName, const char* imageName,
                                    const char* logName);

// Whether the production log may be appended to at `logName`: not when it is the image, nor
// when it is the line trace that this run is writing at `traceName` (null when there is none).
// A refusal costs one line on standard error.
[[nodiscard]] bool LogNameAllowed(const char* logName, const char* imageName,
                                  const char* traceName);
