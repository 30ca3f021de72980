#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace harness
{

// How to run one program: its command line (a name without a slash is
// looked up in PATH), additions to the environment, a hard time bound, and
// what to do with its output.
struct ChildOptions {
    std::vector<std::string> argv;
    std::vector<std::string> env; // "NAME=value", replacing our own NAME if set
    std::chrono::milliseconds limit{60000};
    // Close our end of its standard output once this many bytes have come
    // (0: at once, negative: never), as a reader that goes away would.
    long closeStdoutAfter = -1;
    bool capture = true;       // otherwise the program shares our output
    bool unprivileged = false; // run as the user nobody, whom no port is open to
    long timerSlackNs = 0;     // how late its sleeps may end; 0: the kernel's default
    // Ctrl-C as a terminal sends it, to the whole process group, this long
    // after the start (each one while the program runs).
    std::vector<std::chrono::milliseconds> interrupts;
    // Called with the output so far, and the program's id, whenever more has
    // come: how a caller acts on what the program has said.
    std::function<void(const std::string &out, pid_t program)> onOutput;
};

struct ChildResult {
    bool started = false;
    int status = -1;       // exit status, or -1 when it did not exit normally
    int signal = 0;        // the signal that ended it, if any
    bool timedOut = false; // killed at the time bound
    std::string out;
    std::vector<std::chrono::steady_clock::time_point> lineEnds; // when each line of `out` came
    std::string err;
    std::chrono::steady_clock::time_point begin;
    std::chrono::steady_clock::time_point end;
    std::chrono::milliseconds elapsed{0};                           // from begin to end
    std::vector<std::chrono::steady_clock::time_point> interrupted; // when each Ctrl-C went
    rusage usage{}; // of the program and the children it waited for
};

// Runs the program to its end, or kills it at the bound. It runs detached by
// setsid from any controlling terminal, as a service manager or a udev rule
// starts it, and a kill at the bound reaches its whole process group,
// whatever it started too.
ChildResult runChild(const ChildOptions &options);

// Makes a directory holding the one `setserial` stand-in of the tests and
// tools, to put first in PATH: a pseudo-terminal has no serial driver to
// set. It succeeds and says nothing, unless its environment asks for more:
//   TORVEX_SETSERIAL_LOG   a file to append a line to for each call: the
//     wall-clock time (seconds, with nine decimals), the process that called it (through
//     a shell), the file the port's name leads to, then its arguments; and
//     that line again, ending "inherited a pipe" or "beside N pipes", when
//     it or its caller holds more pipes than its own standard streams (one
//     of an update's descriptors that leaked);
//   TORVEX_SETSERIAL_ERR   run the real one (the next in PATH) instead, its
//     complaints appended to this file, so that they are not taken for the
//     flasher's own;
//   TORVEX_SETSERIAL_RUN   a shell command to run first;
//   TORVEX_SETSERIAL_EXIT  its exit status (0).
// Returns the directory, or an empty string on failure.
std::string makeSetserial();
// Removes a directory made by makeSetserial, with all that was put in it.
void removeSetserial(const std::string &dir);

// PATH=<dir>:<our PATH>
std::string pathWith(const std::string &dir);

} // namespace harness
