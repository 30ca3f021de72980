#pragma once

#include <string>

#include "bus.h"

namespace sim
{

// One dongle as the kernel shows it in sysfs while it is plugged in.
struct UsbPort {
    bool plain = false; // no USB device: /sys/class/tty/ttyACMn/device/modalias only
    std::string path;   // port path, "B-P[.P...]"
    Mode mode = Mode::Application;
    std::string serial; // empty: the device reports none
    int tty = 0;        // n of ttyACMn
    // The tty's device number, "major:minor": that of the node /dev/ttyACMn
    // leads to, as a program that opens it finds with fstat.
    std::string dev;
};

// Lays out, under `sysDir`, the USB device at the port's path (and the hubs
// and bus above it, when missing) with its CDC interface and tty, then the
// /sys/class/tty link that leads to them. A new device number each time, as
// the kernel gives one at every enumeration.
void publishUsbPort(const std::string &sysDir, const UsbPort &port);

// Removes the class entry and the USB device's directory; hubs stay.
void withdrawUsbPort(const std::string &sysDir, const UsbPort &port);

} // namespace sim
