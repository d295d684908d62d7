// The port calls of serial/port.h that the line trace watches: each runs the platform's own call
// (serial/port_device.h) and then tells the trace what passed, so that the bytes are those that
// were really written or read, in the order of the calls. With the trace off each costs one
// test of a flag.
#include "platform/platform.h"
#include "serial/line_trace.h"
#include "serial/port.h"
#include "serial/port_device.h"

SerialLink OpenSerialLink(int portNumber, uint32_t baudRate, int noWriteTimeout,
                          int hardwareHandshake, int evenParity) {
    const char* name = PortDeviceName(portNumber);
    SerialLink link = InvalidLink;
    if (name == nullptr) {
        SetLastErrorValue(ErrorBadPort);
    } else {
        link = OpenPortDevice(name, baudRate, noWriteTimeout, hardwareHandshake, evenParity);
    }
    if (lineTraceActive) {
        if (link == InvalidLink) {
            TracePortCall("open", 0, LineDirection::ProgToBox, nullptr, 0);
        } else {
            // The rule of both platforms: RTS/CTS only without parity.
            TracePortOpen(portNumber, name, baudRate, evenParity == 1,
                          hardwareHandshake == 1 && evenParity != 1);
        }
    }
    return link;
}

int ChangeBaudRate(SerialLink link, uint32_t baudRate) {
    const int ok = SetPortDeviceSpeed(link, baudRate);
    if (ok != 0) {
        TraceLineEvent("speed", "%u baud", baudRate);
    } else {
        TracePortCall("speed", 0, LineDirection::ProgToBox, nullptr, 0);
    }
    return ok;
}

void CloseSerialLink(SerialLink link) {
    ClosePortDevice(link);
    if (link != InvalidLink) {
        TraceLineEvent("close", "the port is closed");
    }
}

int PortRead(SerialLink link, uint8_t* buffer, uint32_t maximum, uint32_t& got) {
    const int ok = ReadPortDevice(link, buffer, maximum, got);
    TracePortCall("read", ok, LineDirection::BoxToProg, buffer, got);
    return ok;
}

int PortWrite(SerialLink link, const uint8_t* data, uint32_t length, uint32_t& written) {
    const int ok = WritePortDevice(link, data, length, written);
    TracePortCall("write", ok, LineDirection::ProgToBox, data, written);
    return ok;
}

void PortDiscardOutput(SerialLink link) {
    DiscardPortDeviceOutput(link);
    TraceLineEvent("discard", "output not yet sent is thrown away");
}

int PortFlush(SerialLink link) {
    const int ok = FlushPortDevice(link);
    if (ok != 0) {
        TraceLineEvent("flush", "the output has gone out");
    } else {
        TracePortCall("flush", 0, LineDirection::ProgToBox, nullptr, 0);
    }
    return ok;
}
