#pragma once

#include <cstdint>
#include <map>
#include <random>
#include <string>

#include "sim/dongle.h"
#include "sim/ptyBus.h"

namespace soak
{

// Where the dongle meets the flasher: a pseudo-terminal, or a USB gadget
// under the kernel's own cdc_acm driver (in the QEMU guest).
enum class BusKind { Pty, Gadget };

// One run of the flasher against the simulated dongle, drawn from a seed:
// where the dongle starts, how long it takes to come back as a bootloader,
// and what goes wrong with which frame; on a real bus, also whether and
// when the cable is pulled.
struct Scenario {
    uint64_t seed = 0;
    sim::DongleOptions dongle;
    sim::UsbPlace place;               // on a pseudo-terminal bus
    std::map<int, std::string> labels; // frame -> name of the fault drawn for it
    bool verbose = true;
    long closeStdoutAfter = -1; // see harness::ChildOptions
    std::string pullLabel;      // name of the pull drawn, if any
};

using Rng = std::mt19937_64;
int between(Rng &rng, int low, int high);
bool chance(Rng &rng, double p);

// The seed of run `index` of a soak started with `seed`.
uint64_t runSeed(uint64_t seed, uint64_t index);

Scenario drawScenario(uint64_t seed, BusKind bus = BusKind::Pty);

// The bootloader is not found when it comes back later than this after the
// reply to "enter bootloader": 2 s pause, then three attempts a second apart.
constexpr int lateBootloaderMs = 4000;
// On a real bus the host then takes about half a second more to enumerate
// the new port (dummy_hcd in the QEMU guest), a little more under load.
constexpr int gadgetEnumerationMs = 800;

// The same dongle as a torvex-sim command line, for trying one run by hand.
std::string simCommandLine(const Scenario &scenario, const std::string &program);
// The torvex-sim options of one dongle: its behaviour, then where it sits.
std::string dongleArguments(const sim::DongleOptions &dongle);
std::string placeArguments(const sim::UsbPlace &place);

} // namespace soak
