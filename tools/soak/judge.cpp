// The invariants of a run, over what it did. Who did what is worked out
// here: each dongle's bus logs when it plugged in where, the dongle the
// frames it received and when, and each flasher's setserial stand-in when
// it opened which port. A frame is the work of the flasher that last opened
// the dongle's port before the frame came.
#include <algorithm>
#include <climits>
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

// The rig sees a flasher's end a poll or two after it exits, and so after
// the lock on its ports is gone: a port opened this soon before that counts
// as opened after it.
constexpr std::chrono::milliseconds endSeenLate{500};

using Window = std::pair<Clock::time_point, Clock::time_point>;

// An open, with the dongle's stay it was (-1: no dongle's).
struct Placed : Open {
    int dongle = -1;
    int plug = -1;
};

struct Work {
    std::vector<Placed> opens;
    std::map<int, int> frames;            // by dongle
    std::set<int> switched;               // dongles it sent "enter bootloader"
    std::set<int> written;                // dongles it sent page writes
    std::map<int, std::set<int>> writers; // by dongle: the processes that sent its page writes
};

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

bool startsWith(const std::string &text, const std::string &start)
{
    return text.rfind(start, 0) == 0;
}

bool endsWith(const std::string &text, const std::string &end)
{
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

bool says(const harness::ChildResult &r, const std::string &line)
{
    return r.out.find(line + "\n") != std::string::npos;
}

int numberOf(const std::string &port)
{
    const std::size_t digits = port.find_first_of("0123456789");
    return digits == std::string::npos ? -1 : std::atoi(port.c_str() + digits);
}

std::string lastLineOf(std::string text)
{
    while (!text.empty() && text.back() == '\n') {
        text.pop_back();
    }
    const std::size_t start = text.rfind('\n');
    return start == std::string::npos ? text : text.substr(start + 1);
}

long msBetween(Clock::time_point from, Clock::time_point to)
{
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count());
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
            AllReport::End end{node, startsWith(third, "path=") ? third.substr(5) : "",
                               endsWith(line, " Update successful!"),
                               i < result.lineEnds.size() ? result.lineEnds[i] : result.end};
            const bool plain =
                line == "[TORVEX] " + node + " No USB port path to follow it by. Update Failed.";
            if ((!end.updated && !endsWith(line, " Update Failed.")) ||
                (end.path.empty() && !plain)) {
                report.malformed.push_back(line);
            }
            report.ends.push_back(end);
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

class Judge
{
  public:
    Judge(const Run &s, const Seen &w) : s_(s), w_(w), work_(w.flashers.size())
    {
        for (std::size_t f = 0; f < w.flashers.size(); ++f) {
            reports_.push_back(readAllReport(w.flashers[f].result));
            for (const Open &open : w.flashers[f].opens) {
                work_[f].opens.push_back(place(open));
            }
        }
        attribute();
    }

    Outcome outcome()
    {
        for (std::size_t f = 0; f < work_.size(); ++f) {
            judgeFlasher(static_cast<int>(f));
        }
        judgeHolders();
        judgeWriters();
        judgeExpectation();
        judgeDisconnects();
        count();
        return o_;
    }

  private:
    void breach(const std::string &kind, const std::string &what)
    {
        o_.breaches.push_back(what);
        ++o_.counts["breaches: " + kind];
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
    const harness::ChildResult &result(int f) const
    {
        return w_.flashers[static_cast<std::size_t>(f)].result;
    }
    const Work &run(int f) const
    {
        return work_[static_cast<std::size_t>(f)];
    }
    const FlasherDraw &flasher(int f) const
    {
        return s_.flashers[static_cast<std::size_t>(f)];
    }
    const DongleDraw &drawn(int d) const
    {
        return s_.dongles[static_cast<std::size_t>(d)];
    }
    const DongleSeen &seen(int d) const
    {
        return w_.dongles[static_cast<std::size_t>(d)];
    }
    const Plug &plugOf(const Placed &open) const
    {
        return seen(open.dongle).plugs[static_cast<std::size_t>(open.plug)];
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
    int dongles() const
    {
        return static_cast<int>(w_.dongles.size());
    }

    // Which dongle's stay a port was: the latest stay under that pseudo-
    // terminal (or that name) that began before the flasher had it open.
    // Neither can go to another dongle while a flasher holds the port.
    Placed place(const Open &open) const
    {
        Placed placed;
        static_cast<Open &>(placed) = open;
        for (int d = 0; d < dongles(); ++d) {
            for (std::size_t p = 0; p < seen(d).plugs.size(); ++p) {
                const Plug &plug = seen(d).plugs[p];
                // readlink -f names a port that is already gone by itself.
                const bool same = startsWith(open.pts, "/dev/pts/") ? plug.pts == open.pts
                                                                    : plug.port == open.port;
                if (same && plug.on <= open.at &&
                    (placed.dongle < 0 || plug.on > plugOf(placed).on)) {
                    placed.dongle = d;
                    placed.plug = static_cast<int>(p);
                }
            }
        }
        return placed;
    }

    // Gives each frame to the flasher that last opened that stay of the
    // dongle before it came.
    void attribute()
    {
        for (int d = 0; d < dongles(); ++d) {
            for (const auto &frame : seen(d).frames) {
                int plug = -1;
                for (std::size_t p = 0; p < seen(d).plugs.size(); ++p) {
                    plug = seen(d).plugs[p].on <= frame.received ? static_cast<int>(p) : plug;
                }
                int sender = w_.opensLogged || work_.size() != 1 ? -1 : 0;
                int pid = 0;
                Clock::time_point latest;
                for (std::size_t f = 0; f < work_.size(); ++f) {
                    for (const Placed &open : work_[f].opens) {
                        if (open.dongle == d && open.plug == plug && open.at <= frame.received &&
                            (sender < 0 || open.at > latest)) {
                            sender = static_cast<int>(f);
                            latest = open.at;
                            pid = open.pid;
                        }
                    }
                }
                if (sender < 0) {
                    ++orphans_;
                    continue;
                }
                Work &work = work_[static_cast<std::size_t>(sender)];
                ++work.frames[d];
                const uint8_t command = frame.bytes.empty() ? 0 : frame.bytes[0];
                if (command == enterBootloader && frame.mode == sim::Mode::Application) {
                    work.switched.insert(d);
                }
                if (command == pageWrite && frame.mode == sim::Mode::Bootloader) {
                    work.written.insert(d);
                    work.writers[d].insert(pid);
                }
            }
        }
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
        return {result(f).begin, run(f).opens.empty() ? result(f).end : run(f).opens.front().at};
    }

    // The port of a stay of the dongle that `shows` takes and that was
    // there all through `window`; empty if none was.
    template <typename Shows>
    std::string shownThroughout(int d, Shows shows, const Window &window) const
    {
        for (const Plug &plug : seen(d).plugs) {
            if (shows(plug) && plug.up <= window.first && plug.off >= window.second) {
                return plug.port;
            }
        }
        return {};
    }

    template <typename Shows> bool shownAtAll(int d, Shows shows, const Window &window) const
    {
        return std::any_of(seen(d).plugs.begin(), seen(d).plugs.end(), [&](const Plug &plug) {
            return shows(plug) && plug.on <= window.second && plug.gone >= window.first;
        });
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
        return std::any_of(seen(d).plugs.begin(), seen(d).plugs.end(),
                           [&](const Plug &plug) { return named(f, d, plug); });
    }

    // The dongles `--all` alone must list: those its name fits at the start.
    bool fitsAtStart(const FlasherDraw &draw, int d) const
    {
        switch (draw.kind) {
        case SelectorKind::None:
            return true;
        case SelectorKind::Serial:
            return !draw.absent && shownSerial(d, drawn(d).options.startMode) == draw.value;
        case SelectorKind::Path:
            return !draw.absent && !plain(d) && drawn(d).place.path == draw.value;
        default:
            return !draw.absent && d == draw.target;
        }
    }

    int dongleOf(const AllReport::End &end) const
    {
        for (int d = 0; d < dongles(); ++d) {
            const bool onNode = std::any_of(seen(d).plugs.begin(), seen(d).plugs.end(),
                                            [&end](const Plug &p) { return p.port == end.node; });
            if (end.path.empty() ? plain(d) && onNode
                                 : !plain(d) && drawn(d).place.path == end.path) {
                return d;
            }
        }
        return -1;
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
        return result(f).end;
    }

    Clock::time_point firstOpen(int f, int d) const
    {
        for (const Placed &open : run(f).opens) {
            if (open.dongle == d) {
                return open.at;
            }
        }
        return Clock::time_point::max();
    }

    // A dongle written after `f` had let go of it may hold another's
    // partial image.
    bool rewrittenAfter(int f, int d) const
    {
        for (const Work &other : work_) {
            for (const Placed &open : other.opens) {
                if (open.dongle == d && open.at > heldUntil(f, d) - endSeenLate &&
                    other.written.count(d) != 0) {
                    return true;
                }
            }
        }
        return false;
    }

    // What any flasher must do, whatever else runs: end in time, without a
    // crash, with nothing on standard error, with status 0 and the success
    // verdict or status 255 and the failure verdict (unless its reader went).
    void judgeEnding(int f)
    {
        const harness::ChildResult &r = result(f);
        const std::string last = lastLineOf(r.out);
        const bool closed = flasher(f).closeStdoutAfter >= 0;
        if (!r.started || r.timedOut || r.signal != 0) {
            const char *what = !r.started ? "did not start" : r.timedOut ? "HANG" : "CRASH";
            breach(what, name(f) + " " + what);
            return;
        }
        if (!r.err.empty()) {
            breach("standard error", name(f) + " wrote to standard error: " + r.err);
        }
        if (r.status != 0 && r.status != 255) {
            breach("exit status", name(f) + " ended with status " + std::to_string(r.status));
        } else if (!closed && last != (r.status == 0 ? successVerdict : failureVerdict)) {
            breach("verdict", name(f) + " ended with status " + std::to_string(r.status) +
                                  " and '" + last + "'");
        }
    }

    void judgeAbsent(int f)
    {
        const FlasherDraw &draw = flasher(f);
        const std::string line =
            "[TORVEX] No dongle matches " + draw.option() + " " + draw.value + ".";
        if (result(f).status == 0 || !says(result(f), line)) {
            breach("absent", name(f) + " named no dongle that is there but did not say '" + line +
                                 "' and fail");
        }
        if (!run(f).opens.empty()) {
            breach("absent", name(f) + " named no dongle that is there but opened " +
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
        for (const Placed &open : run(f).opens) {
            if (open.dongle < 0) {
                breach("opened", name(f) + " opened " + open.port + ", no dongle's port");
                continue;
            }
            const bool boot = plugOf(open).mode == sim::Mode::Bootloader;
            const bool followed = boot && switched.count(open.dongle) != 0;
            if (draw.kind != SelectorKind::None && !named(f, open.dongle, plugOf(open)) &&
                !followed) {
                breach("opened", name(f) + " names " + draw.option() + " " + draw.value +
                                     " but opened " + dongle(open.dongle) + "'s port " + open.port);
            } else if (draw.kind == SelectorKind::None && numberOf(open.port) > 9 && !followed) {
                breach("opened", name(f) + " names no dongle but opened " + open.port);
            } else if (draw.kind == SelectorKind::None && boot && !switched.empty() &&
                       switched.count(open.dongle) == 0) {
                breach("opened", name(f) + " switched " + dongle(*switched.begin()) +
                                     " but opened " + dongle(open.dongle) + "'s bootloader on " +
                                     open.port);
            }
        }
    }

    void judgeSuccess(int f)
    {
        const std::set<int> &written = run(f).written;
        if (written.size() != 1) {
            breach("FALSE SUCCESS", name(f) + " reported success having written " +
                                        std::to_string(written.size()) + " dongles");
            return;
        }
        const int d = *written.begin();
        const std::set<int> &switched = run(f).switched;
        if (flasher(f).kind == SelectorKind::None && !switched.empty() && switched.count(d) == 0) {
            breach("opened",
                   name(f) + " reported success on " + dongle(d) + ", not the dongle it switched");
        }
        if (!seen(d).updated && !rewrittenAfter(f, d)) {
            breach("FALSE SUCCESS",
                   name(f) + " FALSE SUCCESS: " + dongle(d) + " does not hold the image");
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
        for (int d = 0; d < dongles(); ++d) {
            const auto shows = [&](const Plug &p) { return shownSerial(d, p.mode) == draw.value; };
            const std::string port = shownThroughout(d, shows, start);
            if (!port.empty()) {
                steady[numberOf(port)] = drawn(d).place.path;
            }
            shown += shownAtAll(d, shows, start) ? 1 : 0;
        }
        const std::string head = "[TORVEX] --serial-number " + draw.value + " fits ";
        const std::string &out = result(f).out;
        const std::size_t at = out.find(head);
        if (at == std::string::npos) {
            if (steady.size() > 1) {
                breach("shared serial", name(f) + " did not refuse " + draw.value + ", shown by " +
                                            std::to_string(steady.size()) +
                                            " dongles all through its start");
            }
            return;
        }
        if (!run(f).opens.empty()) {
            breach("shared serial",
                   name(f) + " refused " + draw.value + " but opened " + run(f).opens.front().port);
        }
        // The paths of the dongles shown all through in port order, with at
        // most the others shown some time then among them.
        const std::string line = out.substr(at, out.find('\n', at) - at);
        std::vector<std::string> paths;
        for (const auto &[number, path] : steady) {
            paths.push_back(path);
        }
        std::string places = line.substr(line.find(" at ") + 4);
        places.resize(std::min(places.size(), places.rfind(": name one with --path.")));
        const std::vector<std::string> listed = splitPlaces(places);
        std::vector<std::string> steadyListed;
        bool carried = true;
        for (const auto &path : listed) {
            carried = carried && std::any_of(s_.dongles.begin(), s_.dongles.end(), [&](auto &d) {
                          return d.place.path == path && (d.place.serial == draw.value ||
                                                          d.place.bootloaderSerial == draw.value);
                      });
            if (std::find(paths.begin(), paths.end(), path) != paths.end()) {
                steadyListed.push_back(path);
            }
        }
        if (line != head + std::to_string(listed.size()) + " dongles, at " + places +
                        ": name one with --path." ||
            listed.size() < 2 || static_cast<int>(listed.size()) > shown || !carried ||
            steadyListed != paths ||
            std::set<std::string>(listed.begin(), listed.end()).size() != listed.size()) {
            breach("shared serial",
                   name(f) + " refused with '" + line + "', dongles shown all through: " +
                       std::to_string(paths.size()) + ", some time: " + std::to_string(shown));
        }
    }

    // A dongle without a USB port path that runs its application: the
    // flasher naming its port never switches it, and says so once it had it.
    void judgePlainNamed(int f)
    {
        const int d = flasher(f).target;
        if (run(f).switched.count(d) != 0) {
            breach("plain", name(f) + " switched " + dongle(d) + ", which has no USB port path");
        }
        const bool hadIt =
            std::any_of(run(f).opens.begin(), run(f).opens.end(), [&](const Placed &o) {
                return o.dongle == d && plugOf(o).mode == sim::Mode::Application;
            });
        const std::string line = "[TORVEX] Cannot follow the dongle on " + flasher(f).value +
                                 " into its bootloader without its USB port path: it was not "
                                 "switched.";
        if (hadIt && (result(f).status != 255 || !says(result(f), line))) {
            breach("plain", name(f) + " had " + dongle(d) +
                                " without a USB port path but did not say '" + line + "' and fail");
        }
    }

    // A flasher naming none may refuse to switch a dongle without a USB port
    // path, whose bootloader it could not tell from another's: then it fails
    // having sent no dongle a frame, and the port it names is such a dongle's.
    void judgePlainRefusal(int f)
    {
        const std::string head = "[TORVEX] Cannot switch the dongle on ";
        const std::string &out = result(f).out;
        const std::size_t at = out.find(head);
        if (at == std::string::npos) {
            return;
        }
        ++o_.counts["flashers: refused to switch a dongle without a port path"];
        std::istringstream rest(out.substr(at + head.size()));
        std::string node;
        rest >> node;
        while (!node.empty() && (node.back() == ',' || node.back() == ':' || node.back() == '.')) {
            node.pop_back();
        }
        bool plainThere = false;
        for (int d = 0; d < dongles(); ++d) {
            plainThere = plainThere || (plainApplication(d) && !seen(d).plugs.empty() &&
                                        seen(d).plugs.front().port == node);
        }
        if (result(f).status != 255 || !run(f).frames.empty() || !plainThere) {
            breach("plain", name(f) + " refused to switch " + node + " (status " +
                                std::to_string(result(f).status) + ", " +
                                std::to_string(run(f).frames.size()) +
                                " dongles sent frames; a dongle without a port path there: " +
                                (plainThere ? "yes" : "no") + ")");
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
            (lowest->place.plain ? "--port " + node : "--path " + lowest->place.path) + ".";
        if (!run(f).opens.empty() || result(f).status != 255 || !says(result(f), line)) {
            breach("beyond", name(f) + " did not point at the dongle beyond its reach with '" +
                                 line + "' and fail");
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
                    ? "[TORVEX] No Torvex dongle found."
                    : "[TORVEX] No dongle matches " + draw.option() + " " + draw.value + ".";
            if (!says(result(f), line) || !run(f).opens.empty()) {
                breach("all", name(f) + " listed no dongle but did not say '" + line +
                                  "' or opened a port");
            }
        } else if (report.listed != listed || report.updated != updated) {
            breach("all", name(f) + " counted " + std::to_string(report.updated) + " of " +
                              std::to_string(report.listed) + " updated after " +
                              std::to_string(listed) + " lines, " + std::to_string(updated) +
                              " of them successes");
        }
        if ((result(f).status == 0) != (listed > 0 && updated == listed)) {
            breach("all", name(f) + " ended with status " + std::to_string(result(f).status) +
                              " when " + std::to_string(updated) + " of the " +
                              std::to_string(listed) + " dongles it listed were updated");
        }
    }

    // `--all`: each dongle it lists fits its name and is listed once, says
    // it is updated only when it holds the image, is written by one child
    // at most; it opens no dongle it did not list, and counts right.
    void judgeAll(int f)
    {
        const AllReport &report = reports_[static_cast<std::size_t>(f)];
        for (const auto &line : report.malformed) {
            breach("all", name(f) + " printed '" + line + "'");
        }
        std::set<int> listed;
        for (const auto &end : report.ends) {
            const int d = dongleOf(end);
            ++o_.counts[end.updated ? "draws: all-dongle-updated" : "draws: all-dongle-failed"];
            if (d < 0 || !listed.insert(d).second || !namedAnyStay(f, d)) {
                breach("all",
                       name(f) + " listed " + end.node + " " + end.path + ": " +
                           (d < 0 ? "no dongle" : dongle(d) + ", twice or not fitting its name"));
            } else if (end.updated && !seen(d).updated && !rewrittenAfter(f, d)) {
                breach("FALSE SUCCESS", name(f) + " FALSE SUCCESS: its line says " + dongle(d) +
                                            " was updated, which does not hold the image");
            }
        }
        judgeAllCount(f, report);
        std::map<int, std::set<int>> donglesByProcess;
        for (const Placed &open : run(f).opens) {
            if (open.dongle < 0 || listed.count(open.dongle) == 0 || plain(open.dongle)) {
                breach("all", name(f) + " opened " + open.port +
                                  ", of no dongle it listed with a USB port path");
            }
            donglesByProcess[open.pid].insert(open.dongle);
        }
        for (const auto &[pid, opened] : donglesByProcess) {
            if (opened.size() > 1) {
                breach("all", name(f) + " opened " + std::to_string(opened.size()) +
                                  " dongles in one process");
            }
        }
        for (const auto &[d, pids] : run(f).writers) {
            if (pids.size() > 1) {
                breach("all", dongle(d) + " written by " + std::to_string(pids.size()) +
                                  " processes of " + name(f));
            }
        }
    }

    void judgeFlasher(int f)
    {
        const FlasherDraw &draw = flasher(f);
        judgeEnding(f);
        judgePlainRefusal(f);
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
        if (result(f).status == 0) {
            judgeSuccess(f);
        }
    }

    // A port is one process's until it ends: no other flasher may have
    // opened it meanwhile.
    void judgeHolders()
    {
        for (std::size_t f = 0; f < work_.size(); ++f) {
            for (std::size_t g = 0; g < work_.size(); ++g) {
                for (const Placed &a : work_[f].opens) {
                    for (const Placed &b : work_[g].opens) {
                        if (f != g && a.dongle >= 0 && a.dongle == b.dongle && a.plug == b.plug &&
                            a.at <= b.at &&
                            b.at < heldUntil(static_cast<int>(f), a.dongle) - endSeenLate) {
                            breach("held", name(static_cast<int>(g)) + " opened " + b.port +
                                               " of " + dongle(a.dongle) + " while " +
                                               name(static_cast<int>(f)) + " held it");
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
        for (int d = 0; d < dongles(); ++d) {
            std::vector<int> writers;
            for (std::size_t f = 0; f < work_.size(); ++f) {
                if (work_[f].written.count(d) != 0) {
                    writers.push_back(static_cast<int>(f));
                }
            }
            for (std::size_t i = 0; i + 1 < writers.size(); ++i) {
                for (std::size_t j = i + 1; j < writers.size(); ++j) {
                    const int f = writers[i];
                    const int g = writers[j];
                    if (firstOpen(g, d) < heldUntil(f, d) - endSeenLate &&
                        firstOpen(f, d) < heldUntil(g, d) - endSeenLate) {
                        breach("written twice", dongle(d) + " written by " + name(f) + " and " +
                                                    name(g) + " at once");
                    } else {
                        ++o_.counts["dongles: written again after an earlier writer ended"];
                    }
                }
            }
        }
        if (orphans_ > 0) {
            breach("frames from no flasher",
                   std::to_string(orphans_) + " frames from no flasher that had the port");
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
        for (int d = 0; d < dongles(); ++d) {
            any = any || fitsAtStart(draw, d);
            if (fitsAtStart(draw, d) && plain(d)) {
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
        for (int d = 0; d < dongles(); ++d) {
            if (expectedUpdated(d) && !seen(d).updated) {
                breach("expected",
                       dongle(d) + " not updated, with a flasher for each dongle and no fault");
            }
        }
        for (int f = 0; f < static_cast<int>(work_.size()); ++f) {
            if (expectedSuccess(f) && result(f).status != 0) {
                breach("expected",
                       name(f) + " failed, with a flasher for each dongle and no fault");
            }
        }
    }

    // A flasher that was sending a dongle frames when it left the bus ends
    // within the bound.
    void judgeDisconnects()
    {
        for (int d = 0; d < dongles(); ++d) {
            if (!seen(d).disconnected) {
                continue;
            }
            ++o_.counts["runs with a disconnect"];
            for (int f = 0; f < static_cast<int>(work_.size()); ++f) {
                const long ms = msBetween(seen(d).disconnectedAt, result(f).end);
                if (run(f).frames.count(d) == 0 || ms < 0) {
                    continue;
                }
                o_.longest["longest disconnect to verdict (ms)"] =
                    std::max(o_.longest["longest disconnect to verdict (ms)"], ms);
                if (ms > verdictBoundMs) {
                    breach("slow after a disconnect", name(f) + " ended " + std::to_string(ms) +
                                                          " ms after " + dongle(d) + " left");
                }
            }
        }
    }

    // The latest fault a lone dongle's run reached names the cause of its
    // failure: a run stops at its first failing frame, so faults before it
    // did no harm alone. A pull counts after every frame that came before it.
    std::string reached(int d)
    {
        const DongleDraw &draw = drawn(d);
        const DongleSeen &dongle = seen(d);
        std::string cause;
        int latest = -1;
        for (const auto &[frame, label] : draw.labels) {
            if (static_cast<std::size_t>(frame) < dongle.frames.size()) {
                ++o_.counts["faults reached: " + label];
                cause = label;
                latest = frame;
            }
        }
        if (dongle.pull.happened) {
            ++o_.counts["faults reached: " + draw.pullLabel];
            ++o_.counts["faults reached: at-" + dongle.pull.phase];
            if (draw.options.pull.afterRelease && !dongle.pull.portAfter.empty()) {
                ++o_.counts[dongle.pull.portAfter == dongle.pull.portBefore
                                ? "faults reached: back-same-number"
                                : "faults reached: back-new-number"];
            }
            cause = dongle.pull.framesBefore > latest ? draw.pullLabel : cause;
        }
        const int enumerationMs = s_.bus == BusKind::Gadget ? gadgetEnumerationMs : 0;
        const bool late = draw.options.startMode == sim::Mode::Application &&
                          draw.options.reenumerateMs > lateBootloaderMs - enumerationMs;
        return !cause.empty()               ? cause
               : late                       ? "late-bootloader"
               : draw.options.staleOnPlugIn ? "stale-on-plug-in"
                                            : "no-fault-reached";
    }

    void count()
    {
        o_.dongles = dongles();
        o_.counts["dongles"] += dongles();
        o_.counts["runs where every dongle must end updated"] += s_.everyDongleExpected ? 1 : 0;
        for (const auto &draw : s_.draws) {
            ++o_.counts["draws: " + draw];
        }
        for (int d = 0; d < dongles(); ++d) {
            const std::string cause = reached(d);
            o_.counts["dongles: updated"] += seen(d).updated ? 1 : 0;
            ++o_.counts[drawn(d).options.replyByte < 0 ? "dongles: echoing the command byte"
                                                       : "dongles: starting replies otherwise"];
            if (dongles() == 1 && work_.size() == 1 && result(0).status == 255) {
                o_.cause = cause;
                ++o_.counts["failures by cause (latest fault reached): " + cause];
                o_.counts["flashers: failed, but the flash holds the image"] += seen(d).updated;
            }
        }
        long high = 0;
        for (int f = 0; f < static_cast<int>(work_.size()); ++f) {
            const FlasherDraw &draw = flasher(f);
            const int status = result(f).status;
            ++o_.counts["flashers"];
            ++o_.counts[std::string("flashers by selector: ") + (draw.all ? "all-" : "") +
                        (draw.absent ? "absent-" : "") + (draw.shared ? "shared-" : "") +
                        (plain(draw.target) ? "plain-" : "") + nameOf(draw.kind)];
            o_.counts["flashers: succeeded"] += status == 0 ? 1 : 0;
            o_.counts["flashers: failed (verdict, status 255)"] += status == 255 ? 1 : 0;
            o_.counts["flashers: reader closed standard output"] += draw.closeStdoutAfter >= 0;
            o_.counts["flashers: setserial complained"] +=
                w_.flashers[static_cast<std::size_t>(f)].setserialErr.empty() ? 0 : 1;
            o_.longest["longest flasher (ms)"] = std::max(
                o_.longest["longest flasher (ms)"], msBetween(result(f).begin, result(f).end));
            for (const auto &[text, event] :
                 {std::pair{" fits ", "draws: refused-shared-serial"},
                  {"[TORVEX] Cannot follow the dongle on ", "draws: plain-not-switched"},
                  {", beyond the ports searched without a name: ", "draws: pointed-beyond"}}) {
                o_.counts[event] += result(f).out.find(text) != std::string::npos ? 1 : 0;
            }
            for (const Placed &open : run(f).opens) {
                high += numberOf(open.port) > 9 ? 1 : 0;
            }
        }
        o_.counts["ports above ttyACM9 opened"] += high;
        o_.counts["runs opening ports above ttyACM9"] += high > 0 ? 1 : 0;
        for (auto it = o_.counts.begin(); it != o_.counts.end();) {
            it = it->second == 0 ? o_.counts.erase(it) : std::next(it);
        }
    }

    const Run &s_;
    const Seen &w_;
    std::vector<Work> work_;
    std::vector<AllReport> reports_;
    int orphans_ = 0;
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
