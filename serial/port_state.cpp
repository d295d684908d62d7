// The portable half of giving a port back: the wait for its output, and the ports still held
// when the program ends.
#include "serial/port_state.h"

#include "platform/clock.h"
#include "platform/shutdown.h"
#include "serial/line_trace.h"
#include "serial/output_drain.h"
#include "serial/port_device.h"

namespace {

// How long queued output may take to go out before the settings change under it.
constexpr uint32_t OutputGraceMs = 500;
// The bytes the driver has passed on still sit in the transmitter's FIFO, or in the buffer of
// a USB adapter, which no queue count shows: they get this long at the old settings.
constexpr uint32_t SettleMs = 100;

// After an interrupt the box is to be switched off anyway: what is still queued for it is not
// waited for.
void ReleaseAll(ShutdownKind kind, int) {
    for (SerialLink link = AnyHeldPort(); link != InvalidLink; link = AnyHeldPort()) {
        ReleasePort(link, kind != ShutdownKind::Interrupt);
    }
}

}  // namespace

void GiveBackAtTheEnd() {
    InstallShutdownAction(ShutdownStage::PortsGivenBack, ReleaseAll);
}

void ReleasePort(SerialLink link, bool waitForOutput) {
    uint32_t baudRate = 0;
    if (link == InvalidLink || !PortHeld(link, baudRate)) {
        return;
    }
    uint32_t queued = 0;
    if (waitForOutput &&
        DrainOutput(link, ClockMs(), OutputGraceMs, baudRate, false, queued) != 0) {
        SleepMs(SettleMs);
    } else {
        // Neither the settings nor the close of the device may wait on a line that does not take
        // what is still queued.
        DiscardPortDeviceOutput(link);
    }
    GiveBackPort(link);
    TraceLineEvent("restored", "the port's settings as found");
}
