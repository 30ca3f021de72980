#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "sim/dongle.h"
#include "sim/ptyBus.h"

namespace soak
{

// Where the dongles meet the flashers: pseudo-terminals, or a USB gadget
// under the kernel's own cdc_acm driver (in the QEMU guest, one dongle).
enum class BusKind { Pty, Gadget };

// How a flasher names the dongle it is to update.
enum class SelectorKind { None, Path, Serial, Port, PortLink };

const char *nameOf(SelectorKind kind);

// One dongle of a run: where it sits on USB, how it behaves, the faults
// drawn for it and, on a real bus, the pull of its cable.
struct DongleDraw {
    sim::UsbPlace place;
    sim::DongleOptions options;
    std::map<int, std::string> labels; // frame -> name of the fault drawn for it
    std::string pullLabel;
    int number = 0; // the ttyACM number it is given when it plugs in

    bool carries(const std::string &serial) const
    {
        return place.serial == serial || place.bootloaderSerial == serial;
    }
    std::string shownSerial(sim::Mode mode) const
    {
        return mode == sim::Mode::Application ? place.serial : place.bootloaderSerial;
    }
};

struct FlasherDraw {
    SelectorKind kind = SelectorKind::None;
    std::string value;        // as given on its command line
    int target = -1;          // the dongle it names; -1 for none, several, or one that is not there
    bool absent = false;      // it names a dongle that is not there
    bool shared = false;      // it names a serial number that two dongles carry
    bool all = false;         // `--all`, narrowed by the name if it has one
    bool watch = false;       // `--watch`, stopped by Ctrl-C
    std::vector<int> ctrlCMs; // after its start
    bool verbose = true;      // without `--all`
    long closeStdoutAfter = -1; // see harness::ChildOptions

    std::string option() const;                 // the naming option: --path, ...
    std::vector<std::string> arguments() const; // after the program's name
};

// A program that opens a dongle's port without a lock, as `cat` does, and
// reads from it: `atMs` after the flashers start (0: before they start), for
// `forMs`, or until they have all ended.
struct HolderDraw {
    int dongle = -1; // -1: none
    int atMs = 0;
    int forMs = 0;
};

// One run: dongles on the bus (and other devices' ports before them), and
// flashers started together against them. A run with one dongle has one
// flasher naming none.
struct Run {
    BusKind bus = BusKind::Pty;
    std::vector<int> foreignPorts;    // ttyACM numbers taken by other devices first
    std::vector<bool> foreignInSysfs; // with a modalias that is no Torvex's, or none at all
    std::vector<DongleDraw> dongles;
    std::vector<FlasherDraw> flashers;
    HolderDraw holder;
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

// The seed of run `index` of a soak started with `seed`.
uint64_t runSeed(uint64_t seed, uint64_t index);

// One run in three on pseudo-terminals has several dongles (all of them
// with `several`), chosen apart from the rest of the draw.
Run drawRun(uint64_t seed, BusKind bus, bool several);

// The whole draw, for a person to read, and the run as one torvex-sim command.
std::string describe(const Run &s, const std::string &program);

// The bootloader is not found when it comes back later than this after the
// reply to "enter bootloader": 2 s pause, then three attempts a second apart.
constexpr int lateBootloaderMs = 4000;
// On a real bus the host then takes about half a second more to enumerate
// the new port (dummy_hcd in the QEMU guest), a little more under load.
constexpr int gadgetEnumerationMs = 800;

} // namespace soak
