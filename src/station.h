#pragma once

#include "usbDevice.h"

namespace zel
{

// Updates every dongle that the choice fits, all at once, each in a process of
// its own that follows it by its USB port path; true when all were updated.
bool updateAll(const DongleChoice &choice);
// Updates each dongle that the choice fits once, as it is plugged in, until
// stopped; true when at least one was found and every one found was updated.
bool watch(const DongleChoice &choice);

} // namespace zel
