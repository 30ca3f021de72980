#include "hostWatch.h"

#include <sys/syscall.h>

#include <filesystem>
#include <fstream>

#include "ptyBus.h"

namespace sim
{

HostWatch::HostWatch(const std::string &hostPort)
{
    std::error_code unplugged;
    const std::filesystem::path node = std::filesystem::read_symlink(hostPort, unplugged);
    pid_ = unplugged ? 0 : holderElsewhere(node.string());
}

long HostWatch::reads() const
{
    return counted("syscr:");
}

long HostWatch::bytesRead() const
{
    return counted("rchar:");
}

long HostWatch::counted(const std::string &key) const
{
    std::ifstream io("/proc/" + std::to_string(pid_) + "/io");
    for (std::string name; io >> name;) {
        long value = 0;
        io >> value;
        if (name == key) {
            return value;
        }
    }
    return -1;
}

bool HostWatch::waitingInPoll() const
{
    // A running process shows "running"; a blocked one its call's number.
    std::ifstream call("/proc/" + std::to_string(pid_) + "/syscall");
    long number = -1;
    if (!(call >> number)) {
        return false;
    }
#ifdef SYS_poll
    if (number == SYS_poll) {
        return true;
    }
#endif
    return number == SYS_ppoll;
}

} // namespace sim
