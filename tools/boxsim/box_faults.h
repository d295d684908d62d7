// Faults on the line between the program and the box (box_faults.cpp): noise, lost bytes,
// silences, a pulled adapter, and texts the box sends in place of its own. The faults act on
// the line only through LineControl.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "box_line_control.h"

struct BoxOptions;

class LineFaults {
  public:
    virtual ~LineFaults() = default;
    // A byte from the program as the box's UART takes it (read from the terminal at
    // `arrivedAtMs`, on the monotonic clock in ms): the byte (perhaps changed), or -1 when the
    // line lost it.
    virtual int FromProgram(LineControl& line, uint8_t byte, double arrivedAtMs) = 0;
    // What the box is about to send; may be changed, cut or extended before it goes out.
    virtual void ToProgram(LineControl& line, std::string& bytes) = 0;
    // False when the options asked for something that makes no sense (told on standard error).
    virtual bool Valid() const { return true; }
};

// The faults that the options of the line-fault group ask for (boxsim --help), or nullptr for
// a clean line.
std::unique_ptr<LineFaults> MakeLineFaults(const BoxOptions& options);
