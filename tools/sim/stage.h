#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "dongle.h"
#include "ptyBus.h"
#include "sandbox.h"

namespace sim
{

// The bytes of a file; false when it cannot be read.
bool readBinaryFile(const std::string &path, std::vector<uint8_t> *bytes);

// True as soon as `done` is, false if it is not within `ms` milliseconds.
bool waitUntil(const std::function<bool()> &done, int ms);

// /dev/serial/by-path/platform-dummy_hcd.<bus - 1>-usb-0:<ports>:1.0 for a
// USB port path <bus>-<ports>.
std::string byPathLink(const std::string &usbPath);

// A dongle to plug in, and where it sits on USB.
struct Seat {
    DongleOptions options;
    UsbPlace place;
};

// What a program under test meets: dongles plugged in, each on a bus of its
// own. On pseudo-terminals (the default) they live in a device tree of the
// stage's own, which the process must have a private mount namespace for
// (enterSandbox). As configfs gadgets (a `gadgetName` given) they are the
// kernel's: the i-th is the gadget `gadgetName` (then `gadgetName`2, 3, ...)
// bound to the i-th of `udcs` (beyond those named: the first controller there
// is), and of its place only the serial numbers count.
class Stage
{
  public:
    explicit Stage(std::string gadgetName = "", std::vector<std::string> udcs = {});
    Stage(const Stage &) = delete;
    Stage &operator=(const Stage &) = delete;

    // False, with the reason, once the tree or a dongle could not be set up.
    bool ok() const
    {
        return error_.empty();
    }
    const std::string &error() const
    {
        return error_;
    }

    // Plugs a dongle in and starts it; ok() tells whether it could.
    Dongle &plugIn(DongleOptions options, UsbPlace place = {});
    // Several at once: those given a place take it before the others choose
    // the lowest free port paths; they start in the order given, which sets
    // their ttyACM numbers. Once one cannot start, those after it are not.
    bool plugIn(const std::vector<Seat> &seats);
    // The same, each dongle's pull counted from its plug-in. Those pulled at
    // once (to be plugged in later) come first in `seats`: they plug in and
    // leave again before the others plug in and take the lowest free ports.
    bool plugInTimed(const std::vector<Seat> &seats);
    // Links each dongle's port as udev names it by its USB port path
    // (byPathLink), as the dongles' ports are now; false if one cannot be.
    bool linkByPath() const;
    // Why dongle i's bus could not take it.
    std::string busError(std::size_t i) const;
    // Stops every dongle, so that its flash and frames hold still.
    void stop();

    std::size_t size() const
    {
        return dongles_.size();
    }
    Dongle &dongle(std::size_t i) const
    {
        return *dongles_[i];
    }
    // With the port path chosen for a dongle that was given none.
    const UsbPlace &place(std::size_t i) const
    {
        return places_[i];
    }
    // The pseudo-terminals' device tree, for ports that are no dongle's.
    FakeDeviceTree &tree()
    {
        return *tree_;
    }

  private:
    std::unique_ptr<Bus> makeBus(UsbPlace *place, std::size_t i);
    void start(std::unique_ptr<Bus> bus, const UsbPlace &place, DongleOptions options);

    std::string gadgetName_; // empty: pseudo-terminals
    std::vector<std::string> udcs_;
    // In this order, so that the dongles stop before their buses go, and the
    // buses before the tree.
    std::unique_ptr<FakeDeviceTree> tree_;
    std::vector<std::unique_ptr<Bus>> buses_;
    std::vector<std::unique_ptr<Dongle>> dongles_;
    std::vector<UsbPlace> places_;
    std::string error_;
};

} // namespace sim
