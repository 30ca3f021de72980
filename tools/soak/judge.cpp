// The invariants of a run, over what it did. Who did what is worked out
// here: each dongle's bus logs when it plugged in where, the dongle the
// frames it received and when, and each flasher's setserial stand-in when
// it opened which port. A frame is the work of the flasher that last opened
// that stay of the dongle before the frame came.
#include <algorithm>
#include <cstdio>
#include <set>
#include <sstream>

#include "judge.h"

namespace soak
{

namespace
{

constexpr uint8_t enterBootloader = 0x0A;
constexpr uint8_t pageWrite = 0x66;
constexpr uint8_t bootApplication = 0x67;

// The rig sees a flasher's end a poll or two after it exits, and so after
// the lock on its ports is gone: a port opened this soon before that counts
// as opened after it.
constexpr std::chrono::milliseconds endSeenLate{500};

constexpr char successVerdict[] = "[TORVEX] Update successful!";
constexpr char failureVerdict[] =
    "[TORVEX] Update Failed. Please reconnect the dongle and try again!";

using Window = std::pair<Clock::time_point, Clock::time_point>;

bool startsWith(const std::string &text, const std::string &start)
{
    return text.rfind(start, 0) == 0;
}

bool endsWith(const std::string &text, const std::string &end)
{
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

bool holds(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

// From `start` to the end of its line; empty if `out` does not hold it.
std::string lineFrom(const std::string &out, const std::string &start)
{
    const std::size_t at = out.find(start);
    return at == std::string::npos ? "" : out.substr(at, out.find('\n', at) - at);
}

// The last line of `out` that is not empty.
std::string lastLine(const std::string &out)
{
    const std::string kept = out.substr(0, out.find_last_not_of('\n') + 1);
    return kept.substr(kept.rfind('\n') + 1); // npos + 1: from the start
}

int numberOf(const std::string &port)
{
    const std::size_t digits = port.find_first_of("0123456789");
    return digits == std::string::npos ? -1 : std::atoi(port.c_str() + digits);
}

long msBetween(Clock::time_point from, Clock::time_point to)
{
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count());
}

uint8_t commandOf(const sim::FrameRecord &frame)
{
    return frame.bytes.empty() ? 0 : frame.bytes[0];
}

// "Enter bootloader" to a dongle in its application: the switch.
bool switches(const sim::FrameRecord &frame)
{
    return commandOf(frame) == enterBootloader && frame.mode == sim::Mode::Application;
}

template <typename T> int sizeOf(const std::vector<T> &items)
{
    return static_cast<int>(items.size());
}

// How a flasher refuses a serial number that the dongles at `paths` carry.
std::string sharedRefusal(const std::string &serial, const std::vector<std::string> &paths)
{
    std::string places;
    for (std::size_t i = 0; i < paths.size(); ++i) {
        places += (i == 0 ? "" : i + 1 == paths.size() ? " and " : ", ") + paths[i];
    }
    return "[TORVEX] --serial-number " + serial + " fits " + std::to_string(paths.size()) +
           " dongles, at " + places + ": name one with --path.";
}

// The paths a refusal lists: "... at 1-2, 1-3 and 1-4: name one ..."
std::vector<std::string> pathsIn(const std::string &refusal)
{
    const std::size_t from = refusal.find(" at ") + 4;
    std::istringstream words(refusal.substr(from, refusal.rfind(':') - from));
    std::vector<std::string> paths;
    for (std::string word; words >> word;) {
        if (word != "and") {
            paths.push_back(word.substr(0, word.find(',')));
        }
    }
    return paths;
}

// An open, with the dongle's stay it was (-1: no dongle's).
struct Placed : Open {
    int dongle = -1;
    int plug = -1;
};

// What `--all` or `--watch` said of a dongle as its update ended (its child
// had ended then).
struct End {
    std::string node;
    std::string path; // empty for a dongle without a USB port path
    std::string serial;
    bool updated = false;
    Clock::time_point at;
    std::string line;
    std::size_t index = 0; // its line's
    int dongle = -1;       // the one it is of
};

// A flasher: as drawn, as it ran, and what it did to which dongle.
struct Flasher {
    Flasher(int f, const FlasherDraw &drawn, const harness::ChildResult &result)
        : name("flasher " + std::to_string(f + 1)), draw(drawn), r(result)
    {
        std::istringstream out(r.out);
        std::size_t i = 0;
        for (std::string line; std::getline(out, line); ++i) {
            read(line, i);
        }
    }

    std::string name; // counted from 1, as torvex-sim counts
    const FlasherDraw &draw;
    const harness::ChildResult &r;
    std::vector<Placed> opens;
    std::set<int> sentTo;                 // dongles it sent frames
    std::set<int> switched;               // dongles it sent "enter bootloader"
    std::map<int, std::set<int>> writers; // by dongle: the processes that sent its page writes
    std::map<std::pair<int, int>, std::set<int>> updaters; // by dongle and stay: who sent frames
    std::set<std::pair<int, int>> changed;                 // dongles and stays it switched or wrote
    std::vector<End> ends;
    std::map<int, const End *> lastEnds; // by dongle
    std::map<int, int> began;            // by process: the dongle it opened first
    int updated = -1;                    // the count `--all` and `--watch` print
    int listed = -1;
    std::vector<std::string> malformed;

    int beganWith(int pid) const
    {
        const auto found = began.find(pid);
        return found == began.end() ? -1 : found->second;
    }

    bool says(const std::string &line) const
    {
        return holds(r.out, line + "\n");
    }

    // A line of `--all` or `--watch`: a dongle's end, or the count.
    void read(const std::string &line, std::size_t i)
    {
        std::istringstream words(line);
        std::string tag, node, path, serial;
        words >> tag >> node >> path >> serial;
        char rest[16] = "";
        if (tag == "[TORVEX]" && startsWith(node, "/dev/ttyACM")) {
            path = startsWith(path, "path=") ? path.substr(5) : "";
            serial = startsWith(serial, "serial=") ? serial.substr(7) : "";
            const bool updated = endsWith(line, " Update successful!");
            // `--watch` tells the operator to retry, but not for a dongle it stopped.
            const bool stopped = holds(line, " Left untouched: ") || holds(line, " Stopped ");
            const char *failed = draw.watch && !stopped
                                     ? " Update Failed. Pull it out and plug it in again to retry."
                                     : " Update Failed.";
            const std::string plain =
                "[TORVEX] " + node + " No USB port path to follow it by. Update Failed.";
            if ((!updated && !endsWith(line, failed)) || (path.empty() && line != plain)) {
                malformed.push_back(line);
            }
            const Clock::time_point at = i < r.lineEnds.size() ? r.lineEnds[i] : r.end;
            ends.push_back({node, path, serial, updated, at, line, i, -1});
        } else if (std::sscanf(line.c_str(), "[TORVEX] %d of %d dongle%15[^\n]", &updated, &listed,
                               rest) == 3 &&
                   std::string(rest) != (listed == 1 ? " updated." : "s updated.")) {
            malformed.push_back(line);
        }
    }

    // A frame it sent the dongle in that stay on the bus, from that process.
    void sent(int d, int stay, int pid, const sim::FrameRecord &frame)
    {
        const bool writes = commandOf(frame) == pageWrite && frame.mode == sim::Mode::Bootloader;
        sentTo.insert(d);
        updaters[{d, stay}].insert(pid);
        if (switches(frame)) {
            switched.insert(d);
        }
        if (writes) {
            writers[d].insert(pid);
        }
        if (switches(frame) || writes) {
            changed.insert({d, stay});
        }
    }
};

class Judge
{
  public:
    Judge(const Run &s, const Seen &w) : s_(s), w_(w)
    {
        flashers_.reserve(w.flashers.size()); // their ends are pointed at
        for (int f = 0; f < sizeOf(w.flashers); ++f) {
            Flasher &fl = flashers_.emplace_back(f, s.flashers[f], w.flashers[f].result);
            for (const Open &open : w.flashers[f].opens) {
                fl.opens.push_back(place(open));
                fl.began.emplace(open.pid, fl.opens.back().dongle);
            }
            for (End &end : fl.ends) {
                end.dongle = dongleOf(fl, end);
                fl.lastEnds[end.dongle] = &end;
            }
            fl.lastEnds.erase(-1);
            tally("flashers: setserial complained", !w.flashers[f].setserialErr.empty());
        }
        attribute();
    }

    Outcome outcome()
    {
        for (const Flasher &fl : flashers_) {
            judgeFlasher(fl);
            for (const Flasher &other : flashers_) {
                judgePair(fl, other);
            }
        }
        breachIf(orphans_ > 0, "frames from no flasher", orphans_,
                 " frames from no flasher that had the port, the first ", firstOrphan_);
        judgeExpectation();
        judgeDisconnects();
        count();
        return o_;
    }

  private:
    // Every rule's one shape: where `broken`, a breach of that kind, in
    // words that count dongles from 1 as torvex-sim does.
    template <typename... Parts>
    void breachIf(bool broken, const std::string &kind, const Parts &...parts)
    {
        if (broken) {
            std::ostringstream text;
            (text << ... << parts);
            o_.breaches.push_back(text.str());
            ++o_.counts["breaches: " + kind];
        }
    }
    void tally(const std::string &figure, bool happened = true)
    {
        o_.counts[figure] += happened ? 1 : 0;
    }
    static std::string dongle(int d)
    {
        return "dongle " + std::to_string(d + 1);
    }
    const Plug &plugOf(const Placed &open) const
    {
        return w_.dongles[open.dongle].plugs[open.plug];
    }
    bool plain(int d) const
    {
        return d >= 0 && s_.dongles[d].place.plain;
    }
    bool plainApplication(int d) const
    {
        return plain(d) && s_.dongles[d].options.startMode == sim::Mode::Application;
    }
    template <typename Test> bool anyDongle(Test test) const
    {
        for (int d = 0; d < sizeOf(s_.dongles); ++d) {
            if (test(d)) {
                return true;
            }
        }
        return false;
    }
    template <typename Test> bool anyPlug(int d, Test test) const
    {
        const std::vector<Plug> &plugs = w_.dongles[d].plugs;
        return std::any_of(plugs.begin(), plugs.end(), test);
    }
    template <typename Test> static bool anyOpen(const Flasher &f, Test test)
    {
        return std::any_of(f.opens.begin(), f.opens.end(), test);
    }

    // Which dongle's stay a port was: the latest stay under that pseudo-
    // terminal (or that name) that began before the flasher had it open.
    // Neither can go to another dongle while a flasher holds the port.
    Placed place(const Open &open) const
    {
        Placed placed;
        static_cast<Open &>(placed) = open;
        for (int d = 0; d < sizeOf(s_.dongles); ++d) {
            for (int p = 0; p < sizeOf(w_.dongles[d].plugs); ++p) {
                const Plug &plug = w_.dongles[d].plugs[p];
                // readlink -f names a port that is already gone by itself.
                const bool same = startsWith(open.pts, "/dev/pts/") ? plug.pts == open.pts
                                                                    : plug.port == open.port;
                if (same && plug.on <= open.at &&
                    (placed.dongle < 0 || plug.on > plugOf(placed).on)) {
                    placed.dongle = d;
                    placed.plug = p;
                }
            }
        }
        return placed;
    }

    // Gives each frame to the flasher that last opened that stay of the
    // dongle before the frame came; without opens logged, to the lone one.
    void attribute()
    {
        for (int d = 0; d < sizeOf(s_.dongles); ++d) {
            const std::vector<Plug> &plugs = w_.dongles[d].plugs;
            for (const auto &frame : w_.dongles[d].frames) {
                const auto plug =
                    std::count_if(plugs.begin(), plugs.end(),
                                  [&](const Plug &p) { return p.on <= frame.received; }) -
                    1;
                Flasher *sender = w_.opensLogged || flashers_.size() != 1 ? nullptr : &flashers_[0];
                const Placed *latest = nullptr;
                for (Flasher &fl : flashers_) {
                    for (const Placed &open : fl.opens) {
                        if (open.dongle == d && open.plug == plug && open.at <= frame.received &&
                            (latest == nullptr || open.at > latest->at)) {
                            sender = &fl;
                            latest = &open;
                        }
                    }
                }
                if (sender == nullptr) {
                    orphan(d, frame);
                } else {
                    judgeHold(*sender, latest, frame);
                    sender->sent(d, stayOf(d, frame.received), latest == nullptr ? 0 : latest->pid,
                                 frame);
                }
            }
        }
    }

    // Another program held the port the flasher switched the dongle on from
    // before the flasher started, and so before it looked for other holders,
    // until the enter command came.
    void judgeHold(const Flasher &fl, const Placed *open, const sim::FrameRecord &frame)
    {
        const Hold &hold = w_.hold;
        if (open == nullptr || hold.dongle != open->dongle || !switches(frame)) {
            return;
        }
        breachIf(hold.pts == plugOf(*open).pts && hold.from < fl.r.begin &&
                     hold.to > frame.received,
                 "held by another", fl.name, " switched ", dongle(hold.dongle), " on ", hold.port,
                 " while another program held it, from ", msBetween(hold.from, fl.r.begin),
                 " ms before its start until ", msBetween(frame.received, hold.to),
                 " ms after the switch");
    }

    // A frame no flasher had the port for. A new port echoes the junk a
    // dongle put in it until the host makes it raw (the dongle waits a
    // little for that echo, not always long enough on a busy machine): no
    // frame from the host.
    void orphan(int d, const sim::FrameRecord &frame)
    {
        const std::vector<uint8_t> &junk = sim::Dongle::staleBytes;
        const bool echo =
            s_.dongles[d].options.staleOnPlugIn && !frame.bytes.empty() &&
            std::all_of(frame.bytes.begin(), frame.bytes.end(), [&junk](uint8_t byte) {
                return std::find(junk.begin(), junk.end(), byte) != junk.end();
            });
        tally("dongles: junk echoed back before any open", echo);
        if (!echo && orphans_++ == 0) {
            firstOrphan_ = dongle(d) + "'s " + sim::toHex(frame.bytes).substr(0, 16);
        }
    }

    // A dongle's stays on the bus: before its cable was pulled (0), and after.
    int stayOf(int d, Clock::time_point at) const
    {
        const sim::PullRecord &pull = w_.dongles[d].pull;
        return pull.happened && at >= pull.at ? 1 : 0;
    }

    // From the flasher's start to its first open (or its end): it settled
    // its name over what sysfs showed some time then.
    static Window startOf(const Flasher &f)
    {
        return {f.r.begin, f.opens.empty() ? f.r.end : f.opens.front().at};
    }

    // The port of a stay of the dongle that `shows` takes and that was
    // there all through `window`; empty if none was.
    template <typename Shows>
    std::string shownThroughout(int d, Shows shows, const Window &window) const
    {
        for (const Plug &plug : w_.dongles[d].plugs) {
            if (shows(plug) && plug.up <= window.first && plug.off >= window.second) {
                return plug.port;
            }
        }
        return {};
    }

    // Whether the flasher's name could lead it to this stay of the dongle.
    // A port holds it to the dongle that was on it when it started, by its
    // USB port path; without one, or with no dongle there then, to whatever
    // comes on that port.
    bool named(const Flasher &f, int d, const Plug &plug) const
    {
        const FlasherDraw &draw = f.draw;
        const DongleDraw &dg = s_.dongles[d];
        if (draw.kind == SelectorKind::None || draw.kind == SelectorKind::Serial) {
            return draw.kind == SelectorKind::None || dg.carries(draw.value);
        }
        if (draw.kind == SelectorKind::Path) {
            return !dg.place.plain && dg.place.path == draw.value;
        }
        const std::string port =
            draw.kind == SelectorKind::PortLink
                ? "/dev/ttyACM" + std::to_string(s_.dongles[draw.target].number)
                : draw.value;
        const auto onPort = [&port](const Plug &p) { return p.port == port; };
        return d == draw.target ||
               (plug.port == port &&
                (plain(draw.target) || shownThroughout(draw.target, onPort, startOf(f)).empty()));
    }

    // The dongles `--all` alone must list: those its name fits at the start.
    bool fitsAtStart(const FlasherDraw &draw, int d) const
    {
        const DongleDraw &dg = s_.dongles[d];
        const bool fits =
            draw.kind == SelectorKind::Serial ? dg.shownSerial(dg.options.startMode) == draw.value
            : draw.kind == SelectorKind::Path ? !dg.place.plain && dg.place.path == draw.value
                                              : d == draw.target;
        return draw.kind == SelectorKind::None || (!draw.absent && fits);
    }

    // The dongle an end line is of: without a USB port path, by its port;
    // else of the dongles at its path, the one this flasher opened last
    // before the line, or the first carrying the serial number it shows.
    int dongleOf(const Flasher &fl, const End &end) const
    {
        int found = -1;
        Clock::time_point latest = Clock::time_point::min();
        for (int d = 0; d < sizeOf(s_.dongles); ++d) {
            const DongleDraw &dg = s_.dongles[d];
            if (end.path.empty()
                    ? !dg.place.plain ||
                          !anyPlug(d, [&end](const Plug &p) { return p.port == end.node; })
                    : dg.place.plain || dg.place.path != end.path) {
                continue;
            }
            found = found < 0 && (end.serial.empty() || dg.carries(end.serial)) ? d : found;
            for (const Placed &open : fl.opens) {
                if (open.dongle == d && open.at <= end.at && open.at > latest) {
                    found = d;
                    latest = open.at;
                }
            }
        }
        return found;
    }

    // When the flasher let go of the dongle, as the rig saw it: a child of
    // `--all` holds its dongle until it ends, and its line comes then; any
    // other flasher holds what it opened until it ends.
    static Clock::time_point letGo(const Flasher &f, int d)
    {
        const auto end =
            std::find_if(f.ends.begin(), f.ends.end(), [d](const End &e) { return e.dongle == d; });
        return (f.draw.all && end != f.ends.end() ? end->at : f.r.end) - endSeenLate;
    }

    static Clock::time_point firstOpen(const Flasher &f, int d)
    {
        const auto open = std::find_if(f.opens.begin(), f.opens.end(),
                                       [d](const Placed &o) { return o.dongle == d; });
        return open == f.opens.end() ? Clock::time_point::max() : open->at;
    }

    // A dongle written after `f` had let go of it may hold another's
    // partial image.
    bool rewrittenAfter(const Flasher &f, int d) const
    {
        return std::any_of(flashers_.begin(), flashers_.end(), [&](const Flasher &other) {
            return other.writers.count(d) != 0 && anyOpen(other, [&](const Placed &open) {
                       return open.dongle == d && open.at > letGo(f, d);
                   });
        });
    }

    // Under `--watch`, a dongle plugged in again is updated again, and a
    // second Ctrl-C may stop that update.
    bool writtenAfter(int d, Clock::time_point at) const
    {
        const std::vector<sim::FrameRecord> &frames = w_.dongles[d].frames;
        return std::any_of(frames.begin(), frames.end(), [at](const sim::FrameRecord &frame) {
            return commandOf(frame) == pageWrite && frame.received > at;
        });
    }

    void judgeFlasher(const Flasher &fl)
    {
        const FlasherDraw &draw = fl.draw;
        judgeEnding(fl);
        if (draw.watch) {
            judgeWatch(fl);
            return;
        }
        judgePlainRefusal(fl);
        if (draw.absent) {
            mustRefuse(fl, "absent", "named no dongle that is there",
                       "[TORVEX] No dongle matches " + draw.option() + " " + draw.value + ".");
        }
        if (draw.all) {
            judgeAll(fl);
        } else if (!draw.absent) {
            judgeOne(fl);
        }
    }

    // What any flasher must do, whatever else runs: end in time, without a
    // crash, with nothing on standard error, with status 0 and the success
    // verdict or status 255 and the failure verdict (unless its reader went).
    void judgeEnding(const Flasher &fl)
    {
        const harness::ChildResult &r = fl.r;
        if (!r.started || r.timedOut || r.signal != 0) {
            const char *what = !r.started ? "did not start" : r.timedOut ? "HANG" : "CRASH";
            breachIf(true, what, fl.name, " ", what, whereItStood(r));
            return;
        }
        breachIf(!r.err.empty(), "standard error", fl.name, " wrote to standard error: ", r.err);
        const bool known = r.status == 0 || r.status == 255;
        const std::string last = lastLine(r.out);
        breachIf(!known, "exit status", fl.name, " ended with status ", r.status);
        breachIf(known && fl.draw.closeStdoutAfter < 0 &&
                     last != (r.status == 0 ? successVerdict : failureVerdict),
                 "verdict", fl.name, " ended with status ", r.status, " and '", last, "'");
    }

    // Where a flasher that was killed stood: whether it had said its verdict
    // (then its exit is what held it, such as a port's closing wait) or was
    // still at work.
    static std::string whereItStood(const harness::ChildResult &r)
    {
        if (!r.timedOut || r.lineEnds.empty()) {
            return "";
        }
        return ", " + std::to_string(msBetween(r.lineEnds.back(), r.end)) +
               " ms after its last line '" + lastLine(r.out) + "'";
    }

    // A flasher that must fail saying `line` (and open no port, unless it
    // `mayOpen`): the shape of every refusal.
    void mustRefuse(const Flasher &fl, const char *kind, const std::string &why,
                    const std::string &line, bool mayOpen = false)
    {
        const bool opened = !mayOpen && !fl.opens.empty();
        breachIf(fl.r.status == 0 || !fl.says(line) || opened, kind, fl.name, " ", why,
                 " but did not say '", line, "' and fail",
                 opened ? ", or opened " + fl.opens.front().port : "");
    }

    // A flasher updating one dongle, named or not.
    void judgeOne(const Flasher &fl)
    {
        const int d = fl.draw.target;
        judgeOpens(fl);
        if (fl.draw.shared) {
            judgeShared(fl);
        }
        // A dongle without a USB port path that runs its application: the
        // flasher naming its port never switches it, and says so once it
        // had it.
        if (plainApplication(d) && fl.draw.kind == SelectorKind::Port) {
            breachIf(fl.switched.count(d) != 0, "plain", fl.name, " switched ", dongle(d),
                     ", which has no USB port path");
            if (anyOpen(fl, [&](const Placed &o) {
                    return o.dongle == d && plugOf(o).mode == sim::Mode::Application;
                })) {
                mustRefuse(fl, "plain", "had " + dongle(d) + " without a USB port path",
                           "[TORVEX] Cannot follow the dongle on " + fl.draw.value +
                               " into its bootloader without its USB port path: it was not "
                               "switched.",
                           true);
            }
        }
        if (s_.beyondReach) {
            judgeBeyond(fl);
        }
        if (fl.r.status == 0) {
            judgeSuccess(fl);
        }
    }

    // The dongles a flasher may open: those its name may fit and, once it
    // switched one, that one's bootloader wherever it comes; without a name,
    // else ports up to ttyACM9 only, and once it switched one, in bootloader
    // mode only that.
    void judgeOpens(const Flasher &fl)
    {
        const bool unnamed = fl.draw.kind == SelectorKind::None;
        for (const Placed &open : fl.opens) {
            breachIf(open.dongle < 0, "opened", fl.name, " opened ", open.port,
                     ", no dongle's port");
            const bool boot = open.dongle >= 0 && plugOf(open).mode == sim::Mode::Bootloader;
            if (open.dongle < 0 || (boot && fl.switched.count(open.dongle) != 0)) {
                continue; // no dongle's, or the bootloader of the one it switched
            }
            const std::string its = dongle(open.dongle) + "'s port " + open.port;
            breachIf(!unnamed && !named(fl, open.dongle, plugOf(open)), "opened", fl.name,
                     " names ", fl.draw.option(), " ", fl.draw.value, " but opened ", its);
            breachIf(unnamed && numberOf(open.port) > 9, "opened", fl.name,
                     " names no dongle but opened ", open.port);
            breachIf(unnamed && boot && !fl.switched.empty(), "opened", fl.name,
                     " switched a dongle but opened the bootloader of ", its);
        }
    }

    void judgeSuccess(const Flasher &fl)
    {
        breachIf(fl.writers.size() != 1, "FALSE SUCCESS", fl.name,
                 " reported success having written ", fl.writers.size(), " dongles");
        if (fl.writers.size() == 1) {
            const int d = fl.writers.begin()->first;
            breachIf(fl.draw.kind == SelectorKind::None && !fl.switched.empty() &&
                         fl.switched.count(d) == 0,
                     "opened", fl.name, " reported success on ", dongle(d),
                     ", not the dongle it switched");
            breachIf(!w_.dongles[d].updated && !rewrittenAfter(fl, d), "FALSE SUCCESS", fl.name,
                     " FALSE SUCCESS: ", dongle(d), " does not hold the image");
        }
    }

    // A serial number two dongles carry: refused if both showed it all
    // through the flasher's start, listing both of their paths in port
    // order, and at most others that showed it some time then; if not
    // refused, only a dongle carrying it is written (judgeOpens).
    void judgeShared(const Flasher &fl)
    {
        const std::string &serial = fl.draw.value;
        const Window start = startOf(fl);
        std::map<int, std::string> steady; // port number -> path, of those shown all through
        std::set<std::string> shown;       // the paths of those shown some time
        for (int d = 0; d < sizeOf(s_.dongles); ++d) {
            const std::string &path = s_.dongles[d].place.path;
            const auto shows = [&](const Plug &p) {
                return s_.dongles[d].shownSerial(p.mode) == serial;
            };
            const std::string port = shownThroughout(d, shows, start);
            if (!port.empty()) {
                steady[numberOf(port)] = path;
            }
            if (anyPlug(d, [&](const Plug &p) {
                    return shows(p) && p.on <= start.second && p.gone >= start.first;
                })) {
                shown.insert(path);
            }
        }
        const std::string line =
            lineFrom(fl.r.out, "[TORVEX] --serial-number " + serial + " fits ");
        if (line.empty()) {
            breachIf(steady.size() > 1, "shared serial", fl.name, " did not refuse ", serial,
                     ", shown by ", steady.size(), " dongles all through its start");
            return;
        }
        breachIf(!fl.opens.empty(), "shared serial", fl.name, " refused ", serial,
                 " but opened a port");
        const std::vector<std::string> listed = pathsIn(line);
        std::vector<std::string> paths; // of those shown all through, in port order
        paths.reserve(steady.size());
        for (const auto &[number, path] : steady) {
            paths.push_back(path);
        }
        std::vector<std::string> steadyListed; // the same, in the order listed
        for (const auto &path : listed) {
            if (std::find(paths.begin(), paths.end(), path) != paths.end()) {
                steadyListed.push_back(path);
            }
        }
        const bool wereShown = std::all_of(listed.begin(), listed.end(),
                                           [&shown](const auto &p) { return shown.count(p) != 0; });
        breachIf(line != sharedRefusal(serial, listed) || listed.size() < 2 || !wereShown ||
                     steadyListed != paths ||
                     std::set<std::string>(listed.begin(), listed.end()).size() != listed.size(),
                 "shared serial", fl.name, " refused with '", line,
                 "', dongles shown all through: ", paths.size(), ", some time: ", shown.size());
    }

    // A flasher naming none may refuse to switch a dongle without a USB port
    // path, whose bootloader it could not tell from another's: then it fails
    // having sent no dongle a frame, and the port it names is such a dongle's.
    void judgePlainRefusal(const Flasher &fl)
    {
        const std::string head = "[TORVEX] Cannot switch the dongle on ";
        const std::string refusal = lineFrom(fl.r.out, head);
        if (refusal.empty()) {
            return;
        }
        tally("flashers: refused to switch a dongle without a port path");
        std::string node;
        std::istringstream(refusal.substr(head.size())) >> node;
        node.resize(node.find_last_of("0123456789") + 1);
        const bool plainThere = anyDongle([&](int d) {
            return plainApplication(d) && !w_.dongles[d].plugs.empty() &&
                   w_.dongles[d].plugs.front().port == node;
        });
        breachIf(fl.r.status != 255 || !fl.sentTo.empty() || !plainThere, "plain", fl.name,
                 " refused to switch ", node, " (status ", fl.r.status, ", ", fl.sentTo.size(),
                 " dongles sent frames; a dongle without a port path there: ",
                 plainThere ? "yes" : "no", ")");
    }

    // Nothing moves the dongles: the lowest is named, and nothing opened.
    void judgeBeyond(const Flasher &fl)
    {
        const auto lowest =
            std::min_element(s_.dongles.begin(), s_.dongles.end(),
                             [](const auto &a, const auto &b) { return a.number < b.number; });
        const std::string node = "/dev/ttyACM" + std::to_string(lowest->number);
        mustRefuse(fl, "beyond", "had every dongle beyond its reach",
                   "[TORVEX] A dongle is on " + node +
                       ", beyond the ports searched without a name: name it with " +
                       (lowest->place.plain ? "--port " + node : "--path " + lowest->place.path) +
                       ".");
    }

    // `--all`: each dongle it lists fits its name and is listed once, says
    // it is updated only when it holds the image, is written by one child
    // at most; it opens no dongle it did not list, counts right, and
    // succeeds exactly when every dongle it listed was updated.
    void judgeAll(const Flasher &fl)
    {
        judgeEnds(fl);
        for (const Placed &open : fl.opens) {
            breachIf(open.dongle < 0 || fl.lastEnds.count(open.dongle) == 0 || plain(open.dongle),
                     "all", fl.name, " opened ", open.port,
                     ", of no dongle it listed with a port path");
            const int first = fl.beganWith(open.pid);
            breachIf(first != open.dongle, "all", fl.name, " opened ", dongle(first), " and ",
                     dongle(open.dongle), " in one process");
        }
        for (const auto &[d, pids] : fl.writers) {
            breachIf(pids.size() > 1, "all", dongle(d), " written by ", pids.size(),
                     " processes of ", fl.name);
        }
    }

    // The end lines of `--all` and `--watch`: well formed, each of a dongle
    // (with `--all`, one its name fits, listed once), none saying a dongle
    // was updated that does not hold the image; then a count that agrees
    // (or that nothing fits), and success exactly when every dongle listed
    // was updated.
    void judgeEnds(const Flasher &fl)
    {
        const char *kind = fl.draw.watch ? "watch" : "all";
        for (const auto &line : fl.malformed) {
            breachIf(true, kind, fl.name, " printed '", line, "'");
        }
        std::set<int> listed;
        int updated = 0;
        for (const End &end : fl.ends) {
            const int d = end.dongle;
            updated += end.updated ? 1 : 0;
            const bool fits =
                d >= 0 && (fl.draw.watch || (listed.insert(d).second &&
                                             anyPlug(d, [&](auto &p) { return named(fl, d, p); })));
            breachIf(!fits, kind, fl.name, " listed ", end.node, " ", end.path, ": ",
                     d < 0 ? "no dongle" : dongle(d) + ", twice or not fitting its name");
            breachIf(fits && end.updated && !w_.dongles[d].updated &&
                         (fl.draw.watch ? !writtenAfter(d, end.at) : !rewrittenAfter(fl, d)),
                     "FALSE SUCCESS", fl.name, " FALSE SUCCESS: its line says ", dongle(d),
                     " was updated, which does not hold the image");
        }
        const int count = sizeOf(fl.ends);
        const std::string none =
            fl.draw.kind == SelectorKind::None
                ? "[TORVEX] No Torvex dongle found."
                : "[TORVEX] No dongle matches " + fl.draw.option() + " " + fl.draw.value + ".";
        breachIf(count == 0 && (!fl.says(none) || !fl.opens.empty()), kind, fl.name,
                 " listed no dongle but did not say '", none, "' or opened a port");
        breachIf(count > 0 && (fl.listed != count || fl.updated != updated), kind, fl.name,
                 " counted ", fl.updated, " of ", fl.listed, " updated after ", count, " lines, ",
                 updated, " of them successes");
        breachIf((fl.r.status == 0) != (count > 0 && updated == count), kind, fl.name,
                 " ended with status ", fl.r.status, " when ", updated, " of the ", count,
                 " dongles it listed were updated");
    }

    // `--watch`: it begins with its line; it updates each dongle once a stay
    // (pulled out and back, or swapped for another, it is a new one), and
    // begins on a new one once it has been there a while; on Ctrl-C it ends
    // soon, letting each update that has opened its port run to its end (a
    // second Ctrl-C may stop those, saying so); every end line and the count
    // tell the truth.
    void judgeWatch(const Flasher &fl)
    {
        std::vector<Clock::time_point> stops; // the Ctrl-C before its end
        std::copy_if(fl.r.interrupted.begin(), fl.r.interrupted.end(), std::back_inserter(stops),
                     [&fl](Clock::time_point at) { return at < fl.r.end; });
        const std::string first = "[TORVEX] Watching for every dongle to update each once; "
                                  "Ctrl-C stops.";
        breachIf(!startsWith(fl.r.out, first + "\n"), "watch", fl.name, " did not begin with '",
                 first, "'");
        const long stopMs = stops.empty() ? 0 : msBetween(stops[0], fl.r.end);
        breachIf(stops.empty() || stopMs > watchStopBoundMs, "watch", fl.name, " ended ",
                 stops.empty() ? "before any Ctrl-C" : std::to_string(stopMs) + " ms after Ctrl-C");
        judgeEnds(fl);
        judgeStopping(fl, stops.size());
        for (const auto &[stay, pids] : fl.updaters) {
            const int d = stay.first;
            const auto own = std::count_if(pids.begin(), pids.end(),
                                           [&fl, d](int pid) { return fl.beganWith(pid) == d; });
            breachIf(own > 1, "updated twice in one plug", dongle(stay.first), " updated ", own,
                     " times in one plug by ", fl.name);
        }
        for (const auto &[d, pids] : fl.writers) {
            for (const int pid : pids) {
                const int began = fl.beganWith(pid);
                breachIf(began != d && !pluggedInWhileSwitching(began, d), "names another",
                         "a result of ", fl.name, " names ", dongle(began),
                         ", but its update wrote ", dongle(d));
            }
        }
        for (int d = 0; d < sizeOf(s_.dongles); ++d) {
            judgeWatched(fl, d, stops);
            for (int stay = 0; stay < 2; ++stay) {
                judgePlug(fl, d, stay, stops.empty() ? fl.r.end : stops[0]);
            }
        }
    }

    // A blind spot: `other` plugged in, in its bootloader, at the port path
    // of dongle `d` after `d` was told to switch, is written as `d`.
    bool pluggedInWhileSwitching(int d, int other) const
    {
        if (d < 0 || s_.dongles[d].place.path != s_.dongles[other].place.path) {
            return false;
        }
        const std::vector<Plug> &plugs = w_.dongles[other].plugs;
        for (const auto &frame : w_.dongles[d].frames) {
            for (std::size_t p = 0; p < plugs.size(); ++p) {
                const bool firstOfStay =
                    p == 0 || stayOf(other, plugs[p].on) != stayOf(other, plugs[p - 1].on);
                if (switches(frame) && firstOfStay && plugs[p].mode == sim::Mode::Bootloader &&
                    plugs[p].on >= frame.received) {
                    return true;
                }
            }
        }
        return false;
    }

    // The other blind spot: a plug of `d` (its first port `first`) taken for
    // the return of an updated dongle due back at that port path (for 60 s
    // from its boot frame, until its application was back long enough to be
    // seen): one in its bootloader, or after an update that began in the
    // bootloader, or with the serial number that dongle showed in its
    // application (or none on both).
    bool takenForReturn(int d, const Plug &first) const
    {
        for (int e = 0; e < sizeOf(s_.dongles); ++e) {
            const std::vector<Plug> &plugs = w_.dongles[e].plugs;
            const bool alike = first.mode == sim::Mode::Bootloader ||
                               plugs.front().mode == sim::Mode::Bootloader ||
                               s_.dongles[e].place.serial == s_.dongles[d].place.serial;
            for (const auto &boot : w_.dongles[e].frames) {
                const auto back = [&](const Plug &p) {
                    return p.mode == sim::Mode::Application && p.on > boot.received &&
                           p.on < first.on &&
                           msBetween(p.up, std::min(p.off, first.on)) >= returnSeenMs;
                };
                if (commandOf(boot) == bootApplication && boot.received <= first.on &&
                    msBetween(boot.received, first.on) <= returnWindowMs && alike &&
                    s_.dongles[e].place.path == s_.dongles[d].place.path && !anyPlug(e, back)) {
                    return true;
                }
            }
        }
        return false;
    }

    // Every plug of a dongle is a new dongle, updated once it has been there
    // a while before Ctrl-C (and any update at its port path that ran when it
    // came has ended), but where it is taken for an updated dongle's return
    // or, in its bootloader, for the dongle of the update that ran there.
    void judgePlug(const Flasher &fl, int d, int stay, Clock::time_point to)
    {
        const DongleSeen &seen = w_.dongles[d];
        const auto first = std::find_if(seen.plugs.begin(), seen.plugs.end(),
                                        [&](const Plug &p) { return stayOf(d, p.on) == stay; });
        if (first == seen.plugs.end() || takenForReturn(d, *first)) {
            return;
        }
        Clock::time_point from = std::max(first->up, fl.r.begin);
        const auto during = std::find_if(fl.ends.begin(), fl.ends.end(), [&](const End &end) {
            return end.path == s_.dongles[d].place.path && end.at >= first->up;
        });
        if (during != fl.ends.end() && first->mode == sim::Mode::Bootloader) {
            return; // while an update there runs, a bootloader there is its dongle's
        }
        from = during == fl.ends.end() ? from : std::max(from, during->at);
        to = seen.pull.happened && stay == 0 ? std::min(to, seen.pull.at) : to;
        const bool begun = fl.updaters.count({d, stay}) != 0 || anyOpen(fl, [&](const Placed &o) {
                               return o.dongle == d && stayOf(d, plugOf(o).on) == stay;
                           });
        breachIf(from < to && msBetween(from, to) > watchBeginBoundMs && !begun, "never updated",
                 dongle(d), " plugged in and never updated by ", fl.name, ", there ",
                 msBetween(from, to), " ms before Ctrl-C");
    }

    // After Ctrl-C, `--watch` says how many updates it waits for: those whose
    // lines come after that, but the ones left untouched. A line saying an
    // update was stopped comes only after a second Ctrl-C, one saying it was
    // left untouched only after a first.
    void judgeStopping(const Flasher &fl, std::size_t stops)
    {
        const std::string head = "[TORVEX] Stopping: waiting for ";
        const std::string stopping = lineFrom(fl.r.out, head);
        const std::size_t at = std::min(fl.r.out.find(head), fl.r.out.size());
        const auto before = std::count(fl.r.out.begin(), fl.r.out.begin() + at, '\n');
        int waited = 0;
        for (const End &end : fl.ends) {
            const bool untouched =
                holds(end.line, " Left untouched: stopped before its update began. ");
            waited += static_cast<long>(end.index) > before && !untouched ? 1 : 0;
            breachIf((untouched && stops == 0) || (holds(end.line, " Stopped ") && stops < 2),
                     "watch", fl.name, " said '", end.line, "' after ", stops, " Ctrl-C");
        }
        const std::string waiting = head + std::to_string(waited) + " running update" +
                                    (waited == 1 ? "" : "s") + " to end; Ctrl-C again stops " +
                                    (waited == 1 ? "it" : "them") + " at once.";
        breachIf(!stopping.empty() && (stops == 0 || stopping != waiting), "watch", fl.name,
                 " said '", stopping, "' where '", waiting, "' was due after ", stops, " Ctrl-C");
    }

    // One dongle under `--watch`. A dongle sent frames in its last stay
    // holds the image, or its update failed on its own, or a second Ctrl-C
    // stopped it and its line says so: one switched or written waits in its
    // bootloader. One that was surely new (there from the start, or plugged
    // in later) and stayed long enough before Ctrl-C had its update begun;
    // an update says how it ended, even one stopped before it opened a port.
    void judgeWatched(const Flasher &fl, int d, const std::vector<Clock::time_point> &stops)
    {
        const DongleSeen &seen = w_.dongles[d];
        const auto found = fl.lastEnds.find(d);
        const End *end = found == fl.lastEnds.end() ? nullptr : found->second;
        const int lastStay = seen.pull.happened ? 1 : 0;
        if (fl.updaters.count({d, lastStay}) != 0 && !seen.updated) {
            const bool stopped = end != nullptr && holds(end->line, " Stopped ");
            const std::string why = fl.changed.count({d, lastStay}) != 0
                                        ? " Stopped during its update: it waits in its "
                                          "bootloader, and the next run updates it. "
                                        : " Stopped ";
            breachIf(end == nullptr || (stopped && (stops.size() < 2 || !holds(end->line, why))),
                     "half written", dongle(d), " written by ", fl.name, " but not updated, after ",
                     stops.size(), " Ctrl-C; its line: '", end == nullptr ? "none" : end->line,
                     "'");
        }
    }

    // Two flashers: a port is one process's until it ends, so `b` may not
    // have opened one `a` held; and no dongle is written by both unless one
    // had let go of it before the other opened it.
    void judgePair(const Flasher &a, const Flasher &b)
    {
        for (const Placed &mine : a.opens) {
            for (const Placed &theirs : b.opens) {
                breachIf(&a != &b && mine.dongle >= 0 && mine.dongle == theirs.dongle &&
                             mine.plug == theirs.plug && mine.at <= theirs.at &&
                             theirs.at < letGo(a, mine.dongle),
                         "held", b.name, " opened ", theirs.port, " of ", dongle(mine.dongle),
                         " while ", a.name, " held it");
            }
        }
        for (const auto &[d, pids] : a.writers) {
            if (&a < &b && b.writers.count(d) != 0) {
                const bool atOnce = firstOpen(b, d) < letGo(a, d) && firstOpen(a, d) < letGo(b, d);
                breachIf(atOnce, "written twice", dongle(d), " written by ", a.name, " and ",
                         b.name, " at once");
                tally("dongles: written again after an earlier writer ended", !atOnce);
            }
        }
    }

    // No fault and a flasher for each dongle: with `--all` (alone), the
    // dongles its name fits at the start end updated; else every one but a
    // dongle without a USB port path in its application, and every flasher
    // but those naming such a dongle succeeds.
    void judgeExpectation()
    {
        if (!s_.everyDongleExpected) {
            return;
        }
        const auto all = std::find_if(s_.flashers.begin(), s_.flashers.end(),
                                      [](const FlasherDraw &f) { return f.all; });
        for (int d = 0; d < sizeOf(s_.dongles); ++d) {
            const bool expected =
                all == s_.flashers.end() ? !plainApplication(d) : fitsAtStart(*all, d) && !plain(d);
            breachIf(expected && !w_.dongles[d].updated, "expected", dongle(d),
                     " not updated, with a flasher for each dongle and no fault");
        }
        for (const Flasher &fl : flashers_) {
            const auto fits = [&fl, this](int d) { return fitsAtStart(fl.draw, d); };
            // `--all` lists some dongle, and none without a USB port path.
            const bool expected =
                fl.draw.all
                    ? anyDongle(fits) && !anyDongle([&](int d) { return fits(d) && plain(d); })
                    : !plainApplication(fl.draw.target);
            const std::string &out = fl.r.out;
            breachIf(expected && fl.r.status != 0, "expected", fl.name,
                     " failed, with a flasher for each dongle and no fault: '",
                     lastLine(out.substr(0, out.rfind("\n[TORVEX] Update"))), "'");
        }
    }

    // A flasher that was sending a dongle frames when it left the bus ends
    // within the bound.
    void judgeDisconnects()
    {
        for (int d = 0; d < sizeOf(s_.dongles); ++d) {
            const DongleSeen &seen = w_.dongles[d];
            tally("runs with a disconnect", seen.disconnected);
            for (const Flasher &fl : flashers_) {
                const long ms = msBetween(seen.disconnectedAt, fl.r.end);
                if (!seen.disconnected || fl.sentTo.count(d) == 0 || ms < 0 || fl.draw.watch) {
                    continue;
                }
                long &longest = o_.longest["longest disconnect to verdict (ms)"];
                longest = std::max(longest, ms);
                breachIf(ms > verdictBoundMs, "slow after a disconnect", fl.name, " ended ", ms,
                         " ms after ", dongle(d), " left");
            }
        }
    }

    // The latest fault a dongle reached names the cause of a failure: a run
    // stops at its first failing frame, so faults before it did no harm
    // alone. A pull counts after every frame that came before it.
    std::string reached(int d)
    {
        const DongleDraw &draw = s_.dongles[d];
        const DongleSeen &seen = w_.dongles[d];
        std::string cause;
        int latest = -1;
        for (const auto &[frame, label] : draw.labels) {
            if (frame < sizeOf(seen.frames)) {
                tally("faults reached: " + label);
                cause = label;
                latest = frame;
            }
        }
        if (seen.pull.happened) {
            tally("faults reached: " + draw.pullLabel);
            tally("faults reached: at-" + seen.pull.phase);
            tally(seen.pull.portAfter == seen.pull.portBefore ? "faults reached: back-same-number"
                                                              : "faults reached: back-new-number",
                  draw.options.pull.afterRelease && !seen.pull.portAfter.empty());
            cause = seen.pull.framesBefore > latest ? draw.pullLabel : cause;
        }
        const int enumerationMs = s_.bus == BusKind::Gadget ? gadgetEnumerationMs : 0;
        const bool late = draw.options.startMode == sim::Mode::Application &&
                          draw.options.reenumerateMs > lateBootloaderMs - enumerationMs;
        return !cause.empty()               ? cause
               : late                       ? "late-bootloader"
               : draw.options.staleOnPlugIn ? "stale-on-plug-in"
                                            : "no-fault-reached";
    }

    // The figures: what was drawn, what the dongles reached, what the
    // flashers did, and why a lone dongle's update failed.
    void count()
    {
        o_.dongles = sizeOf(s_.dongles);
        o_.counts["dongles"] += o_.dongles;
        o_.counts["flashers"] += sizeOf(flashers_);
        for (const auto &draw : s_.draws) {
            tally("draws: " + draw);
        }
        const bool failedAlone =
            o_.dongles == 1 && flashers_.size() == 1 && flashers_[0].r.status == 255;
        tally("holders: held a port", w_.hold.dongle >= 0);
        for (int d = 0; d < o_.dongles; ++d) {
            std::string cause = reached(d);
            cause = cause == "no-fault-reached" && w_.hold.dongle == d ? "holder" : cause;
            tally("dongles: updated", w_.dongles[d].updated);
            if (failedAlone) {
                o_.cause = cause;
                tally("failures by cause (latest fault reached): " + cause);
                tally("flashers: failed, but the flash holds the image", w_.dongles[d].updated);
            }
        }
        for (const Flasher &f : flashers_) {
            const FlasherDraw &draw = f.draw;
            tally(std::string("flashers by selector: ") + (draw.all ? "all-" : "") +
                  (draw.watch ? "watch-" : "") + (draw.absent ? "absent-" : "") +
                  (draw.shared ? "shared-" : "") + (plain(draw.target) ? "plain-" : "") +
                  nameOf(draw.kind));
            tally("flashers: succeeded", f.r.status == 0);
            tally("flashers: failed (verdict, status 255)", f.r.status == 255);
            tally("draws: refused-shared-serial", holds(f.r.out, " fits "));
            tally("draws: plain-not-switched", holds(f.r.out, "Cannot follow the dongle on "));
            tally("draws: pointed-beyond", holds(f.r.out, ", beyond the ports searched without"));
            tally("holders: a flasher waited for one", holds(f.r.out, "] Waiting for "));
            tally("holders: a flasher refused to go on",
                  holds(f.r.out, ": close it and run again."));
        }
        for (auto it = o_.counts.begin(); it != o_.counts.end();) {
            it = it->second == 0 ? o_.counts.erase(it) : std::next(it);
        }
    }

    const Run &s_;
    const Seen &w_;
    std::vector<Flasher> flashers_;
    int orphans_ = 0;
    std::string firstOrphan_;
    Outcome o_;
};

} // namespace

Outcome rigFailure(const std::string &why)
{
    Outcome o;
    o.breaches.push_back("the rig could not run it: " + why);
    o.counts["breaches: rig"] = 1;
    return o;
}

Outcome judge(const Run &run, const Seen &seen)
{
    if (seen.dongles.size() != run.dongles.size() || seen.flashers.size() != run.flashers.size()) {
        return rigFailure("the run saw other dongles or flashers than were drawn");
    }
    return Judge(run, seen).outcome();
}

} // namespace soak
