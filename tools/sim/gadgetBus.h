#pragma once

#include <atomic>
#include <string>

#include "bus.h"

namespace sim
{

// A dongle on a real USB device controller: a configfs gadget with one ACM
// function, bound to a UDC (in the tests, dummy_hcd's, so the same kernel's
// cdc_acm driver sees it as /dev/ttyACM<n>). The device side of the link is
// the gadget's /dev/ttyGS<n>. Needs configfs mounted and root.
class GadgetBus : public Bus
{
  public:
    // Builds the gadget (unbound) on `udc` (empty: the first device
    // controller there is), with the USB serial number it shows in each mode
    // (an empty one shows none, as a device without the string).
    GadgetBus(const std::string &name, std::string udc, std::string applicationSerial,
              std::string bootloaderSerial);
    // Unbinds and removes the gadget from configfs.
    ~GadgetBus() override;
    GadgetBus(const GadgetBus &) = delete;
    GadgetBus &operator=(const GadgetBus &) = delete;

    int plugIn(Mode mode) override;
    void unplug() override;
    std::string hostPort() const override;

    // Why the gadget could not be built, or the last plugIn failed.
    std::string error() const
    {
        return error_;
    }

  private:
    void create();
    void destroy();
    bool writeAttr(const std::string &relPath, const std::string &value) const;
    int openDeviceSide();
    bool onOurHostController(const std::string &ttyName) const;

    std::string dir_;
    std::string udc_;
    std::string hostController_; // the host side of udc_, when known
    std::string applicationSerial_;
    std::string bootloaderSerial_;
    std::string deviceTty_;
    std::string error_;
    bool created_ = false;
    int fd_ = -1;
    std::atomic<bool> plugged_{false};
    std::atomic<Mode> mode_{Mode::Application};
};

} // namespace sim
