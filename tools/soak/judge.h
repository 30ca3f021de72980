#pragma once

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "harness/child.h"
#include "run.h"
#include "sim/dongle.h"

namespace soak
{

using Clock = std::chrono::steady_clock;

using sim::Plug;

// A port a flasher opened, as its setserial stand-in saw it: the program
// calls setserial right after it opens a port, and keeps the port (under an
// exclusive lock) until it exits.
struct Open {
    Clock::time_point at;
    int pid = 0; // the flasher's process, or with --all the child's
    std::string port;
    std::string pts; // the file the port's name led to
};

struct DongleSeen {
    std::vector<Plug> plugs;
    std::vector<sim::FrameRecord> frames;
    bool updated = false; // its flash holds the image
    sim::PullRecord pull;
    bool disconnected = false; // left the bus other than to re-enumerate
    Clock::time_point disconnectedAt;
};

struct FlasherSeen {
    harness::ChildResult result;
    std::vector<Open> opens;
    std::string setserialErr; // what the real setserial complained of
};

// The drawn holder's time on a dongle's port: from just after its open to
// just before its close.
struct Hold {
    int dongle = -1; // -1: it held no port
    std::string port;
    std::string pts;
    Clock::time_point from;
    Clock::time_point to;
};

// What a run did. Without opens logged (the real setserial on a real bus),
// the run's one flasher sent every frame.
struct Seen {
    std::vector<DongleSeen> dongles;
    std::vector<FlasherSeen> flashers;
    bool opensLogged = true;
    Hold hold;
};

// What a run came to, as the process that ran it hands it on: what it broke,
// and its figures, summed over the runs (`longest`: the largest taken).
struct Outcome {
    int dongles = 0;
    std::vector<std::string> breaches;
    std::map<std::string, long> counts;
    std::map<std::string, long> longest;
    std::string cause; // of a lone dongle's failure: the latest fault the run reached
};

Outcome rigFailure(const std::string &why);

// Judges every invariant over what the run did.
Outcome judge(const Run &run, const Seen &seen);

// A failure must come this soon after the dongle was pulled out: the
// program's own retries (three to find each mode, a second apart, after
// the 2 s pause) take about six seconds.
constexpr long verdictBoundMs = 10000;

// `--watch` ends this soon after the first Ctrl-C: the updates that had
// opened their ports end first (a pulled dongle's takes verdictBoundMs).
constexpr long watchStopBoundMs = 15000;
// It begins the update of a new dongle 0.4 s after it came, and looks every
// 0.2 s: this is far beyond that, for a busy machine.
constexpr long watchBeginBoundMs = 3000;
// After an update, its dongle is due back at its port path this long from
// the boot frame, until its application is back.
constexpr long returnWindowMs = 60000;
// A return that stays on the bus shorter than this may fall between the
// station's looks (every 0.2 s): it may still be due back then.
constexpr long returnSeenMs = 1000;

} // namespace soak

namespace soak
{

struct RunSetup {
    std::string program;
    std::vector<uint8_t> image;
    std::string setserialDir; // the stand-in (harness::makeSetserial)
    int limitSeconds = 30;
    bool show = false; // print everything the run did
    BusKind bus = BusKind::Pty;
    std::string udc; // the gadget's device controller (default: the first)
};

// Puts the run's dongles on their bus, runs its flashers against them and
// judges what they did. Moves the calling process into a mount namespace of
// its own: call it in a child.
Outcome runOnce(const Run &run, const RunSetup &setup);

} // namespace soak
