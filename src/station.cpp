#include "station.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>
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
    update.records = ends[0];
    if (update.pid < 0) {
        close(ends[0]);
    }
    return update.pid > 0;
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

// Reads every record that came; at the child's end, prints how it went.
bool ended(DongleUpdate *update, int *updated)
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
    std::cout << endLine(update->dongle, ok, update->reason) << std::endl;
    *updated += ok ? 1 : 0;
    return true;
}

// The first stop lets the updates that have begun end and no other begin;
// the second ends them all at once.
void stop(std::vector<DongleUpdate> *updates, int stops, int *updated)
{
    int waitedFor = 0;
    for (DongleUpdate &update : *updates) {
        if (update.records < 0 || ended(&update, updated)) {
            continue;
        }
        if (stops == 1 && update.opened) {
            ++waitedFor;
            continue;
        }
        update.stoppedAs = !update.opened ? "Left untouched: stopped before its update began."
                           : update.switched
                               ? "Stopped during its update: it waits in its bootloader, and the "
                                 "next run updates it."
                               : "Stopped before its switch: the next run updates it.";
        kill(update.pid, SIGKILL);
    }
    if (stops == 1 && waitedFor > 0) {
        std::cout << "[TORVEX] Stopping: waiting for " << waitedFor << " running update"
                  << (waitedFor == 1 ? "" : "s") << " to end; Ctrl-C again stops "
                  << (waitedFor == 1 ? "it" : "them") << " at once." << std::endl;
    }
}

} // namespace

bool updateAll(const DongleChoice &choice)
{
    catchStops();
    const std::vector<Sighting> dongles = donglesFitting(choice);
    std::vector<DongleUpdate> updates;
    int updated = 0;
    for (const Sighting &dongle : dongles) {
        updates.emplace_back();
        updates.back().dongle = dongle;
        if (!start(&updates)) {
            updates.pop_back();
            std::cout << endLine(dongle, false,
                                 dongle.onUsb ? std::string(std::strerror(errno)) + "."
                                              : "No USB port path to follow it by.")
                      << std::endl;
        }
    }
    if (dongles.empty()) {
        std::cout << "[TORVEX] " << nothingFits(choice) << std::endl;
        return false;
    }
    // One progress line for all, redrawn in place on a terminal only; the
    // line of a dongle that ends takes its place.
    const bool onTerminal = isatty(STDOUT_FILENO) != 0;
    int stopsSeen = 0;
    for (std::size_t running = updates.size(); running > 0;) {
        std::vector<pollfd> records;
        records.reserve(updates.size());
        for (const DongleUpdate &update : updates) {
            records.push_back({update.records, POLLIN, 0});
        }
        // Bounded: a stop that lands just before the poll is seen soon all the same.
        poll(records.data(), records.size(), 200);
        std::cout << (onTerminal ? "\r" + std::string(76, ' ') + "\r" : "");
        if (stopsAsked > stopsSeen) {
            stopsSeen = stopsAsked;
            stop(&updates, stopsSeen, &updated);
        }
        int percents = 0;
        running = 0;
        for (std::size_t i = 0; i < updates.size(); ++i) {
            const bool open = updates[i].records >= 0 &&
                              (records[i].revents == 0 || !ended(&updates[i], &updated));
            running += open ? 1 : 0;
            percents += open ? updates[i].percent : 100;
        }
        if (onTerminal && running > 0) {
            printProgress(std::min(0.99, percents / (100.0 * static_cast<double>(updates.size()))));
        }
    }
    std::cout << "[TORVEX] " << updated << " of " << dongles.size()
              << (dongles.size() == 1 ? " dongle" : " dongles") << " updated." << std::endl;
    return updated == static_cast<int>(dongles.size());
}

} // namespace zel
