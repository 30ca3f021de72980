#include <algorithm>
#include <numeric>
#include <random>
#include <set>
#include <sstream>

#include "run.h"
#include "sim/stage.h"

namespace soak
{

namespace
{

using Kind = sim::Fault::Kind;
using Rng = std::mt19937_64;

int between(Rng &rng, int low, int high)
{
    return std::uniform_int_distribution<int>(low, high)(rng);
}

bool chance(Rng &rng, double p)
{
    return std::bernoulli_distribution(p)(rng);
}

// Which of the shares that end at `bounds` (rising) a roll falls in: 0 for
// below the first bound, bounds.size() for above the last.
int share(Rng &rng, std::initializer_list<double> bounds)
{
    const double roll = std::uniform_real_distribution<double>(0, 1)(rng);
    return static_cast<int>(
        std::count_if(bounds.begin(), bounds.end(), [roll](double b) { return roll >= b; }));
}

// Port paths as hubs give them; none is the hub of another, since a hub
// cannot also be a dongle.
const char *const portPaths[] = {"1-1", "1-2", "1-3",     "1-4.3", "1-5.1",
                                 "2-1", "2-2", "3-1.2.3", "3-2"};
constexpr int portPathCount = sizeof portPaths / sizeof portPaths[0];

std::vector<uint8_t> randomBytes(Rng &rng, int low, int high)
{
    std::vector<uint8_t> bytes(static_cast<std::size_t>(between(rng, low, high)));
    for (auto &byte : bytes) {
        byte = static_cast<uint8_t>(between(rng, 0, 255));
    }
    return bytes;
}

// A bootloader need not echo the command: half the dongles start their
// replies with a byte that is no command's, a fixed one or any other.
int drawReplyByte(Rng &rng)
{
    if (chance(rng, 0.5)) {
        return -1;
    }
    const int fixed[] = {0x00, 0x55, -1};
    int byte = fixed[between(rng, 0, 2)];
    while (byte < 0 || sim::isCommandByte(static_cast<uint8_t>(byte))) {
        byte = between(rng, 0, 255);
    }
    return byte;
}

// The last frame of a clean run: the boot command.
int lastFrame(const DongleDraw &d)
{
    return (d.options.startMode == sim::Mode::Application ? 47 : 46);
}

int drawPageWrite(Rng &rng, const DongleDraw &d)
{
    return (d.options.startMode == sim::Mode::Application ? 4 : 3) + 3 * between(rng, 0, 14);
}

sim::Fault fault(Kind kind, int delayMs = 0)
{
    return {kind, delayMs, 1, 0, {}};
}

// A page write the dongle refuses: its update fails.
const sim::Fault refusedWrite{Kind::Replace, 0, 1, 0, {0x66, 'E', 'R'}};

// A reply that comes late, or not at all, does its worst on the last page:
// it is short enough for one frame, so its repeat carries it whole.
int faultFrame(Rng &rng, const DongleDraw &d, const std::string &label)
{
    if (label == "write-refused") {
        return drawPageWrite(rng, d);
    }
    const bool lostOrLate = label == "ignore" || label == "drop" || label.rfind("delay-", 0) == 0;
    if (lostOrLate && chance(rng, 0.4)) {
        return lastFrame(d) - between(rng, 1, 3);
    }
    return between(rng, 0, lastFrame(d));
}

void put(DongleDraw *d, int frame, const std::string &label, const sim::Fault &f)
{
    d->options.faults[frame] = f;
    d->labels[frame] = label;
}

// One fault for one frame, with the name it is counted under.
std::pair<std::string, sim::Fault> drawFault(Rng &rng)
{
    switch (between(rng, 0, 11)) {
    case 0:
        return {"ignore", fault(Kind::Ignore)};
    case 1:
        return {"drop", fault(Kind::DropReply)};
    case 2: // well inside the 10 ms reply timeout
        return {"delay-short", fault(Kind::Delay, between(rng, 1, 8))};
    case 3: // past 10 ms, inside 100 ms
        return {"delay-mid", fault(Kind::Delay, between(rng, 15, 90))};
    case 4: // past both timeouts
        return {"delay-long", fault(Kind::Delay, between(rng, 120, 400))};
    case 5:
        return {"garbled", {Kind::Replace, 0, 1, 0, randomBytes(rng, 1, 8)}};
    case 6:
        return {"oversized", {Kind::Replace, 0, 1, 0, randomBytes(rng, 513, 1500)}};
    case 7:
        return {"split", {Kind::Split, between(rng, 0, 15), between(rng, 1, 2), 0, {}}};
    case 8:
        return {"stale", {Kind::Stale, between(rng, 0, 30), 1, 0, randomBytes(rng, 1, 8)}};
    case 9:
        return {"unplug", fault(Kind::Unplug)};
    case 10: { // a port that keeps talking, for longer than any timeout, perhaps
               // once the frame has gone unanswered
        const bool late = chance(rng, 0.5);
        return {late ? "flood-late" : "flood",
                {Kind::Flood, between(rng, 200, 3000), 1, late ? between(rng, 120, 400) : 0, {}}};
    }
    default:
        return {"write-refused", refusedWrite};
    }
}

// Now and then the last page's frames answered late, one after the other,
// and perhaps the page write's answer lost: each late "OK" comes while the
// program waits for the next frame's answer. Then up to three faults.
void drawFaults(Rng &rng, DongleDraw *d)
{
    if (chance(rng, 0.1)) {
        const int firstData = lastFrame(*d) - 3;
        put(d, firstData, "late-last-page", fault(Kind::Delay, between(rng, 100, 300)));
        if (chance(rng, 0.5)) {
            put(d, firstData + 1, "late-last-page", fault(Kind::Delay, between(rng, 50, 300)));
        }
        if (chance(rng, 0.5)) {
            put(d, firstData + 2, "drop", fault(Kind::DropReply));
        }
    }
    for (int count = share(rng, {0.25, 0.7, 0.9}); count > 0; --count) {
        const auto [label, f] = drawFault(rng);
        put(d, faultFrame(rng, *d, label), label, f);
    }
}

// On a real bus, the cable pulled at an instant inside one of the steps of
// a clean update, counted from the flasher's start (measured in the QEMU
// guest: the pages take about 0.8 s); the dongle then stays out, comes back
// quickly, slower than the program's detection retries, or once the port
// was let go.
void drawPull(Rng &rng, DongleDraw *d)
{
    if (!chance(rng, 0.6)) {
        return;
    }
    // The 2 s pause, or three tries a second apart, to find the bootloader.
    const int found = d->options.startMode == sim::Mode::Application ? 2050 : 3000;
    const int steps[][2] = {
        {0, 150}, {150, found}, {found, found + 400}, {found + 250, found + 1100}};
    const auto &[from, to] = steps[share(rng, {0.2, 0.45, 0.65})];
    sim::Pull &pull = d->options.pull;
    pull.atMs = between(rng, from, to);
    const int kind = share(rng, {0.3, 0.6, 0.8});
    const char *const labels[] = {"pull-gone", "pull-quick", "pull-slow", "pull-released"};
    d->pullLabel = labels[kind];
    pull.backAfterMs = kind == 1   ? between(rng, 50, 600)
                       : kind == 2 ? between(rng, 1500, 6000)
                                   : -1;
    pull.afterRelease = kind == 3;
}

// On pseudo-terminals, the plain layout, or a USB device in sysfs with a
// port path and perhaps a serial.
void drawPlace(Rng &rng, DongleDraw *d)
{
    d->place.plain = chance(rng, 0.3);
    if (!d->place.plain) {
        d->place.path = portPaths[between(rng, 0, 4)];
        d->place.serial = chance(rng, 0.5) ? "TVX-" + std::to_string(between(rng, 1000, 9999)) : "";
    }
}

// Half the time on pseudo-terminals, another program on the dongle's port
// before the flasher starts or while it runs, gone soon, within the
// flasher's 10 s wait for it, or later.
void drawHolder(Rng &rng, Run *s)
{
    if (!chance(rng, 0.5)) {
        return;
    }
    const int when = share(rng, {0.4});
    const int kind = share(rng, {0.35, 0.7});
    s->holder = {0, when == 0 ? 0 : between(rng, 50, 3000),
                 kind == 0   ? between(rng, 100, 3000)
                 : kind == 1 ? between(rng, 3000, 9000)
                             : between(rng, 11000, 16000)};
    const char *const kinds[] = {"-brief", "-within-wait", "-beyond-wait"};
    s->draws.push_back(std::string(when == 0 ? "holder-from-start" : "holder-later") + kinds[kind]);
}

// One dongle, one flasher naming none: start mode, timing, faults, reply
// byte, and where it sits or, on a real bus, the pull of its cable. Those
// last are drawn apart, so that a seed gives the same faults on both buses.
Run drawOne(uint64_t seed, BusKind bus)
{
    Rng rng(seed);
    Run run;
    run.bus = bus;
    DongleDraw &d = run.dongles.emplace_back();
    FlasherDraw &f = run.flashers.emplace_back();
    d.options.startMode = chance(rng, 0.5) ? sim::Mode::Application : sim::Mode::Bootloader;
    d.options.reenumerateMs = chance(rng, 0.25) ? between(rng, 2500, 5000) : between(rng, 50, 1500);
    d.options.staleOnPlugIn = chance(rng, 0.15);
    d.options.replyByte = drawReplyByte(rng);
    f.verbose = chance(rng, 0.7);
    if (chance(rng, 0.1)) {
        f.closeStdoutAfter = chance(rng, 0.5) ? 0 : between(rng, 1, 200);
    }
    drawFaults(rng, &d);
    Rng where(seed ^ 0x706C616365706C61ULL);
    if (bus == BusKind::Gadget) {
        drawPull(where, &d);
    } else {
        drawPlace(where, &d);
        Rng holding(seed ^ 0x686F6C646572ULL);
        drawHolder(holding, &run);
    }
    return run;
}

// A serial none of the run's dongles has yet.
std::string freshSerial(Rng &rng, const std::string &prefix, std::set<std::string> *used)
{
    std::string serial;
    do {
        serial = prefix + std::to_string(between(rng, 1000, 9999));
    } while (!used->insert(serial).second);
    return serial;
}

void drawCleanDongle(Rng &rng, bool application, DongleDraw *d)
{
    d->options.startMode = application ? sim::Mode::Application : sim::Mode::Bootloader;
    d->options.reenumerateMs = between(rng, 50, 1500);
    d->options.replyByte = drawReplyByte(rng);
}

// The start of a run with several dongles: `low` to `high` of them, without
// faults, each in its application with the chance given.
Run cleanRun(Rng &rng, int low, int high, double application)
{
    Run s;
    s.dongles.resize(static_cast<std::size_t>(between(rng, low, high)));
    for (auto &d : s.dongles) {
        drawCleanDongle(rng, chance(rng, application), &d);
    }
    return s;
}

// Every third port number or so taken by another device first, some of
// them so many that the dongles' ports come above ttyACM9.
void drawForeignPorts(Rng &rng, bool farAway, Run *s)
{
    const int kind = farAway ? 0 : share(rng, {0.35, 0.55});
    if (kind == 0) {
        s->foreignPorts.resize(static_cast<std::size_t>(between(rng, farAway ? 10 : 8, 13)));
        std::iota(s->foreignPorts.begin(), s->foreignPorts.end(), 0);
    } else if (kind == 1) {
        std::set<int> taken;
        for (int i = between(rng, 1, 3); i > 0; --i) {
            taken.insert(between(rng, 0, 5));
        }
        s->foreignPorts.assign(taken.begin(), taken.end());
    }
    for (std::size_t i = 0; i < s->foreignPorts.size(); ++i) {
        s->foreignInSysfs.push_back(chance(rng, 0.5));
    }
}

// Port paths and serial numbers (a dongle without a USB device above its
// port shows none), then the port numbers: the dongles plug in one after
// the other, each on the lowest number free.
void placeAndNumber(Rng &rng, Run *s)
{
    std::vector<int> order(portPathCount);
    std::iota(order.begin(), order.end(), 0);
    std::shuffle(order.begin(), order.end(), rng);
    std::set<std::string> serials;
    std::set<int> taken(s->foreignPorts.begin(), s->foreignPorts.end());
    for (std::size_t i = 0; i < s->dongles.size(); ++i) {
        DongleDraw &d = s->dongles[i];
        d.place.path = portPaths[order[i]];
        if (!d.place.plain && chance(rng, 0.6)) {
            d.place.serial = freshSerial(rng, "TVX-", &serials);
        }
        if (!d.place.plain && chance(rng, 0.3)) {
            d.place.bootloaderSerial = freshSerial(rng, "TVB-", &serials);
        }
        while (!taken.insert(d.number).second) {
            ++d.number;
        }
        if (d.place.plain) {
            s->draws.emplace_back(d.options.startMode == sim::Mode::Application
                                      ? "plain-application"
                                      : "plain-bootloader");
        }
    }
}

// Two dongles with one serial number, in their application or in their
// bootloader, mostly both showing it from the start.
void drawSharedSerial(Rng &rng, Run *s)
{
    std::vector<DongleDraw *> usb;
    for (auto &d : s->dongles) {
        if (!d.place.plain) {
            usb.push_back(&d);
        }
    }
    if (usb.size() < 2) {
        return;
    }
    std::shuffle(usb.begin(), usb.end(), rng);
    const bool application = chance(rng, 0.5);
    for (DongleDraw *d : {usb[0], usb[1]}) {
        (application ? d->place.serial : d->place.bootloaderSerial) =
            application ? "TVX-SAME" : "TVB-SAME";
        if (d->labels.empty() && chance(rng, 0.8)) {
            d->options.startMode = application ? sim::Mode::Application : sim::Mode::Bootloader;
        }
    }
    s->draws.emplace_back(application ? "shared-serial" : "shared-bootloader-serial");
}

int carriers(const Run &s, const std::string &serial)
{
    return static_cast<int>(std::count_if(s.dongles.begin(), s.dongles.end(),
                                          [&](const auto &d) { return d.carries(serial); }));
}

// A flasher naming dongle `target`, or any, by one of the names it has.
FlasherDraw naming(Rng &rng, const Run &s, int target = -1)
{
    target = target >= 0 ? target : between(rng, 0, static_cast<int>(s.dongles.size()) - 1);
    const DongleDraw &d = s.dongles[static_cast<std::size_t>(target)];
    const std::string serial = d.shownSerial(d.options.startMode);
    FlasherDraw f;
    f.kind = static_cast<SelectorKind>(between(rng, 1, 4));
    if (d.place.plain) { // nothing else names it
        f.kind = SelectorKind::Port;
    } else if (f.kind == SelectorKind::Serial && serial.empty()) {
        f.kind = SelectorKind::Path;
    }
    // By selector kind; a port's link as udev names it.
    const std::string values[] = {"", d.place.path, serial,
                                  "/dev/ttyACM" + std::to_string(d.number),
                                  sim::byPathLink(d.place.path)};
    f.value = values[static_cast<int>(f.kind)];
    f.shared = f.kind == SelectorKind::Serial && carriers(s, serial) > 1;
    f.target = f.shared ? -1 : target;
    return f;
}

FlasherDraw namingNone(Rng &rng, const Run &s)
{
    FlasherDraw f;
    f.absent = true;
    f.kind = static_cast<SelectorKind>(between(rng, 1, 3));
    if (f.kind == SelectorKind::Path) {
        do {
            f.value = portPaths[between(rng, 0, portPathCount - 1)];
        } while (std::any_of(s.dongles.begin(), s.dongles.end(),
                             [&f](const DongleDraw &d) { return d.place.path == f.value; }));
    } else if (f.kind == SelectorKind::Serial) {
        f.value = "TVX-" + std::to_string(between(rng, 10, 99)); // drawn ones have four digits
    } else { // far above any number a run's ports get
        f.value = "/dev/ttyACM" + std::to_string(between(rng, 100, 199));
    }
    return f;
}

// Flashers naming the serial number two dongles carry, if two do.
std::vector<FlasherDraw> namingShared(const Run &s)
{
    std::vector<FlasherDraw> flashers;
    for (const char *serial : {"TVX-SAME", "TVB-SAME"}) {
        if (carriers(s, serial) > 1) {
            FlasherDraw &f = flashers.emplace_back();
            f.kind = SelectorKind::Serial;
            f.value = serial;
            f.shared = true;
        }
    }
    return flashers;
}

// `--all`, now and then narrowed by a name, which may fit no dongle or two.
FlasherDraw updatingAll(Rng &rng, const Run &s)
{
    const std::vector<FlasherDraw> shared = namingShared(s);
    const int kind = share(rng, {0.45, 0.6, 0.9});
    FlasherDraw f = kind == 0                      ? FlasherDraw{}
                    : kind == 1 && !shared.empty() ? shared.front()
                    : kind < 3                     ? naming(rng, s)
                                                   : namingNone(rng, s);
    f.all = true;
    return f;
}

// The mixes of flashers drawSeveral draws, in the order of their shares.
enum Pattern { EachNamed, Unnamed, Mix, Beyond, All };

// The flashers: one naming each dongle, one without a selector for each
// dongle in application mode, or a free mix that may name dongles twice or
// name some that are not there; only flashers without a selector, for
// dongles out of their reach; or `--all`, alone or beside named flashers.
void drawFlashers(Rng &rng, Pattern pattern, Run *s)
{
    const int dongles = static_cast<int>(s->dongles.size());
    std::vector<FlasherDraw> &flashers = s->flashers;
    if (pattern == Unnamed || pattern == Beyond) {
        flashers.resize(
            static_cast<std::size_t>(pattern == Unnamed ? dongles : between(rng, 1, 3)));
        return;
    }
    for (int i = pattern == Mix ? between(rng, 1, 3) : 0; i > 0; --i) {
        const int kind = share(rng, {0.45, 0.88});
        flashers.push_back(kind == 0   ? FlasherDraw{}
                           : kind == 1 ? naming(rng, *s)
                                       : namingNone(rng, *s));
    }
    for (int i = 0; pattern == EachNamed && i < dongles; ++i) {
        flashers.push_back(naming(rng, *s, i));
    }
    if (pattern == All) {
        flashers.push_back(updatingAll(rng, *s));
        for (int i = between(rng, 0, 2); i > 0; --i) {
            flashers.push_back(naming(rng, *s));
        }
    }
    if (pattern == EachNamed || (pattern == All && chance(rng, 0.3))) {
        const std::vector<FlasherDraw> shared = namingShared(*s);
        flashers.insert(flashers.end(), shared.begin(), shared.end());
    }
    if (pattern == All) {
        const FlasherDraw &all = flashers.front();
        s->draws.emplace_back(flashers.size() > 1 ? "all-beside-named" : "all-alone");
        if (all.kind != SelectorKind::None) {
            s->draws.emplace_back(all.shared ? "all-narrowed-to-two" : "all-narrowed");
        }
    }
    std::shuffle(flashers.begin(), flashers.end(), rng);
}

bool faultFree(const DongleDraw &d)
{
    return d.options.faults.empty() && !d.options.staleOnPlugIn && d.options.reenumerateMs <= 1500;
}

// Dongles without a USB port path running their application, beside one
// waiting in its bootloader, and flashers naming none: a flasher that
// switched one of them cannot tell its bootloader from the other's.
Run drawPlainBeside(uint64_t seed)
{
    Rng rng(seed ^ 0x706C61696E626573ULL);
    Run s = cleanRun(rng, 2, 3, 1);
    for (auto &d : s.dongles) {
        d.place.plain = true;
    }
    DongleDraw &waiting = s.dongles[static_cast<std::size_t>(between(rng, 0, 1))];
    waiting.options.startMode = sim::Mode::Bootloader;
    waiting.place.plain = chance(rng, 0.5);
    placeAndNumber(rng, &s);
    s.flashers.resize(static_cast<std::size_t>(between(rng, 1, 2)));
    s.draws.emplace_back("plain-beside-bootloader");
    return s;
}

// Several dongles, some with a lone dongle's faults, some without a USB
// device above their port (only ever named by their port: a flasher without
// a name might switch one, and nothing tells the flasher naming its port
// that it is gone), two perhaps with one serial number; and flashers drawn
// by a pattern.
Run drawSeveral(uint64_t seed)
{
    Rng rng(seed ^ 0x7365766572616CULL);
    const auto pattern = static_cast<Pattern>(share(rng, {0.25, 0.4, 0.65, 0.75}));
    Run s = cleanRun(rng, 2, pattern == Unnamed || pattern == Beyond ? 3 : 4,
                     pattern == Unnamed ? 1 : 0.5);
    drawForeignPorts(rng, pattern == Beyond, &s);
    const int plainNamed = (pattern == EachNamed || pattern == All) && chance(rng, 0.3)
                               ? between(rng, 0, static_cast<int>(s.dongles.size()) - 1)
                               : -1;
    for (std::size_t i = 0; i < s.dongles.size(); ++i) {
        if (pattern != Unnamed && chance(rng, 0.2)) {
            const DongleDraw faulty = drawOne(runSeed(seed, 1000 + i), BusKind::Pty).dongles[0];
            s.dongles[i].options = faulty.options;
            s.dongles[i].labels = faulty.labels;
        }
        s.dongles[i].place.plain =
            static_cast<int>(i) == plainNamed || (pattern == Beyond && chance(rng, 0.25));
    }
    placeAndNumber(rng, &s);
    if (pattern != Unnamed && pattern != Beyond && chance(rng, 0.3)) {
        drawSharedSerial(rng, &s);
    }
    drawFlashers(rng, pattern, &s);
    // A flasher that names no dongle looks for one on ttyACM0 to ttyACM9 only.
    const auto numbered = [&s](bool inReach) {
        return std::all_of(s.dongles.begin(), s.dongles.end(),
                           [inReach](const DongleDraw &d) { return (d.number <= 9) == inReach; });
    };
    const bool shared = std::any_of(s.flashers.begin(), s.flashers.end(),
                                    [](const FlasherDraw &f) { return f.shared; });
    s.everyDongleExpected =
        ((pattern == EachNamed && !shared) || (pattern == Unnamed && numbered(true)) ||
         (pattern == All && s.flashers.size() == 1)) &&
        std::all_of(s.dongles.begin(), s.dongles.end(), faultFree);
    s.beyondReach = (pattern == Unnamed || pattern == Beyond) && numbered(false);
    if (pattern == Beyond) {
        s.draws.emplace_back("beyond");
    }
    return s;
}

// The dongle leaves for good, and another comes on its port path 0.2 to 6 s
// later, mostly in its application, with the same serial number, another,
// or none (and then the one that left has none either).
DongleDraw swappedIn(Rng &rng, DongleDraw *d, std::set<std::string> *serials)
{
    d->options.pull.backAfterMs = -1;
    DongleDraw other = *d;
    drawCleanDongle(rng, chance(rng, 0.8), &other);
    other.options.bootMs = between(rng, 500, 10000);
    const int kind = between(rng, 0, 2);
    d->place.serial = kind == 2 ? "" : freshSerial(rng, "TVX-", serials);
    other.place.serial = kind == 0   ? d->place.serial
                         : kind == 1 ? freshSerial(rng, "TVX-", serials)
                                     : "";
    other.place.bootloaderSerial = chance(rng, 0.3) ? freshSerial(rng, "TVB-", serials) : "";
    // One that left early on, perhaps while switching, comes back while its
    // update may still look for its bootloader.
    const int gapMs = between(rng, 200, d->options.pull.atMs < 1500 ? 2500 : 6000);
    other.options.pull = {0, d->options.pull.atMs + gapMs, false};
    const char *const labels[] = {"watch-swapped-same-serial", "watch-swapped-other-serial",
                                  "watch-swapped-no-serial"};
    other.pullLabel = labels[kind];
    return other;
}

// How a dongle under `--watch` comes and goes: there from the start,
// plugged in later, pulled out for good or out and back after any gap, its
// update failing and then pulled out and back (as an operator retries), or
// swapped for another dongle on the same port (added to `later`); its new
// firmware starting in 0.5 to 10 s.
void drawComing(Rng &rng, DongleDraw *d, std::set<std::string> *serials,
                std::vector<DongleDraw> *later)
{
    const char *const labels[] = {"",
                                  "watch-plugged-later",
                                  "watch-pulled",
                                  "watch-replugged",
                                  "watch-failed-replugged",
                                  "watch-swapped"};
    const int kind = share(rng, {0.25, 0.4, 0.5, 0.65, 0.8});
    // A failed update ends in about 3 s; a swap comes now and then while the
    // dongle switches, as its update begins about 0.6 s after the start.
    const int atMs = kind == 4                       ? between(rng, 3000, 8000)
                     : kind == 5 && chance(rng, 0.4) ? between(rng, 600, 1400)
                                                     : between(rng, 300, 7000);
    d->pullLabel = labels[kind];
    const int backAfterMs[] = {
        -1, between(rng, 300, 9000), -1, between(rng, 200, 6000), between(rng, 200, 6000), -1};
    d->options.pull = {kind == 0 ? -1 : kind == 1 ? 0 : atMs, backAfterMs[kind], false};
    d->options.bootMs = chance(rng, 0.5) ? between(rng, 500, 3000) : between(rng, 3000, 10000);
    if (kind == 4) {
        put(d, drawPageWrite(rng, *d), "write-refused", refusedWrite);
    }
    if (kind == 5) {
        later->push_back(swappedIn(rng, d, serials));
    }
}

// `--watch` over dongles that come and go (those plugged in later first:
// they are pulled out before the others plug in); then Ctrl-C, and now and
// then a second one.
Run drawWatch(uint64_t seed)
{
    Rng rng(seed ^ 0x7761746368ULL);
    Run s = cleanRun(rng, 2, 4, 0.6);
    placeAndNumber(rng, &s);
    std::set<std::string> serials;
    std::vector<DongleDraw> later;
    for (auto &d : s.dongles) {
        drawComing(rng, &d, &serials, &later);
    }
    s.dongles.insert(s.dongles.end(), later.begin(), later.end());
    std::stable_partition(s.dongles.begin(), s.dongles.end(),
                          [](const DongleDraw &d) { return d.options.pull.atMs == 0; });
    int number = 0;
    for (auto &d : s.dongles) {
        d.number = d.options.pull.atMs == 0 ? 0 : number++;
    }
    FlasherDraw &f = s.flashers.emplace_back();
    f.watch = true;
    f.verbose = chance(rng, 0.3);
    f.ctrlCMs.push_back(between(rng, 700, 14000));
    if (chance(rng, 0.35)) {
        f.ctrlCMs.push_back(f.ctrlCMs[0] + between(rng, 50, 3000));
    }
    s.draws = {f.ctrlCMs.size() > 1 ? "watch-two-ctrl-c" : "watch-one-ctrl-c"};
    for (const auto &d : s.dongles) {
        if (!d.pullLabel.empty()) {
            s.draws.push_back(d.pullLabel);
        }
    }
    return s;
}

// A dongle's torvex-sim options: where it sits, then how it behaves.
std::string dongleArguments(const DongleDraw &dongle)
{
    std::ostringstream line;
    const sim::UsbPlace &place = dongle.place;
    const sim::DongleOptions &d = dongle.options;
    const auto option = [&line](const char *name, const std::string &value) {
        line << (value.empty() ? "" : std::string(" ") + name + " " + value);
    };
    const auto flag = [&line](const char *name, bool given) {
        line << (given ? std::string(" ") + name : "");
    };
    flag("--plain-sysfs", place.plain);
    option("--usb-path", place.plain ? "" : place.path);
    option("--serial", place.plain ? "" : place.serial);
    option("--bootloader-serial", place.plain ? "" : place.bootloaderSerial);
    option("--mode", d.startMode == sim::Mode::Application ? "application" : "bootloader");
    option("--reenumerate-ms", std::to_string(d.reenumerateMs));
    option("--boot-ms", d.bootMs < 0 ? "" : std::to_string(d.bootMs));
    flag("--stale-on-plug-in", d.staleOnPlugIn);
    option("--reply-byte", d.replyByte < 0 ? "" : sim::toHex({static_cast<uint8_t>(d.replyByte)}));
    for (const auto &[frame, f] : d.faults) {
        option("--fault", std::to_string(frame) + ":" + sim::faultText(f));
    }
    const bool later = d.pull.atMs == 0;
    option(later ? "--plug-in-at" : "--pull-at",
           d.pull.atMs < 0 ? "" : std::to_string(later ? d.pull.backAfterMs : d.pull.atMs));
    option("--back-after",
           later || d.pull.backAfterMs < 0 ? "" : std::to_string(d.pull.backAfterMs));
    return line.str();
}

// The run as one torvex-sim command: its dongles, Ctrl-C, and its flashers
// (several at once through a shell, a reader that goes through head).
std::string simLine(const Run &s, const std::string &program)
{
    std::ostringstream line;
    line << "torvex-sim";
    for (std::size_t i = 0; i < s.foreignPorts.size(); ++i) {
        line << " --foreign-port " << s.foreignPorts[i] << (s.foreignInSysfs[i] ? "" : ":no-sysfs");
    }
    for (std::size_t i = 0; i < s.dongles.size(); ++i) {
        line << (i == 0 ? "" : " --dongle") << dongleArguments(s.dongles[i]);
    }
    std::string flashers;
    for (const FlasherDraw &f : s.flashers) {
        flashers += (flashers.empty() ? "" : " & ") + program;
        for (const auto &arg : f.arguments()) {
            flashers += " " + arg;
        }
        flashers +=
            f.closeStdoutAfter < 0 ? "" : " | head -c " + std::to_string(f.closeStdoutAfter);
        for (const int ms : f.ctrlCMs) {
            line << " --ctrl-c-at " << ms;
        }
    }
    const bool shell = s.flashers.size() > 1 || flashers.find(" | ") != std::string::npos;
    line << " -- "
         << (shell ? "sh -c '" + flashers + (s.flashers.size() > 1 ? " & wait'" : "'") : flashers);
    return line.str();
}

} // namespace

const char *nameOf(SelectorKind kind)
{
    const char *const names[] = {"none", "path", "serial", "port", "port-link"};
    return names[static_cast<int>(kind)];
}

std::string FlasherDraw::option() const
{
    return kind == SelectorKind::Path     ? "--path"
           : kind == SelectorKind::Serial ? "--serial-number"
           : kind == SelectorKind::None   ? ""
                                          : "--port";
}

// `--verbose` after `--all` is ignored: given now and then all the same.
std::vector<std::string> FlasherDraw::arguments() const
{
    std::vector<std::string> args;
    if (all || watch || verbose) {
        args.emplace_back(watch ? "--watch" : all ? "--all" : "--verbose");
    }
    if (kind != SelectorKind::None) {
        args.insert(args.end(), {option(), value});
    }
    if (watch ? verbose : all && value.size() % 2 == 1) {
        args.emplace_back("--verbose");
    }
    return args;
}

uint64_t runSeed(uint64_t seed, uint64_t index)
{
    // splitmix64: neighbouring runs get unrelated seeds.
    uint64_t z = seed + 0x9E3779B97F4A7C15ULL * (index + 1);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

Run drawRun(uint64_t seed, BusKind bus, bool several)
{
    Rng rng(seed ^ 0x6D756C7469646F6EULL);
    const bool lone = between(rng, 0, 2) != 0 && !several;
    const int kind = share(rng, {0.12, 0.32});
    return bus == BusKind::Gadget || lone ? drawOne(seed, bus)
           : kind == 0                    ? drawPlainBeside(seed)
           : kind == 1                    ? drawWatch(seed)
                                          : drawSeveral(seed);
}

std::string describe(const Run &s, const std::string &program)
{
    std::ostringstream text;
    text << s.dongles.size() << " dongle(s), " << s.flashers.size() << " flasher(s)"
         << (s.everyDongleExpected ? ", every dongle to end updated" : "")
         << (s.beyondReach ? ", every dongle beyond the flashers' reach" : "");
    for (const auto &draw : s.draws) {
        text << ", " << draw;
    }
    for (std::size_t i = 0; i < s.dongles.size(); ++i) {
        const DongleDraw &d = s.dongles[i];
        text << "\n  dongle " << i + 1 << " on /dev/ttyACM" << d.number << ":" << dongleArguments(d)
             << (d.pullLabel.empty() ? "" : " (" + d.pullLabel + ")");
    }
    if (s.holder.dongle >= 0) {
        text << "\n  another program on dongle " << s.holder.dongle + 1 << "'s port at "
             << s.holder.atMs << " ms, for " << s.holder.forMs << " ms";
    }
    for (std::size_t i = 0; i < s.flashers.size(); ++i) {
        const FlasherDraw &f = s.flashers[i];
        text << "\n  flasher " << i + 1 << ":";
        for (const auto &arg : f.arguments()) {
            text << " " << arg;
        }
        text << (f.absent        ? " (names no dongle that is there)"
                 : f.shared      ? " (names two dongles)"
                 : f.target >= 0 ? " (names dongle " + std::to_string(f.target + 1) + ")"
                                 : "");
    }
    return text.str() + "\n  try it: " + simLine(s, program) + "\n";
}

} // namespace soak
