#pragma once

#include <string>
#include <vector>

namespace sim
{

// Moves the calling process into a mount namespace of its own, so that the
// fake device tree below is seen by it and its children only. Must be called
// before the process starts any thread.
bool enterPrivateMountNamespace(std::string *why);

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
    // The modalias of a port that is another device's (an Arduino's).
    static constexpr char otherModalias[] = "usb:v2341p0043d0001dc02dsc00dp00ic02isc02ip01in00\n";

  private:
    bool mountTmpfs(const char *name, const char *target, unsigned long flags, const char *options);
    bool fillDev(int oldDev);

    std::string error_;
    std::vector<std::string> mounted_; // taken down in the reverse order
};

} // namespace sim
