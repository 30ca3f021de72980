#include "station.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstring>
#include <ctime>
#include <iostream>
#include <map>
#include <set>
#include <vector>

NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE(Sighting, devicePath, identifier, onUsb, usbPath, serialNumber,
                                   enumeration)

namespace zel
{

NLOHMANN_JSON_SERIALIZE_ENUM(Event::Kind, {{Event::Kind::waiting, "waiting"},
                                           {Event::Kind::opened, "opened"},
                                           {Event::Kind::switched, "switched"},
                                           {Event::Kind::progress, "progress"},
                                           {Event::Kind::said, "said"},
                                           {Event::Kind::failed, "failed"},
                                           {Event::Kind::ended, "ended"}})
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE(Event, kind, text, percent, updated, noDongle, dongle)

namespace
{

void print(const nlohmann::ordered_json &object)
{
    std::cout << dumped(object) << std::endl;
}

using Clock = std::chrono::steady_clock;
constexpr useconds_t launchSpacingUs = 25000;
const char *const untouched = "Left untouched: stopped before its update began.";
// Under --watch an update waits for as long as other programs hold its port.
bool patientUpdates = false;

// One dongle's update: a child process runs a single update of it, named by
// its USB port path, and sends the uploader's events up a pipe, a JSON record
// a line.
struct DongleUpdate {
    Sighting dongle;
    Clock::time_point began = Clock::now();
    pid_t pid = -1;
    int records = -1; // the pipe's read end
    std::string pending;
    bool opened = false;   // it has opened a port of its dongle
    bool switched = false; // it has sent the enter command
    int percent = 0;
    bool updated = false;
    std::string reason;
    bool noDongle = false; // it met none
    std::string stoppedAs; // why the parent stopped it, if it did
};

// Ctrl-C, a closed terminal and a service manager's stop all ask the same
// first; the second is a Ctrl-C or a SIGTERM, never a SIGHUP, which a
// service manager may send beside its SIGTERM.
volatile std::sig_atomic_t stopAsked = 0;
volatile std::sig_atomic_t firmStops = 0;

void askStop(int signal)
{
    stopAsked = 1;
    firmStops = firmStops + (signal == SIGHUP ? 0 : 1);
}

constexpr int stopSignals[] = {SIGINT, SIGTERM, SIGHUP};

// Keeps nothing of the parent's but its own pipe's write end, which closes
// when `setserial` runs. The parent says how it went, from the events: the
// child's own output, and that of the shell and `setserial`, leads nowhere.
// The stop signals reach a whole process group: only the parent stops children.
[[noreturn]] void runUpdate(const DongleChoice &choice, int recordFd,
                            const std::vector<DongleUpdate> &others)
{
    for (int signal : stopSignals) {
        std::signal(signal, SIG_IGN);
    }
    for (const DongleUpdate &other : others) {
        if (other.records >= 0) {
            close(other.records);
        }
    }
    const int nowhere = open("/dev/null", O_WRONLY | O_CLOEXEC);
    dup2(nowhere, STDOUT_FILENO);
    dup2(nowhere, STDERR_FILENO);
    Uploader uploader(false);
    uploader.patient = patientUpdates;
    uploader.chooseDongle(choice);
    // The pipe does not block: with no one left to read it, a record is
    // dropped rather than the update held up.
    uploader.reportTo([recordFd](const Event &event) {
        const std::string line = dumped(nlohmann::json(event)) + "\n";
        const ssize_t ignored = write(recordFd, line.data(), line.size());
        static_cast<void>(ignored);
    });
    _exit(uploader.perform() ? 0 : 1);
}

// A dongle seen is followed by its USB port path; without one, the child
// updates the dongle that a single update of the choice takes.
bool start(std::vector<DongleUpdate> *updates, const DongleChoice &choice)
{
    DongleUpdate &update = updates->back();
    const std::string &path = update.dongle.usbPath;
    const bool seen = !update.dongle.devicePath.empty();
    int ends[2];
    if ((seen && !update.dongle.onUsb) || pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) {
        return false;
    }
    std::cout << std::flush;
    update.pid = fork();
    if (update.pid == 0) {
        close(ends[0]);
        const DongleChoice followed{path, "", "", "--path " + path, update.dongle.enumeration};
        runUpdate(seen ? followed : choice, ends[1], *updates);
    }
    close(ends[1]);
    if (update.pid < 0) {
        close(ends[0]);
        return false;
    }
    update.records = ends[0];
    return true;
}

void hear(DongleUpdate *update, const Event &event)
{
    using Kind = Event::Kind;
    // A single update's dongle, as the first event that names one (waiting,
    // opened) saw it: it may have switched since.
    if (update->dongle.devicePath.empty()) {
        update->dongle = event.dongle;
    }
    // Its lines that say what goes on, each once, however many updates say it.
    static std::set<std::string> said;
    if (event.kind == Kind::said && said.insert(event.text).second) {
        say(prefix + event.text);
    }
    update->opened = update->opened || event.kind == Kind::opened;
    update->switched = update->switched || event.kind == Kind::switched;
    update->percent = event.kind == Kind::progress ? event.percent : update->percent;
    update->updated = update->updated || (event.kind == Kind::ended && event.updated);
    if (event.kind == Kind::failed) {
        update->reason = event.text;
        update->noDongle = event.noDongle;
    }
}

std::string utcNow()
{
    const std::time_t now = std::time(nullptr);
    std::tm fields = {};
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", gmtime_r(&now, &fields));
    return text;
}

// A dongle as a script reads it, or as a line shows it; a port path and a
// serial number it does not have are null, or not shown.
nlohmann::ordered_json described(const char *type, const Sighting &dongle)
{
    const auto orNull = [](const std::string &text) {
        return text.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(text);
    };
    return {{"type", type},
            {"device", dongle.devicePath},
            {"path", orNull(dongle.usbPath)},
            {"serial", orNull(dongle.serialNumber)}};
}

std::string shown(const Sighting &dongle)
{
    return (dongle.onUsb ? " path=" + dongle.usbPath : "") +
           (dongle.serialNumber.empty() ? "" : " serial=" + printable(dongle.serialNumber));
}

// A dongle's end: its line, or its record. A dongle that no update touched
// was skipped.
void tellEnd(const DongleUpdate &update, const char *retry = "")
{
    const bool updated = update.updated;
    if (!jsonLines) {
        say(prefix + update.dongle.devicePath + shown(update.dongle) +
            (updated ? " Update successful!" : " " + update.reason + " Update Failed." + retry));
        return;
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - update.began).count();
    nlohmann::ordered_json record = described("result", update.dongle);
    record["result"] = updated ? "updated" : update.opened ? "failed" : "skipped";
    record["reason"] = updated ? nlohmann::ordered_json() : nlohmann::ordered_json(update.reason);
    record["seconds"] = std::round(seconds * 1000) / 1000;
    record["time"] = utcNow();
    record["firmware"] = std::string(CAN_bin_sha256);
    print(record);
}

// How a child that did not say why it failed ended.
std::string endOf(int status)
{
    if (WIFSIGNALED(status)) {
        return "Stopped by signal " + std::to_string(WTERMSIG(status)) + " (" +
               strsignal(WTERMSIG(status)) + ").";
    }
    return "Ended with status " + std::to_string(WEXITSTATUS(status)) + ", saying no more.";
}

// The updates running at once, begun one by one, each heard through its
// pipe; on a terminal one line above them tells how they go.
class Station
{
  public:
    explicit Station(bool watching) : watching(watching)
    {
        // A poll is never resumed after a signal: a stop wakes the parent.
        // What nohup or a script's `&` ignores stays ignored.
        for (int signal : stopSignals) {
            if (std::signal(signal, askStop) == SIG_IGN && signal != SIGTERM) {
                std::signal(signal, SIG_IGN);
            }
        }
        std::signal(SIGCHLD, SIG_DFL); // ignored, it would leave no child to wait for
    }

    // Begins the dongle's update, or says why it cannot.
    void begin(const Sighting &dongle, const DongleChoice &choice = {})
    {
        ++found;
        updates.emplace_back().dongle = dongle;
        single = choice;
        if (!stopping && start(&updates, choice)) {
            return;
        }
        clearLine();
        updates.back().reason = stopping       ? untouched
                                : dongle.onUsb ? std::string(std::strerror(errno)) + "."
                                               : "No USB port path to follow it by.";
        tellEnd(updates.back());
    }

    bool running(const DongleUpdate &update) const
    {
        return update.records >= 0;
    }

    bool idle() const
    {
        return std::none_of(updates.begin(), updates.end(),
                            [this](const DongleUpdate &update) { return running(update); });
    }

    // Waits a while for records, a child's end or a stop.
    void await(int ms)
    {
        std::vector<pollfd> records;
        records.reserve(updates.size());
        for (const DongleUpdate &update : updates) {
            records.push_back({update.records, POLLIN, 0});
        }
        poll(records.data(), records.size(), ms);
        clearLine();
        if (stopAsked != 0 && (!stopping || firmStops > firmStopsSeen)) {
            stop(stopping); // a firm stop while stopping ends them at once
            stopping = true;
            firmStopsSeen = firmStops; // on the first, those before the "Stopping:" line
        }
        int percents = 0;
        int runningNow = 0;
        for (std::size_t i = 0; i < updates.size(); ++i) {
            if (running(updates[i]) && records[i].revents != 0) {
                listen(&updates[i]);
            }
            runningNow += running(updates[i]) ? 1 : 0;
            percents += running(updates[i]) ? updates[i].percent : 100;
        }
        drawn = onTerminal && (watching || runningNow > 0);
        if (onTerminal && watching) {
            std::cout << prefix << "Watching: " << updated << " updated, " << failed << " failed, "
                      << runningNow << " running" << std::flush;
        } else if (drawn) {
            printProgress(std::min(0.99, percents / (100.0 * static_cast<double>(updates.size()))));
        }
    }

    // A line goes below the status line or the progress bar, never onto it.
    void clearLine()
    {
        std::cout << (drawn ? "\r" + std::string(76, ' ') + "\r" : "") << std::flush;
        drawn = false;
    }

    // Waits for every update to end: the count and the verdict's ground.
    Tally drain()
    {
        while (!idle()) {
            await(200);
        }
        return {updated, found};
    }

    Tally finish(const DongleChoice &choice)
    {
        const Tally tally = drain();
        clearLine();
        say(prefix + (found == 0 ? nothingFits(choice)
                                 : std::to_string(updated) + " of " + std::to_string(found) +
                                       (found == 1 ? " dongle" : " dongles") + " updated."));
        return tally;
    }

    std::vector<DongleUpdate> updates;
    bool stopping = false;

  private:
    // Takes in the records that came; once the child's pipe closes, the
    // update is over: says how it went and counts it.
    void listen(DongleUpdate *update)
    {
        if (readRecords(update)) {
            return;
        }
        reap(update);
        if (update->dongle.devicePath.empty()) { // a single update that opened no port
            say(update->noDongle ? prefix + nothingFits(single) : update->reason);
            --found;
        } else {
            // A station does not try a dongle again while it stays.
            const bool retry = watching && update->stoppedAs.empty();
            tellEnd(*update, retry ? " Pull it out and plug it in again to retry." : "");
        }
        (update->updated ? updated : failed) += 1;
    }

    // Hears every whole record that came; false once the pipe is closed.
    static bool readRecords(DongleUpdate *update)
    {
        char chunk[512];
        ssize_t n = 0;
        while ((n = read(update->records, chunk, sizeof chunk)) > 0 || (n < 0 && errno == EINTR)) {
            update->pending.append(chunk, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
            for (std::size_t eol; (eol = update->pending.find('\n')) != std::string::npos;) {
                const auto record =
                    nlohmann::json::parse(update->pending.substr(0, eol), nullptr, false);
                update->pending.erase(0, eol + 1);
                if (!record.is_discarded()) {
                    hear(update, record.get<Event>());
                }
            }
        }
        return n < 0 && errno == EAGAIN;
    }

    // Closes the pipe and waits for the child: updated only when it said so
    // and exited 0; otherwise the reason, its own or how it ended.
    static void reap(DongleUpdate *update)
    {
        close(update->records);
        update->records = -1;
        int status = 0;
        const bool exited = waitpid(update->pid, &status, 0) == update->pid;
        update->updated =
            exited && WIFEXITED(status) && WEXITSTATUS(status) == 0 && update->updated;
        if (!update->updated && !update->stoppedAs.empty()) {
            update->reason = update->stoppedAs;
        } else if (!update->updated && update->reason.empty()) {
            update->reason = exited ? endOf(status) : "Lost track of its update.";
        }
    }

    // The first stop lets the updates that have begun end and no other begin;
    // the second ends them all at once.
    void stop(bool now)
    {
        int waitedFor = 0;
        for (DongleUpdate &update : updates) {
            if (running(update)) {
                listen(&update);
            }
            if (!running(update)) {
                continue;
            }
            if (!now && update.opened) {
                ++waitedFor;
                continue;
            }
            update.stoppedAs = !update.opened ? untouched
                               : update.switched || update.dongle.identifier == bootloaderIdentifier
                                   ? "Stopped during its update: it waits in its bootloader, and "
                                     "the next run updates it."
                                   : "Stopped before its switch: the next run updates it.";
            kill(update.pid, SIGKILL);
        }
        if (!now && waitedFor > 0) {
            say(prefix + "Stopping: waiting for " + std::to_string(waitedFor) + " running update" +
                (waitedFor == 1 ? "" : "s") + " to end; Ctrl-C again stops " +
                (waitedFor == 1 ? "it" : "them") + " at once.");
        }
    }

    bool watching;
    bool onTerminal = isatty(STDOUT_FILENO) != 0 && !jsonLines;
    int found = 0;
    int updated = 0;
    int failed = 0;
    int firmStopsSeen = 0;
    bool drawn = false;  // the status line or the progress bar is on the screen
    DongleChoice single; // a single update's
};

// A dongle is one plug at a USB port path: an enumeration, which the kernel
// numbers, ended too by any look that finds the path empty. Its bootloader
// while its update runs is the same dongle, and so, after a successful update,
// are its returns for a minute, until its application is back as it was before
// the switch. Any other plug is a new dongle, judged once the update there has
// ended. A new one must stay to settle (udev, its firmware's start) before its
// update begins: while a port comes or goes, sysfs may show it for a moment
// without its USB device.
struct Place {
    static constexpr auto settling = std::chrono::milliseconds(400);
    static constexpr auto returnWindow = std::chrono::seconds(60);

    std::string plug; // seen at the last look; empty: none
    Clock::time_point arrived;
    std::set<std::string> known;   // plugs that are not a new dongle
    std::size_t update = SIZE_MAX; // the last update here, in the station's list
    bool ended = true;             // and its end was taken in
    Clock::time_point backBy;      // its returns end then; none due: the epoch
    std::string appSerial;         // its application's before the switch
    bool anyApp = false;           // begun in its bootloader: any application is its own
    // Plugs seen while the update ran: the one it began on and its
    // bootloaders, and the applications (whether each is the dongle's own)
    // in the order they came.
    std::set<std::string> before;
    std::vector<std::pair<std::string, bool>> applications;

    // Whether the dongle seen here now (or none) is a new one, due for its update.
    bool due(const Sighting *seen, const DongleUpdate *last, bool running, Clock::time_point now)
    {
        const std::string here = seen == nullptr ? ""
                                 : seen->onUsb   ? seen->enumeration
                                                 : seen->devicePath;
        const bool again = here == plug;
        if (!again) {
            plug = here;
            arrived = now;
            known = plug.empty() ? std::set<std::string>() : known;
        }
        if (running && !plug.empty()) {
            seenWhileRunning(*seen, again);
        }
        if (!running && !ended) {
            ended = true;
            endReturns(last->updated, now);
        }
        if (plug.empty() || running || known.count(plug) != 0) {
            return false;
        }
        if (returning(*seen)) {
            known.insert(plug);
            return false;
        }
        return now - arrived >= settling;
    }

    // Its bootloader is its dongle's. An application counts once two looks
    // in a row saw it: a look while a port goes may mix the files of two
    // plugs, or miss some.
    void seenWhileRunning(const Sighting &seen, bool again)
    {
        const bool listed = std::any_of(applications.begin(), applications.end(),
                                        [this](const auto &app) { return app.first == plug; });
        if (seen.identifier == bootloaderIdentifier) {
            known.insert(plug);
            before.insert(plug);
        } else if (seen.identifier == applicationIdentifier && again && !listed) {
            applications.emplace_back(plug, anyApp || seen.serialNumber == appSerial);
        }
    }

    // Its application may be back before the update's end is taken in (on a
    // busy machine): the first that came is its return, if it succeeded, as
    // returning() would judge it then.
    void endReturns(bool updated, Clock::time_point now)
    {
        const auto back =
            std::find_if(applications.begin(), applications.end(),
                         [this](const auto &app) { return before.count(app.first) == 0; });
        backBy = updated && back == applications.end() ? now + returnWindow : Clock::time_point();
        if (updated && back != applications.end() && back->second && back->first == plug) {
            known.insert(plug);
        }
    }

    // While its returns are due, a plug is the dongle's own, but for an
    // application with another serial number; an application ends them.
    bool returning(const Sighting &seen)
    {
        if (backBy == Clock::time_point() || seen.identifier != applicationIdentifier) {
            return backBy != Clock::time_point();
        }
        backBy = {};
        return anyApp || seen.serialNumber == appSerial;
    }

    void begin(std::size_t index, const Sighting &seen)
    {
        known = {plug};
        update = index;
        ended = false;
        backBy = {};
        anyApp = seen.identifier == bootloaderIdentifier;
        appSerial = seen.serialNumber;
        before = {plug};
        applications.clear();
    }

    // Once, when its returns ended without its application.
    bool overdue(Clock::time_point now)
    {
        const bool late = backBy != Clock::time_point() && now >= backBy;
        backBy = late ? Clock::time_point() : backBy;
        return late;
    }
};

} // namespace

int summary(int status, const nlohmann::ordered_json &fields)
{
    if (jsonLines) {
        nlohmann::ordered_json record = {
            {"type", "summary"}, {"schema", 1}, {"success", status == 0}};
        record.update(fields);
        print(record);
    }
    return status;
}

int listDongles(const DongleChoice &choice)
{
    const std::vector<Sighting> dongles = donglesFitting(choice);
    for (const Sighting &seen : dongles) {
        const char *mode = seen.identifier == applicationIdentifier ? "application" : "bootloader";
        const std::vector<Holder> holders = holdersOf(seen.devicePath);
        if (jsonLines) {
            nlohmann::ordered_json record = described("dongle", seen);
            record["mode"] = mode;
            for (const Holder &holder : holders) {
                record["heldBy"].push_back({{"command", holder.command}, {"pid", holder.pid}});
            }
            print(record);
        } else {
            std::cout << seen.devicePath << " " << mode << shown(seen)
                      << (holders.empty() ? "" : " held by " + named(holders)) << "\n";
        }
    }
    if (dongles.empty()) {
        say(nothingFits(choice));
    }
    std::cout << std::flush;
    return static_cast<int>(dongles.size());
}

Tally updateForScripts(const DongleChoice &choice)
{
    Station station(false);
    station.begin({}, choice);
    return station.drain();
}

Tally updateAll(const DongleChoice &choice)
{
    Station station(false);
    // An update polls its port between replies: begun all at once, dozens
    // would poll together and leave no processor to the serial workers that
    // carry their replies. So they begin a little apart.
    for (const Sighting &dongle : donglesFitting(choice)) {
        station.begin(dongle);
        usleep(launchSpacingUs);
        station.await(0);
    }
    return station.finish(choice);
}

Tally watch(const DongleChoice &choice)
{
    patientUpdates = true;
    say(prefix + "Watching for " +
        (choice.empty() ? "every dongle" : "the dongles that " + choice.asGiven + " fits") +
        " to update each once; Ctrl-C stops.");
    Station station(true);
    std::map<std::string, Place> places; // by USB port path, or by port without one
    while (!station.stopping || !station.idle()) {
        std::map<std::string, Sighting> seen;
        for (const Sighting &dongle :
             station.stopping ? std::vector<Sighting>() : donglesFitting(choice)) {
            seen[dongle.onUsb ? dongle.usbPath : dongle.devicePath] = dongle;
            places[dongle.onUsb ? dongle.usbPath : dongle.devicePath];
        }
        const auto now = Clock::now();
        for (auto &[path, place] : places) {
            const auto here = seen.find(path);
            const DongleUpdate *last =
                place.update < station.updates.size() ? &station.updates[place.update] : nullptr;
            if (place.due(here == seen.end() ? nullptr : &here->second, last,
                          last != nullptr && station.running(*last), now)) {
                place.begin(station.updates.size(), here->second);
                station.begin(here->second);
            } else if (place.overdue(now) && !station.stopping) {
                station.clearLine();
                say(prefix + last->dongle.devicePath + shown(last->dongle) +
                    " Updated, but its application has not come back within 60 s.");
            }
        }
        station.await(200);
    }
    return station.finish(choice);
}

} // namespace zel
