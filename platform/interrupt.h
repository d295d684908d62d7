// Interrupts of a running update: Ctrl-C, a request to terminate and the hang-up of the terminal
// (SIGINT, SIGTERM, SIGHUP); on Windows Ctrl-C, Ctrl-Break and closing the console window.
//
// The handler only records the interrupt and wakes the waits. The waits of the platform (the
// pauses, the waits on the port and the console) notice it within 100 ms and end the program in
// normal context through EndByInterrupt: the notice (set by the front end) ends the output line
// and tells the user what happened, the program's shutdown (platform/shutdown.h) gives the port
// its settings back and removes files the run has left behind, and the program ends the way an
// interrupted program ends on its platform: on POSIX by the same signal with its default action
// (so a shell sees 130 after Ctrl-C), on Windows with exit code 1.
#pragma once

#include <cstdint>

using InterruptAction = void (*)();

// Catches the interrupts from now on. A signal that was ignored when the program started (as
// nohup and background jobs of non-interactive shells arrange it) stays ignored.
void InstallInterruptHandlers();

// What the user is told first when an interrupt ends the program (one notice; a later call
// replaces it).
void SetInterruptNotice(InterruptAction notice);

// True once an interrupt has been recorded.
[[nodiscard]] bool InterruptRecorded();

// Ends the program by the recorded interrupt, if there is one and the program is not already
// ending by it; otherwise returns at once. Every wait calls it when it wakes.
void CheckInterrupt();

// The exit code with which the recorded interrupt ends the program: 128 + the signal on POSIX
// (as a shell shows it), 1 on Windows.
[[nodiscard]] int InterruptExitCode();

// The notice, the shutdown, and the end of the program by the recorded interrupt.
[[noreturn]] void EndByInterrupt();

// The portable half of EndByInterrupt, for the platform halves: runs the notice and the
// interrupt's shutdown once and flushes standard output and error.
void RunInterruptActions();

#if defined(_WIN32)
// The event that the console handler sets when it records an interrupt (a manual-reset event
// handle, nullptr before InstallInterruptHandlers). The waits watch it beside their own object.
[[nodiscard]] void* InterruptEvent();
#else
// Waits up to timeoutMs (-1: without limit) for `events` on `fd` (a negative fd: for nothing,
// a plain pause) and for an interrupt at the same time. An interrupt ends the program through
// EndByInterrupt; otherwise the result is poll's for the descriptor, with its revents in
// `revents` (EINTR shows as 0 with nothing ready).
int PollOrInterrupt(int fd, short events, int timeoutMs, short& revents);
#endif
