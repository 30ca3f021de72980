#include "station.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <set>
#include <vector>

#include "uploader.h"

namespace zel
{

namespace
{

// One dongle's update: a child process runs a single update of it, named by
// its USB port path, and sends the uploader's records up a pipe, a line each,
// and last "end updated" or "end failed REASON".
struct DongleUpdate {
    Sighting dongle;
    pid_t pid = -1;
    int records = -1; // the pipe's read end
    std::string pending;
    bool opened = false;   // it has opened a port of its dongle
    bool switched = false; // it has sent the enter command
    int percent = 0;
    bool updated = false;
    std::string reason;
    std::string stoppedAs; // why the parent stopped it, if it did
};

// Ctrl-C, a closed terminal and a service manager's stop all ask the same.
volatile std::sig_atomic_t stopsAsked = 0;

void askStop(int /*signal*/)
{
    stopsAsked = stopsAsked + 1;
}

constexpr int stopSignals[] = {SIGINT, SIGTERM, SIGHUP};

// Without SA_RESTART: a stop wakes the parent from its poll.
void catchStops()
{
    struct sigaction action = {};
    action.sa_handler = askStop;
    sigemptyset(&action.sa_mask);
    for (int signal : stopSignals) {
        sigaction(signal, &action, nullptr);
    }
}

// The pipe does not block: with no one left to read it, a record is dropped
// rather than the update held up.
void send(int fd, const std::string &record)
{
    const std::string line = record + "\n";
    const ssize_t ignored = write(fd, line.data(), line.size());
    static_cast<void>(ignored);
}

// Keeps nothing of the parent's but its own pipe's write end, which closes
// when `setserial` runs; prints nothing: the parent says how it went. The
// stop signals reach a whole process group: only the parent stops children.
[[noreturn]] void runUpdate(const Sighting &dongle, int recordFd,
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
    uploader.chooseDongle({dongle.usbPath, "", "", "--path " + dongle.usbPath});
    uploader.reportTo([recordFd](const std::string &record) { send(recordFd, record); });
    const bool updated = uploader.perform();
    send(recordFd, updated ? "end updated" : "end failed " + uploader.failureReason());
    _exit(updated ? 0 : 1);
}

bool start(std::vector<DongleUpdate> *updates)
{
    DongleUpdate &update = updates->back();
    int ends[2];
    if (!update.dongle.onUsb || pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) {
        return false;
    }
    std::cout << std::flush;
    update.pid = fork();
    if (update.pid == 0) {
        close(ends[0]);
        runUpdate(update.dongle, ends[1], *updates);
    }
    close(ends[1]);
    if (update.pid < 0) {
        close(ends[0]);
        return false;
    }
    update.records = ends[0];
    return true;
}

void hear(DongleUpdate *update, const std::string &record)
{
    update->opened = update->opened || record == "opened";
    update->switched = update->switched || record == "switched";
    if (record.rfind("progress ", 0) == 0) {
        update->percent = std::atoi(record.c_str() + 9);
    } else if (record == "end updated") {
        update->updated = true;
    } else if (record.rfind("end failed ", 0) == 0) {
        update->reason = record.substr(11);
    }
}

std::string endLine(const Sighting &dongle, bool updated, const std::string &reason)
{
    return "[TORVEX] " + dongle.devicePath + (dongle.onUsb ? " path=" + dongle.usbPath : "") +
           (dongle.serialNumber.empty() ? "" : " serial=" + printable(dongle.serialNumber)) +
           (updated ? " Update successful!" : " " + reason + " Update Failed.");
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
        catchStops();
    }

    // Begins the dongle's update, or says why it cannot.
    void begin(const Sighting &dongle)
    {
        ++found;
        updates.emplace_back();
        updates.back().dongle = dongle;
        if (start(&updates)) {
            return;
        }
        std::cout << endLine(dongle, false,
                             dongle.onUsb ? std::string(std::strerror(errno)) + "."
                                          : "No USB port path to follow it by.")
                  << std::endl;
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
        std::cout << (onTerminal ? "\r" + std::string(76, ' ') + "\r" : "");
        if (stopsAsked > stopsSeen) {
            stopsSeen = stopsAsked;
            stopping = true;
            stop();
        }
        int percents = 0;
        int runningNow = 0;
        for (std::size_t i = 0; i < updates.size(); ++i) {
            const bool open =
                running(updates[i]) && (records[i].revents == 0 || !ended(&updates[i]));
            runningNow += open ? 1 : 0;
            percents += open ? updates[i].percent : 100;
        }
        if (onTerminal && watching) {
            std::cout << "[TORVEX] Watching: " << updated << " updated, " << failed << " failed, "
                      << runningNow << " running" << std::flush;
        } else if (onTerminal && runningNow > 0) {
            printProgress(std::min(0.99, percents / (100.0 * static_cast<double>(updates.size()))));
        }
    }

    // The count and the verdict's ground: at least one dongle, all updated.
    bool finish(const DongleChoice &choice)
    {
        if (found == 0) {
            std::cout << "[TORVEX] " << nothingFits(choice) << std::endl;
            return false;
        }
        std::cout << "[TORVEX] " << updated << " of " << found
                  << (found == 1 ? " dongle" : " dongles") << " updated." << std::endl;
        return updated == found;
    }

    std::vector<DongleUpdate> updates;
    bool stopping = false;

  private:
    // Reads every record that came; at the child's end, prints how it went.
    bool ended(DongleUpdate *update)
    {
        char chunk[512];
        ssize_t n = 0;
        while ((n = read(update->records, chunk, sizeof chunk)) > 0 || (n < 0 && errno == EINTR)) {
            update->pending.append(chunk, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
            for (std::size_t eol; (eol = update->pending.find('\n')) != std::string::npos;) {
                hear(update, update->pending.substr(0, eol));
                update->pending.erase(0, eol + 1);
            }
        }
        if (n < 0 && errno == EAGAIN) {
            return false;
        }
        close(update->records);
        update->records = -1;
        int status = 0;
        const bool exited = waitpid(update->pid, &status, 0) == update->pid;
        const bool ok = exited && WIFEXITED(status) && WEXITSTATUS(status) == 0 && update->updated;
        if (!ok && !update->stoppedAs.empty()) {
            update->reason = update->stoppedAs;
        } else if (!ok && update->reason.empty()) {
            update->reason = exited ? endOf(status) : "Lost track of its update.";
        }
        // A station does not try a dongle again while it stays.
        std::cout << endLine(update->dongle, ok, update->reason)
                  << (watching && !ok ? " Pull it out and plug it in again to retry." : "")
                  << std::endl;
        (ok ? updated : failed) += 1;
        return true;
    }

    // The first stop lets the updates that have begun end and no other begin;
    // the second ends them all at once.
    void stop()
    {
        int waitedFor = 0;
        for (DongleUpdate &update : updates) {
            if (!running(update) || ended(&update)) {
                continue;
            }
            if (stopsSeen == 1 && update.opened) {
                ++waitedFor;
                continue;
            }
            update.stoppedAs = !update.opened ? "Left untouched: stopped before its update began."
                               : update.switched
                                   ? "Stopped during its update: it waits in its bootloader, and "
                                     "the next run updates it."
                                   : "Stopped before its switch: the next run updates it.";
            kill(update.pid, SIGKILL);
        }
        if (stopsSeen == 1 && waitedFor > 0) {
            std::cout << "[TORVEX] Stopping: waiting for " << waitedFor << " running update"
                      << (waitedFor == 1 ? "" : "s") << " to end; Ctrl-C again stops "
                      << (waitedFor == 1 ? "it" : "them") << " at once." << std::endl;
        }
    }

    bool watching;
    bool onTerminal = isatty(STDOUT_FILENO) != 0;
    int found = 0;
    int updated = 0;
    int failed = 0;
    int stopsSeen = 0;
};

// A dongle at a USB port path is the one seen there before, unless it was
// away long enough to have been unplugged, or its serial number in the same
// mode tells it is another. Its own switch, and its application coming back
// after an update, keep it the same dongle. A new one is left to settle
// (udev, its firmware's start) before its update begins.
struct Place {
    using Clock = std::chrono::steady_clock;
    static constexpr auto awayLimit = std::chrono::seconds(3);
    static constexpr auto settling = std::chrono::milliseconds(400);

    Clock::time_point lastSeen;
    Clock::time_point arrived;                  // of a new dongle that has not settled yet
    std::map<std::string, std::string> serials; // by identifier
    std::size_t update = SIZE_MAX;              // its last update, in the station's list
    bool updating = false;

    // Whether the dongle seen here now is a new one, due for its update.
    bool due(const Sighting &seen, Clock::time_point now)
    {
        const bool away = now - lastSeen >= awayLimit && !updating;
        const auto serial = serials.find(seen.identifier);
        if (away || (serial != serials.end() && serial->second != seen.serialNumber)) {
            serials.clear();
            arrived = now;
        }
        serials[seen.identifier] = seen.serialNumber;
        lastSeen = now;
        return arrived != Clock::time_point() && now - arrived >= settling;
    }
};

} // namespace

bool updateAll(const DongleChoice &choice)
{
    Station station(false);
    for (const Sighting &dongle : donglesFitting(choice)) {
        station.begin(dongle);
    }
    while (!station.idle()) {
        station.await(200);
    }
    return station.finish(choice);
}

bool watch(const DongleChoice &choice)
{
    std::cout << "[TORVEX] Watching for "
              << (choice.empty() ? "every dongle" : "the dongles that " + choice.asGiven + " fits")
              << " to update each once; Ctrl-C stops." << std::endl;
    Station station(true);
    std::map<std::string, Place> places;
    std::set<std::string> unfollowable;
    while (!station.stopping || !station.idle()) {
        const auto now = Place::Clock::now();
        for (auto &[path, place] : places) {
            place.updating = place.update < station.updates.size() &&
                             station.running(station.updates[place.update]);
            place.lastSeen = place.updating ? now : place.lastSeen;
        }
        for (const Sighting &seen :
             station.stopping ? std::vector<Sighting>() : donglesFitting(choice)) {
            if (!seen.onUsb) {
                if (unfollowable.insert(seen.devicePath).second) {
                    station.begin(seen);
                }
            } else if (Place &place = places[seen.usbPath]; place.due(seen, now)) {
                place.arrived = {};
                place.update = station.updates.size();
                station.begin(seen);
            }
        }
        station.await(200);
    }
    return station.finish(choice);
}

} // namespace zel
