#pragma once

#include <sys/types.h>

#include <string>

namespace sim
{

// What a dongle can see of the program at the other end of its port, as the
// kernel shows it in /proc: how many reads it has made, and whether it is
// blocked waiting for the line. Lets a fault wait for what the program did
// rather than for a time that a busy machine stretches.
class HostWatch
{
  public:
    // The process that holds `hostPort` (a link to the port's node) open.
    explicit HostWatch(const std::string &hostPort);

    bool found() const
    {
        return pid_ != 0;
    }
    // Its read calls so far (/proc/PID/io "syscr"); -1 once it is gone.
    long reads() const;
    // The bytes those calls returned (/proc/PID/io "rchar"); -1 once it is gone.
    long bytesRead() const;
    // Blocked in poll(2) or ppoll(2): the program waits for the line to fall
    // silent (or for room in a full port), having given up on a reply.
    bool waitingInPoll() const;

  private:
    long counted(const std::string &key) const;

    pid_t pid_ = 0;
};

} // namespace sim
