#pragma once

#include <sys/types.h>

#include <string>

#include "bus.h"

namespace sim
{

struct UsbPort;

// Where a dongle sits on USB, as sysfs shows it.
struct UsbPlace {
    bool plain = false;           // today's layout: /sys/class/tty/ttyACMn/device/modalias only
    std::string path;             // port path "B-P[.P...]"; empty: the lowest free "1-k" (k >= 1)
    std::string serial;           // USB serial in application mode; empty: none
    std::string bootloaderSerial; // USB serial in bootloader mode; empty: none
};

// True for a port path the kernel could give: "B-P[.P...]", every number
// from 1 to 255.
bool isUsbPath(const std::string &path);

// True when two port paths lead to the same port, or one of them is a hub on
// the way to the other.
bool onSamePort(const std::string &a, const std::string &b);

// A dongle on a pseudo-terminal: the host sees /dev/ttyACM<n> (a link to the
// pty's slave) and sysfs as the kernel lays it out for a CDC-ACM device: the
// USB device under its port path, its interface with the modalias, and
// /sys/class/tty/ttyACM<n> leading into it (or, for a plain place, only
// /sys/class/tty/ttyACM<n>/device/modalias). Like Linux, it takes the lowest
// free number: one whose node is gone but whose old port some process still
// holds open stays taken.
class PtyBus : public Bus
{
  public:
    explicit PtyBus(UsbPlace place = {}, std::string devDir = "/dev", std::string sysDir = "/sys");
    ~PtyBus() override;
    PtyBus(const PtyBus &) = delete;
    PtyBus &operator=(const PtyBus &) = delete;

    int plugIn(Mode mode) override;
    void unplug() override;
    std::string hostPort() const override;

    // With the port path that was chosen (a plain place keeps its own).
    const UsbPlace &place() const
    {
        return place_;
    }

  private:
    bool numberTaken(int n) const;
    UsbPort usbPort(int n) const;

    UsbPlace place_;
    std::string devDir_;
    std::string sysDir_;
    Mode mode_ = Mode::Application;
    int master_ = -1;
    int number_ = -1;
    std::string slavePath_;
};

// A process other than this one, in our sandbox, that has `path` open; 0
// when none has.
pid_t holderElsewhere(const std::string &path);
inline bool heldOpenElsewhere(const std::string &path)
{
    return holderElsewhere(path) != 0;
}

} // namespace sim
