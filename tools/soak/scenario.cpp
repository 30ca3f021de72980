#include "scenario.h"

#include <random>
#include <sstream>

namespace soak
{

int between(Rng &rng, int low, int high)
{
    return std::uniform_int_distribution<int>(low, high)(rng);
}

bool chance(Rng &rng, double p)
{
    return std::bernoulli_distribution(p)(rng);
}

namespace
{

std::vector<uint8_t> randomBytes(Rng &rng, int count)
{
    std::vector<uint8_t> bytes(static_cast<std::size_t>(count));
    for (auto &byte : bytes) {
        byte = static_cast<uint8_t>(between(rng, 0, 255));
    }
    return bytes;
}

// The last frame of a clean run: the boot command.
int lastFrame(const Scenario &s)
{
    return (s.dongle.startMode == sim::Mode::Application ? 47 : 46);
}

int pageWriteFrame(Rng &rng, const Scenario &s)
{
    const int first = s.dongle.startMode == sim::Mode::Application ? 4 : 3;
    return first + 3 * between(rng, 0, 14);
}

// A reply that comes late, or not at all, does its worst on the last page:
// it is short enough for one frame, so its repeat carries it whole.
bool lostOrLate(const std::string &label)
{
    return label == "ignore" || label == "drop" || label.rfind("delay-", 0) == 0;
}

int faultFrame(Rng &rng, const Scenario &s, const std::string &label)
{
    if (label == "write-refused") {
        return pageWriteFrame(rng, s);
    }
    if (lostOrLate(label) && chance(rng, 0.4)) {
        return lastFrame(s) - between(rng, 1, 3);
    }
    return between(rng, 0, lastFrame(s));
}

// One fault for one frame, with the name it is counted under.
std::pair<std::string, sim::Fault> drawFault(Rng &rng)
{
    using Kind = sim::Fault::Kind;
    sim::Fault fault;
    switch (between(rng, 0, 11)) {
    case 0:
        fault.kind = Kind::Ignore;
        return {"ignore", fault};
    case 1:
        fault.kind = Kind::DropReply;
        return {"drop", fault};
    case 2: // well inside the 10 ms reply timeout
        fault.kind = Kind::Delay;
        fault.delayMs = between(rng, 1, 8);
        return {"delay-short", fault};
    case 3: // past 10 ms, inside 100 ms
        fault.kind = Kind::Delay;
        fault.delayMs = between(rng, 15, 90);
        return {"delay-mid", fault};
    case 4: // past both timeouts
        fault.kind = Kind::Delay;
        fault.delayMs = between(rng, 120, 400);
        return {"delay-long", fault};
    case 5:
        fault.kind = Kind::Replace;
        fault.bytes = randomBytes(rng, between(rng, 1, 8));
        return {"garbled", fault};
    case 6:
        fault.kind = Kind::Replace;
        fault.bytes = randomBytes(rng, between(rng, 513, 1500));
        return {"oversized", fault};
    case 7:
        fault.kind = Kind::Split;
        fault.burst = between(rng, 1, 2);
        fault.delayMs = between(rng, 0, 15);
        return {"split", fault};
    case 8:
        fault.kind = Kind::Stale;
        fault.delayMs = between(rng, 0, 30);
        fault.bytes = randomBytes(rng, between(rng, 1, 8));
        return {"stale", fault};
    case 9:
        fault.kind = Kind::Unplug;
        return {"unplug", fault};
    case 10: // a port that keeps talking, for longer than any timeout
        fault.kind = Kind::Flood;
        fault.delayMs = between(rng, 200, 3000);
        if (chance(rng, 0.5)) { // and starts once the frame has gone unanswered
            fault.afterMs = between(rng, 120, 400);
            return {"flood-late", fault};
        }
        return {"flood", fault};
    default: // a page write the dongle refuses; placed on a page write frame
        fault.kind = Kind::Replace;
        fault.bytes = {0x66, 'E', 'R'};
        return {"write-refused", fault};
    }
}

sim::Fault delay(int ms)
{
    sim::Fault fault;
    fault.kind = sim::Fault::Kind::Delay;
    fault.delayMs = ms;
    return fault;
}

// The last page's frames answered late, one after the other, and perhaps
// the page write's answer lost: each late "OK" comes while the program
// waits for the next frame's answer.
void drawLateLastPage(Rng &rng, Scenario *s)
{
    const int firstData = lastFrame(*s) - 3;
    s->dongle.faults[firstData] = delay(between(rng, 100, 300));
    s->labels[firstData] = "late-last-page";
    if (chance(rng, 0.5)) {
        s->dongle.faults[firstData + 1] = delay(between(rng, 50, 300));
        s->labels[firstData + 1] = "late-last-page";
    }
    if (chance(rng, 0.5)) {
        s->dongle.faults[firstData + 2].kind = sim::Fault::Kind::DropReply;
        s->labels[firstData + 2] = "drop";
    }
}

void drawFaults(Rng &rng, Scenario *s)
{
    if (chance(rng, 0.1)) {
        drawLateLastPage(rng, s);
    }
    const double roll = std::uniform_real_distribution<double>(0, 1)(rng);
    const int count = roll < 0.25 ? 0 : roll < 0.7 ? 1 : roll < 0.9 ? 2 : 3;
    for (int i = 0; i < count; ++i) {
        auto drawn = drawFault(rng);
        const int frame = faultFrame(rng, *s, drawn.first);
        s->dongle.faults[frame] = drawn.second;
        s->labels[frame] = drawn.first;
    }
}

// When a clean update does what, counted from the flasher's start (measured
// in the QEMU guest: the pages take about 0.8 s): the instant of a pull is
// drawn inside one of these.
int pullInstantMs(Rng &rng, const Scenario &s)
{
    const bool application = s.dongle.startMode == sim::Mode::Application;
    const int detection = application ? 2050 : 3000; // the 2 s pause, or three tries a second apart
    const double roll = std::uniform_real_distribution<double>(0, 1)(rng);
    if (roll < 0.2) { // opening the port and setting it up
        return between(rng, 0, 150);
    }
    if (roll < 0.45) { // the pause, or the tries to find the application
        return between(rng, 150, detection);
    }
    if (roll < 0.65) { // finding the bootloader
        return between(rng, detection, detection + 400);
    }
    return between(rng, detection + 250, detection + 1100); // the pages
}

// Drawn apart from the rest, so that a seed gives the same frame faults on
// both buses.
void drawPull(uint64_t seed, Scenario *s)
{
    Rng rng(seed ^ 0x70756C6C70756C6CULL);
    if (!chance(rng, 0.6)) {
        return;
    }
    sim::Pull &pull = s->dongle.pull;
    pull.atMs = pullInstantMs(rng, *s);
    const int kind = between(rng, 0, 9);
    if (kind < 3) {
        s->pullLabel = "pull-gone";
    } else if (kind < 6) {
        s->pullLabel = "pull-quick";
        pull.backAfterMs = between(rng, 50, 600);
    } else if (kind < 8) { // slower than the program's detection retries
        s->pullLabel = "pull-slow";
        pull.backAfterMs = between(rng, 1500, 6000);
    } else {
        s->pullLabel = "pull-released";
        pull.afterRelease = true;
    }
}

// A bootloader need not echo the command: half the dongles start their
// replies with a byte that is no command's, a fixed one or any other.
void drawReplyByte(uint64_t seed, Scenario *s)
{
    Rng rng(seed ^ 0x7265706C79627974ULL);
    if (chance(rng, 0.5)) {
        return;
    }
    const int kind = between(rng, 0, 2);
    int byte = kind == 0 ? 0x00 : 0x55;
    if (kind == 2) {
        do {
            byte = between(rng, 0, 255);
        } while (sim::isCommandByte(static_cast<uint8_t>(byte)));
    }
    s->dongle.replyByte = byte;
}

// Where the dongle sits: today's plain layout, or a USB device in sysfs
// with a port path and perhaps a serial. Drawn apart from the rest, so that
// a seed's other draws stay as they were.
void drawPlace(uint64_t seed, Scenario *s)
{
    Rng rng(seed ^ 0x706C616365706C61ULL);
    if (chance(rng, 0.3)) {
        s->place.plain = true;
        return;
    }
    const char *const paths[] = {"1-1", "1-2", "1-1.4", "2-1", "3-1.2.3"};
    s->place.path = paths[between(rng, 0, 4)];
    if (chance(rng, 0.5)) {
        s->place.serial = "TVX-" + std::to_string(between(rng, 1000, 9999));
    }
}

} // namespace

uint64_t runSeed(uint64_t seed, uint64_t index)
{
    // splitmix64: neighbouring runs get unrelated seeds.
    uint64_t z = seed + 0x9E3779B97F4A7C15ULL * (index + 1);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

Scenario drawScenario(uint64_t seed, BusKind bus)
{
    Rng rng(seed);
    Scenario s;
    s.seed = seed;
    s.dongle.startMode = chance(rng, 0.5) ? sim::Mode::Application : sim::Mode::Bootloader;
    s.dongle.reenumerateMs = chance(rng, 0.25) ? between(rng, 2500, 5000) : between(rng, 50, 1500);
    s.dongle.staleOnPlugIn = chance(rng, 0.15);
    s.verbose = chance(rng, 0.7);
    if (chance(rng, 0.1)) {
        s.closeStdoutAfter = chance(rng, 0.5) ? 0 : between(rng, 1, 200);
    }
    drawFaults(rng, &s);
    drawReplyByte(seed, &s);
    if (bus == BusKind::Gadget) {
        drawPull(seed, &s);
    } else {
        drawPlace(seed, &s);
    }
    return s;
}

std::string dongleArguments(const sim::DongleOptions &d)
{
    std::ostringstream line;
    line << "--mode " << (d.startMode == sim::Mode::Application ? "application" : "bootloader")
         << " --reenumerate-ms " << d.reenumerateMs;
    if (d.staleOnPlugIn) {
        line << " --stale-on-plug-in";
    }
    if (d.replyByte >= 0) {
        line << " --reply-byte " << sim::toHex({static_cast<uint8_t>(d.replyByte)});
    }
    for (const auto &[frame, fault] : d.faults) {
        line << " --fault " << frame << ":" << sim::describe(fault);
        using Kind = sim::Fault::Kind;
        if (fault.kind == Kind::Delay) {
            line << ":" << fault.delayMs;
        } else if (fault.kind == Kind::Flood) {
            line << ":" << fault.delayMs
                 << (fault.afterMs > 0 ? ":" + std::to_string(fault.afterMs) : "");
        } else if (fault.kind == Kind::Replace) {
            line << ":" << sim::toHex(fault.bytes);
        } else if (fault.kind == Kind::Split) {
            line << ":" << fault.burst << ":" << fault.delayMs;
        } else if (fault.kind == Kind::Stale) {
            line << ":" << fault.delayMs << ":" << sim::toHex(fault.bytes);
        }
    }
    return line.str();
}

std::string placeArguments(const sim::UsbPlace &place)
{
    if (place.plain) {
        return " --plain-sysfs";
    }
    std::string line = place.path.empty() ? "" : " --usb-path " + place.path;
    line += place.serial.empty() ? "" : " --serial " + place.serial;
    line += place.bootloaderSerial.empty() ? "" : " --bootloader-serial " + place.bootloaderSerial;
    return line;
}

std::string simCommandLine(const Scenario &scenario, const std::string &program)
{
    std::ostringstream line;
    const auto &d = scenario.dongle;
    line << "torvex-sim " << dongleArguments(d) << placeArguments(scenario.place);
    line << " -- " << program << (scenario.verbose ? " --verbose" : "");
    if (!scenario.pullLabel.empty()) {
        line << "\n  and on the real bus: " << scenario.pullLabel << " " << d.pull.atMs
             << " ms after the flasher's start";
        if (d.pull.backAfterMs >= 0) {
            line << ", back after " << d.pull.backAfterMs << " ms";
        }
    }
    return line.str();
}

} // namespace soak
