// Other programs on the port: a terminal program or a modem manager that has the adapter open
// takes the box's answers, and the update would wait in vain. Named before the wait for the box
// starts; the update goes on either way.
#pragma once

// One line on standard error naming the other processes (program name and process number)
// that have the device of port `portNumber` open; nothing when there are none or the platform
// cannot tell (platform/device_holders.h).
void WarnOfPortHolders(int portNumber);
