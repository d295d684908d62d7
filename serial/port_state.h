// What an open port took from the device and gives back: the settings, lines and flags it had
// when the program opened it, so that a technician's console or adapter is left as it was found,
// not raw at 115200 baud with low latency. Each platform keeps one record per open port, with its
// handle (serial/posix_port_state.cpp, serial/win32_port_state.cpp); closing the link, the end of
// the program with the link still open (a failure exit included) and an interrupt all give back
// through ReleasePort. Used by the port implementations only.
#pragma once

#include <array>
#include <cstdint>

#include "serial/port.h"

// The records of the open ports of a platform: `Record` has a member `link`, InvalidLink while
// the record is free.
template <typename Record>
class PortTable {
  public:
    // The record of `link`; nullptr for InvalidLink and for a link not held.
    [[nodiscard]] Record* Find(SerialLink link) {
        return link == InvalidLink ? nullptr : Lookup(link);
    }
    // The record to fill for `link`: its own if it is held already, otherwise a free one;
    // nullptr when every record is taken.
    [[nodiscard]] Record* Take(SerialLink link) {
        Record* record = Find(link);
        return record != nullptr ? record : Lookup(InvalidLink);
    }
    // Hands the record of `link` to `giveBack` and frees it; nothing for a link not held.
    template <typename GiveBack>
    void Release(SerialLink link, GiveBack giveBack) {
        if (Record* record = Find(link)) {
            giveBack(*record);
            *record = Record{};
        }
    }
    // One of the links held, InvalidLink when there is none.
    [[nodiscard]] SerialLink Any() const {
        for (const Record& record : records_) {
            if (record.link != InvalidLink) {
                return record.link;
            }
        }
        return InvalidLink;
    }

  private:
    Record* Lookup(SerialLink link) {
        for (Record& record : records_) {
            if (record.link == link) {
                return &record;
            }
        }
        return nullptr;
    }
    std::array<Record, 16> records_{};
};

// ---- Platform half (one per platform) -------------------------------------------------------

// Takes hold of the device just opened: a record for `link` with what the device has as found.
// Returns false with the reason in the last-error value when there is no room for one more port
// or the device's settings cannot be read (the open then fails).
[[nodiscard]] bool HoldPort(SerialLink link);

// Writes back everything the record of `link` holds and forgets it; the handle stays open.
// Called once the port's output has gone or was thrown away.
void GiveBackPort(SerialLink link);

// Whether a record is held for `link`; `baudRate` is then the link's speed (0: unknown).
[[nodiscard]] bool PortHeld(SerialLink link, uint32_t& baudRate);

// One of the links held, or InvalidLink when there is none.
[[nodiscard]] SerialLink AnyHeldPort();

// ---- Portable half (serial/port_state.cpp) ----------------------------------------------------

// Makes sure the ports still held are given back when the program ends, whichever way it ends
// (the shutdown's PortsGivenBack stage). HoldPort calls it.
void GiveBackAtTheEnd();

// Gives the port `link` back: with `waitForOutput` the queued output has up to 500 ms to go out
// (and 100 ms more for what the transmitter and the adapter still hold); output that a dead line
// does not take, or all of it without `waitForOutput`, is thrown away, so that it never holds the
// program. Nothing happens for a link not held.
void ReleasePort(SerialLink link, bool waitForOutput);
