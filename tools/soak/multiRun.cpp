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

#include <algorithm>
#include <climits>
#include <cstdio>
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
    Clock::time_point on;                             // taken before the port appears
    Clock::time_point up;                             // taken once it is there
    Clock::time_point off = Clock::time_point::max(); // taken before it goes
    Clock::time_point gone = Clock::time_point::max();
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
            plugs_.push_back(
                {bus_.hostPort(), readLink(bus_.hostPort()), mode, before, Clock::now()});
        }
        return fd;
    }
    void unplug() override
    {
        const Clock::time_point before = Clock::now();
        bus_.unplug();
        std::lock_guard<std::mutex> lock(mutex_);
        if (!plugs_.empty() && plugs_.back().off == Clock::time_point::max()) {
            plugs_.back().off = before;
            plugs_.back().gone = Clock::now();
        }
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
    int pid = 0; // the flasher's process, or with --all the child's
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
    std::map<int, std::set<int>> writers; // by dongle: the processes that sent its page writes
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
        fields >> wall >> open.pid >> open.port >> open.pts;
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

// The flasher that last opened this stay of the dongle before `at`, and
// the process of it that did.
int senderOf(const std::vector<FlasherRun> &runs, int dongle, int plug, Clock::time_point at,
             int *pid)
{
    int sender = -1;
    Clock::time_point latest;
    for (std::size_t f = 0; f < runs.size(); ++f) {
        for (const Open &open : runs[f].opens) {
            if (open.dongle == dongle && open.plug == plug && open.at <= at &&
                (sender < 0 || open.at > latest)) {
                sender = static_cast<int>(f);
                latest = open.at;
                *pid = open.pid;
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
            int pid = 0;
            const int f = senderOf(*runs, dongle, plug, frame.received, &pid);
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
                run.writers[dongle].insert(pid);
            }
        }
    }
    return orphans;
}

int numberOf(const std::string &port)
{
    const std::size_t digits = port.find_first_of("0123456789");
    return digits == std::string::npos ? -1 : std::atoi(port.c_str() + digits);
}

bool startsWith(const std::string &text, const std::string &start)
{
    return text.rfind(start, 0) == 0;
}

bool endsWith(const std::string &text, const std::string &end)
{
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// What `--all` said: a line for each dongle it listed as that dongle's
// update ended, then how many of them were updated.
struct AllReport {
    struct End {
        std::string node;
        std::string path; // empty for a dongle without a USB port path
        bool updated = false;
        Clock::time_point at; // when the line came: its child had ended
    };
    std::vector<End> ends;
    int updated = -1;
    int listed = -1;
    std::vector<std::string> malformed;
};

void readEndLine(const std::string &line, const std::string &node, const std::string &third,
                 Clock::time_point at, AllReport *report)
{
    AllReport::End end{node, "", endsWith(line, " Update successful!"), at};
    const bool plain =
        line == "[TORVEX] " + node + " No USB port path to follow it by. Update Failed.";
    end.path = startsWith(third, "path=") ? third.substr(5) : "";
    if ((!end.updated && !endsWith(line, " Update Failed.")) || (end.path.empty() && !plain)) {
        report->malformed.push_back(line);
    }
    report->ends.push_back(end);
}

AllReport readAllReport(const harness::ChildResult &result)
{
    AllReport report;
    std::istringstream lines(result.out);
    std::string line;
    for (std::size_t i = 0; std::getline(lines, line); ++i) {
        std::istringstream words(line);
        std::string tag, node, third;
        words >> tag >> node >> third;
        int updated = 0;
        int listed = 0;
        char rest[16] = "";
        if (tag == "[TORVEX]" && startsWith(node, "/dev/ttyACM")) {
            readEndLine(line, node, third,
                        i < result.lineEnds.size() ? result.lineEnds[i] : result.end, &report);
        } else if (std::sscanf(line.c_str(), "[TORVEX] %d of %d dongle%15[^\n]", &updated, &listed,
                               rest) == 3) {
            if (std::string(rest) != (listed == 1 ? " updated." : "s updated.")) {
                report.malformed.push_back(line);
            }
            report.updated = updated;
            report.listed = listed;
        }
    }
    return report;
}

// "1-2, 1-3 and 1-4" -> {"1-2", "1-3", "1-4"}
std::vector<std::string> splitPlaces(const std::string &places)
{
    std::vector<std::string> listed;
    for (std::size_t from = 0; from <= places.size();) {
        const std::size_t to =
            std::min({places.find(", ", from), places.find(" and ", from), places.size()});
        listed.push_back(places.substr(from, to - from));
        from = to + (places.compare(to, 2, ", ") == 0 ? 2 : 5);
    }
    return listed;
}

using Window = std::pair<Clock::time_point, Clock::time_point>;

// Judges one run, adding each invariant it broke to `breaches`.
class Judge
{
  public:
    Judge(const MultiScenario &s, const World &w, const std::vector<FlasherRun> &runs)
        : s_(s), w_(w), runs_(runs)
    {
        for (const FlasherRun &run : runs_) {
            reports_.push_back(readAllReport(run.result));
        }
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

    // What the new kinds of flasher said, for the figures.
    std::vector<std::string> events() const
    {
        std::vector<std::string> seen;
        for (std::size_t f = 0; f < runs_.size(); ++f) {
            const std::string &out = runs_[f].result.out;
            const std::pair<const char *, const char *> said[] = {
                {" fits ", "refused-shared-serial"},
                {"[TORVEX] Cannot follow the dongle on ", "plain-not-switched"},
                {", beyond the ports searched without a name: ", "pointed-beyond"}};
            for (const auto &[text, event] : said) {
                if (out.find(text) != std::string::npos) {
                    seen.emplace_back(event);
                }
            }
            for (const auto &end : reports_[f].ends) {
                seen.emplace_back(end.updated ? "all-dongle-updated" : "all-dongle-failed");
            }
        }
        return seen;
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

    const FlasherDraw &flasher(int f) const
    {
        return s_.flashers[static_cast<std::size_t>(f)];
    }

    const DongleDraw &drawn(int d) const
    {
        return s_.dongles[static_cast<std::size_t>(d)];
    }

    const Plug &plugOf(const Open &open) const
    {
        return w_.plugs[static_cast<std::size_t>(open.dongle)][static_cast<std::size_t>(open.plug)];
    }

    bool plain(int d) const
    {
        return d >= 0 && drawn(d).place.plain;
    }

    bool plainApplication(int d) const
    {
        return plain(d) && drawn(d).options.startMode == sim::Mode::Application;
    }

    bool carries(int d, const std::string &serial) const
    {
        return drawn(d).place.serial == serial || drawn(d).place.bootloaderSerial == serial;
    }

    std::string shownSerial(int d, sim::Mode mode) const
    {
        return mode == sim::Mode::Application ? drawn(d).place.serial
                                              : drawn(d).place.bootloaderSerial;
    }

    std::string portNamed(const FlasherDraw &draw) const
    {
        return draw.kind == SelectorKind::PortLink
                   ? "/dev/ttyACM" + std::to_string(drawn(draw.target).number)
                   : draw.value;
    }

    // From the flasher's start to its first open (or its end): it settled
    // its name over what sysfs showed some time then.
    Window startOf(int f) const
    {
        const Clock::time_point end =
            run(f).opens.empty() ? run(f).result.end : run(f).opens.front().at;
        return {run(f).result.begin, end};
    }

    // The port of a stay of the dongle that `shows` takes and that was
    // there all through `window`; empty if none was.
    template <typename Shows>
    std::string shownThroughout(int d, Shows shows, const Window &window) const
    {
        for (const Plug &plug : w_.plugs[static_cast<std::size_t>(d)]) {
            if (shows(plug) && plug.up <= window.first && plug.off >= window.second) {
                return plug.port;
            }
        }
        return {};
    }

    template <typename Shows> bool shownAtAll(int d, Shows shows, const Window &window) const
    {
        for (const Plug &plug : w_.plugs[static_cast<std::size_t>(d)]) {
            if (shows(plug) && plug.on <= window.second && plug.gone >= window.first) {
                return true;
            }
        }
        return false;
    }

    // Whether the flasher's name could lead it to this stay of the dongle.
    // A port holds it to the dongle that was on it when it started, by its
    // USB port path; without one, or with no dongle there then, to whatever
    // comes on that port.
    bool named(int f, int d, const Plug &plug) const
    {
        const FlasherDraw &draw = flasher(f);
        switch (draw.kind) {
        case SelectorKind::None:
            return true;
        case SelectorKind::Serial:
            return carries(d, draw.value);
        case SelectorKind::Path:
            return !plain(d) && drawn(d).place.path == draw.value;
        default:
            break;
        }
        const std::string port = portNamed(draw);
        const auto onPort = [&port](const Plug &p) { return p.port == port; };
        return d == draw.target ||
               (plug.port == port &&
                (plain(draw.target) || shownThroughout(draw.target, onPort, startOf(f)).empty()));
    }

    bool namedAnyStay(int f, int d) const
    {
        for (const Plug &plug : w_.plugs[static_cast<std::size_t>(d)]) {
            if (named(f, d, plug)) {
                return true;
            }
        }
        return false;
    }

    // The dongles `--all` alone must list: those its name fits at the start.
    bool fitsAtStart(const FlasherDraw &draw, int d) const
    {
        const sim::Mode start = drawn(d).options.startMode;
        switch (draw.kind) {
        case SelectorKind::None:
            return true;
        case SelectorKind::Serial:
            return !draw.absent && shownSerial(d, start) == draw.value;
        case SelectorKind::Path:
            return !draw.absent && !plain(d) && drawn(d).place.path == draw.value;
        default:
            return !draw.absent && d == draw.target;
        }
    }

    // A child of `--all` holds its dongle until it ends, and its line comes
    // then; any other flasher holds what it opened until it ends.
    Clock::time_point heldUntil(int f, int d) const
    {
        for (const auto &end : reports_[static_cast<std::size_t>(f)].ends) {
            if (flasher(f).all && dongleOf(end) == d) {
                return end.at;
            }
        }
        return run(f).result.end;
    }

    int dongleOf(const AllReport::End &end) const
    {
        for (std::size_t d = 0; d < s_.dongles.size(); ++d) {
            const int i = static_cast<int>(d);
            const bool onNode =
                std::any_of(w_.plugs[d].begin(), w_.plugs[d].end(),
                            [&end](const Plug &plug) { return plug.port == end.node; });
            if (end.path.empty() ? plain(i) && onNode
                                 : !plain(i) && s_.dongles[d].place.path == end.path) {
                return i;
            }
        }
        return -1;
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
        const FlasherDraw &draw = flasher(f);
        const std::string line =
            "[TORVEX] No dongle matches " + draw.option() + " " + draw.value + ".\n";
        if (run(f).result.status == 0 || run(f).result.out.find(line) == std::string::npos) {
            breach(name(f) + " named no dongle that is there but did not say '" +
                   line.substr(0, line.size() - 1) + "' and fail");
        }
        if (!run(f).opens.empty()) {
            breach(name(f) + " named no dongle that is there but opened " +
                   run(f).opens.front().port);
        }
    }

    // The dongles a flasher may open: those its name may fit and, once it
    // switched one, that one's bootloader wherever it comes; without a name,
    // else ports up to ttyACM9 only, and once it switched one, in bootloader
    // mode only that.
    void judgeOpens(int f)
    {
        const FlasherDraw &draw = flasher(f);
        const std::set<int> &switched = run(f).switched;
        for (const Open &open : run(f).opens) {
            if (open.dongle < 0) {
                breach(name(f) + " opened " + open.port + ", no dongle's port");
                continue;
            }
            const Plug &plug = plugOf(open);
            const bool boot = plug.mode == sim::Mode::Bootloader;
            if (draw.kind != SelectorKind::None && !named(f, open.dongle, plug) &&
                !(boot && switched.count(open.dongle) != 0)) {
                breach(name(f) + " names " + draw.option() + " " + draw.value + " but opened " +
                       dongle(open.dongle) + "'s port " + open.port);
            } else if (draw.kind == SelectorKind::None && numberOf(open.port) > 9 &&
                       !(boot && switched.count(open.dongle) != 0)) {
                breach(name(f) + " names no dongle but opened " + open.port);
            } else if (draw.kind == SelectorKind::None && boot && !switched.empty() &&
                       switched.count(open.dongle) == 0) {
                breach(name(f) + " switched " + dongle(*switched.begin()) + " but opened " +
                       dongle(open.dongle) + "'s bootloader on " + open.port);
            }
        }
    }

    // A dongle written after `f` had let go of it may hold another's
    // partial image.
    bool rewrittenAfter(int f, int d) const
    {
        for (const FlasherRun &other : runs_) {
            for (const Open &open : other.opens) {
                if (open.dongle == d && open.at > heldUntil(f, d) - endSeenLate &&
                    other.written.count(d) != 0) {
                    return true;
                }
            }
        }
        return false;
    }

    void judgeSuccess(int f)
    {
        const std::set<int> &written = run(f).written;
        if (written.size() != 1) {
            breach(name(f) + " reported success having written " + std::to_string(written.size()) +
                   " dongles");
            return;
        }
        const int d = *written.begin();
        const std::set<int> &switched = run(f).switched;
        if (flasher(f).kind == SelectorKind::None && !switched.empty() && switched.count(d) == 0) {
            breach(name(f) + " reported success on " + dongle(d) + ", not the dongle it switched");
        }
        if (!w_.updated[static_cast<std::size_t>(d)] && !rewrittenAfter(f, d)) {
            breach(name(f) + " FALSE SUCCESS: " + dongle(d) + " does not hold the image");
        }
    }

    // A serial number two dongles carry: refused if both showed it all
    // through the flasher's start, with both of their paths in port order;
    // if not refused, only a dongle carrying it is written (judgeOpens).
    void judgeShared(int f)
    {
        const FlasherDraw &draw = flasher(f);
        const Window start = startOf(f);
        std::map<int, std::string> steady; // port number -> path, of those shown all through
        int shown = 0;
        for (std::size_t d = 0; d < s_.dongles.size(); ++d) {
            const int i = static_cast<int>(d);
            const auto shows = [&](const Plug &p) { return shownSerial(i, p.mode) == draw.value; };
            const std::string port = shownThroughout(i, shows, start);
            if (!port.empty()) {
                steady[numberOf(port)] = s_.dongles[d].place.path;
            }
            shown += shownAtAll(i, shows, start) ? 1 : 0;
        }
        const std::string head = "[TORVEX] --serial-number " + draw.value + " fits ";
        const std::string &out = run(f).result.out;
        const std::size_t at = out.find(head);
        if (at == std::string::npos) {
            if (steady.size() > 1) {
                breach(name(f) + " did not refuse " + draw.value + ", shown by " +
                       std::to_string(steady.size()) + " dongles all through its start");
            }
            return;
        }
        if (!run(f).opens.empty()) {
            breach(name(f) + " refused " + draw.value + " but opened " + run(f).opens.front().port);
        }
        judgeRefusal(f, out.substr(at, out.find('\n', at) - at), steady, shown);
    }

    void judgeRefusal(int f, const std::string &line, const std::map<int, std::string> &steady,
                      int shown)
    {
        const FlasherDraw &draw = flasher(f);
        std::vector<std::string> paths;
        paths.reserve(steady.size());
        for (const auto &[number, path] : steady) {
            paths.push_back(path);
        }
        // The paths of the dongles shown all through in port order, with at
        // most the others shown some time then among them.
        std::string places = line.substr(line.find(" at ") + 4);
        places.resize(std::min(places.size(), places.rfind(": name one with --path.")));
        const std::vector<std::string> listed = splitPlaces(places);
        std::vector<std::string> steadyListed;
        bool carried = true;
        for (const auto &path : listed) {
            carried =
                carried && std::any_of(s_.dongles.begin(), s_.dongles.end(), [&](const auto &d) {
                    return d.place.path == path &&
                           (d.place.serial == draw.value || d.place.bootloaderSerial == draw.value);
                });
            if (std::find(paths.begin(), paths.end(), path) != paths.end()) {
                steadyListed.push_back(path);
            }
        }
        const std::string expected = "[TORVEX] --serial-number " + draw.value + " fits " +
                                     std::to_string(listed.size()) + " dongles, at " + places +
                                     ": name one with --path.";
        if (line != expected || listed.size() < 2 || static_cast<int>(listed.size()) > shown ||
            !carried || steadyListed != paths ||
            std::set<std::string>(listed.begin(), listed.end()).size() != listed.size()) {
            breach(name(f) + " refused with '" + line + "', dongles shown all through: " +
                   std::to_string(paths.size()) + ", some time: " + std::to_string(shown));
        }
    }

    // A dongle without a USB port path that runs its application: the
    // flasher naming its port never switches it, and says so once it had it.
    void judgePlainNamed(int f)
    {
        const FlasherDraw &draw = flasher(f);
        const int d = draw.target;
        if (run(f).switched.count(d) != 0) {
            breach(name(f) + " switched " + dongle(d) + ", which has no USB port path");
        }
        const bool hadIt =
            std::any_of(run(f).opens.begin(), run(f).opens.end(), [&](const Open &o) {
                return o.dongle == d && plugOf(o).mode == sim::Mode::Application;
            });
        const std::string line = "[TORVEX] Cannot follow the dongle on " + draw.value +
                                 " into its bootloader without its USB port path: it was not "
                                 "switched.\n";
        if (hadIt &&
            (run(f).result.status != 255 || run(f).result.out.find(line) == std::string::npos)) {
            breach(name(f) + " had " + dongle(d) + " without a USB port path but did not say '" +
                   line.substr(0, line.size() - 1) + "' and fail");
        }
    }

    // Nothing moves the dongles: the lowest is named, and nothing opened.
    void judgeBeyond(int f)
    {
        const auto lowest = std::min_element(
            s_.dongles.begin(), s_.dongles.end(),
            [](const DongleDraw &a, const DongleDraw &b) { return a.number < b.number; });
        const std::string node = "/dev/ttyACM" + std::to_string(lowest->number);
        const std::string line =
            "[TORVEX] A dongle is on " + node +
            ", beyond the ports searched without a name: name it with " +
            (lowest->place.plain ? "--port " + node : "--path " + lowest->place.path) + ".\n";
        if (!run(f).opens.empty() || run(f).result.status != 255 ||
            run(f).result.out.find(line) == std::string::npos) {
            breach(name(f) + " did not point at the dongle beyond its reach with '" +
                   line.substr(0, line.size() - 1) + "' and fail");
        }
    }

    void judgeAllCount(int f, const AllReport &report)
    {
        const FlasherDraw &draw = flasher(f);
        const int updated = static_cast<int>(std::count_if(
            report.ends.begin(), report.ends.end(), [](const auto &end) { return end.updated; }));
        const int listed = static_cast<int>(report.ends.size());
        if (listed == 0) {
            const std::string line =
                draw.kind == SelectorKind::None
                    ? "[TORVEX] No Torvex dongle found.\n"
                    : "[TORVEX] No dongle matches " + draw.option() + " " + draw.value + ".\n";
            if (run(f).result.out.find(line) == std::string::npos || !run(f).opens.empty()) {
                breach(name(f) + " listed no dongle but did not say '" +
                       line.substr(0, line.size() - 1) + "' or opened a port");
            }
        } else if (report.listed != listed || report.updated != updated) {
            breach(name(f) + " counted " + std::to_string(report.updated) + " of " +
                   std::to_string(report.listed) + " updated after " + std::to_string(listed) +
                   " lines, " + std::to_string(updated) + " of them successes");
        }
        if ((run(f).result.status == 0) != (listed > 0 && updated == listed)) {
            breach(name(f) + " ended with status " + std::to_string(run(f).result.status) +
                   " when " + std::to_string(updated) + " of the " + std::to_string(listed) +
                   " dongles it listed were updated");
        }
    }

    // `--all`: each dongle it lists fits its name and is listed once, says
    // it is updated only when it holds the image, is written by one child
    // at most; it opens no dongle it did not list, and counts right.
    void judgeAll(int f)
    {
        const AllReport &report = reports_[static_cast<std::size_t>(f)];
        for (const auto &line : report.malformed) {
            breach(name(f) + " printed '" + line + "'");
        }
        std::set<int> listed;
        for (const auto &end : report.ends) {
            const int d = dongleOf(end);
            if (d < 0 || !listed.insert(d).second || !namedAnyStay(f, d)) {
                breach(name(f) + " listed " + end.node + " " + end.path + ": " +
                       (d < 0 ? "no dongle" : dongle(d) + ", twice or not fitting its name"));
                continue;
            }
            if (end.updated && !w_.updated[static_cast<std::size_t>(d)] && !rewrittenAfter(f, d)) {
                breach(name(f) + " FALSE SUCCESS: its line says " + dongle(d) +
                       " was updated, which does not hold the image");
            }
        }
        judgeAllCount(f, report);
        std::map<int, std::set<int>> donglesByProcess;
        for (const Open &open : run(f).opens) {
            if (open.dongle < 0 || listed.count(open.dongle) == 0 || plain(open.dongle)) {
                breach(name(f) + " opened " + open.port + ", of no dongle it listed with a USB " +
                       "port path");
            }
            donglesByProcess[open.pid].insert(open.dongle);
        }
        for (const auto &[pid, dongles] : donglesByProcess) {
            if (dongles.size() > 1) {
                breach(name(f) + " opened " + std::to_string(dongles.size()) +
                       " dongles in one process");
            }
        }
        for (const auto &[d, pids] : run(f).writers) {
            if (pids.size() > 1) {
                breach(dongle(d) + " written by " + std::to_string(pids.size()) + " processes of " +
                       name(f));
            }
        }
    }

    void judgeFlasher(int f)
    {
        const FlasherDraw &draw = flasher(f);
        judgeEnding(f);
        if (draw.absent) {
            judgeAbsent(f);
        }
        if (draw.all) {
            judgeAll(f);
            return;
        }
        if (draw.absent) {
            return;
        }
        judgeOpens(f);
        if (draw.shared) {
            judgeShared(f);
        }
        if (plainApplication(draw.target) && draw.kind == SelectorKind::Port) {
            judgePlainNamed(f);
        }
        if (s_.beyondReach) {
            judgeBeyond(f);
        }
        if (run(f).result.status == 0) {
            judgeSuccess(f);
        }
    }

    // A port is one process's until it ends: no other flasher may have
    // opened it meanwhile.
    void judgeHolders()
    {
        for (std::size_t f = 0; f < runs_.size(); ++f) {
            for (std::size_t g = 0; g < runs_.size(); ++g) {
                for (const Open &a : runs_[f].opens) {
                    for (const Open &b : runs_[g].opens) {
                        if (f != g && a.dongle >= 0 && a.dongle == b.dongle && a.plug == b.plug &&
                            a.at <= b.at &&
                            b.at < heldUntil(static_cast<int>(f), a.dongle) - endSeenLate) {
                            breach(name(static_cast<int>(g)) + " opened " + b.port + " of " +
                                   dongle(a.dongle) + " while " + name(static_cast<int>(f)) +
                                   " held it");
                        }
                    }
                }
            }
        }
    }

    // No dongle written by two flashers, unless one had let go of it before
    // the other opened it.
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
        const bool gAfterF = firstOpen(g, d) >= heldUntil(f, d) - endSeenLate;
        const bool fAfterG = firstOpen(f, d) >= heldUntil(g, d) - endSeenLate;
        if (!gAfterF && !fAfterG) {
            breach(dongle(d) + " written by " + name(f) + " and " + name(g) + " at once");
        } else {
            ++rewritten_;
        }
    }

    // With `--all` (alone), the dongles its name fits at the start; else
    // every one but a dongle without a USB port path in its application.
    bool expectedUpdated(int d) const
    {
        const auto all = std::find_if(s_.flashers.begin(), s_.flashers.end(),
                                      [](const FlasherDraw &f) { return f.all; });
        return all == s_.flashers.end() ? !plainApplication(d) : fitsAtStart(*all, d) && !plain(d);
    }

    bool expectedSuccess(int f) const
    {
        const FlasherDraw &draw = flasher(f);
        if (!draw.all) {
            return !plainApplication(draw.target);
        }
        bool any = false;
        for (std::size_t d = 0; d < s_.dongles.size(); ++d) {
            const bool fits = fitsAtStart(draw, static_cast<int>(d));
            any = any || fits;
            if (fits && plain(static_cast<int>(d))) {
                return false;
            }
        }
        return any;
    }

    void judgeExpectation()
    {
        if (!s_.everyDongleExpected) {
            return;
        }
        for (std::size_t d = 0; d < w_.updated.size(); ++d) {
            if (expectedUpdated(static_cast<int>(d)) && !w_.updated[d]) {
                breach(dongle(static_cast<int>(d)) + " not updated, with a flasher for each " +
                       "dongle and no fault");
            }
        }
        for (std::size_t f = 0; f < runs_.size(); ++f) {
            if (expectedSuccess(static_cast<int>(f)) && runs_[f].result.status != 0) {
                breach(name(static_cast<int>(f)) + " failed, with a flasher for each dongle " +
                       "and no fault");
            }
        }
    }

    const MultiScenario &s_;
    const World &w_;
    const std::vector<FlasherRun> &runs_;
    std::vector<AllReport> reports_;
    std::vector<std::string> breaches_;
    int rewritten_ = 0;
};

void countFigures(const MultiScenario &s, const World &w, const std::vector<FlasherRun> &runs,
                  Outcome *o)
{
    o->multi = true;
    o->dongles = static_cast<int>(s.dongles.size());
    o->flashers = static_cast<int>(s.flashers.size());
    o->everyDongleExpected = s.everyDongleExpected;
    for (std::size_t f = 0; f < runs.size(); ++f) {
        const FlasherDraw &draw = s.flashers[f];
        const bool plainTarget =
            draw.target >= 0 && s.dongles[static_cast<std::size_t>(draw.target)].place.plain;
        o->selectors += std::string(o->selectors.empty() ? "" : " ") + (draw.all ? "all-" : "") +
                        (draw.absent ? "absent-" : "") + (draw.shared ? "shared-" : "") +
                        (plainTarget ? "plain-" : "") + nameOf(draw.kind);
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
    std::vector<std::string> draws = s.draws;
    for (const auto &event : judge.events()) {
        draws.push_back(event);
    }
    for (const auto &draw : draws) {
        o.draws += (o.draws.empty() ? "" : " ") + draw;
    }
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
