#pragma once

#include <cstdint>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "scenario.h"

namespace soak
{

// What one run did, as the worker that ran it reports it.
struct Outcome {
    bool harnessFailed = false; // the rig itself could not run it
    int status = -1;
    int signal = 0;
    bool timedOut = false;
    bool flashComplete = false;
    bool stdoutClosed = false; // we stopped reading its output on purpose
    std::string lastLine;      // last line of its standard output
    std::string err;           // its standard error
    std::string setserialErr;  // what the real setserial it ran complained of, if anything
    std::string cause;         // the latest fault the run reached, or a named condition
    std::string reached;       // names of all faults the run reached, blank-separated
    std::string firstByte;     // the dongle's first reply byte: "echo", or its hex value
    long elapsedMs = 0;
    long afterDisconnectMs = -1; // from the last time the dongle left the bus to the end

    // A run with several dongles and flashers: its figures, and what broke.
    bool multi = false;
    int dongles = 0;
    int flashers = 0;
    std::string selectors; // each flasher's, blank-separated: none, path, ..., absent-path
    int flasherSuccesses = 0;
    int flasherFailures = 0;
    int donglesUpdated = 0;
    int highPortsOpened = 0; // ports above ttyACM9 that a flasher opened
    int rewritten = 0;       // dongles written again once an earlier writer had ended
    bool everyDongleExpected = false;
    std::string draws;    // the kinds of draw in it and what came of them, blank-separated
    std::string breaches; // '|'-separated

    std::string serialise() const;
    static Outcome parse(const std::string &text);
};

struct RunSetup {
    std::string program;
    std::vector<uint8_t> image;
    std::string setserialDir;
    int limitSeconds = 30;
    bool show = false; // print everything the run did
    BusKind bus = BusKind::Pty;
    std::string udc; // the gadget's device controller (default: the first)
};

// A failure must come this soon after the dongle was pulled out: the
// program's own retries (three to find each mode, a second apart, after
// the 2 s pause) take about six seconds.
constexpr long verdictBoundMs = 10000;

// The verdict lines the flasher ends with.
inline constexpr char successVerdict[] = "[TORVEX] Update successful!";
inline constexpr char failureVerdict[] =
    "[TORVEX] Update Failed. Please reconnect the dongle and try again!";

// The last line of a program's output, without its newline.
std::string lastLineOf(const std::string &out);

// Runs the flasher once against a dongle set up as the scenario says. Moves
// the calling process into a mount namespace of its own: call it in a child.
Outcome runOnce(const Scenario &scenario, const RunSetup &setup);

// The figures of a soak and the runs that broke an invariant.
class Tally
{
  public:
    void add(long index, uint64_t seed, const Outcome &outcome);
    bool invariantsHeld() const;
    void print(std::ostream &out, uint64_t seed, int jobs, long seconds) const;
    // How the printout tells to replay one run.
    void replayWith(std::string command)
    {
        replayCommand_ = std::move(command);
    }

  private:
    void breach(long index, const std::string &what, const Outcome &outcome);
    void addMulti(long index, const Outcome &outcome);
    void printMulti(std::ostream &out) const;

    long runs_ = 0;
    long successes_ = 0;
    long falseSuccesses_ = 0;
    long hangs_ = 0;
    long crashes_ = 0;
    long breaches_ = 0;
    long failures_ = 0;
    long safeFailures_ = 0; // failed, though the flash holds the whole image
    long closedStdout_ = 0;
    long longest_ = 0;
    long setserialComplained_ = 0;
    long disconnectedRuns_ = 0;
    long longestAfterDisconnect_ = 0;
    std::map<std::string, long> failuresByCause_;
    std::map<std::string, long> reachedByFault_;
    long echoingDongles_ = 0;
    long falseSuccessesNoEcho_ = 0;
    std::vector<std::string> problems_;
    std::vector<long> unexplained_; // failed with no fault reached
    std::string replayCommand_ = "torvex-soak";

    // Runs with several dongles and flashers.
    struct Multi {
        long runs = 0;
        long dongles = 0;
        long flashers = 0;
        std::map<std::string, long> selectors; // flashers by selector
        long successes = 0;
        long failures = 0;
        long breaches = 0; // runs with any
        long donglesUpdated = 0;
        long expectedRuns = 0; // every dongle to end updated
        long highPortsOpened = 0;
        long runsReachingHighPorts = 0;
        long rewritten = 0;
        std::map<std::string, long> reachedByFault;
        std::map<std::string, long> draws;
    } multi_;
};

} // namespace soak
