// Runs one run: its dongles on their bus (and other devices' ports before
// them), its flashers started together, and what each did gathered for the
// judge. The bus, dongles and sysfs are put together in Stage alone.
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
#include <mutex>
#include <thread>

#include "judge.h"
#include "sim/gadgetBus.h"
#include "sim/stage.h"

namespace soak
{

namespace
{

namespace fs = std::filesystem;

// A bus that keeps a log of the dongle's stays.
class TracedBus : public sim::Bus
{
  public:
    explicit TracedBus(std::unique_ptr<sim::Bus> bus) : bus_(std::move(bus)) {}

    int plugIn(sim::Mode mode) override
    {
        const Clock::time_point on = Clock::now();
        const int fd = bus_->plugIn(mode);
        std::error_code error;
        const std::string pts = fs::read_symlink(bus_->hostPort(), error).string();
        std::lock_guard<std::mutex> lock(mutex_);
        if (fd >= 0) {
            plugs_.push_back({bus_->hostPort(), pts, mode, on, Clock::now()});
        }
        return fd;
    }
    void unplug() override
    {
        const Clock::time_point off = Clock::now();
        bus_->unplug();
        std::lock_guard<std::mutex> lock(mutex_);
        if (!plugs_.empty() && plugs_.back().off == Clock::time_point::max()) {
            plugs_.back().off = off;
            plugs_.back().gone = Clock::now();
        }
    }
    std::string hostPort() const override
    {
        return bus_->hostPort();
    }
    const sim::Bus &traced() const
    {
        return *bus_;
    }
    std::vector<Plug> plugs() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return plugs_;
    }

  private:
    std::unique_ptr<sim::Bus> bus_;
    mutable std::mutex mutex_;
    std::vector<Plug> plugs_;
};

bool noHostPorts()
{
    std::error_code error;
    const fs::directory_iterator ports("/sys/class/tty", error);
    return std::none_of(begin(ports), end(ports), [](const fs::directory_entry &port) {
        return port.path().filename().string().rfind("ttyACM", 0) == 0;
    });
}

// The dongles on their bus: pseudo-terminals in a device tree of the run's
// own, with other devices' ports first and the links udev makes under
// /dev/serial/by-path; or one USB gadget under the kernel's cdc_acm, on a
// bus with no port left from the run before, so that its ports get the
// numbers a dongle plugged into an idle machine gets. Each bus is traced.
class Stage
{
  public:
    std::string build(const Run &s, const RunSetup &setup)
    {
        const bool real = setup.bus == BusKind::Gadget;
        std::string why;
        if (real ? !sim::waitUntil(noHostPorts, 3000) : !sim::enterSandbox(&why)) {
            return real ? "a ttyACM port from an earlier run is still there" : why;
        }
        if (real && s.dongles.size() != 1) {
            return "one dongle only on a real bus";
        }
        stage_ = real ? std::make_unique<sim::Stage>("torvex-soak", std::vector{setup.udc})
                      : std::make_unique<sim::Stage>();
        stage_->wrapBuses([this](std::unique_ptr<sim::Bus> bus) {
            auto traced = std::make_unique<TracedBus>(std::move(bus));
            buses.push_back(traced.get());
            return traced;
        });
        for (std::size_t i = 0; stage_->ok() && i < s.foreignPorts.size(); ++i) {
            if (!stage_->tree().addForeignPort(
                    s.foreignPorts[i],
                    s.foreignInSysfs[i] ? sim::FakeDeviceTree::otherModalias : "")) {
                return "cannot add foreign ports";
            }
        }
        std::vector<sim::Seat> seats;
        for (const DongleDraw &d : s.dongles) {
            seats.push_back({d.options, d.place});
        }
        // Those drawn to plug in later come first, and leave before the others
        // come, which then take the port numbers drawn for them.
        if (!stage_->ok() || !(real ? stage_->plugIn(seats) : stage_->plugInTimed(seats))) {
            return stage_->error();
        }
        return real ? gadgetUp() : portLinks(s);
    }

    sim::Dongle &dongle(std::size_t d) const
    {
        return stage_->dongle(d);
    }

    std::vector<TracedBus *> buses; // owned by the stage

  private:
    std::string gadgetUp()
    {
        if (!sim::waitUntil([this] { return !dongle(0).hostPort().empty(); }, 3000)) {
            return "the gadget did not come up on the host: " +
                   static_cast<const sim::GadgetBus &>(buses[0]->traced()).error();
        }
        dongle(0).armPull();
        return {};
    }

    std::string portLinks(const Run &s) const
    {
        for (std::size_t d = 0; d < s.dongles.size(); ++d) {
            const std::string port = "/dev/ttyACM" + std::to_string(s.dongles[d].number);
            if (s.dongles[d].options.pull.atMs != 0 && dongle(d).hostPort() != port) {
                return "dongle on " + dongle(d).hostPort() + ", not on " + port + " as drawn";
            }
        }
        return stage_->linkByPath() ? "" : "cannot make /dev/serial/by-path links";
    }

    std::unique_ptr<sim::Stage> stage_;
};

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

// Each flasher gets a setserial of its own: on pseudo-terminals a stand-in
// that logs each call (when, by whom, which port), on a real bus the real one
// with its complaints kept apart. All are made before any flasher starts: a
// flasher that inherited a stand-in still open for writing would make its
// exec fail, and the shell go on to the real setserial.
void runFlashers(const Run &s, const RunSetup &setup, Seen *seen)
{
    const bool real = setup.bus == BusKind::Gadget;
    std::vector<std::string> dirs;
    for (std::size_t f = 0; f < s.flashers.size(); ++f) {
        dirs.push_back(real ? setup.setserialDir : harness::makeLoggingSetserial());
    }
    const std::string errPrefix = setup.setserialDir + "/stderr." + std::to_string(getpid()) + ".";
    const Clock::time_point epoch = wallEpoch();
    std::vector<std::future<harness::ChildResult>> running;
    for (std::size_t f = 0; f < s.flashers.size(); ++f) {
        harness::ChildOptions options;
        options.argv = s.flashers[f].arguments();
        options.argv.insert(options.argv.begin(), setup.program);
        options.env = {harness::pathWith(dirs[f]),
                       "TORVEX_SETSERIAL_ERR=" + errPrefix + std::to_string(f)};
        options.limit = std::chrono::seconds(setup.limitSeconds);
        options.closeStdoutAfter = s.flashers[f].closeStdoutAfter;
        for (const int ms : s.flashers[f].ctrlCMs) {
            options.interrupts.emplace_back(ms);
        }
        running.push_back(std::async(std::launch::async, harness::runChild, options));
    }
    seen->flashers.resize(s.flashers.size());
    seen->opensLogged = !real;
    for (std::size_t f = 0; f < running.size(); ++f) {
        FlasherSeen &flasher = seen->flashers[f];
        flasher.result = running[f].get();
        std::ifstream complaints(errPrefix + std::to_string(f));
        std::getline(complaints, flasher.setserialErr, '\0');
        fs::remove(errPrefix + std::to_string(f));
        std::ifstream calls(dirs[f] + "/calls");
        long double seconds = 0;
        for (Open open; !real && calls >> seconds >> open.pid >> open.port >> open.pts;) {
            open.at = epoch + std::chrono::microseconds(static_cast<long long>(seconds * 1e6L));
            flasher.opens.push_back(open);
        }
        if (!real) {
            harness::removeSetserial(dirs[f]);
        }
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
    Stage stage;
    const std::string why = stage.build(run, setup);
    if (!why.empty()) {
        return rigFailure(why);
    }
    Seen seen;
    // One drawn for the flashers' start has the port before they start.
    std::atomic<bool> over{false};
    std::atomic<bool> tried{false};
    std::future<Hold> holder;
    if (run.holder.dongle >= 0) {
        sim::Dongle *const held = &stage.dongle(static_cast<std::size_t>(run.holder.dongle));
        holder =
            std::async(std::launch::async, holdPort, run.holder, held, std::cref(over), &tried);
        sim::waitUntil([&] { return run.holder.atMs > 0 || tried; }, 3000);
    }
    runFlashers(run, setup, &seen);
    over = true;
    seen.hold = holder.valid() ? holder.get() : Hold{};
    for (std::size_t d = 0; d < run.dongles.size(); ++d) {
        sim::Dongle &dongle = stage.dongle(d);
        dongle.stop();
        DongleSeen &dongleSeen = seen.dongles.emplace_back();
        dongleSeen.frames = dongle.frames();
        dongleSeen.updated = dongle.flash() == setup.image;
        dongleSeen.pull = dongle.pullRecord();
        dongleSeen.disconnected = dongle.disconnectedAt(&dongleSeen.disconnectedAt);
        dongleSeen.plugs = stage.buses[d]->plugs();
    }
    if (setup.show) {
        show(seen);
    }
    return judge(run, seen);
}

} // namespace soak
