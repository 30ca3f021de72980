// Runs one run: its dongles on their bus (and other devices' ports before
// them), its flashers started together, and what each did gathered for the
// judge. The bus, dongles and sysfs are put together in setUp alone.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <future>
#include <iomanip>
#include <iostream>
#include <memory>
#include <sstream>
#include <thread>

#include "judge.h"
#include "sim/stage.h"

namespace soak
{

namespace
{

namespace fs = std::filesystem;

bool noHostPorts()
{
    std::error_code error;
    const fs::directory_iterator ports("/sys/class/tty", error);
    return std::none_of(begin(ports), end(ports), [](const fs::directory_entry &port) {
        return port.path().filename().string().rfind("ttyACM", 0) == 0;
    });
}

// A gadget's pull is timed from when the host has its port.
std::string gadgetUp(sim::Stage &stage)
{
    if (!sim::waitUntil([&stage] { return !stage.dongle(0).hostPort().empty(); }, 3000)) {
        return "the gadget did not come up on the host: " + stage.busError(0);
    }
    stage.dongle(0).armPull();
    return {};
}

std::string portLinks(const Run &s, const sim::Stage &stage)
{
    for (std::size_t d = 0; d < s.dongles.size(); ++d) {
        const std::string port = "/dev/ttyACM" + std::to_string(s.dongles[d].number);
        if (s.dongles[d].options.pull.atMs != 0 && stage.dongle(d).hostPort() != port) {
            return "dongle on " + stage.dongle(d).hostPort() + ", not on " + port + " as drawn";
        }
    }
    return stage.linkByPath() ? "" : "cannot make /dev/serial/by-path links";
}

// The dongles on their bus: pseudo-terminals in a device tree of the run's
// own, with other devices' ports first and the links udev makes under
// /dev/serial/by-path; or one USB gadget under the kernel's cdc_acm, on a
// bus with no port left from the run before, so that its ports get the
// numbers a dongle plugged into an idle machine gets. Empty, or the reason
// it could not be.
std::string setUp(const Run &s, const RunSetup &setup, std::unique_ptr<sim::Stage> *made)
{
    const bool real = setup.bus == BusKind::Gadget;
    std::string why;
    if (real ? !sim::waitUntil(noHostPorts, 3000) : !sim::enterSandbox(&why)) {
        return real ? "a ttyACM port from an earlier run is still there" : why;
    }
    if (real && s.dongles.size() != 1) {
        return "one dongle only on a real bus";
    }
    *made = real ? std::make_unique<sim::Stage>("torvex-soak", std::vector{setup.udc})
                 : std::make_unique<sim::Stage>();
    sim::Stage &stage = **made;
    for (std::size_t i = 0; stage.ok() && i < s.foreignPorts.size(); ++i) {
        if (!stage.tree().addForeignPort(
                s.foreignPorts[i], s.foreignInSysfs[i] ? sim::FakeDeviceTree::otherModalias : "")) {
            return "cannot add foreign ports";
        }
    }
    std::vector<sim::Seat> seats;
    for (const DongleDraw &d : s.dongles) {
        seats.push_back({d.options, d.place});
    }
    // Those drawn to plug in later come first, and leave before the others
    // come, which then take the port numbers drawn for them.
    if (!stage.ok() || !(real ? stage.plugIn(seats) : stage.plugInTimed(seats))) {
        return stage.error();
    }
    return real ? gadgetUp(stage) : portLinks(s, stage);
}

// Another program on a dongle's port, as drawn: it opens the port without a
// lock and reads what comes, as `cat` does, until its time is up or `over`.
Hold holdPort(const HolderDraw &draw, const sim::Dongle *dongle, const std::atomic<bool> &over,
              std::atomic<bool> *tried)
{
    const Clock::time_point due = Clock::now() + std::chrono::milliseconds(draw.atMs);
    sim::waitUntil([&] { return over || Clock::now() >= due; }, draw.atMs + 1000);
    const std::string port = dongle->hostPort();
    std::error_code error;
    Hold hold{draw.dongle, port, fs::read_symlink(port, error).string(), {}, {}};
    const int fd =
        port.empty() || over ? -1 : open(port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    hold.from = Clock::now();
    *tried = true;
    for (pollfd in{fd, POLLIN, 0};
         fd >= 0 && !over && Clock::now() < hold.from + std::chrono::milliseconds(draw.forMs);) {
        char bytes[512];
        if (poll(&in, 1, 10) > 0 && read(fd, bytes, sizeof bytes) <= 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10)); // hung up
        }
    }
    hold.to = Clock::now();
    hold.dongle = fd >= 0 && close(fd) == 0 ? hold.dongle : -1;
    return hold;
}

// The stand-in logs wall-clock time: where the wall clock's epoch lies on the
// steady clock, from both read at one instant (a pause between the readings
// would shift every open against the frames).
Clock::time_point wallEpoch()
{
    for (;;) {
        const Clock::time_point before = Clock::now();
        const auto wall = std::chrono::system_clock::now().time_since_epoch();
        const Clock::duration took = Clock::now() - before;
        if (took < std::chrono::microseconds(200)) {
            return before + took / 2 - std::chrono::duration_cast<Clock::duration>(wall);
        }
    }
}

// The setserial stand-in logs each flasher's calls (when, by whom, which
// port) on pseudo-terminals, and on a real bus runs the real one, its
// complaints kept apart.
harness::ChildOptions flasherOptions(const FlasherDraw &f, const RunSetup &setup,
                                     const std::string &log)
{
    harness::ChildOptions options;
    options.argv = f.arguments();
    options.argv.insert(options.argv.begin(), setup.program);
    options.env = {
        harness::pathWith(setup.setserialDir),
        (setup.bus == BusKind::Gadget ? "TORVEX_SETSERIAL_ERR=" : "TORVEX_SETSERIAL_LOG=") + log};
    options.limit = std::chrono::seconds(setup.limitSeconds);
    options.closeStdoutAfter = f.closeStdoutAfter;
    for (const int ms : f.ctrlCMs) {
        options.interrupts.emplace_back(ms);
    }
    return options;
}

// The ports the flasher opened, as the stand-in logged its calls.
std::vector<Open> opensLogged(const std::string &log, Clock::time_point epoch)
{
    std::vector<Open> opens;
    std::ifstream calls(log);
    for (std::string line; std::getline(calls, line);) {
        std::istringstream fields(line);
        long double seconds = 0;
        Open open;
        std::string rest;
        if (fields >> seconds >> open.pid >> open.pts >> open.port && std::getline(fields, rest) &&
            rest == " low_latency") {
            open.at = epoch + std::chrono::microseconds(static_cast<long long>(seconds * 1e6L));
            opens.push_back(open);
        }
    }
    return opens;
}

void runFlashers(const Run &s, const RunSetup &setup, Seen *seen)
{
    const std::string log = setup.setserialDir + "/log." + std::to_string(getpid()) + ".";
    const Clock::time_point epoch = wallEpoch();
    std::vector<std::future<harness::ChildResult>> running;
    for (std::size_t f = 0; f < s.flashers.size(); ++f) {
        running.push_back(
            std::async(std::launch::async, harness::runChild,
                       flasherOptions(s.flashers[f], setup, log + std::to_string(f))));
    }
    seen->flashers.resize(s.flashers.size());
    seen->opensLogged = setup.bus != BusKind::Gadget;
    for (std::size_t f = 0; f < running.size(); ++f) {
        FlasherSeen &flasher = seen->flashers[f];
        flasher.result = running[f].get();
        if (seen->opensLogged) {
            flasher.opens = opensLogged(log + std::to_string(f), epoch);
        } else {
            std::ifstream complaints(log + std::to_string(f));
            std::getline(complaints, flasher.setserialErr, '\0');
        }
        fs::remove(log + std::to_string(f));
    }
}

// For --replay: what each flasher printed and opened, and each dongle's
// stays and frames (its reply's first bytes, the time in ms).
void show(const Seen &seen)
{
    for (std::size_t f = 0; f < seen.flashers.size(); ++f) {
        const FlasherSeen &fl = seen.flashers[f];
        std::cout << "--- flasher " << f + 1 << ": status " << fl.result.status << "\n"
                  << fl.result.out << fl.result.err;
        for (const Open &open : fl.opens) {
            std::cout << "    opened " << open.port << " (" << open.pts << ") in " << open.pid
                      << "\n";
        }
    }
    const auto head = [](const std::vector<uint8_t> &bytes, std::size_t n) {
        return sim::toHex({bytes.begin(), bytes.begin() + std::min(n, bytes.size())});
    };
    const auto ms = [](Clock::time_point at) {
        return std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch())
                   .count() %
               100000;
    };
    if (seen.hold.dongle >= 0) {
        std::cout << "--- another program held " << seen.hold.port << " (" << seen.hold.pts
                  << ") from " << ms(seen.hold.from) << " to " << ms(seen.hold.to) << "\n";
    }
    for (std::size_t d = 0; d < seen.dongles.size(); ++d) {
        const DongleSeen &dongle = seen.dongles[d];
        std::cout << "--- dongle " << d + 1 << (dongle.updated ? ", updated" : ", not updated")
                  << "; on";
        for (const Plug &plug : dongle.plugs) {
            std::cout << " " << plug.port << (plug.mode == sim::Mode::Application ? " (app)" : "");
        }
        if (dongle.pull.happened) {
            std::cout << "; pulled after " << dongle.pull.framesBefore << " frames ("
                      << dongle.pull.phase << ")";
        }
        std::cout << "\n";
        for (const auto &frame : dongle.frames) {
            std::cout << std::setw(4) << frame.index << " " << head(frame.bytes, 1) << " len "
                      << std::setw(4) << frame.bytes.size() << " " << frame.fault << " -> "
                      << head(frame.reply, 8) << " at " << ms(frame.received) << "\n";
        }
    }
}

} // namespace

Outcome runOnce(const Run &run, const RunSetup &setup)
{
    std::unique_ptr<sim::Stage> stage;
    const std::string why = setUp(run, setup, &stage);
    if (!why.empty()) {
        return rigFailure(why);
    }
    Seen seen;
    // One drawn for the flashers' start has the port before they start.
    std::atomic<bool> over{false};
    std::atomic<bool> tried{false};
    std::future<Hold> holder;
    if (run.holder.dongle >= 0) {
        sim::Dongle *const held = &stage->dongle(static_cast<std::size_t>(run.holder.dongle));
        holder =
            std::async(std::launch::async, holdPort, run.holder, held, std::cref(over), &tried);
        sim::waitUntil([&] { return run.holder.atMs > 0 || tried; }, 3000);
    }
    runFlashers(run, setup, &seen);
    over = true;
    seen.hold = holder.valid() ? holder.get() : Hold{};
    for (std::size_t d = 0; d < run.dongles.size(); ++d) {
        sim::Dongle &dongle = stage->dongle(d);
        dongle.stop();
        DongleSeen &dongleSeen = seen.dongles.emplace_back();
        dongleSeen.frames = dongle.frames();
        dongleSeen.updated = dongle.flash() == setup.image;
        dongleSeen.pull = dongle.pullRecord();
        dongleSeen.disconnected = dongle.disconnectedAt(&dongleSeen.disconnectedAt);
        dongleSeen.plugs = dongle.plugs();
    }
    if (setup.show) {
        show(seen);
    }
    return judge(run, seen);
}

} // namespace soak
