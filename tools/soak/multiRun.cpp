// One run with several dongles and several flashers started together, and
// the invariants about which flasher wrote which dongle.
//
// Who did what is worked out afterwards. Each flasher has a `setserial`
// stand-in of its own, which logs the time and the port of each call: the
// program calls it right after it opens a port, and keeps every port it
// opened until it exits (under an exclusive lock, so no other flasher has it
// meanwhile). Each dongle's bus logs when it plugged in where, and the dongle
// the frames it received and when. A frame is then the work of the flasher
// that last opened the dongle's port before the frame came.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <fstream>
#include <future>
#include <iomanip>
#include <iostream>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>

#include "harness/child.h"
#include "multi.h"
#include "outcome.h"
#include "sim/sandbox.h"

namespace soak
{

namespace
{

using Clock = std::chrono::steady_clock;

constexpr uint8_t enterBootloader = 0x0A;
constexpr uint8_t pageWrite = 0x66;

// The rig sees a flasher's end a poll or two after it exits, and so after
// the lock on its ports is gone: a port opened this soon before that counts
// as opened after it.
constexpr std::chrono::milliseconds endSeenLate{500};

std::string readLink(const std::string &path)
{
    char target[PATH_MAX];
    const ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
    return n > 0 ? std::string(target, static_cast<std::size_t>(n)) : std::string();
}

// One stay of a dongle on the bus, under one port.
struct Plug {
    std::string port;
    std::string pts;
    sim::Mode mode = sim::Mode::Application;
    Clock::time_point on; // taken before the port appears
};

// A pseudo-terminal bus that keeps a log of the dongle's stays.
class TracedBus : public sim::Bus
{
  public:
    explicit TracedBus(sim::UsbPlace place) : bus_(std::move(place)) {}

    int plugIn(sim::Mode mode) override
    {
        const Clock::time_point before = Clock::now();
        const int fd = bus_.plugIn(mode);
        if (fd >= 0) {
            std::lock_guard<std::mutex> lock(mutex_);
            plugs_.push_back({bus_.hostPort(), readLink(bus_.hostPort()), mode, before});
        }
        return fd;
    }
    void unplug() override
    {
        bus_.unplug();
    }
    std::string hostPort() const override
    {
        return bus_.hostPort();
    }
    std::vector<Plug> plugs() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return plugs_;
    }

  private:
    sim::PtyBus bus_;
    mutable std::mutex mutex_;
    std::vector<Plug> plugs_;
};

// A port a flasher opened, as its setserial stand-in saw it.
struct Open {
    Clock::time_point at;
    std::string port;
    std::string pts;
    int dongle = -1; // -1: no dongle's
    int plug = -1;
};

struct FlasherRun {
    harness::ChildResult result;
    std::string setserialDir;
    std::vector<Open> opens;
    std::map<int, std::vector<sim::FrameRecord>> frames; // by dongle
    std::set<int> switched;                              // dongles it sent "enter bootloader"
    std::set<int> written;                               // dongles it sent page writes
};

struct World {
    std::vector<std::unique_ptr<TracedBus>> buses;
    std::vector<std::unique_ptr<sim::Dongle>> dongles;
    std::vector<std::vector<Plug>> plugs;
    std::vector<std::vector<sim::FrameRecord>> frames;
    std::vector<bool> updated;
};

bool putForeignPorts(const MultiScenario &s, sim::FakeDeviceTree *tree)
{
    for (std::size_t i = 0; i < s.foreignPorts.size(); ++i) {
        const std::string modalias =
            s.foreignInSysfs[i] ? "usb:v2341p0043d0001dc02dsc00dp00ic02isc02ip01in00\n" : "";
        if (!tree->addForeignPort(s.foreignPorts[i], modalias)) {
            return false;
        }
    }
    return true;
}

// The links udev makes under /dev/serial/by-path, for the flashers that
// name their dongle by one.
bool putLinks(const MultiScenario &s)
{
    mkdir("/dev/serial", 0755);
    mkdir("/dev/serial/by-path", 0755);
    for (const auto &f : s.flashers) {
        if (f.kind != SelectorKind::PortLink) {
            continue;
        }
        const int number = s.dongles[static_cast<std::size_t>(f.target)].number;
        const std::string target = "../../ttyACM" + std::to_string(number);
        if (symlink(target.c_str(), f.value.c_str()) != 0 && errno != EEXIST) {
            return false;
        }
    }
    return true;
}

std::string plugDongles(const MultiScenario &s, World *w)
{
    for (const auto &d : s.dongles) {
        w->buses.push_back(std::make_unique<TracedBus>(d.place));
        w->dongles.push_back(std::make_unique<sim::Dongle>(*w->buses.back(), d.options));
        if (!w->dongles.back()->start()) {
            return "no pseudo-terminal";
        }
        if (w->dongles.back()->hostPort() != "/dev/ttyACM" + std::to_string(d.number)) {
            return "dongle on " + w->dongles.back()->hostPort() + ", not on ttyACM" +
                   std::to_string(d.number) + " as drawn";
        }
    }
    return {};
}

std::vector<FlasherRun> runFlashers(const MultiScenario &s, const RunSetup &setup)
{
    std::vector<FlasherRun> runs(s.flashers.size());
    // All made before any flasher starts: a flasher that inherited a stand-in
    // still open for writing would make its exec fail, and the shell go on to
    // the real setserial.
    for (auto &run : runs) {
        run.setserialDir = harness::makeLoggingSetserial();
    }
    std::vector<std::future<harness::ChildResult>> running;
    for (std::size_t i = 0; i < s.flashers.size(); ++i) {
        harness::ChildOptions options;
        options.argv = {setup.program};
        for (const auto &arg : s.flashers[i].arguments()) {
            options.argv.push_back(arg);
        }
        options.env = {harness::pathWith(runs[i].setserialDir)};
        options.limit = std::chrono::seconds(setup.limitSeconds);
        running.push_back(std::async(std::launch::async, harness::runChild, options));
    }
    for (std::size_t i = 0; i < running.size(); ++i) {
        runs[i].result = running[i].get();
    }
    return runs;
}

// The steady clock's time of a wall-clock time in seconds.
Clock::time_point steadyOf(const std::string &wall, std::chrono::system_clock::time_point wallRef,
                           Clock::time_point steadyRef)
{
    const auto micros = static_cast<long long>(std::strtold(wall.c_str(), nullptr) * 1e6L);
    const auto sinceRef =
        std::chrono::microseconds(micros) -
        std::chrono::duration_cast<std::chrono::microseconds>(wallRef.time_since_epoch());
    return steadyRef + sinceRef;
}

// Which dongle's stay a port was: the latest stay under that pseudo-terminal
// (or that name) that began before the flasher had it open. Neither can go
// to another dongle while a flasher holds the port.
void place(Open *open, const World &w)
{
    for (std::size_t d = 0; d < w.plugs.size(); ++d) {
        for (std::size_t p = 0; p < w.plugs[d].size(); ++p) {
            const Plug &plug = w.plugs[d][p];
            // readlink -f names a port that is already gone by itself.
            const bool same = open->pts.rfind("/dev/pts/", 0) == 0 ? plug.pts == open->pts
                                                                   : plug.port == open->port;
            const bool later =
                open->dongle < 0 || plug.on > w.plugs[static_cast<std::size_t>(open->dongle)]
                                                     [static_cast<std::size_t>(open->plug)]
                                                         .on;
            if (same && plug.on <= open->at && later) {
                open->dongle = static_cast<int>(d);
                open->plug = static_cast<int>(p);
            }
        }
    }
}

void readOpens(FlasherRun *run, const World &w, std::chrono::system_clock::time_point wallRef,
               Clock::time_point steadyRef)
{
    std::ifstream calls(run->setserialDir + "/calls");
    std::string line;
    while (std::getline(calls, line)) {
        std::istringstream fields(line);
        std::string wall;
        Open open;
        fields >> wall >> open.port >> open.pts;
        open.at = steadyOf(wall, wallRef, steadyRef);
        place(&open, w);
        run->opens.push_back(open);
    }
}

int plugAt(const std::vector<Plug> &plugs, Clock::time_point at)
{
    int found = -1;
    for (std::size_t p = 0; p < plugs.size(); ++p) {
        if (plugs[p].on <= at) {
            found = static_cast<int>(p);
        }
    }
    return found;
}

// The flasher that last opened this stay of the dongle before `at`.
int senderOf(const std::vector<FlasherRun> &runs, int dongle, int plug, Clock::time_point at)
{
    int sender = -1;
    Clock::time_point latest;
    for (std::size_t f = 0; f < runs.size(); ++f) {
        for (const Open &open : runs[f].opens) {
            if (open.dongle == dongle && open.plug == plug && open.at <= at &&
                (sender < 0 || open.at > latest)) {
                sender = static_cast<int>(f);
                latest = open.at;
            }
        }
    }
    return sender;
}

// Gives each frame to its flasher; returns how many frames had none.
int attribute(const World &w, std::vector<FlasherRun> *runs)
{
    int orphans = 0;
    for (std::size_t d = 0; d < w.frames.size(); ++d) {
        const int dongle = static_cast<int>(d);
        for (const auto &frame : w.frames[d]) {
            const int plug = plugAt(w.plugs[d], frame.received);
            const int f = senderOf(*runs, dongle, plug, frame.received);
            if (f < 0) {
                ++orphans;
                continue;
            }
            FlasherRun &run = (*runs)[static_cast<std::size_t>(f)];
            run.frames[dongle].push_back(frame);
            const uint8_t command = frame.bytes.empty() ? 0 : frame.bytes[0];
            if (command == enterBootloader && frame.mode == sim::Mode::Application) {
                run.switched.insert(dongle);
            }
            if (command == pageWrite && frame.mode == sim::Mode::Bootloader) {
                run.written.insert(dongle);
            }
        }
    }
    return orphans;
}

// Judges one run, adding each invariant it broke to `breaches`.
class Judge
{
  public:
    Judge(const MultiScenario &s, const World &w, const std::vector<FlasherRun> &runs)
        : s_(s), w_(w), runs_(runs)
    {
    }

    std::vector<std::string> breaches()
    {
        for (std::size_t f = 0; f < runs_.size(); ++f) {
            judgeFlasher(static_cast<int>(f));
        }
        judgeHolders();
        judgeWriters();
        judgeExpectation();
        return breaches_;
    }

    // Dongles written again once an earlier writer had ended.
    int rewritten() const
    {
        return rewritten_;
    }

  private:
    void breach(const std::string &what)
    {
        breaches_.push_back(what);
    }

    // Counted from 1, as torvex-sim counts its dongles.
    static std::string name(int f)
    {
        return "flasher " + std::to_string(f + 1);
    }

    static std::string dongle(int d)
    {
        return "dongle " + std::to_string(d + 1);
    }

    const FlasherRun &run(int f) const
    {
        return runs_[static_cast<std::size_t>(f)];
    }

    // What any single flasher must do, whatever else runs.
    void judgeEnding(int f)
    {
        const harness::ChildResult &r = run(f).result;
        const std::string last = lastLineOf(r.out);
        if (!r.started || r.timedOut || r.signal != 0) {
            breach(name(f) + (!r.started ? " did not start" : r.timedOut ? " HANG" : " CRASH"));
        } else if (!r.err.empty()) {
            breach(name(f) + " wrote to standard error: " + r.err);
        } else if (r.status == 0 ? last != successVerdict
                                 : r.status != 255 || last != failureVerdict) {
            breach(name(f) + " ended with status " + std::to_string(r.status) + " and '" + last +
                   "'");
        }
    }

    void judgeAbsent(int f)
    {
        const FlasherDraw &draw = s_.flashers[static_cast<std::size_t>(f)];
        const std::string line =
            "[TORVEX] No dongle matches " + draw.arguments()[1] + " " + draw.value + ".\n";
        if (run(f).result.status == 0 || run(f).result.out.find(line) == std::string::npos) {
            breach(name(f) + " named no dongle that is there but did not say '" +
                   line.substr(0, line.size() - 1) + "' and fail");
        }
        if (!run(f).opens.empty()) {
            breach(name(f) + " named no dongle that is there but opened " +
                   run(f).opens.front().port);
        }
    }

    // The dongles a flasher may open: the one it names, or once it switched
    // one, in bootloader mode only that one.
    void judgeOpens(int f)
    {
        const FlasherDraw &draw = s_.flashers[static_cast<std::size_t>(f)];
        for (const Open &open : run(f).opens) {
            if (open.dongle < 0) {
                breach(name(f) + " opened " + open.port + ", no dongle's port");
                continue;
            }
            const Plug &plug = w_.plugs[static_cast<std::size_t>(open.dongle)]
                                       [static_cast<std::size_t>(open.plug)];
            if (draw.target >= 0 && open.dongle != draw.target) {
                breach(name(f) + " names " + dongle(draw.target) + " but opened " +
                       dongle(open.dongle) + "'s port " + open.port);
            } else if (draw.target < 0 && plug.mode == sim::Mode::Bootloader &&
                       !run(f).switched.empty() && run(f).switched.count(open.dongle) == 0) {
                breach(name(f) + " switched " + dongle(*run(f).switched.begin()) + " but opened " +
                       dongle(open.dongle) + "'s bootloader on " + open.port);
            }
        }
    }

    // A dongle written after `f` had ended may hold another's partial image.
    bool rewrittenAfter(int f, int d) const
    {
        for (const FlasherRun &other : runs_) {
            for (const Open &open : other.opens) {
                if (open.dongle == d && open.at > run(f).result.end - endSeenLate &&
                    other.written.count(d) != 0) {
                    return true;
                }
            }
        }
        return false;
    }

    void judgeSuccess(int f)
    {
        const FlasherDraw &draw = s_.flashers[static_cast<std::size_t>(f)];
        const std::set<int> &written = run(f).written;
        if (written.size() != 1) {
            breach(name(f) + " reported success having written " + std::to_string(written.size()) +
                   " dongles");
            return;
        }
        const int d = *written.begin();
        const bool toUpdate = draw.target >= 0
                                  ? d == draw.target
                                  : run(f).switched.empty() || run(f).switched.count(d) != 0;
        if (!toUpdate) {
            breach(name(f) + " reported success on " + dongle(d) + ", not the dongle it " +
                   (draw.target >= 0 ? "names" : "switched"));
        }
        if (!w_.updated[static_cast<std::size_t>(d)] && !rewrittenAfter(f, d)) {
            breach(name(f) + " FALSE SUCCESS: " + dongle(d) + " does not hold the image");
        }
    }

    void judgeFlasher(int f)
    {
        judgeEnding(f);
        if (s_.flashers[static_cast<std::size_t>(f)].absent) {
            judgeAbsent(f);
            return;
        }
        judgeOpens(f);
        if (run(f).result.status == 0) {
            judgeSuccess(f);
        }
    }

    // A port is one flasher's until it exits: no other may have opened it
    // meanwhile.
    void judgeHolders()
    {
        for (std::size_t f = 0; f < runs_.size(); ++f) {
            for (std::size_t g = 0; g < runs_.size(); ++g) {
                for (const Open &a : runs_[f].opens) {
                    for (const Open &b : runs_[g].opens) {
                        if (f != g && a.dongle >= 0 && a.dongle == b.dongle && a.plug == b.plug &&
                            a.at <= b.at && b.at < runs_[f].result.end - endSeenLate) {
                            breach(name(static_cast<int>(g)) + " opened " + b.port + " of " +
                                   dongle(a.dongle) + " while " + name(static_cast<int>(f)) +
                                   " held it");
                        }
                    }
                }
            }
        }
    }

    // No dongle written by two flashers, unless one had ended (and let go
    // of it) before the other opened it.
    void judgeWriters()
    {
        for (std::size_t d = 0; d < w_.frames.size(); ++d) {
            std::vector<int> writers;
            for (std::size_t f = 0; f < runs_.size(); ++f) {
                if (runs_[f].written.count(static_cast<int>(d)) != 0) {
                    writers.push_back(static_cast<int>(f));
                }
            }
            for (std::size_t i = 0; i + 1 < writers.size(); ++i) {
                for (std::size_t j = i + 1; j < writers.size(); ++j) {
                    judgePair(static_cast<int>(d), writers[i], writers[j]);
                }
            }
        }
    }

    Clock::time_point firstOpen(int f, int d) const
    {
        for (const Open &open : run(f).opens) {
            if (open.dongle == d) {
                return open.at;
            }
        }
        return Clock::time_point::max();
    }

    void judgePair(int d, int f, int g)
    {
        const bool gAfterF = firstOpen(g, d) >= run(f).result.end - endSeenLate;
        const bool fAfterG = firstOpen(f, d) >= run(g).result.end - endSeenLate;
        if (!gAfterF && !fAfterG) {
            breach(dongle(d) + " written by " + name(f) + " and " + name(g) + " at once");
        } else {
            ++rewritten_;
        }
    }

    void judgeExpectation()
    {
        if (!s_.everyDongleExpected) {
            return;
        }
        for (std::size_t d = 0; d < w_.updated.size(); ++d) {
            if (!w_.updated[d]) {
                breach(dongle(static_cast<int>(d)) + " not updated, with a flasher for each " +
                       "dongle and no fault");
            }
        }
        for (std::size_t f = 0; f < runs_.size(); ++f) {
            if (runs_[f].result.status != 0) {
                breach(name(static_cast<int>(f)) + " failed, with a flasher for each dongle " +
                       "and no fault");
            }
        }
    }

    const MultiScenario &s_;
    const World &w_;
    const std::vector<FlasherRun> &runs_;
    std::vector<std::string> breaches_;
    int rewritten_ = 0;
};

int numberOf(const std::string &port)
{
    const std::size_t digits = port.find_first_of("0123456789");
    return digits == std::string::npos ? -1 : std::atoi(port.c_str() + digits);
}

void countFigures(const MultiScenario &s, const World &w, const std::vector<FlasherRun> &runs,
                  Outcome *o)
{
    o->multi = true;
    o->dongles = static_cast<int>(s.dongles.size());
    o->flashers = static_cast<int>(s.flashers.size());
    o->everyDongleExpected = s.everyDongleExpected;
    for (std::size_t f = 0; f < runs.size(); ++f) {
        const FlasherDraw &draw = s.flashers[f];
        o->selectors += std::string(o->selectors.empty() ? "" : " ") +
                        (draw.absent ? "absent-" : "") + nameOf(draw.kind);
        o->flasherSuccesses += runs[f].result.status == 0 ? 1 : 0;
        o->flasherFailures += runs[f].result.status == 255 ? 1 : 0;
        for (const Open &open : runs[f].opens) {
            o->highPortsOpened += numberOf(open.port) > 9 ? 1 : 0;
        }
    }
    for (std::size_t d = 0; d < w.frames.size(); ++d) {
        o->donglesUpdated += w.updated[d] ? 1 : 0;
        for (const auto &[frame, label] : s.dongles[d].labels) {
            if (static_cast<std::size_t>(frame) < w.frames[d].size()) {
                o->reached += (o->reached.empty() ? "" : " ") + label;
            }
        }
    }
}

void show(const World &w, const std::vector<FlasherRun> &runs)
{
    for (std::size_t f = 0; f < runs.size(); ++f) {
        std::cout << "--- flasher " << f + 1 << ": status " << runs[f].result.status << "\n"
                  << runs[f].result.out << "--- its standard error\n"
                  << runs[f].result.err << "--- the ports it opened\n";
        for (const Open &open : runs[f].opens) {
            std::cout << open.port << " (" << open.pts << "): "
                      << (open.dongle < 0 ? "no dongle's"
                                          : "dongle " + std::to_string(open.dongle + 1))
                      << "\n";
        }
        for (const auto &[dongle, frames] : runs[f].frames) {
            std::cout << "sent dongle " << dongle + 1 << " " << frames.size() << " frames"
                      << (runs[f].written.count(dongle) != 0 ? ", page writes among them" : "")
                      << "\n";
        }
    }
    for (std::size_t d = 0; d < w.frames.size(); ++d) {
        std::cout << "--- dongle " << d + 1 << (w.updated[d] ? ", updated" : ", not updated")
                  << "; its ports:";
        for (const Plug &plug : w.plugs[d]) {
            std::cout << " " << plug.port
                      << (plug.mode == sim::Mode::Application ? " (app)" : " (boot)");
        }
        std::cout << "\n";
        for (const auto &frame : w.frames[d]) {
            std::cout << std::setw(3) << frame.index << " "
                      << (frame.mode == sim::Mode::Application ? "app " : "boot") << " cmd "
                      << sim::toHex({frame.bytes.empty() ? uint8_t{0} : frame.bytes[0]})
                      << " fault " << frame.fault << " reply "
                      << (frame.reply.empty() ? "none" : "sent") << "\n";
        }
    }
}

Outcome failed(const std::string &why)
{
    Outcome o;
    o.multi = true;
    o.harnessFailed = true;
    o.err = why;
    return o;
}

} // namespace

Outcome runMulti(const MultiScenario &s, const RunSetup &setup)
{
    std::string why;
    if (!sim::enterPrivateMountNamespace(&why)) {
        return failed(why);
    }
    sim::FakeDeviceTree tree;
    if (!tree.ok() || !putForeignPorts(s, &tree)) {
        return failed(tree.ok() ? "cannot add foreign ports" : tree.error());
    }
    World w;
    why = plugDongles(s, &w);
    if (!why.empty() || !putLinks(s)) {
        return failed(why.empty() ? "cannot make /dev/serial/by-path links" : why);
    }
    const auto wallRef = std::chrono::system_clock::now();
    const auto steadyRef = Clock::now();
    std::vector<FlasherRun> runs = runFlashers(s, setup);
    for (auto &dongle : w.dongles) {
        dongle->stop();
        w.frames.push_back(dongle->frames());
        w.updated.push_back(dongle->flash() == setup.image);
    }
    for (const auto &bus : w.buses) {
        w.plugs.push_back(bus->plugs());
    }
    for (auto &run : runs) {
        readOpens(&run, w, wallRef, steadyRef);
        harness::removeSetserial(run.setserialDir);
    }
    Outcome o;
    const int orphans = attribute(w, &runs);
    Judge judge(s, w, runs);
    std::vector<std::string> breaches = judge.breaches();
    o.rewritten = judge.rewritten();
    if (orphans > 0) {
        breaches.push_back(std::to_string(orphans) + " frames from no flasher that had the port");
    }
    countFigures(s, w, runs, &o);
    for (const auto &b : breaches) {
        o.breaches += (o.breaches.empty() ? "" : "|") + b;
    }
    if (setup.show) {
        show(w, runs);
    }
    w.dongles.clear(); // before their buses
    return o;
}

} // namespace soak
