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

// The rig sees a flasher's end a poll or two after it exits, and so after
// the lock on its ports is gone: a port opened this soon before that counts
// as opened after it.
constexpr std::chrono::milliseconds endSeenLate{500};

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

// An open, with the dongle's stay it was (-1: no dongle's).
struct Placed : Open {
    int dongle = -1;
    int plug = -1;
};

// What `--all` said: a line for each dongle it listed as that dongle's
// update ended (its child had ended then), and how many were updated.
struct End {
    std::string node;
    std::string path; // empty for a dongle without a USB port path
    std::string serial;
    bool updated = false;
    Clock::time_point at;
    std::string line;
    std::size_t index = 0; // its line's
};

// A flasher: as drawn, as it ran, and what it did to which dongle.
struct Flasher {
    Flasher(const FlasherDraw &drawn, const harness::ChildResult &result) : draw(drawn), r(result)
    {
        readAllReport();
    }

    const FlasherDraw &draw;
    const harness::ChildResult &r;
    std::vector<Placed> opens;
    std::map<int, int> frames;            // by dongle
    std::set<int> switched;               // dongles it sent "enter bootloader"
    std::set<int> written;                // dongles it sent page writes
    std::map<int, std::set<int>> writers; // by dongle: the processes that sent its page writes
    std::map<std::pair<int, int>, std::set<int>> updaters; // by dongle and stay: who sent frames
    std::set<std::pair<int, int>> changed;                 // dongles and stays it switched or wrote
    std::vector<End> ends;
    int updated = -1; // the count `--all` printed
    int listed = -1;
    std::vector<std::string> malformed;

    bool says(const std::string &line) const
    {
        return r.out.find(line + "\n") != std::string::npos;
    }

    void readAllReport()
    {
        std::istringstream lines(r.out);
        std::string line;
        for (std::size_t i = 0; std::getline(lines, line); ++i) {
            std::istringstream words(line);
            std::string tag, node, third, fourth;
            words >> tag >> node >> third >> fourth;
            char rest[16] = "";
            if (tag == "[TORVEX]" && startsWith(node, "/dev/ttyACM")) {
                End end{node,
                        startsWith(third, "path=") ? third.substr(5) : "",
                        startsWith(fourth, "serial=") ? fourth.substr(7) : "",
                        endsWith(line, " Update successful!"),
                        i < r.lineEnds.size() ? r.lineEnds[i] : r.end,
                        line,
                        i};
                const bool plain = line == "[TORVEX] " + node +
                                               " No USB port path to follow it by. Update Failed.";
                const char *failed =
                    draw.watch ? " Update Failed. Pull it out and plug it in again to retry."
                               : " Update Failed.";
                if ((!end.updated && !endsWith(line, failed)) || (end.path.empty() && !plain)) {
                    malformed.push_back(line);
                }
                ends.push_back(end);
            } else if (std::sscanf(line.c_str(), "[TORVEX] %d of %d dongle%15[^\n]", &updated,
                                   &listed, rest) == 3 &&
                       std::string(rest) != (listed == 1 ? " updated." : "s updated.")) {
                malformed.push_back(line);
            }
        }
    }
};

// A dongle: as drawn, and what became of it.
struct Dongle {
    const DongleDraw &draw;
    const DongleSeen &seen;
    bool plain = draw.place.plain;
    bool plainApplication = plain && draw.options.startMode == sim::Mode::Application;

    bool onPort(const std::string &port) const
    {
        return std::any_of(seen.plugs.begin(), seen.plugs.end(),
                           [&port](const Plug &p) { return p.port == port; });
    }
};

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
    Judge(const Run &s, const Seen &w) : s_(s), opensLogged_(w.opensLogged)
    {
        for (std::size_t d = 0; d < w.dongles.size(); ++d) {
            dongles_.push_back(Dongle{s.dongles[d], w.dongles[d]});
        }
        for (std::size_t f = 0; f < w.flashers.size(); ++f) {
            flashers_.emplace_back(s.flashers[f], w.flashers[f].result);
            for (const Open &open : w.flashers[f].opens) {
                flashers_.back().opens.push_back(place(open));
            }
            o_.counts["flashers: setserial complained"] +=
                w.flashers[f].setserialErr.empty() ? 0 : 1;
        }
        attribute();
    }

    Outcome outcome()
    {
        for (int f = 0; f < static_cast<int>(flashers_.size()); ++f) {
            judgeFlasher(f);
        }
        judgeHolders();
        judgeWriters();
        judgeExpectation();
        judgeDisconnects();
        count();
        return o_;
    }

  private:
    // The breach's words, the flasher or dongle numbers counted from 1 as
    // torvex-sim counts its dongles.
    template <typename... Parts> void breach(const std::string &kind, const Parts &...parts)
    {
        std::ostringstream text;
        (text << ... << parts);
        o_.breaches.push_back(text.str());
        ++o_.counts["breaches: " + kind];
    }
    static std::string name(int f)
    {
        return "flasher " + std::to_string(f + 1);
    }
    static std::string dongle(int d)
    {
        return "dongle " + std::to_string(d + 1);
    }
    const Plug &plugOf(const Placed &open) const
    {
        return dongles_[open.dongle].seen.plugs[open.plug];
    }
    bool plain(int d) const
    {
        return d >= 0 && dongles_[d].plain;
    }
    bool plainApplication(int d) const
    {
        return d >= 0 && dongles_[d].plainApplication;
    }

    // Which dongle's stay a port was: the latest stay under that pseudo-
    // terminal (or that name) that began before the flasher had it open.
    // Neither can go to another dongle while a flasher holds the port.
    Placed place(const Open &open) const
    {
        Placed placed;
        static_cast<Open &>(placed) = open;
        for (std::size_t d = 0; d < dongles_.size(); ++d) {
            for (std::size_t p = 0; p < dongles_[d].seen.plugs.size(); ++p) {
                const Plug &plug = dongles_[d].seen.plugs[p];
                // readlink -f names a port that is already gone by itself.
                const bool same = startsWith(open.pts, "/dev/pts/") ? plug.pts == open.pts
                                                                    : plug.port == open.port;
                if (same && plug.on <= open.at &&
                    (placed.dongle < 0 || plug.on > plugOf(placed).on)) {
                    placed.dongle = static_cast<int>(d);
                    placed.plug = static_cast<int>(p);
                }
            }
        }
        return placed;
    }

    // The flasher that last opened the dongle's stay before the frame came
    // (and its process); without opens logged, the lone flasher.
    int senderOf(int d, const sim::FrameRecord &frame, int *pid) const
    {
        int plug = -1;
        for (std::size_t p = 0; p < dongles_[d].seen.plugs.size(); ++p) {
            plug = dongles_[d].seen.plugs[p].on <= frame.received ? static_cast<int>(p) : plug;
        }
        int sender = opensLogged_ || flashers_.size() != 1 ? -1 : 0;
        Clock::time_point latest;
        for (std::size_t f = 0; f < flashers_.size(); ++f) {
            for (const Placed &open : flashers_[f].opens) {
                if (open.dongle == d && open.plug == plug && open.at <= frame.received &&
                    (sender < 0 || open.at > latest)) {
                    sender = static_cast<int>(f);
                    latest = open.at;
                    *pid = open.pid;
                }
            }
        }
        return sender;
    }

    void attribute()
    {
        for (int d = 0; d < static_cast<int>(dongles_.size()); ++d) {
            for (const auto &frame : dongles_[d].seen.frames) {
                int pid = 0;
                const int sender = senderOf(d, frame, &pid);
                if (sender < 0) {
                    const bool echo = echoOfJunk(d, frame);
                    o_.counts["dongles: junk echoed back before any open"] += echo ? 1 : 0;
                    orphans_ += echo ? 0 : 1;
                    firstOrphan_ = orphans_ == 1 && !echo
                                       ? dongle(d) + "'s " + sim::toHex(frame.bytes).substr(0, 16)
                                       : firstOrphan_;
                    continue;
                }
                Flasher &flasher = flashers_[sender];
                ++flasher.frames[d];
                const uint8_t command = frame.bytes.empty() ? 0 : frame.bytes[0];
                const int stay = stayOf(d, frame.received);
                if (command == enterBootloader && frame.mode == sim::Mode::Application) {
                    flasher.switched.insert(d);
                    flasher.changed.insert({d, stay});
                }
                flasher.updaters[{d, stay}].insert(pid);
                if (command == pageWrite && frame.mode == sim::Mode::Bootloader) {
                    flasher.written.insert(d);
                    flasher.writers[d].insert(pid);
                    flasher.changed.insert({d, stay});
                }
            }
        }
    }

    // A dongle's stays on the bus: before its cable was pulled (0), and after.
    int stayOf(int d, Clock::time_point at) const
    {
        const sim::PullRecord &pull = dongles_[d].seen.pull;
        return pull.happened && at >= pull.at ? 1 : 0;
    }

    // A new port echoes the junk a dongle put in it until the host makes it
    // raw (the dongle waits a little for that echo, not always long enough
    // on a busy machine): no frame from the host.
    bool echoOfJunk(int d, const sim::FrameRecord &frame) const
    {
        const std::vector<uint8_t> &junk = sim::Dongle::staleBytes;
        return dongles_[d].draw.options.staleOnPlugIn && !frame.bytes.empty() &&
               std::all_of(frame.bytes.begin(), frame.bytes.end(), [&junk](uint8_t byte) {
                   return std::find(junk.begin(), junk.end(), byte) != junk.end();
               });
    }

    // From the flasher's start to its first open (or its end): it settled
    // its name over what sysfs showed some time then.
    Window startOf(const Flasher &f) const
    {
        return {f.r.begin, f.opens.empty() ? f.r.end : f.opens.front().at};
    }

    // The port of a stay of the dongle that `shows` takes and that was
    // there all through `window`; empty if none was.
    template <typename Shows>
    std::string shownThroughout(int d, Shows shows, const Window &window) const
    {
        for (const Plug &plug : dongles_[d].seen.plugs) {
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
        if (draw.kind == SelectorKind::None || draw.kind == SelectorKind::Serial) {
            return draw.kind == SelectorKind::None || dongles_[d].draw.carries(draw.value);
        }
        if (draw.kind == SelectorKind::Path) {
            return !plain(d) && dongles_[d].draw.place.path == draw.value;
        }
        const std::string port =
            draw.kind == SelectorKind::PortLink
                ? "/dev/ttyACM" + std::to_string(dongles_[draw.target].draw.number)
                : draw.value;
        const auto onPort = [&port](const Plug &p) { return p.port == port; };
        return d == draw.target ||
               (plug.port == port &&
                (plain(draw.target) || shownThroughout(draw.target, onPort, startOf(f)).empty()));
    }

    // The dongles `--all` alone must list: those its name fits at the start.
    bool fitsAtStart(const FlasherDraw &draw, int d) const
    {
        const Dongle &dg = dongles_[d];
        switch (draw.kind) {
        case SelectorKind::None:
            return true;
        case SelectorKind::Serial:
            return !draw.absent && dg.draw.shownSerial(dg.draw.options.startMode) == draw.value;
        case SelectorKind::Path:
            return !draw.absent && !dg.plain && dg.draw.place.path == draw.value;
        default:
            return !draw.absent && d == draw.target;
        }
    }

    // The dongle an end line is of: without a USB port path, by its port;
    // else the one at its path that carries the serial number it shows (the
    // drawn dongles that share a path carry serial numbers of their own).
    int dongleOf(const End &end) const
    {
        for (std::size_t d = 0; d < dongles_.size(); ++d) {
            const Dongle &dg = dongles_[d];
            if (end.path.empty() ? dg.plain && dg.onPort(end.node)
                                 : !dg.plain && dg.draw.place.path == end.path &&
                                       (end.serial.empty() || dg.draw.carries(end.serial))) {
                return static_cast<int>(d);
            }
        }
        return -1;
    }

    // A child of `--all` holds its dongle until it ends, and its line comes
    // then; any other flasher holds what it opened until it ends.
    Clock::time_point heldUntil(const Flasher &f, int d) const
    {
        for (const End &end : f.ends) {
            if (f.draw.all && dongleOf(end) == d) {
                return end.at;
            }
        }
        return f.r.end;
    }

    Clock::time_point firstOpen(const Flasher &f, int d) const
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
            return other.written.count(d) != 0 &&
                   std::any_of(other.opens.begin(), other.opens.end(), [&](const Placed &open) {
                       return open.dongle == d && open.at > heldUntil(f, d) - endSeenLate;
                   });
        });
    }

    // What any flasher must do, whatever else runs: end in time, without a
    // crash, with nothing on standard error, with status 0 and the success
    // verdict or status 255 and the failure verdict (unless its reader went).
    void judgeEnding(int f)
    {
        const harness::ChildResult &r = flashers_[f].r;
        std::string last = r.out.substr(0, r.out.find_last_not_of('\n') + 1);
        last = last.substr(last.rfind('\n') == std::string::npos ? 0 : last.rfind('\n') + 1);
        if (!r.started || r.timedOut || r.signal != 0) {
            const char *what = !r.started ? "did not start" : r.timedOut ? "HANG" : "CRASH";
            breach(what, name(f), " ", what);
            return;
        }
        if (!r.err.empty()) {
            breach("standard error", name(f), " wrote to standard error: ", r.err);
        }
        if (r.status != 0 && r.status != 255) {
            breach("exit status", name(f), " ended with status ", r.status);
        } else if (flashers_[f].draw.closeStdoutAfter < 0 &&
                   last != (r.status == 0 ? successVerdict : failureVerdict)) {
            breach("verdict", name(f), " ended with status ", r.status, " and '", last, "'");
        }
    }

    // A flasher that must fail saying `line` (and open no port, unless it
    // `mayOpen`): the shape of every refusal.
    void mustRefuse(int f, const char *kind, const std::string &why, const std::string &line,
                    bool mayOpen = false)
    {
        const Flasher &fl = flashers_[f];
        if (fl.r.status == 0 || !fl.says(line) || (!mayOpen && !fl.opens.empty())) {
            breach(kind, name(f), " ", why, " but did not say '", line, "' and fail",
                   mayOpen || fl.opens.empty() ? "" : ", or opened " + fl.opens.front().port);
        }
    }

    // The dongles a flasher may open: those its name may fit and, once it
    // switched one, that one's bootloader wherever it comes; without a name,
    // else ports up to ttyACM9 only, and once it switched one, in bootloader
    // mode only that.
    void judgeOpens(int f)
    {
        const Flasher &fl = flashers_[f];
        const bool unnamed = fl.draw.kind == SelectorKind::None;
        for (const Placed &open : fl.opens) {
            if (open.dongle < 0) {
                breach("opened", name(f), " opened ", open.port, ", no dongle's port");
                continue;
            }
            const bool boot = plugOf(open).mode == sim::Mode::Bootloader;
            const bool followed = boot && fl.switched.count(open.dongle) != 0;
            if (!unnamed && !named(fl, open.dongle, plugOf(open)) && !followed) {
                breach("opened", name(f), " names ", fl.draw.option(), " ", fl.draw.value,
                       " but opened ", dongle(open.dongle), "'s port ", open.port);
            } else if (unnamed && numberOf(open.port) > 9 && !followed) {
                breach("opened", name(f), " names no dongle but opened ", open.port);
            } else if (unnamed && boot && !fl.switched.empty() && !followed) {
                breach("opened", name(f), " switched ", dongle(*fl.switched.begin()),
                       " but opened ", dongle(open.dongle), "'s bootloader on ", open.port);
            }
        }
    }

    void judgeSuccess(int f)
    {
        const Flasher &fl = flashers_[f];
        if (fl.written.size() != 1) {
            breach("FALSE SUCCESS", name(f), " reported success having written ", fl.written.size(),
                   " dongles");
            return;
        }
        const int d = *fl.written.begin();
        if (fl.draw.kind == SelectorKind::None && !fl.switched.empty() &&
            fl.switched.count(d) == 0) {
            breach("opened", name(f), " reported success on ", dongle(d),
                   ", not the dongle it switched");
        }
        if (!dongles_[d].seen.updated && !rewrittenAfter(fl, d)) {
            breach("FALSE SUCCESS", name(f), " FALSE SUCCESS: ", dongle(d),
                   " does not hold the image");
        }
    }

    // A serial number two dongles carry: refused if both showed it all
    // through the flasher's start, with both of their paths in port order,
    // and at most the others shown some time then among them; if not
    // refused, only a dongle carrying it is written (judgeOpens).
    void judgeShared(int f)
    {
        const Flasher &fl = flashers_[f];
        const std::string &serial = fl.draw.value;
        const Window start = startOf(fl);
        std::map<int, std::string> steady; // port number -> path, of those shown all through
        int shown = 0;
        for (int d = 0; d < static_cast<int>(dongles_.size()); ++d) {
            const Dongle &dg = dongles_[d];
            const auto shows = [&](const Plug &p) { return dg.draw.shownSerial(p.mode) == serial; };
            const std::string port = shownThroughout(d, shows, start);
            if (!port.empty()) {
                steady[numberOf(port)] = dg.draw.place.path;
            }
            shown +=
                std::any_of(dg.seen.plugs.begin(), dg.seen.plugs.end(),
                            [&](const Plug &p) {
                                return shows(p) && p.on <= start.second && p.gone >= start.first;
                            })
                    ? 1
                    : 0;
        }
        const std::string head = "[TORVEX] --serial-number " + serial + " fits ";
        const std::size_t at = fl.r.out.find(head);
        if (at == std::string::npos) {
            if (steady.size() > 1) {
                breach("shared serial", name(f), " did not refuse ", serial, ", shown by ",
                       steady.size(), " dongles all through its start");
            }
            return;
        }
        if (!fl.opens.empty()) {
            breach("shared serial", name(f), " refused ", serial, " but opened ",
                   fl.opens.front().port);
        }
        const std::string line = fl.r.out.substr(at, fl.r.out.find('\n', at) - at);
        std::vector<std::string> paths;
        paths.reserve(steady.size());
        for (const auto &[number, path] : steady) {
            paths.push_back(path);
        }
        std::string places = line.substr(line.find(" at ") + 4);
        places.resize(std::min(places.size(), places.rfind(": name one with --path.")));
        const std::vector<std::string> listed = splitPlaces(places);
        std::vector<std::string> steadyListed;
        bool carried = true;
        for (const auto &path : listed) {
            carried =
                carried && std::any_of(dongles_.begin(), dongles_.end(), [&](const Dongle &d) {
                    return d.draw.place.path == path && d.draw.carries(serial);
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
            breach("shared serial", name(f), " refused with '", line,
                   "', dongles shown all through: ", paths.size(), ", some time: ", shown);
        }
    }

    // A dongle without a USB port path that runs its application: the
    // flasher naming its port never switches it, and says so once it had it.
    void judgePlainNamed(int f)
    {
        const Flasher &fl = flashers_[f];
        const int d = fl.draw.target;
        if (fl.switched.count(d) != 0) {
            breach("plain", name(f), " switched ", dongle(d), ", which has no USB port path");
        }
        if (std::any_of(fl.opens.begin(), fl.opens.end(), [&](const Placed &o) {
                return o.dongle == d && plugOf(o).mode == sim::Mode::Application;
            })) {
            mustRefuse(f, "plain", "had " + dongle(d) + " without a USB port path",
                       "[TORVEX] Cannot follow the dongle on " + fl.draw.value +
                           " into its bootloader without its USB port path: it was not switched.",
                       true);
        }
    }

    // A flasher naming none may refuse to switch a dongle without a USB port
    // path, whose bootloader it could not tell from another's: then it fails
    // having sent no dongle a frame, and the port it names is such a dongle's.
    void judgePlainRefusal(int f)
    {
        const Flasher &fl = flashers_[f];
        const std::string head = "[TORVEX] Cannot switch the dongle on ";
        const std::size_t at = fl.r.out.find(head);
        if (at == std::string::npos) {
            return;
        }
        ++o_.counts["flashers: refused to switch a dongle without a port path"];
        std::string node;
        std::istringstream(fl.r.out.substr(at + head.size())) >> node;
        node.resize(node.find_last_of("0123456789") + 1);
        const bool plainThere = std::any_of(dongles_.begin(), dongles_.end(), [&](const Dongle &d) {
            return d.plainApplication && !d.seen.plugs.empty() && d.seen.plugs.front().port == node;
        });
        if (fl.r.status != 255 || !fl.frames.empty() || !plainThere) {
            breach("plain", name(f), " refused to switch ", node, " (status ", fl.r.status, ", ",
                   fl.frames.size(), " dongles sent frames; a dongle without a port path there: ",
                   plainThere ? "yes" : "no", ")");
        }
    }

    // Nothing moves the dongles: the lowest is named, and nothing opened.
    void judgeBeyond(int f)
    {
        const auto lowest =
            std::min_element(s_.dongles.begin(), s_.dongles.end(),
                             [](const auto &a, const auto &b) { return a.number < b.number; });
        const std::string node = "/dev/ttyACM" + std::to_string(lowest->number);
        mustRefuse(f, "beyond", "had every dongle beyond its reach",
                   "[TORVEX] A dongle is on " + node +
                       ", beyond the ports searched without a name: name it with " +
                       (lowest->place.plain ? "--port " + node : "--path " + lowest->place.path) +
                       ".");
    }

    // `--all`: each dongle it lists fits its name and is listed once, says
    // it is updated only when it holds the image, is written by one child
    // at most; it opens no dongle it did not list, counts right, and
    // succeeds exactly when every dongle it listed was updated.
    void judgeAll(int f)
    {
        const Flasher &fl = flashers_[f];
        const std::map<int, const End *> listed = judgeEnds(f);
        std::map<int, std::set<int>> donglesByProcess;
        for (const Placed &open : fl.opens) {
            if (open.dongle < 0 || listed.count(open.dongle) == 0 || plain(open.dongle)) {
                breach("all", name(f), " opened ", open.port,
                       ", of no dongle it listed with a USB port path");
            }
            donglesByProcess[open.pid].insert(open.dongle);
        }
        for (const auto &[pid, opened] : donglesByProcess) {
            if (opened.size() > 1) {
                breach("all", name(f), " opened ", opened.size(), " dongles in one process");
            }
        }
        for (const auto &[d, pids] : fl.writers) {
            if (pids.size() > 1) {
                breach("all", dongle(d), " written by ", pids.size(), " processes of ", name(f));
            }
        }
    }

    // The end lines of `--all` and `--watch`: well formed, each of a dongle
    // (with `--all`, one its name fits, listed once), none saying a dongle
    // was updated that does not hold the image; then a count that agrees
    // (or that nothing fits), and success exactly when every dongle listed
    // was updated. Returns each dongle's last line.
    std::map<int, const End *> judgeEnds(int f)
    {
        const Flasher &fl = flashers_[f];
        const char *kind = fl.draw.watch ? "watch" : "all";
        for (const auto &line : fl.malformed) {
            breach(kind, name(f), " printed '", line, "'");
        }
        std::map<int, const End *> last;
        int updated = 0;
        for (const End &end : fl.ends) {
            const int d = dongleOf(end);
            updated += end.updated ? 1 : 0;
            ++o_.counts[std::string("draws: ") + kind +
                        (end.updated ? "-dongle-updated" : "-dongle-failed")];
            if (d < 0 ||
                (!fl.draw.watch &&
                 (last.count(d) != 0 ||
                  std::none_of(dongles_[d].seen.plugs.begin(), dongles_[d].seen.plugs.end(),
                               [&](const Plug &plug) { return named(fl, d, plug); })))) {
                breach(kind, name(f), " listed ", end.node, " ", end.path, ": ",
                       d < 0 ? "no dongle" : dongle(d) + ", twice or not fitting its name");
                continue;
            }
            last[d] = &end;
            if (end.updated && !dongles_[d].seen.updated &&
                (fl.draw.watch || !rewrittenAfter(fl, d))) {
                breach("FALSE SUCCESS", name(f), " FALSE SUCCESS: its line says ", dongle(d),
                       " was updated, which does not hold the image");
            }
        }
        const int count = static_cast<int>(fl.ends.size());
        const std::string none =
            fl.draw.kind == SelectorKind::None
                ? "[TORVEX] No Torvex dongle found."
                : "[TORVEX] No dongle matches " + fl.draw.option() + " " + fl.draw.value + ".";
        if (count == 0 && (!fl.says(none) || !fl.opens.empty())) {
            breach(kind, name(f), " listed no dongle but did not say '", none,
                   "' or opened a port");
        } else if (count > 0 && (fl.listed != count || fl.updated != updated)) {
            breach(kind, name(f), " counted ", fl.updated, " of ", fl.listed, " updated after ",
                   count, " lines, ", updated, " of them successes");
        }
        if ((fl.r.status == 0) != (count > 0 && updated == count)) {
            breach(kind, name(f), " ended with status ", fl.r.status, " when ", updated, " of the ",
                   count, " dongles it listed were updated");
        }
        return last;
    }

    // `--watch`: it begins with its line; it updates each dongle once a stay
    // (pulled out and back, or swapped for another, it is a new one), and
    // begins on a new one once it has been there a while; on Ctrl-C it ends
    // soon, letting each update that has opened its port run to its end (a
    // second Ctrl-C may stop those, saying so); every end line and the count
    // tell the truth.
    void judgeWatch(int f)
    {
        const Flasher &fl = flashers_[f];
        std::vector<Clock::time_point> stops;
        for (const auto at : fl.r.interrupted) {
            if (at < fl.r.end) {
                stops.push_back(at);
            }
        }
        const std::string first =
            "[TORVEX] Watching for every dongle to update each once; Ctrl-C stops.\n";
        if (!startsWith(fl.r.out, first)) {
            breach("watch", name(f), " did not begin with '", first, "'");
        }
        if (stops.empty() || msBetween(stops[0], fl.r.end) > watchStopBoundMs) {
            breach("watch", name(f), " ended ",
                   stops.empty()
                       ? "before any Ctrl-C"
                       : std::to_string(msBetween(stops[0], fl.r.end)) + " ms after Ctrl-C");
        }
        const std::string stopping = "[TORVEX] Stopping: waiting for ";
        const std::size_t at = fl.r.out.find(stopping);
        const std::size_t stoppingLine = at == std::string::npos
                                             ? SIZE_MAX
                                             : static_cast<std::size_t>(std::count(
                                                   fl.r.out.begin(), fl.r.out.begin() + at, '\n'));
        const std::map<int, const End *> last = judgeEnds(f);
        int waited = 0;
        for (const End &end : fl.ends) {
            const bool untouched =
                end.line.find(" Left untouched: stopped before its update began. ") !=
                std::string::npos;
            const bool stopped = end.line.find(" Stopped ") != std::string::npos;
            waited += end.index > stoppingLine && !untouched ? 1 : 0;
            if ((untouched && stops.empty()) || (stopped && stops.size() < 2)) {
                breach("watch", name(f), " said '", end.line, "' after ", stops.size(), " Ctrl-C");
            }
        }
        const std::string waiting = stopping + std::to_string(waited) + " running update" +
                                    (waited == 1 ? "" : "s") + " to end; Ctrl-C again stops " +
                                    (waited == 1 ? "it" : "them") + " at once.\n";
        if (at != std::string::npos &&
            (stops.empty() || fl.r.out.compare(at, waiting.size(), waiting) != 0)) {
            breach("watch", name(f), " said '", fl.r.out.substr(at, fl.r.out.find('\n', at) - at),
                   "' where '", waiting, "' was due after ", stops.size(), " Ctrl-C");
        }
        for (const auto &[stay, pids] : fl.updaters) {
            if (pids.size() > 1) {
                breach("updated twice", dongle(stay.first), " updated by ", pids.size(),
                       " processes of ", name(f), " in one stay on the bus");
            }
        }
        for (int d = 0; d < static_cast<int>(dongles_.size()); ++d) {
            const auto end = last.find(d);
            judgeWatched(f, d, stops, end == last.end() ? nullptr : end->second);
        }
    }

    // One dongle under `--watch`. A dongle sent frames in its last stay
    // holds the image, or its update failed on its own, or a second Ctrl-C
    // stopped it and its line says so: one switched or written waits in its
    // bootloader. One that was surely new (there from the start, or plugged
    // in later) and stayed long enough before Ctrl-C had its update begun.
    void judgeWatched(int f, int d, const std::vector<Clock::time_point> &stops, const End *end)
    {
        const Flasher &fl = flashers_[f];
        const DongleSeen &seen = dongles_[d].seen;
        const int lastStay = seen.pull.happened ? 1 : 0;
        if (fl.updaters.count({d, lastStay}) != 0 && !seen.updated) {
            const bool stopped = end != nullptr && end->line.find(" Stopped ") != std::string::npos;
            const std::string why = fl.changed.count({d, lastStay}) != 0
                                        ? " Stopped during its update: it waits in its "
                                          "bootloader, and the next run updates it. "
                                        : " Stopped ";
            if (end == nullptr ||
                (stopped && (stops.size() < 2 || end->line.find(why) == std::string::npos))) {
                breach("half written", dongle(d), " written by ", name(f),
                       " but not updated, after ", stops.size(), " Ctrl-C; its line: '",
                       end == nullptr ? "none" : end->line, "'");
            }
            ++o_.counts[stopped ? "dongles: sent frames, stopped by a second Ctrl-C"
                                : "dongles: sent frames, failed on their own under --watch"];
        }
        const bool later = dongles_[d].draw.options.pull.atMs == 0;
        const int stay = later ? 1 : 0;
        Clock::time_point from = Clock::time_point::max();
        for (const Plug &plug : seen.plugs) {
            from =
                stayOf(d, plug.on) == stay ? std::min(from, std::max(plug.up, fl.r.begin)) : from;
        }
        Clock::time_point to = stops.empty() ? fl.r.end : stops[0];
        to = seen.pull.happened && stay == 0 ? std::min(to, seen.pull.at) : to;
        // An update says how it ended, even one stopped before it opened a port.
        const bool begun = end != nullptr || fl.updaters.count({d, stay}) != 0 ||
                           std::any_of(fl.opens.begin(), fl.opens.end(), [&](const Placed &open) {
                               return open.dongle == d && stayOf(d, plugOf(open).on) == stay;
                           });
        if (from < to && msBetween(from, to) > watchBeginBoundMs && !begun) {
            breach("watch", name(f), " did not begin on ", dongle(d), ", there ",
                   msBetween(from, to), " ms before Ctrl-C");
        }
    }

    void judgeFlasher(int f)
    {
        const FlasherDraw &draw = flashers_[f].draw;
        judgeEnding(f);
        if (draw.watch) {
            judgeWatch(f);
            return;
        }
        judgePlainRefusal(f);
        if (draw.absent) {
            mustRefuse(f, "absent", "named no dongle that is there",
                       "[TORVEX] No dongle matches " + draw.option() + " " + draw.value + ".");
        }
        if (draw.all || draw.absent) {
            if (draw.all) {
                judgeAll(f);
            }
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
        if (flashers_[f].r.status == 0) {
            judgeSuccess(f);
        }
    }

    // A port is one process's until it ends: no other flasher may have
    // opened it meanwhile.
    void judgeHolders()
    {
        for (std::size_t f = 0; f < flashers_.size(); ++f) {
            for (std::size_t g = 0; g < flashers_.size(); ++g) {
                for (const Placed &a : flashers_[f].opens) {
                    for (const Placed &b : flashers_[g].opens) {
                        if (f != g && a.dongle >= 0 && a.dongle == b.dongle && a.plug == b.plug &&
                            a.at <= b.at &&
                            b.at < heldUntil(flashers_[f], a.dongle) - endSeenLate) {
                            breach("held", name(static_cast<int>(g)), " opened ", b.port, " of ",
                                   dongle(a.dongle), " while ", name(static_cast<int>(f)),
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
        for (int d = 0; d < static_cast<int>(dongles_.size()); ++d) {
            for (int f = 0; f < static_cast<int>(flashers_.size()); ++f) {
                for (int g = f + 1; g < static_cast<int>(flashers_.size()); ++g) {
                    const Flasher &a = flashers_[f];
                    const Flasher &b = flashers_[g];
                    if (a.written.count(d) == 0 || b.written.count(d) == 0) {
                        continue;
                    }
                    if (firstOpen(b, d) < heldUntil(a, d) - endSeenLate &&
                        firstOpen(a, d) < heldUntil(b, d) - endSeenLate) {
                        breach("written twice", dongle(d), " written by ", name(f), " and ",
                               name(g), " at once");
                    } else {
                        ++o_.counts["dongles: written again after an earlier writer ended"];
                    }
                }
            }
        }
        if (orphans_ > 0) {
            breach("frames from no flasher", orphans_,
                   " frames from no flasher that had the port, the first ", firstOrphan_);
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
        for (int d = 0; d < static_cast<int>(dongles_.size()); ++d) {
            const bool expected =
                all == s_.flashers.end() ? !plainApplication(d) : fitsAtStart(*all, d) && !plain(d);
            if (expected && !dongles_[d].seen.updated) {
                breach("expected", dongle(d),
                       " not updated, with a flasher for each dongle and no fault");
            }
        }
        for (int f = 0; f < static_cast<int>(flashers_.size()); ++f) {
            const FlasherDraw &draw = flashers_[f].draw;
            bool fits = false;
            bool fitsPlain = false;
            for (int d = 0; d < static_cast<int>(dongles_.size()); ++d) {
                fits = fits || fitsAtStart(draw, d);
                fitsPlain = fitsPlain || (fitsAtStart(draw, d) && plain(d));
            }
            // `--all` lists some dongle, and none without a USB port path.
            const bool expected = draw.all ? fits && !fitsPlain : !plainApplication(draw.target);
            if (expected && flashers_[f].r.status != 0) {
                const std::string &out = flashers_[f].r.out;
                const std::size_t verdict = out.rfind("\n[TORVEX] Update");
                const std::size_t before = out.rfind('\n', verdict - 1);
                breach("expected", name(f),
                       " failed, with a flasher for each dongle and no fault: '",
                       verdict == std::string::npos || verdict == 0
                           ? out
                           : out.substr(before + 1, verdict - before - 1),
                       "'");
            }
        }
    }

    // A flasher that was sending a dongle frames when it left the bus ends
    // within the bound.
    void judgeDisconnects()
    {
        for (int d = 0; d < static_cast<int>(dongles_.size()); ++d) {
            const DongleSeen &seen = dongles_[d].seen;
            o_.counts["runs with a disconnect"] += seen.disconnected ? 1 : 0;
            for (int f = 0; seen.disconnected && f < static_cast<int>(flashers_.size()); ++f) {
                const long ms = msBetween(seen.disconnectedAt, flashers_[f].r.end);
                if (flashers_[f].frames.count(d) == 0 || ms < 0 || flashers_[f].draw.watch) {
                    continue;
                }
                long &longest = o_.longest["longest disconnect to verdict (ms)"];
                longest = std::max(longest, ms);
                if (ms > verdictBoundMs) {
                    breach("slow after a disconnect", name(f), " ended ", ms, " ms after ",
                           dongle(d), " left");
                }
            }
        }
    }

    // The latest fault a dongle reached names the cause of a failure: a run
    // stops at its first failing frame, so faults before it did no harm
    // alone. A pull counts after every frame that came before it.
    std::string reached(const Dongle &dg)
    {
        std::string cause;
        int latest = -1;
        for (const auto &[frame, label] : dg.draw.labels) {
            if (static_cast<std::size_t>(frame) < dg.seen.frames.size()) {
                ++o_.counts["faults reached: " + label];
                cause = label;
                latest = frame;
            }
        }
        const sim::PullRecord &pull = dg.seen.pull;
        if (pull.happened) {
            ++o_.counts["faults reached: " + dg.draw.pullLabel];
            ++o_.counts["faults reached: at-" + pull.phase];
            if (dg.draw.options.pull.afterRelease && !pull.portAfter.empty()) {
                ++o_.counts[pull.portAfter == pull.portBefore ? "faults reached: back-same-number"
                                                              : "faults reached: back-new-number"];
            }
            cause = pull.framesBefore > latest ? dg.draw.pullLabel : cause;
        }
        const int enumerationMs = s_.bus == BusKind::Gadget ? gadgetEnumerationMs : 0;
        const bool late = dg.draw.options.startMode == sim::Mode::Application &&
                          dg.draw.options.reenumerateMs > lateBootloaderMs - enumerationMs;
        return !cause.empty()                  ? cause
               : late                          ? "late-bootloader"
               : dg.draw.options.staleOnPlugIn ? "stale-on-plug-in"
                                               : "no-fault-reached";
    }

    void count()
    {
        o_.dongles = static_cast<int>(dongles_.size());
        o_.counts["dongles"] += o_.dongles;
        o_.counts["runs where every dongle must end updated"] += s_.everyDongleExpected ? 1 : 0;
        for (const auto &draw : s_.draws) {
            ++o_.counts["draws: " + draw];
        }
        for (const Dongle &dg : dongles_) {
            const std::string cause = reached(dg);
            o_.counts["dongles: updated"] += dg.seen.updated ? 1 : 0;
            ++o_.counts[dg.draw.options.replyByte < 0 ? "dongles: echoing the command byte"
                                                      : "dongles: starting replies otherwise"];
            if (dongles_.size() == 1 && flashers_.size() == 1 && flashers_[0].r.status == 255) {
                o_.cause = cause;
                ++o_.counts["failures by cause (latest fault reached): " + cause];
                o_.counts["flashers: failed, but the flash holds the image"] +=
                    dg.seen.updated ? 1 : 0;
            }
        }
        long high = 0;
        for (const Flasher &f : flashers_) {
            ++o_.counts["flashers"];
            ++o_.counts[std::string("flashers by selector: ") + (f.draw.all ? "all-" : "") +
                        (f.draw.watch ? "watch-" : "") + (f.draw.absent ? "absent-" : "") +
                        (f.draw.shared ? "shared-" : "") + (plain(f.draw.target) ? "plain-" : "") +
                        nameOf(f.draw.kind)];
            o_.counts["flashers: succeeded"] += f.r.status == 0 ? 1 : 0;
            o_.counts["flashers: failed (verdict, status 255)"] += f.r.status == 255 ? 1 : 0;
            o_.counts["flashers: reader closed standard output"] +=
                f.draw.closeStdoutAfter >= 0 ? 1 : 0;
            long &longest = o_.longest["longest flasher (ms)"];
            longest = std::max(longest, msBetween(f.r.begin, f.r.end));
            for (const auto &[text, event] :
                 {std::pair{" fits ", "draws: refused-shared-serial"},
                  {"[TORVEX] Cannot follow the dongle on ", "draws: plain-not-switched"},
                  {", beyond the ports searched without a name: ", "draws: pointed-beyond"}}) {
                o_.counts[event] += f.r.out.find(text) != std::string::npos ? 1 : 0;
            }
            for (const Placed &open : f.opens) {
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
    bool opensLogged_;
    std::vector<Dongle> dongles_;
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
