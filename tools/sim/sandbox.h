#pragma once

#include <string>
#include <vector>

namespace sim
{

// Moves the calling process into a sandbox: a mount namespace of its own, so
// that the fake device tree below is seen by it and its children only, and a
// PID namespace with a /proc of its own. Every sandbox's pseudo-terminals
// have the same device numbers, so a program that looks through /proc for
// other holders of its port must see no other sandbox's processes. The
// caller goes on in a child, the first process of that PID namespace (the
// one all in it die with); the process that called waits for it and exits
// as it does. Must be called before the process starts any thread.
bool enterSandbox(std::string *why);

// Fresh, empty /dev, /sys/class/tty and /sys/devices for as long as the
// object lives: the node, pseudo-terminal and standard device files a program
// needs are carried over from the real /dev, /sys/devices/system from the
// real sysfs, and no ttyACM port or USB device exists until a bus adds one.
class FakeDeviceTree
{
  public:
    FakeDeviceTree();
    ~FakeDeviceTree();
    FakeDeviceTree(const FakeDeviceTree &) = delete;
    FakeDeviceTree &operator=(const FakeDeviceTree &) = delete;

    bool ok() const
    {
        return error_.empty();
    }
    const std::string &error() const
    {
        return error_;
    }

    // A port that is not a Torvex: a node with the given modalias in the
    // plain layout (no USB device above it), or with no sysfs entry at all
    // when `modalias` is empty.
    bool addForeignPort(int n, const std::string &modalias);

  private:
    bool mountTmpfs(const char *name, const char *target, unsigned long flags, const char *options);
    bool fillDev(int oldDev);

    std::string error_;
    std::vector<std::string> mounted_; // taken down in the reverse order
};

} // namespace sim
