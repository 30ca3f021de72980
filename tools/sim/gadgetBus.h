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
    // `udc` empty: the first device controller there is.
    GadgetBus(const std::string &name, std::string udc);
    ~GadgetBus() override;
    GadgetBus(const GadgetBus &) = delete;
    GadgetBus &operator=(const GadgetBus &) = delete;

    // USB serial numbers the dongle shows in each mode (from the next
    // plugIn); an empty one shows none, as a device without the string.
    void setSerials(std::string application, std::string bootloader);

    // Builds the gadget (unbound); false with a reason when it cannot.
    bool create(std::string *why);
    // Unbinds and removes the gadget from configfs.
    void destroy();

    int plugIn(Mode mode) override;
    void unplug() override;
    std::string hostPort() const override;

    // Why the last plugIn failed.
    std::string error() const
    {
        return error_;
    }

  private:
    bool writeAttr(const std::string &relPath, const std::string &value) const;
    int openDeviceSide();
    bool onOurHostController(const std::string &ttyName) const;

    std::string dir_;
    std::string udc_;
    std::string hostController_; // the host side of udc_, when known
    std::string applicationSerial_ = "TVX0001";
    std::string bootloaderSerial_ = "TVX0001";
    std::string deviceTty_;
    std::string error_;
    bool created_ = false;
    int fd_ = -1;
    std::atomic<bool> plugged_{false};
    std::atomic<Mode> mode_{Mode::Application};
};

} // namespace sim
