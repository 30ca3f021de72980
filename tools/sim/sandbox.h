#pragma once

#include <string>
#include <vector>

namespace sim
{

// Moves the calling process into a sandbox: a mount namespace, so that the
// fake device tree below is its and its children's alone, and a PID namespace
// with its own /proc, where no other sandbox's process (whose ptys have our
// device numbers) looks like another holder of a port. The caller goes on as
// the first process inside, in a child; the process that called waits and
// exits as it does. Call it before the process starts any thread.
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
    // The modalias of a port that is another device's (an Arduino's).
    static constexpr char otherModalias[] = "usb:v2341p0043d0001dc02dsc00dp00ic02isc02ip01in00\n";

  private:
    bool mountTmpfs(const char *name, const char *target, unsigned long flags, const char *options);
    bool fillDev(int oldDev);

    std::string error_;
    std::vector<std::string> mounted_; // taken down in the reverse order
};

} // namespace sim
