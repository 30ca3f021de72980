#pragma once

#include <string>

#include "bus.h"

namespace sim
{

// A dongle on a pseudo-terminal: the host sees /dev/ttyACM<n> (a link to the
// pty's slave) and /sys/class/tty/ttyACM<n>/device/modalias, as the kernel
// presents a CDC-ACM device. Like Linux, it takes the lowest free number: one
// whose node is gone but whose old port some process still holds open stays
// taken.
class PtyBus : public Bus
{
  public:
    explicit PtyBus(std::string devDir = "/dev", std::string ttyClassDir = "/sys/class/tty");
    ~PtyBus() override;
    PtyBus(const PtyBus &) = delete;
    PtyBus &operator=(const PtyBus &) = delete;

    int plugIn(Mode mode) override;
    void unplug() override;
    std::string hostPort() const override;

    // Number of the current port, or -1 while unplugged.
    int number() const
    {
        return number_;
    }

  private:
    bool numberTaken(int n) const;
    void publish(int n, Mode mode);
    void withdraw(int n);

    std::string devDir_;
    std::string ttyClassDir_;
    int master_ = -1;
    int number_ = -1;
    std::string slavePath_;
};

// True when a process other than this one has `path` open.
bool heldOpenElsewhere(const std::string &path);

} // namespace sim
