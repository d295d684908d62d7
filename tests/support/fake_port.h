// A scripted box on a virtual clock, for unit tests of the protocol code.
//
// Test programs that link the fake platform library (instead of the real clock and serial port)
// get ClockMs/SleepMs on a virtual millisecond clock and the port calls of serial/port.h on an
// in-memory line: what the program writes is recorded, what the "box" sends is queued with the
// virtual time from which it can be read. Waits (SleepMs, PortWaitReadable) advance the clock at
// once, so a four-minute time-out costs nothing.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace fake {

// Back to time 0 with an empty line, default settings and no responder.
void Reset();

uint32_t Now();
void Advance(uint32_t ms);

// Queues bytes from the box, readable from virtual time `atMs` on.
void BoxSendsAt(uint32_t atMs, std::string_view bytes);
// Queues bytes from the box, readable `delayMs` after the current time (0: at once).
void BoxSends(std::string_view bytes, uint32_t delayMs = 0);
void BoxSends(std::span<const uint8_t> bytes, uint32_t delayMs = 0);
// Bytes queued but not yet read by the program.
size_t PendingFromBox();

// Everything the program wrote, in order; bytes that the port threw away from its output queue
// never reached the line and are not in it.
const std::vector<uint8_t>& Written();
std::string WrittenText();
void ClearWritten();
// Sizes of the individual write calls, in order.
const std::vector<uint32_t>& WriteCalls();

// Called after every write call with the bytes that went out; the responder plays the box
// (it may call BoxSends). Replaces any earlier responder; an empty function removes it.
void SetResponder(std::function<void(std::span<const uint8_t>)> responder);

// ---- Fault injection -----------------------------------------------------------------------
// The next `count` reads fail with `error` (e.g. ErrorOperationAborted).
void FailReads(uint32_t error, int count = 1);
// Every write call takes at most `bytes` bytes and then reports ErrorCounterTimeout (0: no
// limit). `costMs` is the virtual time each short write takes.
void LimitWrites(uint32_t bytes, uint32_t costMs = 0);
// The next `count` write calls fail with `error`.
void FailWrites(uint32_t error, int count = 1);
// OpenSerialLink fails with `error` for the next `count` calls.
void FailOpens(uint32_t error, int count = 1);
// ChangeBaudRate fails for the next `count` calls.
void FailBaudChanges(int count = 1);

// The port's output queue, which a write on a link with a write limit waits for. By default
// it is always empty (written bytes are on the line at once).
enum class OutputQueue {
    Empty,     // nothing ever waits
    Draining,  // written bytes leave at `bytesPerSecond`
    Held,      // nothing leaves (RTS/CTS held back by a box that is off)
    Unknown,   // the port cannot tell how much it holds
};
void SetOutputQueue(OutputQueue queue, uint32_t bytesPerSecond = 0);
// Bytes the port holds now.
uint32_t OutputQueued();

// ---- What the program did to the port ------------------------------------------------------
struct PortRecord {
    bool open = false;
    int opens = 0;
    int closes = 0;
    int portNumber = 0;
    uint32_t baudRate = 0;
    int noWriteTimeout = 0;
    int hardwareHandshake = 0;
    int evenParity = 0;
    uint32_t writeMultiplierMs = 0;
    uint32_t writeConstantMs = 0;
    int clearErrorCalls = 0;
    int flushCalls = 0;
    int outputQueueLooks = 0;           // calls of PortOutputQueued
    int outputDiscards = 0;             // calls of PortDiscardOutput
    std::vector<uint32_t> baudHistory;  // every speed the port was set to, in order
};
const PortRecord& Port();

// A wait that could only end by a byte that will never come (the queue is empty, no responder
// queued anything and the wait has no limit) calls this handler; the default one aborts the
// test program with a message, so a hanging protocol fails instead of hanging the suite.
void SetStallHandler(std::function<void()> handler);

// Virtual time after which the fake aborts (guards against endless loops); default 24 hours.
void SetTimeCap(uint32_t ms);

}  // namespace fake
