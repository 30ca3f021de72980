#pragma once

#include <string>

namespace sim
{

enum class Mode { Application, Bootloader };

const char *modaliasOf(Mode mode);
const char *nameOf(Mode mode); // "application" or "bootloader"

// Where the simulated dongle meets the host: a USB connection that can be
// plugged in under one identity or another and pulled out again.
class Bus
{
  public:
    virtual ~Bus() = default;
    // Presents the dongle in `mode`; returns the device side of the serial
    // link (frames from the host are read from it, replies written to it),
    // or -1 when the dongle could not be presented.
    virtual int plugIn(Mode mode) = 0;
    // Takes the dongle off the bus: the host's port hangs up and disappears.
    virtual void unplug() = 0;
    // The host's name for the port, e.g. /dev/ttyACM0; empty while unplugged.
    virtual std::string hostPort() const = 0;
};

} // namespace sim
