#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace sim
{

struct RunResult {
    int status = -1;       // exit status, or -1 when it did not exit normally
    int signal = 0;        // the signal that ended it, if any
    bool timedOut = false; // killed after the time limit
    std::string out;       // standard output, when captured
    std::string err;       // standard error, when captured
    std::chrono::milliseconds elapsed{0};
};

struct RunOptions {
    std::vector<std::string> argv;
    std::vector<std::string> env; // "NAME=value" entries set on top of ours
    bool capture = true;          // otherwise the program shares our output
    std::chrono::seconds limit{60};
    bool unprivileged = false; // run as the user nobody, whom no port is open to
};

// The bytes of a file; false when it cannot be read.
bool readBinaryFile(const std::string &path, std::vector<uint8_t> *bytes);

// Runs a program to its end (or kills it at the limit), detached by setsid
// from any controlling terminal, as a service manager or a udev rule starts
// it.
RunResult runProgram(const RunOptions &options);

} // namespace sim
