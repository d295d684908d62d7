// The end of the program: what must happen, in one fixed order, whichever way the program ends
// (its normal end, a failure exit, an interrupt). Each layer installs the action of its own
// stage once it has something to give back or finish; the order is that of the stages below,
// never that of installation, and no stage waits for room.
#pragma once

enum class ShutdownKind { Normal, Failure, Interrupt };

// In the order in which they run.
enum class ShutdownStage {
    TraceStopNoted,    // interrupt only: the trace says that the program ends by an interrupt
    LogRecordWritten,  // the production log's record of the current box
    FailureShown,      // failure only: service mode keeps the failure on screen until ENTER
    PortsGivenBack,    // the ports still open give back what they took (no wait on an interrupt)
    TraceFinished,     // the trace is flushed, closed and put at its name
    HyperPadRemoved,   // interrupt only: a hyper.pad this run wrote goes; after a failure it stays
    Count
};

// A stage's action; `exitCode` is the code the program ends with.
using ShutdownAction = void (*)(ShutdownKind kind, int exitCode);

// Installs the action of `stage`. Each stage has one owner; installing again replaces it.
void InstallShutdownAction(ShutdownStage stage, ShutdownAction action);

// Runs the installed actions of the stages that belong to `kind`, in their order, each once,
// and flushes standard output and error. Called again while it runs (an interrupt during the
// end of the program, or a failure exit from within a stage), it goes on from where the first
// call is: an interrupt runs the stage under way again its own way (the port given back
// without waiting for its output), anything else continues after it.
void RunShutdown(ShutdownKind kind, int exitCode);
