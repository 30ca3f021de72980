#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "outcome.h"
#include "scenario.h"
#include "sim/dongle.h"
#include "sim/ptyBus.h"

namespace soak
{

// How a flasher names the dongle it is to update.
enum class SelectorKind { None, Path, Serial, Port, PortLink };

const char *nameOf(SelectorKind kind);

// One of several dongles on the machine: where it sits on USB, how it
// behaves, and the faults drawn for it.
struct DongleDraw {
    sim::UsbPlace place;
    sim::DongleOptions options;
    std::map<int, std::string> labels; // frame -> name of the fault drawn for it
    int number = -1;                   // the ttyACM number it is given when it plugs in
};

struct FlasherDraw {
    SelectorKind kind = SelectorKind::None;
    std::string value;    // as given on its command line
    int target = -1;      // the dongle it names; -1 for none, several, or one that is not there
    bool absent = false;  // it names a dongle that is not there
    bool shared = false;  // it names a serial number that two dongles carry
    bool all = false;     // `--all`, narrowed by the name if it has one
    std::string linkName; // with SelectorKind::PortLink: the link's name under /dev/serial/by-path

    std::string option() const;                 // the naming option: --path, ...
    std::vector<std::string> arguments() const; // after the program's name
};

// A run with several dongles and several flashers started together.
struct MultiScenario {
    uint64_t seed = 0;
    std::vector<int> foreignPorts;    // ttyACM numbers taken by other devices first
    std::vector<bool> foreignInSysfs; // with a modalias that is no Torvex's, or none at all
    std::vector<DongleDraw> dongles;
    std::vector<FlasherDraw> flashers;
    // No fault anywhere and a flasher for each dongle that can only take that
    // one: then every dongle must end updated and every flasher succeed (but
    // a dongle without a USB port path that runs its application, and those
    // naming it).
    bool everyDongleExpected = false;
    // Only flashers without a name, and every dongle above ttyACM9: none of
    // them is ever moved, and each flasher must point at the lowest.
    bool beyondReach = false;
    std::vector<std::string> draws; // the kinds of draw in it, for the figures
};

// Which runs of a soak have several dongles: one in three on a pseudo-terminal
// bus, chosen apart from the single-dongle draw, which stays as it was.
bool isMultiDongle(uint64_t seed, BusKind bus);

MultiScenario drawMultiScenario(uint64_t seed);

// The whole draw, for a person to read and to try by hand.
std::string describe(const MultiScenario &scenario, const std::string &program);

// Runs every flasher against the dongles at once and judges the run. Moves
// the calling process into a mount namespace of its own: call it in a child.
Outcome runMulti(const MultiScenario &scenario, const RunSetup &setup);

} // namespace soak
