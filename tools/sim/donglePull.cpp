// The dongle on a real bus: its cable pulled at a moment in wall time, and
// when it leaves the bus other than to re-enumerate.
#include <algorithm>

#include "dongle.h"
#include "ptyBus.h"

namespace sim
{

void Dongle::armPull()
{
    std::lock_guard<std::mutex> lock(mutex_);
    pullArmed_ = options_.pull.atMs >= 0;
    pullAt_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(options_.pull.atMs);
}

bool Dongle::pullDue(bool plugged) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return pullArmed_ && (fd_ >= 0 || !plugged) && std::chrono::steady_clock::now() >= pullAt_;
}

// Names what the host was doing when the cable went, as far as the dongle
// can tell: whether the host holds its port, and what came in since plug-in.
std::string Dongle::pullPhase() const
{
    if (fd_ < 0) {
        return "switch"; // between its two ports
    }
    if (!pending_.empty()) {
        return "frame";
    }
    if (frameCount_ > framesAtPlugIn_) {
        return mode_ == Mode::Bootloader ? "transfer" : "handover";
    }
    const bool bootloader = mode_ == Mode::Bootloader;
    if (heldOpenElsewhere(bus_.hostPort())) {
        return bootloader ? "detection" : "settings";
    }
    return bootloader ? "pause" : "open";
}

void Dongle::disconnectNow()
{
    unplugNow();
    std::lock_guard<std::mutex> lock(mutex_);
    disconnected_ = true;
    disconnectedAt_ = std::chrono::steady_clock::now();
}

// A pulled dongle loses what it held in RAM; its flash and its mode stay.
void Dongle::pullNow()
{
    PullRecord rec;
    rec.happened = true;
    rec.phase = pullPhase();
    rec.framesBefore = frameCount_;
    rec.portBefore = bus_.hostPort();
    rec.at = std::chrono::steady_clock::now();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        pullArmed_ = false;
        pageBuffer_.clear();
        restartPending_ = false;
    }
    disconnectNow();
    const Pull &pull = options_.pull;
    if (pull.afterRelease) {
        const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (heldOpenElsewhere(rec.portBefore) && std::chrono::steady_clock::now() < giveUp &&
               pauseMs(10)) {
        }
    }
    if ((pull.afterRelease || pull.backAfterMs >= 0) && pauseMs(std::max(pull.backAfterMs, 0))) {
        plugInAs(mode_);
        rec.portAfter = waitForHostPort();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    pullRecord_ = rec;
}

// The host's name for the port once it has enumerated it (up to 3 s).
std::string Dongle::waitForHostPort()
{
    std::string port = bus_.hostPort();
    for (int i = 0; i < 300 && port.empty() && pauseMs(10); ++i) {
        port = bus_.hostPort();
    }
    return port;
}

PullRecord Dongle::pullRecord() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return pullRecord_;
}

bool Dongle::disconnectedAt(std::chrono::steady_clock::time_point *when) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    *when = disconnectedAt_;
    return disconnected_;
}

} // namespace sim
