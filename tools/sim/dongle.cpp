#include "dongle.h"

#include <poll.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <optional>

namespace sim
{

namespace
{

constexpr uint8_t enterBootloader = 0x0A;
constexpr uint8_t checkBootloader = 0x64;
constexpr uint8_t pageData = 0x65;
constexpr uint8_t pageWrite = 0x66;
constexpr uint8_t bootApplication = 0x67;
constexpr std::size_t pageSize = 2048;
constexpr std::size_t maxFrame = 2047;
// A frame without a length of its own ends when the line falls quiet.
constexpr int frameGapMs = 2;

std::size_t fixedLength(uint8_t command)
{
    return command == enterBootloader                                 ? 2
           : command == checkBootloader || command == bootApplication ? 3
           : command == pageWrite                                     ? 7
                                                                      : 0;
}

} // namespace

const std::vector<uint8_t> Dongle::staleBytes = {'s', 't', 'a', 'l', 'e'};

uint32_t crc32Mpeg2(const uint8_t *data, std::size_t len)
{
    uint32_t reg = 0xFFFFFFFFU;
    for (std::size_t i = 0; i < len; ++i) {
        for (int bit = 7; bit >= 0; --bit) {
            const bool in = ((data[i] >> bit) & 1U) != 0;
            const bool top = (reg & 0x80000000U) != 0;
            reg <<= 1;
            if (in != top) {
                reg ^= 0x04C11DB7U;
            }
        }
    }
    return reg;
}

std::vector<uint8_t> pageWriteFrame(const uint8_t *page, std::size_t len)
{
    const uint32_t crc = crc32Mpeg2(page, len);
    std::vector<uint8_t> frame = {pageWrite, 0xAA, 0xAA};
    for (int shift = 0; shift < 32; shift += 8) {
        frame.push_back(static_cast<uint8_t>(crc >> shift)); // least significant first
    }
    return frame;
}

bool isCommandByte(uint8_t byte)
{
    return byte == enterBootloader || byte == checkBootloader || byte == pageData ||
           byte == pageWrite || byte == bootApplication;
}

Dongle::Dongle(Bus &bus, DongleOptions options)
    : bus_(bus), options_(std::move(options)), mode_(options_.startMode)
{
}

Dongle::~Dongle()
{
    stop();
}

bool Dongle::start()
{
    plugInAs(mode_);
    if (fd_ < 0) {
        return false;
    }
    thread_ = std::thread(&Dongle::run, this);
    return true;
}

void Dongle::stop()
{
    stopping_ = true;
    wake_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
    }
    unplugNow();
}

void Dongle::plugInAs(Mode mode)
{
    const Plug::Time on = std::chrono::steady_clock::now();
    const int fd = bus_.plugIn(mode);
    std::error_code error;
    const std::string pts = std::filesystem::read_symlink(bus_.hostPort(), error).string();
    std::lock_guard<std::mutex> lock(mutex_);
    if (fd >= 0) {
        plugs_.push_back({bus_.hostPort(), pts, mode, on, std::chrono::steady_clock::now()});
    }
    fd_ = fd;
    mode_ = mode;
    pending_.clear();
    framesAtPlugIn_ = frameCount_;
    if (fd >= 0 && options_.staleOnPlugIn) {
        // Nobody has the port open yet: the bytes wait in it for the host.
        const ssize_t written = write(fd, staleBytes.data(), staleBytes.size());
        (void)written;
        // A new port echoes what it receives until the host makes it raw;
        // that echo is not a frame from the host.
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        tcflush(fd, TCIFLUSH);
    }
}

void Dongle::unplugNow()
{
    const Plug::Time off = std::chrono::steady_clock::now();
    bus_.unplug();
    std::lock_guard<std::mutex> lock(mutex_);
    fd_ = -1;
    if (!plugs_.empty() && plugs_.back().off == Plug::Time::max()) {
        plugs_.back().off = off;
        plugs_.back().gone = std::chrono::steady_clock::now();
    }
}

std::vector<Plug> Dongle::plugs() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return plugs_;
}

bool Dongle::pauseMs(int ms)
{
    std::unique_lock<std::mutex> lock(mutex_);
    return !wake_.wait_for(lock, std::chrono::milliseconds(ms),
                           [this] { return stopping_.load(); });
}

bool Dongle::replyPauseMs(int ms)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        if (pullDue() || !pauseMs(1)) {
            return false;
        }
    }
    return true;
}

// A real dongle, and the kernel that carries its answers, answer whatever the
// host is doing. The threads that play them go before the programs under test
// (where the process may say so, as root): a busy machine then stretches the
// program's waits, never the answers.
void goBeforeThePrograms()
{
    setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), -10);
}

void Dongle::run()
{
    goBeforeThePrograms();
    std::vector<uint8_t> frame;
    while (!stopping_) {
        if (fd_ < 0) {
            pauseMs(10);
            continue;
        }
        if (readFrame(&frame)) {
            handle(frame);
        }
        if (pullDue()) {
            pullNow();
        }
        if (restartPending_) {
            restartPending_ = false;
            switchTo(restartInto_);
        }
    }
}

// Collects the next frame from the line. Frames of a known length end with
// their last byte; page data and junk end when the line falls quiet.
bool Dongle::readFrame(std::vector<uint8_t> *frame)
{
    std::size_t len = 0;
    while (len == 0 && !stopping_ && !pullDue()) {
        const std::size_t wanted = pending_.empty() ? 0 : fixedLength(pending_[0]);
        if (wanted != 0 && pending_.size() >= wanted) {
            len = wanted;
            break;
        }
        struct pollfd line = {fd_, POLLIN, 0};
        const int ready = poll(&line, 1, pending_.empty() ? 20 : frameGapMs);
        // A quiet line may only mean that the kernel has not yet handed on
        // the rest of a frame, on a busy machine: a read takes what it holds.
        const bool quietAfterBytes = ready == 0 && !pending_.empty();
        if ((ready > 0 && (line.revents & POLLIN) != 0) || quietAfterBytes) {
            uint8_t chunk[4096];
            const ssize_t n = read(fd_, chunk, sizeof chunk);
            if (n > 0) {
                pending_.insert(pending_.end(), chunk, chunk + n);
                continue;
            }
        }
        if (ready > 0 && (line.revents & POLLIN) == 0) {
            // The host has closed the port: wait for it to come back.
            pauseMs(5);
        }
        len = ready == 0 ? std::min(pending_.size(), maxFrame) : 0;
        if (ready <= 0 && pending_.empty()) {
            return false;
        }
    }
    frame->assign(pending_.begin(), pending_.begin() + static_cast<long>(len));
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(len));
    return len != 0;
}

void Dongle::handle(const std::vector<uint8_t> &frame)
{
    FrameRecord rec;
    rec.index = frameCount_++;
    rec.mode = mode_;
    rec.bytes = frame;
    rec.received = std::chrono::steady_clock::now();
    const auto planned = options_.faults.find(rec.index);
    const Fault fault = planned == options_.faults.end() ? Fault{} : planned->second;
    rec.fault = describe(fault);

    if (fault.kind == Fault::Kind::Unplug) {
        record(rec);
        disconnectNow();
        return;
    }
    if (fault.kind == Fault::Kind::Corrupt && !rec.bytes.empty()) {
        rec.bytes.back() ^= 0x01;
    }
    const std::vector<uint8_t> reply =
        fault.kind == Fault::Kind::Ignore ? std::vector<uint8_t>{} : answer(rec.bytes);
    std::optional<HostAtFrame> host;
    if (fault.until != Fault::Until::Time) {
        HostWatch watch(bus_.hostPort());
        host = HostAtFrame{watch, watch.reads()};
    }
    const HostAtFrame *hostAtFrame = host ? &*host : nullptr;
    if (fault.kind == Fault::Kind::Flood) {
        // Recorded first: the flood may outlast the host's interest in it.
        record(rec);
        if (faultPause(fault, fault.afterMs, hostAtFrame)) {
            floodFor(fault.delayMs);
        }
        return;
    }
    rec.reply = fault.kind == Fault::Kind::Replace     ? fault.bytes
                : fault.kind == Fault::Kind::DropReply ? std::vector<uint8_t>{}
                                                       : reply;
    if (!rec.reply.empty()) {
        noteReplyBeforeReset(rec.reply.size());
        sendReply(rec.reply, fault, hostAtFrame);
        rec.heldUntil = host ? heldUntil_ : "";
    }
    rec.replied = std::chrono::steady_clock::now();
    record(rec);
}

std::vector<uint8_t> Dongle::answer(const std::vector<uint8_t> &frame)
{
    if (mode_ == Mode::Bootloader) {
        return answerBootloader(frame);
    }
    // The application knows one command of this protocol.
    if (frame.size() == 2 && frame[0] == enterBootloader && frame[1] == 0x00) {
        restartPending_ = true;
        restartInto_ = Mode::Bootloader;
        return {enterBootloader, 0x01};
    }
    return {};
}

// The bootloader says "OK" or refuses ("ER") in the reply's text; its first
// byte echoes the command unless told otherwise.
std::vector<uint8_t> Dongle::reply(uint8_t command, bool accepted) const
{
    const auto first = options_.replyByte < 0 ? command : static_cast<uint8_t>(options_.replyByte);
    return {first, static_cast<uint8_t>(accepted ? 'O' : 'E'),
            static_cast<uint8_t>(accepted ? 'K' : 'R')};
}

std::vector<uint8_t> Dongle::answerBootloader(const std::vector<uint8_t> &frame)
{
    if (frame.size() < 3 || frame[1] != 0xAA || frame[2] != 0xAA) {
        return {};
    }
    std::lock_guard<std::mutex> lock(mutex_);
    switch (frame[0]) {
    case checkBootloader:
        // A new update starts: the flash is erased and written from its start.
        flash_.clear();
        pageBuffer_.clear();
        return reply(checkBootloader, frame.size() == 3);
    case pageData:
        if (pageBuffer_.size() + frame.size() - 3 > pageSize) {
            pageBuffer_.clear();
            return reply(pageData, false);
        }
        pageBuffer_.insert(pageBuffer_.end(), frame.begin() + 3, frame.end());
        return reply(pageData, true);
    case pageWrite: {
        if (frame.size() != 7) {
            return reply(pageWrite, false);
        }
        const uint32_t expected =
            static_cast<uint32_t>(frame[3]) | static_cast<uint32_t>(frame[4]) << 8 |
            static_cast<uint32_t>(frame[5]) << 16 | static_cast<uint32_t>(frame[6]) << 24;
        const bool good =
            !pageBuffer_.empty() && crc32Mpeg2(pageBuffer_.data(), pageBuffer_.size()) == expected;
        if (good) {
            flash_.insert(flash_.end(), pageBuffer_.begin(), pageBuffer_.end());
        } else {
            ++pagesRejected_;
        }
        pageBuffer_.clear();
        return reply(pageWrite, good);
    }
    case bootApplication:
        if (frame.size() != 3) {
            return reply(bootApplication, false);
        }
        restartPending_ = true;
        restartInto_ = Mode::Application;
        return reply(bootApplication, true);
    default:
        return {};
    }
}

// A delayed reply goes out whole after its pause, a split one in bursts with
// pauses between them, a stale one followed by the stale bytes.
void Dongle::sendReply(const std::vector<uint8_t> &reply, const Fault &fault,
                       const HostAtFrame *host)
{
    const auto burst =
        fault.kind == Fault::Kind::Split ? static_cast<std::size_t>(fault.burst) : reply.size();
    for (std::size_t at = 0; at < reply.size(); at += burst) {
        if ((at > 0 || fault.kind == Fault::Kind::Delay) &&
            !faultPause(fault, fault.delayMs, host)) {
            return;
        }
        writeAll(reply.data() + at, std::min(reply.size() - at, burst));
    }
    if (fault.kind == Fault::Kind::Stale && replyPauseMs(fault.delayMs)) {
        writeAll(fault.bytes.data(), fault.bytes.size());
    }
}

bool Dongle::faultPause(const Fault &fault, int ms, const HostAtFrame *host)
{
    return host == nullptr ? replyPauseMs(ms) : waitForHost(fault, *host);
}

// Until the host has given up on the frame (it waits for the line to fall
// silent, sends its next frame, lets go of the port or is gone), or has read
// the line so many times since the frame came.
bool Dongle::waitForHost(const Fault &fault, const HostAtFrame &host)
{
    heldUntil_.clear();
    while (heldUntil_.empty() && pauseMs(1)) {
        if (pullDue()) {
            return false;
        }
        heldUntil_ = hostEvent(fault, host);
    }
    return !heldUntil_.empty();
}

std::string Dongle::hostEvent(const Fault &fault, const HostAtFrame &host) const
{
    struct pollfd line = {fd_, POLLIN, 0};
    const int ready = fd_ < 0 ? 0 : poll(&line, 1, 0);
    if (fd_ < 0 || (ready > 0 && (line.revents & POLLHUP) != 0)) {
        return "port closed";
    }
    if (ready > 0 && (line.revents & POLLIN) != 0) {
        return "next frame";
    }
    const long reads = host.watch.found() ? host.watch.reads() : 0;
    if (reads < 0) {
        return "host gone";
    }
    if (fault.until == Fault::Until::HostPolls) {
        return host.watch.found() && reads - host.reads >= fault.polls ? "polls" : "";
    }
    return host.watch.found() && host.watch.waitingInPoll() ? "waiting for silence" : "";
}

void Dongle::writeAll(const uint8_t *data, std::size_t len)
{
    std::size_t done = 0;
    while (done < len && fd_ >= 0 && !stopping_) {
        const ssize_t n = write(fd_, data + done, len - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return;
        } else {
            struct pollfd room = {fd_, POLLOUT, 0};
            poll(&room, 1, 10);
        }
    }
}

// A dongle gone wrong that talks without pause instead of answering: as
// fast as the host takes the bytes, and none of them a reply. That is the
// dongle's own doing, not an answer, so it takes its turn with the programs:
// ahead of them, its writes, and the kernel's work of passing them on, would
// starve every other port of a busy machine.
void Dongle::floodFor(int ms)
{
    static const std::vector<uint8_t> junk(64, 'U');
    const id_t self = static_cast<id_t>(syscall(SYS_gettid));
    setpriority(PRIO_PROCESS, self, 0);
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (fd_ >= 0 && !stopping_ && !pullDue() && std::chrono::steady_clock::now() < end) {
        const ssize_t n = write(fd_, junk.data(), junk.size());
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            break;
        }
        if (n <= 0) {
            struct pollfd room = {fd_, POLLOUT, 0};
            poll(&room, 1, 1);
        }
    }
    goBeforeThePrograms();
}

// The USB device resets: its port goes away at once and, once the device
// has re-enumerated, it comes back in its other mode on whatever number is
// free then. An application that fails to start never comes back.
void Dongle::switchTo(Mode mode)
{
    constexpr int detachMs = 20;
    const bool booting = mode == Mode::Application && options_.bootMs >= 0;
    const int delay = std::max(booting ? options_.bootMs : options_.reenumerateMs, detachMs);
    if (!pauseMs(detachMs) || !awaitReplyTaken()) {
        return;
    }
    unplugNow();
    if (mode == Mode::Application && !options_.applicationRestarts) {
        return;
    }
    // Pulled out meanwhile, it comes back (if ever) in the mode it was going to.
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(delay - detachMs);
    for (;;) {
        if (pullDue(false)) {
            std::unique_lock<std::mutex> lock(mutex_);
            mode_ = mode;
            lock.unlock();
            pullNow();
            return;
        }
        if (std::chrono::steady_clock::now() >= end) {
            break;
        }
        if (!pauseMs(5)) {
            return;
        }
    }
    plugInAs(mode);
}

// A real dongle resets a moment after the reply that asked for it, long
// after a host has read that reply. A busy machine may keep the program from
// reading for longer than that moment, and the reset would throw the reply
// away (a hang-up empties the port's input). So the reset waits until the
// program has read the reply's bytes, has let go of the port or is gone.
void Dongle::noteReplyBeforeReset(std::size_t length)
{
    replyTaken_.reset();
    if (restartPending_) {
        HostWatch watch(bus_.hostPort());
        const long before = watch.bytesRead();
        replyTaken_ = ReplyTaken{watch, before + static_cast<long>(length)};
    }
}

bool Dongle::awaitReplyTaken()
{
    constexpr int boundMs = 10000; // only against a program that stopped reading
    const std::optional<ReplyTaken> taken = replyTaken_;
    replyTaken_.reset();
    for (int waited = 0; taken && taken->watch.found() && waited < boundMs; ++waited) {
        const long read = taken->watch.bytesRead();
        struct pollfd line = {fd_, POLLIN, 0};
        const bool letGo = poll(&line, 1, 0) > 0 && (line.revents & POLLHUP) != 0;
        if (read < 0 || read >= taken->bytes || letGo || pullDue()) {
            return true;
        }
        if (!pauseMs(1)) {
            return false;
        }
    }
    return true;
}

void Dongle::record(FrameRecord frame)
{
    std::lock_guard<std::mutex> lock(mutex_);
    frames_.push_back(std::move(frame));
}

std::vector<uint8_t> Dongle::flash() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return flash_;
}

std::vector<FrameRecord> Dongle::frames() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_;
}

Mode Dongle::mode() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return mode_;
}

bool Dongle::plugged() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return fd_ >= 0;
}

std::string Dongle::hostPort() const
{
    return bus_.hostPort();
}

int Dongle::pagesRejected() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return pagesRejected_;
}

} // namespace sim
