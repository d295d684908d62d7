// The narrow side of the box's line that the line faults act through: the box's speed, the log
// and pulling the line. BoxLine implements it; the faults see nothing else of the line.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

class LineControl {
  public:
    // The box's own speed (what its UART is set to now).
    virtual uint32_t BoxBaud() const = 0;
    // Logging on standard error with the prefix "boxsim: ".
    virtual void Log(const char* format, ...) __attribute__((format(printf, 2, 3))) = 0;
    // Pulls the line like a USB adapter pulled out: both sides of the pseudo-terminal close, so
    // the program's next read or write fails; the box's reads return -2 from now on.
    virtual void HangUp() = 0;

  protected:
    ~LineControl() = default;
};

// Bytes as readable text for the log: printable ASCII as is, others as \r, \n or \xHH.
std::string PrintableBytes(std::string_view bytes);
