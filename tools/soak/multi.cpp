#include "multi.h"

#include <algorithm>
#include <set>
#include <sstream>

namespace soak
{

namespace
{

// Port paths as hubs give them; none is the hub of another, since a hub
// cannot also be a dongle.
const char *const portPaths[] = {"1-1", "1-2", "1-3",     "1-4.3", "1-5.1",
                                 "2-1", "2-2", "3-1.2.3", "3-2"};
constexpr int portPathCount = sizeof portPaths / sizeof portPaths[0];

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
void drawForeignPorts(Rng &rng, bool farAway, MultiScenario *s)
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

// A dongle with faults takes the whole single-dongle draw of a seed of its
// own (start mode, timing, faults, reply byte), so that its fault frames fit
// its start mode.
void drawFaultyDongle(uint64_t seed, DongleDraw *d)
{
    const Scenario single = drawScenario(seed);
    d->options = single.dongle;
    d->labels = single.labels;
}

void drawCleanDongle(Rng &rng, bool application, DongleDraw *d)
{
    d->options.startMode = application ? sim::Mode::Application : sim::Mode::Bootloader;
    d->options.reenumerateMs = between(rng, 50, 1500);
    if (chance(rng, 0.5)) {
        int byte = 0;
        do {
            byte = between(rng, 0, 255);
        } while (sim::isCommandByte(static_cast<uint8_t>(byte)));
        d->options.replyByte = byte;
    }
}

// A dongle without a USB device above its port shows no serial number.
void drawPlaces(Rng &rng, MultiScenario *s)
{
    std::vector<int> order(portPathCount);
    for (int i = 0; i < portPathCount; ++i) {
        order[static_cast<std::size_t>(i)] = i;
    }
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
void drawSharedSerial(Rng &rng, MultiScenario *s)
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
void numberDongles(MultiScenario *s)
{
    std::set<int> taken(s->foreignPorts.begin(), s->foreignPorts.end());
    for (auto &d : s->dongles) {
        int n = 0;
        while (taken.count(n) != 0) {
            ++n;
        }
        d.number = n;
        taken.insert(n);
    }
}

std::string linkNameFor(const sim::UsbPlace &place)
{
    const std::size_t dash = place.path.find('-');
    const int bus = std::stoi(place.path.substr(0, dash));
    return "platform-dummy_hcd." + std::to_string(bus - 1) +
           "-usb-0:" + place.path.substr(dash + 1) + ":1.0";
}

// The serial the dongle shows where it starts, if any.
std::string visibleSerial(const DongleDraw &d)
{
    return d.options.startMode == sim::Mode::Application ? d.place.serial
                                                         : d.place.bootloaderSerial;
}

int carriers(const MultiScenario &s, const std::string &serial)
{
    return static_cast<int>(std::count_if(s.dongles.begin(), s.dongles.end(), [&](const auto &d) {
        return d.place.serial == serial || d.place.bootloaderSerial == serial;
    }));
}

FlasherDraw naming(Rng &rng, const MultiScenario &s, int target)
{
    const DongleDraw &d = s.dongles[static_cast<std::size_t>(target)];
    FlasherDraw f;
    f.target = target;
    f.kind = static_cast<SelectorKind>(between(rng, 1, 4));
    if (f.kind == SelectorKind::Serial && visibleSerial(d).empty()) {
        f.kind = SelectorKind::Path;
    }
    if (d.place.plain) { // nothing else names it
        f.kind = SelectorKind::Port;
    }
    switch (f.kind) {
    case SelectorKind::Serial:
        f.value = visibleSerial(d);
        f.shared = carriers(s, f.value) > 1;
        f.target = f.shared ? -1 : target;
        break;
    case SelectorKind::Port:
        f.value = "/dev/ttyACM" + std::to_string(d.number);
        break;
    case SelectorKind::PortLink:
        f.linkName = linkNameFor(d.place);
        f.value = "/dev/serial/by-path/" + f.linkName;
        break;
    default:
        f.value = d.place.path;
    }
    return f;
}

bool pathTaken(const MultiScenario &s, const std::string &path)
{
    for (const auto &d : s.dongles) {
        if (d.place.path == path) {
            return true;
        }
    }
    return false;
}

FlasherDraw namingNone(Rng &rng, const MultiScenario &s)
{
    FlasherDraw f;
    f.absent = true;
    f.kind = static_cast<SelectorKind>(between(rng, 1, 3));
    if (f.kind == SelectorKind::Path) {
        do {
            f.value = portPaths[between(rng, 0, portPathCount - 1)];
        } while (pathTaken(s, f.value));
    } else if (f.kind == SelectorKind::Serial) {
        f.value = "TVX-" + std::to_string(between(rng, 10, 99)); // drawn ones have four digits
    } else { // far above any number a run's ports get
        f.value = "/dev/ttyACM" + std::to_string(between(rng, 100, 199));
    }
    return f;
}

// A flasher naming the serial number two dongles carry, if two do.
void addSharedNaming(const MultiScenario &s, std::vector<FlasherDraw> *flashers)
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
FlasherDraw updatingAll(Rng &rng, const MultiScenario &s)
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
void drawFlashers(Rng &rng, int pattern, MultiScenario *s)
{
    const int dongles = static_cast<int>(s->dongles.size());
    if (pattern == 0) {
        for (int i = 0; i < dongles; ++i) {
            s->flashers.push_back(naming(rng, *s, i));
        }
        addSharedNaming(*s, &s->flashers);
        std::shuffle(s->flashers.begin(), s->flashers.end(), rng);
        return;
    }
    if (pattern == 1) {
        s->flashers.resize(static_cast<std::size_t>(dongles));
        return;
    }
    if (pattern == 3) {
        s->flashers.resize(static_cast<std::size_t>(between(rng, 1, 3)));
        return;
    }
    if (pattern == 4) {
        s->flashers.push_back(updatingAll(rng, *s));
        for (int i = between(rng, 0, 2); i > 0; --i) {
            s->flashers.push_back(naming(rng, *s, between(rng, 0, dongles - 1)));
        }
        if (chance(rng, 0.3)) {
            addSharedNaming(*s, &s->flashers);
        }
        std::shuffle(s->flashers.begin(), s->flashers.end(), rng);
        return;
    }
    for (int i = between(rng, 1, 3); i > 0; --i) {
        const double roll = std::uniform_real_distribution<double>(0, 1)(rng);
        s->flashers.push_back(roll < 0.45   ? FlasherDraw{}
                              : roll < 0.88 ? naming(rng, *s, between(rng, 0, dongles - 1))
                                            : namingNone(rng, *s));
    }
}

bool faultFree(const DongleDraw &d)
{
    return d.options.faults.empty() && !d.options.staleOnPlugIn && d.options.reenumerateMs <= 1500;
}

} // namespace

const char *nameOf(SelectorKind kind)
{
    switch (kind) {
    case SelectorKind::Path:
        return "path";
    case SelectorKind::Serial:
        return "serial";
    case SelectorKind::Port:
        return "port";
    case SelectorKind::PortLink:
        return "port-link";
    default:
        return "none";
    }
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
    std::vector<std::string> args{all ? "--all" : "--verbose"};
    if (kind != SelectorKind::None) {
        args.insert(args.end(), {option(), value});
    }
    if (all && value.size() % 2 == 1) {
        args.emplace_back("--verbose");
    }
    return args;
}

bool isMultiDongle(uint64_t seed, BusKind bus)
{
    Rng rng(seed ^ 0x6D756C7469646F6EULL);
    return bus == BusKind::Pty && between(rng, 0, 2) == 0;
}

namespace
{

// Some dongles without a USB device above their port, only ever named by
// their port (a flasher without a name might switch one, and nothing tells
// the flasher naming its port that it is gone).
void drawPlain(Rng &rng, int pattern, MultiScenario *s)
{
    const int last = static_cast<int>(s->dongles.size()) - 1;
    const int named =
        (pattern == 0 || pattern == 4) && chance(rng, 0.3) ? between(rng, 0, last) : -1;
    for (int i = 0; i <= last; ++i) {
        s->dongles[static_cast<std::size_t>(i)].place.plain =
            i == named || (pattern == 3 && chance(rng, 0.25));
    }
}

void nameDraws(int pattern, MultiScenario *s)
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
    if (pattern == 4) {
        const FlasherDraw &all = *std::find_if(s->flashers.begin(), s->flashers.end(),
                                               [](const FlasherDraw &f) { return f.all; });
        s->draws.emplace_back(s->flashers.size() > 1 ? "all-beside-named" : "all-alone");
        if (all.kind != SelectorKind::None) {
            s->draws.emplace_back(all.shared ? "all-narrowed-to-two" : "all-narrowed");
        }
    }
}

} // namespace

MultiScenario drawMultiScenario(uint64_t seed)
{
    Rng rng(seed ^ 0x7365766572616CULL);
    MultiScenario s;
    s.seed = seed;
    // 0: a flasher naming each dongle; 1: all in application mode, as many
    // flashers without a selector; 2: anything; 3: flashers without a
    // selector, every dongle above ttyACM9; 4: `--all`.
    const double roll = std::uniform_real_distribution<double>(0, 1)(rng);
    const int pattern = roll < 0.25 ? 0 : roll < 0.4 ? 1 : roll < 0.65 ? 2 : roll < 0.75 ? 3 : 4;
    s.dongles.resize(static_cast<std::size_t>(between(rng, 2, pattern % 2 == 0 ? 4 : 3)));
    drawForeignPorts(rng, pattern == 3, &s);
    for (std::size_t i = 0; i < s.dongles.size(); ++i) {
        if (pattern != 1 && chance(rng, 0.2)) {
            drawFaultyDongle(runSeed(seed, 1000 + i), &s.dongles[i]);
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

std::string describe(const MultiScenario &s, const std::string &program)
{
    std::ostringstream text;
    text << s.dongles.size() << " dongles, " << s.flashers.size() << " flashers"
         << (s.everyDongleExpected ? ", every dongle to end updated" : "")
         << (s.beyondReach ? ", every dongle beyond the flashers' reach" : "");
    for (const auto &draw : s.draws) {
        text << ", " << draw;
    }
    text << "\n";
    for (std::size_t i = 0; i < s.foreignPorts.size(); ++i) {
        text << "  foreign port /dev/ttyACM" << s.foreignPorts[i]
             << (s.foreignInSysfs[i] ? " (another device's modalias)" : " (no sysfs entry)")
             << "\n";
    }
    std::string dongles;
    for (std::size_t i = 0; i < s.dongles.size(); ++i) {
        const DongleDraw &d = s.dongles[i];
        text << "  dongle " << i + 1 << " on /dev/ttyACM" << d.number << ":"
             << placeArguments(d.place) << " " << dongleArguments(d.options) << "\n";
        dongles += (i == 0 ? "" : " --dongle") + placeArguments(d.place) + " " +
                   dongleArguments(d.options);
    }
    std::string flashers;
    for (std::size_t i = 0; i < s.flashers.size(); ++i) {
        const FlasherDraw &f = s.flashers[i];
        std::string line = program;
        for (const auto &arg : f.arguments()) {
            line += " " + arg;
        }
        text << "  flasher " << i + 1 << ": " << line
             << (f.absent        ? "   (names no dongle that is there)"
                 : f.shared      ? "   (names two dongles)"
                 : f.target >= 0 ? "   (names dongle " + std::to_string(f.target + 1) + ")"
                                 : "")
             << "\n";
        flashers += line + " & ";
    }
    text << "  by hand (without the foreign ports, which change the ports' numbers):\n  torvex-sim"
         << dongles << " -- sh -c '" << flashers << "wait'";
    return text.str();
}

} // namespace soak
