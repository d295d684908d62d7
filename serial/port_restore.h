// The settings a port had when the program opened it, kept so that they are given back: at
// every close of the link, when the program ends with the link still open, and when an
// interrupt ends the program. A technician's console or adapter is left as it was found, not
// raw at 115200 baud. Used by the port implementations (serial/posix_port.cpp,
// serial/win32_port.cpp) only.
#pragma once

#include "serial/port.h"

// Reads and keeps the device's settings as found, right after it was opened (termios and the
// DTR and RTS lines on POSIX; the DCB and the time-outs on Windows), and makes sure they are
// given back if the program ends with the link open. A device whose settings cannot be read is
// not kept; opening it fails anyway.
void RememberPortSettings(SerialLink link);

// Gives the device the settings it had when it was opened and forgets them. Output that is
// still queued has up to 500 ms to go out (and 100 ms more for what the transmitter and the
// adapter still hold); output that a dead line does not take is thrown away, so that it never
// holds the program. Nothing happens for a link whose settings were not kept.
void RestorePortSettings(SerialLink link);
