// Runs a program as a child process with its standard input fed from a string and its standard
// output and error collected, under a time limit. For end-to-end tests of the real binaries.
#pragma once

#include <string>
#include <vector>

struct ProcessResult {
    // The exit code; 128 + the signal number when the child was ended by a signal, 127 when
    // the program could not be started.
    int exitCode = -1;
    std::string out;
    std::string err;
    // The child was still running when the time limit passed and has been killed.
    bool timedOut = false;
    // Milliseconds from the start to the signal of ProcessOptions (-1: not sent) and to the
    // end of the child's output.
    long long signalSentMs = -1;
    long long endedMs = -1;
};

struct ProcessOptions {
    std::string stdinText;
    int timeoutMs = 60000;
    // "NAME=value" entries added to (or replacing in) the test's own environment.
    std::vector<std::string> extraEnv;
    // Working directory of the child; empty keeps the test's own.
    std::string workDir;
    // Close the child's standard input once stdinText is written. When false it stays open
    // (the child waits for more input) until the child ends or the time limit passes.
    bool closeStdin = true;
    // Sends the signal `signalNumber` (0: none) to the child once, signalDelayMs after its
    // standard output or error first holds signalAfterText (empty: after the start).
    int signalNumber = 0;
    std::string signalAfterText;
    int signalDelayMs = 0;
};

// Starts `executable` (a path; no search in PATH) with `argv` as its argument list; argv[0] is
// the name the program sees, which may differ from the executable's own name.
ProcessResult RunProcessAs(const std::string& executable, const std::vector<std::string>& argv,
                           const ProcessOptions& options);

// Starts argv[0] (a path) with argv as its argument list.
ProcessResult RunProcess(const std::vector<std::string>& argv, const std::string& stdinText = "",
                         int timeoutMs = 60000, const std::vector<std::string>& extraEnv = {},
                         const std::string& workDir = "");
