#include <algorithm>
#include <numeric>
#include <set>
#include <sstream>

#include "run.h"

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

// Port paths as hubs give them; none is the hub of another, since a hub
// cannot also be a dongle.
const char *const portPaths[] = {"1-1", "1-2", "1-3",     "1-4.3", "1-5.1",
                                 "2-1", "2-2", "3-1.2.3", "3-2"};
constexpr int portPathCount = sizeof portPaths / sizeof portPaths[0];

std::vector<uint8_t> randomBytes(Rng &rng, int count)
{
    std::vector<uint8_t> bytes(static_cast<std::size_t>(count));
    for (auto &byte : bytes) {
        byte = static_cast<uint8_t>(between(rng, 0, 255));
    }
    return bytes;
}

// A first reply byte that is no command's.
int foreignByte(Rng &rng)
{
    int byte = 0;
    do {
        byte = between(rng, 0, 255);
    } while (sim::isCommandByte(static_cast<uint8_t>(byte)));
    return byte;
}

// The last frame of a clean run: the boot command.
int lastFrame(const DongleDraw &d)
{
    return (d.options.startMode == sim::Mode::Application ? 47 : 46);
}

// A reply that comes late, or not at all, does its worst on the last page:
// it is short enough for one frame, so its repeat carries it whole.
bool lostOrLate(const std::string &label)
{
    return label == "ignore" || label == "drop" || label.rfind("delay-", 0) == 0;
}

int faultFrame(Rng &rng, const DongleDraw &d, const std::string &label)
{
    if (label == "write-refused") { // on a page write frame
        return (d.options.startMode == sim::Mode::Application ? 4 : 3) + 3 * between(rng, 0, 14);
    }
    if (lostOrLate(label) && chance(rng, 0.4)) {
        return lastFrame(d) - between(rng, 1, 3);
    }
    return between(rng, 0, lastFrame(d));
}

sim::Fault fault(sim::Fault::Kind kind, int delayMs = 0, std::vector<uint8_t> bytes = {},
                 int burst = 0, int afterMs = 0)
{
    sim::Fault f;
    f.kind = kind;
    f.delayMs = delayMs;
    f.bytes = std::move(bytes);
    f.burst = burst;
    f.afterMs = afterMs;
    return f;
}

void put(DongleDraw *d, int frame, const std::string &label, const sim::Fault &f)
{
    d->options.faults[frame] = f;
    d->labels[frame] = label;
}

// One fault for one frame, with the name it is counted under.
std::pair<std::string, sim::Fault> drawFault(Rng &rng)
{
    using Kind = sim::Fault::Kind;
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
        return {"garbled", fault(Kind::Replace, 0, randomBytes(rng, between(rng, 1, 8)))};
    case 6:
        return {"oversized", fault(Kind::Replace, 0, randomBytes(rng, between(rng, 513, 1500)))};
    case 7: {
        const int burst = between(rng, 1, 2);
        return {"split", fault(Kind::Split, between(rng, 0, 15), {}, burst)};
    }
    case 8: {
        const int ms = between(rng, 0, 30);
        return {"stale", fault(Kind::Stale, ms, randomBytes(rng, between(rng, 1, 8)))};
    }
    case 9:
        return {"unplug", fault(Kind::Unplug)};
    case 10: { // a port that keeps talking, for longer than any timeout, perhaps
               // once the frame has gone unanswered
        const int ms = between(rng, 200, 3000);
        const bool late = chance(rng, 0.5);
        return {late ? "flood-late" : "flood",
                fault(Kind::Flood, ms, {}, 0, late ? between(rng, 120, 400) : 0)};
    }
    default: // a page write the dongle refuses; placed on a page write frame
        return {"write-refused", fault(Kind::Replace, 0, {0x66, 'E', 'R'})};
    }
}

// The last page's frames answered late, one after the other, and perhaps
// the page write's answer lost: each late "OK" comes while the program
// waits for the next frame's answer.
void drawLateLastPage(Rng &rng, DongleDraw *d)
{
    const int firstData = lastFrame(*d) - 3;
    put(d, firstData, "late-last-page", fault(sim::Fault::Kind::Delay, between(rng, 100, 300)));
    if (chance(rng, 0.5)) {
        put(d, firstData + 1, "late-last-page",
            fault(sim::Fault::Kind::Delay, between(rng, 50, 300)));
    }
    if (chance(rng, 0.5)) {
        put(d, firstData + 2, "drop", fault(sim::Fault::Kind::DropReply));
    }
}

void drawFaults(Rng &rng, DongleDraw *d)
{
    if (chance(rng, 0.1)) {
        drawLateLastPage(rng, d);
    }
    const double roll = std::uniform_real_distribution<double>(0, 1)(rng);
    const int count = roll < 0.25 ? 0 : roll < 0.7 ? 1 : roll < 0.9 ? 2 : 3;
    for (int i = 0; i < count; ++i) {
        const auto [label, f] = drawFault(rng);
        put(d, faultFrame(rng, *d, label), label, f);
    }
}

// When a clean update does what, counted from the flasher's start (measured
// in the QEMU guest: the pages take about 0.8 s): the instant of a pull is
// drawn inside one of these.
int pullInstantMs(Rng &rng, const DongleDraw &d)
{
    const bool application = d.options.startMode == sim::Mode::Application;
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
void drawPull(uint64_t seed, DongleDraw *d)
{
    Rng rng(seed ^ 0x70756C6C70756C6CULL);
    if (!chance(rng, 0.6)) {
        return;
    }
    sim::Pull &pull = d->options.pull;
    pull.atMs = pullInstantMs(rng, *d);
    const int kind = between(rng, 0, 9);
    if (kind < 3) {
        d->pullLabel = "pull-gone";
    } else if (kind < 6) {
        d->pullLabel = "pull-quick";
        pull.backAfterMs = between(rng, 50, 600);
    } else if (kind < 8) { // slower than the program's detection retries
        d->pullLabel = "pull-slow";
        pull.backAfterMs = between(rng, 1500, 6000);
    } else {
        d->pullLabel = "pull-released";
        pull.afterRelease = true;
    }
}

// A bootloader need not echo the command: half the dongles start their
// replies with a byte that is no command's, a fixed one or any other.
void drawReplyByte(uint64_t seed, DongleDraw *d)
{
    Rng rng(seed ^ 0x7265706C79627974ULL);
    if (chance(rng, 0.5)) {
        return;
    }
    const int kind = between(rng, 0, 2);
    d->options.replyByte = kind == 0 ? 0x00 : kind == 1 ? 0x55 : foreignByte(rng);
}

// Where a lone dongle sits: the plain layout, or a USB device in sysfs with
// a port path and perhaps a serial. Drawn apart from the rest.
void drawPlace(uint64_t seed, DongleDraw *d)
{
    Rng rng(seed ^ 0x706C616365706C61ULL);
    if (chance(rng, 0.3)) {
        d->place.plain = true;
        return;
    }
    d->place.path = portPaths[between(rng, 0, 4)];
    if (chance(rng, 0.5)) {
        d->place.serial = "TVX-" + std::to_string(between(rng, 1000, 9999));
    }
}

// One dongle, one flasher naming none: start mode, timing, faults, reply
// byte, and where it sits (or the pull of its cable on a real bus).
Run drawOne(uint64_t seed, BusKind bus)
{
    Rng rng(seed);
    Run run;
    run.seed = seed;
    run.bus = bus;
    DongleDraw d;
    FlasherDraw f;
    d.options.startMode = chance(rng, 0.5) ? sim::Mode::Application : sim::Mode::Bootloader;
    d.options.reenumerateMs = chance(rng, 0.25) ? between(rng, 2500, 5000) : between(rng, 50, 1500);
    d.options.staleOnPlugIn = chance(rng, 0.15);
    f.verbose = chance(rng, 0.7);
    if (chance(rng, 0.1)) {
        f.closeStdoutAfter = chance(rng, 0.5) ? 0 : between(rng, 1, 200);
    }
    drawFaults(rng, &d);
    drawReplyByte(seed, &d);
    if (bus == BusKind::Gadget) {
        drawPull(seed, &d);
    } else {
        drawPlace(seed, &d);
    }
    run.dongles.push_back(d);
    run.flashers.push_back(f);
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

// Every third port number or so taken by another device first, some of
// them so many that the dongles' ports come above ttyACM9.
void drawForeignPorts(Rng &rng, bool farAway, Run *s)
{
    const double roll = std::uniform_real_distribution<double>(0, 1)(rng);
    if (farAway || roll < 0.35) {
        const int count = between(rng, farAway ? 10 : 8, 13);
        for (int n = 0; n < count; ++n) {
            s->foreignPorts.push_back(n);
        }
    } else if (roll < 0.55) {
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

void drawCleanDongle(Rng &rng, bool application, DongleDraw *d)
{
    d->options.startMode = application ? sim::Mode::Application : sim::Mode::Bootloader;
    d->options.reenumerateMs = between(rng, 50, 1500);
    if (chance(rng, 0.5)) {
        d->options.replyByte = foreignByte(rng);
    }
}

// A dongle without a USB device above its port shows no serial number.
void drawPlaces(Rng &rng, Run *s)
{
    std::vector<int> order(portPathCount);
    std::iota(order.begin(), order.end(), 0);
    std::shuffle(order.begin(), order.end(), rng);
    std::set<std::string> serials;
    for (std::size_t i = 0; i < s->dongles.size(); ++i) {
        sim::UsbPlace &place = s->dongles[i].place;
        place.path = portPaths[order[i]];
        if (place.plain) {
            continue;
        }
        if (chance(rng, 0.6)) {
            place.serial = freshSerial(rng, "TVX-", &serials);
        }
        if (chance(rng, 0.3)) {
            place.bootloaderSerial = freshSerial(rng, "TVB-", &serials);
        }
    }
}

// Two dongles with one serial number, in their application or in their
// bootloader, mostly both showing it from the start.
void drawSharedSerial(Rng &rng, Run *s)
{
    std::vector<std::size_t> usb;
    for (std::size_t i = 0; i < s->dongles.size(); ++i) {
        if (!s->dongles[i].place.plain) {
            usb.push_back(i);
        }
    }
    if (usb.size() < 2) {
        return;
    }
    std::shuffle(usb.begin(), usb.end(), rng);
    const bool application = chance(rng, 0.5);
    const std::string serial = application ? "TVX-SAME" : "TVB-SAME";
    for (int k = 0; k < 2; ++k) {
        DongleDraw &d = s->dongles[usb[static_cast<std::size_t>(k)]];
        (application ? d.place.serial : d.place.bootloaderSerial) = serial;
        if (d.labels.empty() && chance(rng, 0.8)) {
            d.options.startMode = application ? sim::Mode::Application : sim::Mode::Bootloader;
        }
    }
    s->draws.emplace_back(application ? "shared-serial" : "shared-bootloader-serial");
}

// The dongles plug in one after the other, each on the lowest number free.
void numberDongles(Run *s)
{
    std::set<int> taken(s->foreignPorts.begin(), s->foreignPorts.end());
    for (auto &d : s->dongles) {
        while (!taken.insert(d.number).second) {
            ++d.number;
        }
    }
}

std::string linkNameFor(const sim::UsbPlace &place)
{
    const std::size_t dash = place.path.find('-');
    const int bus = std::stoi(place.path.substr(0, dash));
    return "platform-dummy_hcd." + std::to_string(bus - 1) +
           "-usb-0:" + place.path.substr(dash + 1) + ":1.0";
}

int carriers(const Run &s, const std::string &serial)
{
    return static_cast<int>(std::count_if(s.dongles.begin(), s.dongles.end(),
                                          [&](const auto &d) { return d.carries(serial); }));
}

FlasherDraw naming(Rng &rng, const Run &s, int target)
{
    const DongleDraw &d = s.dongles[static_cast<std::size_t>(target)];
    FlasherDraw f;
    f.target = target;
    f.kind = static_cast<SelectorKind>(between(rng, 1, 4));
    if (f.kind == SelectorKind::Serial && d.shownSerial(d.options.startMode).empty()) {
        f.kind = SelectorKind::Path;
    }
    if (d.place.plain) { // nothing else names it
        f.kind = SelectorKind::Port;
    }
    switch (f.kind) {
    case SelectorKind::Serial:
        f.value = d.shownSerial(d.options.startMode);
        f.shared = carriers(s, f.value) > 1;
        f.target = f.shared ? -1 : target;
        break;
    case SelectorKind::Port:
        f.value = "/dev/ttyACM" + std::to_string(d.number);
        break;
    case SelectorKind::PortLink:
        f.value = "/dev/serial/by-path/" + linkNameFor(d.place);
        break;
    default:
        f.value = d.place.path;
    }
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

// A flasher naming the serial number two dongles carry, if two do.
void addSharedNaming(const Run &s, std::vector<FlasherDraw> *flashers)
{
    for (const char *serial : {"TVX-SAME", "TVB-SAME"}) {
        if (carriers(s, serial) > 1) {
            FlasherDraw f;
            f.kind = SelectorKind::Serial;
            f.value = serial;
            f.shared = true;
            flashers->push_back(f);
        }
    }
}

// `--all`, now and then narrowed by a name, which may fit no dongle or two.
FlasherDraw updatingAll(Rng &rng, const Run &s)
{
    std::vector<FlasherDraw> sharedOnly;
    addSharedNaming(s, &sharedOnly);
    const double roll = std::uniform_real_distribution<double>(0, 1)(rng);
    const int dongles = static_cast<int>(s.dongles.size());
    FlasherDraw f = roll < 0.45                         ? FlasherDraw{}
                    : roll < 0.6 && !sharedOnly.empty() ? sharedOnly.front()
                    : roll < 0.9 ? naming(rng, s, between(rng, 0, dongles - 1))
                                 : namingNone(rng, s);
    f.all = true;
    return f;
}

// The flashers: one naming each dongle, one without a selector for each
// dongle in application mode, or a free mix that may name dongles twice or
// name some that are not there; only flashers without a selector, for
// dongles out of their reach; or `--all`, alone or beside named flashers.
void drawFlashers(Rng &rng, int pattern, Run *s)
{
    const int dongles = static_cast<int>(s->dongles.size());
    if (pattern == 0) {
        for (int i = 0; i < dongles; ++i) {
            s->flashers.push_back(naming(rng, *s, i));
        }
        addSharedNaming(*s, &s->flashers);
        std::shuffle(s->flashers.begin(), s->flashers.end(), rng);
    } else if (pattern == 1) {
        s->flashers.resize(static_cast<std::size_t>(dongles));
    } else if (pattern == 3) {
        s->flashers.resize(static_cast<std::size_t>(between(rng, 1, 3)));
    } else if (pattern == 4) {
        s->flashers.push_back(updatingAll(rng, *s));
        for (int i = between(rng, 0, 2); i > 0; --i) {
            s->flashers.push_back(naming(rng, *s, between(rng, 0, dongles - 1)));
        }
        if (chance(rng, 0.3)) {
            addSharedNaming(*s, &s->flashers);
        }
        std::shuffle(s->flashers.begin(), s->flashers.end(), rng);
    } else {
        for (int i = between(rng, 1, 3); i > 0; --i) {
            const double roll = std::uniform_real_distribution<double>(0, 1)(rng);
            s->flashers.push_back(roll < 0.45   ? FlasherDraw{}
                                  : roll < 0.88 ? naming(rng, *s, between(rng, 0, dongles - 1))
                                                : namingNone(rng, *s));
        }
    }
}

// Some dongles without a USB device above their port, only ever named by
// their port (a flasher without a name might switch one, and nothing tells
// the flasher naming its port that it is gone).
void drawPlain(Rng &rng, int pattern, Run *s)
{
    const int last = static_cast<int>(s->dongles.size()) - 1;
    const int named =
        (pattern == 0 || pattern == 4) && chance(rng, 0.3) ? between(rng, 0, last) : -1;
    for (int i = 0; i <= last; ++i) {
        s->dongles[static_cast<std::size_t>(i)].place.plain =
            i == named || (pattern == 3 && chance(rng, 0.25));
    }
}

void nameDraws(int pattern, Run *s)
{
    for (const auto &d : s->dongles) {
        if (d.place.plain) {
            s->draws.emplace_back(d.options.startMode == sim::Mode::Application
                                      ? "plain-application"
                                      : "plain-bootloader");
        }
    }
    if (pattern == 3) {
        s->draws.emplace_back("beyond");
    }
    const auto all = std::find_if(s->flashers.begin(), s->flashers.end(),
                                  [](const FlasherDraw &f) { return f.all; });
    if (all != s->flashers.end()) {
        s->draws.emplace_back(s->flashers.size() > 1 ? "all-beside-named" : "all-alone");
        if (all->kind != SelectorKind::None) {
            s->draws.emplace_back(all->shared ? "all-narrowed-to-two" : "all-narrowed");
        }
    }
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
    Run s;
    s.seed = seed;
    s.dongles.resize(static_cast<std::size_t>(between(rng, 2, 3)));
    for (auto &d : s.dongles) {
        drawCleanDongle(rng, true, &d);
        d.place.plain = true;
    }
    DongleDraw &waiting = s.dongles[static_cast<std::size_t>(between(rng, 0, 1))];
    waiting.options.startMode = sim::Mode::Bootloader;
    waiting.place.plain = chance(rng, 0.5);
    drawPlaces(rng, &s);
    numberDongles(&s);
    s.flashers.resize(static_cast<std::size_t>(between(rng, 1, 2)));
    nameDraws(-1, &s);
    s.draws.emplace_back("plain-beside-bootloader");
    return s;
}

Run drawSeveral(uint64_t seed)
{
    Rng rng(seed ^ 0x7365766572616CULL);
    Run s;
    s.seed = seed;
    // 0: a flasher naming each dongle; 1: all in application mode, as many
    // flashers without a selector; 2: anything; 3: flashers without a
    // selector, every dongle above ttyACM9; 4: `--all`.
    const double roll = std::uniform_real_distribution<double>(0, 1)(rng);
    const int pattern = roll < 0.25 ? 0 : roll < 0.4 ? 1 : roll < 0.65 ? 2 : roll < 0.75 ? 3 : 4;
    s.dongles.resize(static_cast<std::size_t>(between(rng, 2, pattern % 2 == 0 ? 4 : 3)));
    drawForeignPorts(rng, pattern == 3, &s);
    for (std::size_t i = 0; i < s.dongles.size(); ++i) {
        if (pattern != 1 && chance(rng, 0.2)) { // a lone dongle's draw, with its faults
            const DongleDraw faulty = drawOne(runSeed(seed, 1000 + i), BusKind::Pty).dongles[0];
            s.dongles[i].options = faulty.options;
            s.dongles[i].labels = faulty.labels;
        } else {
            drawCleanDongle(rng, pattern == 1 || chance(rng, 0.5), &s.dongles[i]);
        }
    }
    drawPlain(rng, pattern, &s);
    drawPlaces(rng, &s);
    if (pattern != 1 && pattern != 3 && chance(rng, 0.3)) {
        drawSharedSerial(rng, &s);
    }
    numberDongles(&s);
    drawFlashers(rng, pattern, &s);
    nameDraws(pattern, &s);
    // A flasher that names no dongle looks for one on ttyACM0 to ttyACM9 only.
    const bool inReach = std::all_of(s.dongles.begin(), s.dongles.end(),
                                     [](const DongleDraw &d) { return d.number <= 9; });
    const bool shared = std::any_of(s.flashers.begin(), s.flashers.end(),
                                    [](const FlasherDraw &f) { return f.shared; });
    s.everyDongleExpected = ((pattern == 0 && !shared) || (pattern == 1 && inReach) ||
                             (pattern == 4 && s.flashers.size() == 1)) &&
                            std::all_of(s.dongles.begin(), s.dongles.end(), faultFree);
    s.beyondReach = (pattern == 1 || pattern == 3) &&
                    std::all_of(s.dongles.begin(), s.dongles.end(),
                                [](const DongleDraw &d) { return d.number > 9; });
    return s;
}

// `--watch` over dongles that come and go: some there from the start, some
// plugged in later (those first: they are pulled out before the others plug
// in), some pulled out for good or for long enough to count as new when they
// come back, some swapped for another dongle on the same port; then Ctrl-C,
// and now and then a second one.
Run drawWatch(uint64_t seed)
{
    Rng rng(seed ^ 0x7761746368ULL);
    Run s;
    s.seed = seed;
    s.dongles.resize(static_cast<std::size_t>(between(rng, 2, 4)));
    for (auto &d : s.dongles) {
        drawCleanDongle(rng, chance(rng, 0.6), &d);
    }
    drawPlaces(rng, &s);
    std::set<std::string> serials;
    std::vector<DongleDraw> later;
    for (auto &d : s.dongles) {
        const double roll = std::uniform_real_distribution<double>(0, 1)(rng);
        const int atMs = between(rng, 300, 7000);
        d.pullLabel = roll < 0.3    ? ""
                      : roll < 0.5  ? "watch-plugged-later"
                      : roll < 0.65 ? "watch-pulled"
                      : roll < 0.8  ? "watch-replugged"
                                    : "watch-swapped";
        if (roll < 0.3) {
            continue;
        }
        // Away at least 3.5 s: long enough to be taken for a new dongle.
        d.options.pull = {roll < 0.5 ? 0 : atMs,
                          roll < 0.5    ? between(rng, 300, 9000)
                          : roll < 0.65 ? -1
                                        : between(rng, 3500, 6000),
                          false};
        if (roll >= 0.8) { // told apart by their serial numbers in the mode it was seen in
            d.options.startMode = sim::Mode::Application;
            d.options.pull.backAfterMs = -1;
            d.place.serial = freshSerial(rng, "TVX-", &serials);
            d.place.bootloaderSerial = freshSerial(rng, "TVB-", &serials);
            DongleDraw other = d;
            drawCleanDongle(rng, true, &other);
            other.place.serial = freshSerial(rng, "TVX-", &serials);
            other.place.bootloaderSerial = freshSerial(rng, "TVB-", &serials);
            other.options.pull = {0, atMs + between(rng, 4000, 6000), false};
            other.pullLabel = "watch-swapped-in";
            later.push_back(other);
        }
    }
    s.dongles.insert(s.dongles.end(), later.begin(), later.end());
    std::stable_partition(s.dongles.begin(), s.dongles.end(),
                          [](const DongleDraw &d) { return d.options.pull.atMs == 0; });
    int number = 0;
    for (auto &d : s.dongles) {
        d.number = d.options.pull.atMs == 0 ? 0 : number++;
    }
    FlasherDraw f;
    f.watch = true;
    f.verbose = chance(rng, 0.3);
    f.ctrlCMs.push_back(between(rng, 700, 12000));
    if (chance(rng, 0.35)) {
        f.ctrlCMs.push_back(f.ctrlCMs[0] + between(rng, 50, 3000));
    }
    s.flashers.push_back(f);
    s.draws.emplace_back(f.ctrlCMs.size() > 1 ? "watch-two-ctrl-c" : "watch-one-ctrl-c");
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
    if (place.plain) {
        line << " --plain-sysfs";
    } else {
        line << (place.path.empty() ? "" : " --usb-path " + place.path)
             << (place.serial.empty() ? "" : " --serial " + place.serial)
             << (place.bootloaderSerial.empty() ? ""
                                                : " --bootloader-serial " + place.bootloaderSerial);
    }
    const sim::DongleOptions &d = dongle.options;
    line << " --mode " << (d.startMode == sim::Mode::Application ? "application" : "bootloader")
         << " --reenumerate-ms " << d.reenumerateMs
         << (d.staleOnPlugIn ? " --stale-on-plug-in" : "");
    if (d.replyByte >= 0) {
        line << " --reply-byte " << sim::toHex({static_cast<uint8_t>(d.replyByte)});
    }
    for (const auto &[frame, f] : d.faults) {
        using Kind = sim::Fault::Kind;
        const std::string ms = ":" + std::to_string(f.delayMs);
        const std::string bytes = ":" + sim::toHex(f.bytes);
        line << " --fault " << frame << ":" << sim::describe(f)
             << (f.kind == Kind::Delay ? ms
                 : f.kind == Kind::Flood
                     ? ms + (f.afterMs > 0 ? ":" + std::to_string(f.afterMs) : "")
                 : f.kind == Kind::Replace ? bytes
                 : f.kind == Kind::Split   ? ":" + std::to_string(f.burst) + ms
                 : f.kind == Kind::Stale   ? ms + bytes
                                           : "");
    }
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
    Rng pick(seed ^ 0x6D756C7469646F6EULL);
    if (bus == BusKind::Gadget || (between(pick, 0, 2) != 0 && !several)) {
        return drawOne(seed, bus);
    }
    Rng beside(seed ^ 0x626573696465ULL);
    const double roll = std::uniform_real_distribution<double>(0, 1)(beside);
    return roll < 0.12 ? drawPlainBeside(seed) : roll < 0.32 ? drawWatch(seed) : drawSeveral(seed);
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
    for (std::size_t i = 0; i < s.foreignPorts.size(); ++i) {
        text << "\n  foreign port /dev/ttyACM" << s.foreignPorts[i]
             << (s.foreignInSysfs[i] ? " (another device's modalias)" : " (no sysfs entry)");
    }
    for (std::size_t i = 0; i < s.dongles.size(); ++i) {
        const DongleDraw &d = s.dongles[i];
        const sim::Pull &pull = d.options.pull;
        text << "\n  dongle " << i + 1 << " on /dev/ttyACM" << d.number << ":"
             << dongleArguments(d);
        if (!d.pullLabel.empty()) {
            text << " (" << d.pullLabel << ": pulled at " << pull.atMs << " ms"
                 << (pull.backAfterMs >= 0
                         ? ", back " + std::to_string(pull.backAfterMs) + " ms later"
                         : "")
                 << ")";
        }
    }
    for (std::size_t i = 0; i < s.flashers.size(); ++i) {
        const FlasherDraw &f = s.flashers[i];
        text << "\n  flasher " << i + 1 << ": " << program;
        for (const auto &arg : f.arguments()) {
            text << " " << arg;
        }
        text << (f.absent        ? " (names no dongle that is there)"
                 : f.shared      ? " (names two dongles)"
                 : f.target >= 0 ? " (names dongle " + std::to_string(f.target + 1) + ")"
                                 : "");
        for (const int ms : f.ctrlCMs) {
            text << " (Ctrl-C at " << ms << " ms)";
        }
        if (f.closeStdoutAfter >= 0) {
            text << " (its reader goes after " << f.closeStdoutAfter << " bytes)";
        }
    }
    return text.str() + "\n";
}

} // namespace soak
