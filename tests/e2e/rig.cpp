#include "rig.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/fanotify.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>

namespace rig
{

namespace
{
bool namespaceReady = false;
std::string namespaceProblem;
} // namespace

void enterNamespace()
{
    namespaceReady = sim::enterSandbox(&namespaceProblem);
}

std::vector<uint8_t> readImage(const std::string &path)
{
    std::vector<uint8_t> bytes;
    EXPECT_TRUE(sim::readBinaryFile(path, &bytes)) << "cannot read " << path;
    return bytes;
}

const std::vector<uint8_t> &image()
{
    static const std::vector<uint8_t> bytes = readImage(TORVEX_TEST_IMAGE);
    return bytes;
}

std::string imageSha256()
{
    sim::RunOptions sha256sum;
    sha256sum.argv = {"sha256sum", TORVEX_TEST_IMAGE};
    return sim::runProgram(sha256sum).out.substr(0, 64);
}

std::string flasherPath()
{
    const char *chosen = std::getenv("TORVEX_FLASHER");
    return chosen != nullptr ? chosen : TORVEX_FLASHER_PATH;
}

std::string variantDir()
{
    const char *chosen = std::getenv("TORVEX_VARIANT_DIR");
    return chosen != nullptr ? chosen : TORVEX_VARIANT_DIR;
}

std::string progressLine(int pagesDone, int pageCount)
{
    const int percent = pagesDone * 100 / pageCount;
    const int bar = pagesDone * 60 / pageCount;
    char head[32];
    std::snprintf(head, sizeof head, "\r[TORVEX] %3d%% [", percent);
    return head + std::string(bar, '|') + std::string(60 - bar, ' ') + "]";
}

std::string fullProgress(int pageCount)
{
    std::string line;
    for (int done = 1; done <= pageCount; ++done) {
        line += progressLine(done, pageCount);
    }
    return pageCount > 0 ? line + "\r\n" : line;
}

std::string verboseSuccess(bool fromApplication, int pageCount)
{
    return (fromApplication ? "[TORVEX] Detecting Torvex...\n"
                              "[TORVEX] Torvex detected! Entering bootloader mode...\n"
                            : noApplicationFound) +
           "[TORVEX] Detecting bootloader mode...\n[TORVEX] Bootloader detected!\n" +
           fullProgress(pageCount) + "[TORVEX] Sending boot to app command...\n" +
           "[TORVEX] Booting to app successful!\n" + success;
}

void expectUpdated(const sim::RunResult &result, const std::string &out)
{
    EXPECT_EQ(result.out, out);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
}

void expectFailed(const sim::RunResult &result, const std::string &said)
{
    EXPECT_EQ(result.out, said + failure);
    EXPECT_EQ(result.status, 255);
    EXPECT_EQ(result.err, "");
}

int dataFrame(bool fromApplication, int page, int which)
{
    return (fromApplication ? 2 : 1) + 3 * page + which;
}

int bootFrame(bool fromApplication, int pageCount)
{
    return dataFrame(fromApplication, pageCount, 0);
}

sim::Fault fault(sim::Fault::Kind kind, int delayMs, int burst)
{
    return sim::Fault{kind, delayMs, burst, 0, {}};
}

sim::Fault replaced(std::vector<uint8_t> bytes)
{
    return sim::Fault{sim::Fault::Kind::Replace, 0, 1, 0, std::move(bytes)};
}

sim::Fault onceGivenUp(sim::Fault::Kind kind, int burst, int floodMs)
{
    sim::Fault held{kind, floodMs, burst, 0, {}};
    held.until = sim::Fault::Until::HostGaveUp;
    return held;
}

sim::Fault afterPolls(int polls, sim::Fault::Kind kind, int burst)
{
    sim::Fault held = fault(kind, 0, burst);
    held.until = sim::Fault::Until::HostPolls;
    held.polls = polls;
    return held;
}

int framesSeen(const sim::Dongle &dongle, uint8_t command)
{
    int seen = 0;
    for (const auto &frame : dongle.frames()) {
        seen += !frame.bytes.empty() && frame.bytes[0] == command ? 1 : 0;
    }
    return seen;
}

sim::UsbPlace at(const std::string &path, const std::string &serial,
                 const std::string &bootloaderSerial)
{
    return sim::UsbPlace{false, path, serial, bootloaderSerial};
}

sim::UsbPlace offUsb()
{
    return sim::UsbPlace{true, "", "", ""};
}

OnOpen::OnOpen(const std::string &mountPoint, std::function<void()> action, Opened opened)
    : fd_(fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC, O_RDONLY | O_CLOEXEC)),
      action_(std::move(action)), opened_(std::move(opened))
{
    const int marked = fanotify_mark(fd_, FAN_MARK_ADD | FAN_MARK_MOUNT, FAN_OPEN_PERM, AT_FDCWD,
                                     mountPoint.c_str());
    EXPECT_EQ(marked, 0) << "no fanotify permission events: " << std::strerror(errno);
    answering_ = std::thread(&OnOpen::answer, this);
}

OnOpen::~OnOpen()
{
    done_ = true;
    answering_.join();
    close(fd_);
}

void OnOpen::answer()
{
    sim::goBeforeThePrograms(); // every open waits for this answer
    for (pollfd ready{fd_, POLLIN, 0}; !done_;) {
        alignas(fanotify_event_metadata) char events[4096];
        ssize_t len = poll(&ready, 1, 20) > 0 ? read(fd_, events, sizeof events) : 0;
        for (auto *event = reinterpret_cast<fanotify_event_metadata *>(events);
             FAN_EVENT_OK(event, len); event = FAN_EVENT_NEXT(event, len)) {
            if (action_) {
                action_();
            }
            if (opened_) {
                std::error_code unknown;
                const auto file =
                    std::filesystem::path("/proc/self/fd") / std::to_string(event->fd);
                opened_(event->pid, std::filesystem::read_symlink(file, unknown));
            }
            const fanotify_response allow{event->fd, FAN_ALLOW};
            EXPECT_EQ(write(fd_, &allow, sizeof allow), static_cast<ssize_t>(sizeof allow));
            close(event->fd);
        }
    }
}

Searches::Searches(std::function<void(int search)> onSearch, std::string port)
    : onSearch_(std::move(onSearch)), port_(std::move(port)),
      watch_("/sys/devices", [this] { opened(); })
{
}

std::vector<Searches::Clock::time_point> Searches::starts() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return starts_;
}

void Searches::opened()
{
    // Half the pause between two attempts: one search's opens come much
    // closer together than that, however busy the machine.
    constexpr auto apart = std::chrono::milliseconds(500);
    if (!port_.empty() && sim::heldOpenElsewhere(port_)) {
        return;
    }
    const auto now = Clock::now();
    std::unique_lock<std::mutex> lock(mutex_);
    const bool first = starts_.empty() || now - last_ >= apart;
    last_ = now;
    if (!first) {
        return;
    }
    starts_.push_back(now);
    const int search = static_cast<int>(starts_.size()) - 1;
    lock.unlock();
    if (onSearch_) {
        onSearch_(search);
    }
}

Said::Said(std::string line, int times) : line_(std::move(line)), times_(times) {}

void Said::heard(const std::string &out)
{
    int seen = 0;
    for (std::size_t at = 0; (at = out.find(line_, at)) != std::string::npos; at += line_.size()) {
        ++seen;
    }
    said_ = seen >= times_;
}

bool Said::operator()() const
{
    return said_;
}

void Rig::SetUp()
{
    if (!namespaceReady) {
        if (std::getenv("CI") != nullptr) {
            FAIL() << "no private mount namespace in CI: " << namespaceProblem;
        }
        GTEST_SKIP() << "end-to-end tests need a private mount namespace (run as root): "
                     << namespaceProblem;
    }
    stage_ = std::make_unique<sim::Stage>();
    ASSERT_TRUE(stage_->ok()) << stage_->error();
    char dir[] = "/tmp/torvex-rig-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    workDir_ = dir;
    // Open to the unprivileged user too, who runs the program from here.
    chmod(dir, 0755);
    setserialDir_ = harness::makeSetserial();
    ASSERT_FALSE(setserialDir_.empty()) << "cannot make the setserial stand-in";
    // No udev here: its database is the test's alone, and empty.
    runMounted_ = mount("torvex-run", "/run", "tmpfs", MS_NOSUID | MS_NODEV, "mode=755") == 0;
    ASSERT_TRUE(runMounted_) << "mount tmpfs on /run: " << std::strerror(errno);
    std::filesystem::create_directories("/run/udev/data");
}

void Rig::TearDown()
{
    if (runMounted_) {
        umount2("/run", MNT_DETACH);
    }
    stage_.reset();
    if (!setserialDir_.empty()) {
        harness::removeSetserial(setserialDir_);
    }
    if (!workDir_.empty()) {
        std::system(("rm -rf " + workDir_).c_str());
    }
}

sim::Dongle &Rig::plugIn(sim::DongleOptions options, sim::UsbPlace place)
{
    sim::Dongle &dongle = stage_->plugIn(std::move(options), std::move(place));
    EXPECT_TRUE(stage_->ok()) << stage_->error();
    return dongle;
}

sim::Dongle &Rig::plugIn(sim::Mode mode, sim::UsbPlace place, sim::FaultPlan faults)
{
    sim::DongleOptions options;
    options.startMode = mode;
    options.faults = std::move(faults);
    return plugIn(options, std::move(place));
}

void Rig::addOtherDevices(int from, int to)
{
    for (int n = from; n < to; ++n) {
        ASSERT_TRUE(tree().addForeignPort(n, otherDevice));
    }
}

sim::RunOptions Rig::runOptions(std::vector<std::string> args, const std::string &program) const
{
    sim::RunOptions options;
    // The program counts its reply windows in polls of its port, 10 us sleeps
    // that the kernel may end 50 us late. A reply crosses a pseudo-terminal
    // through a kernel worker, which a machine crowded with such pollers and a
    // QEMU guest runs late: a page's 1,000 polls then ended before its reply
    // came, even with polls of 200 us. Polls that may end 1 ms late make the
    // program that of a slower machine, whose waits last longer, as every
    // wait here may.
    options.timerSlackNs = 1000000;
    if (!ignoredAtStart.empty()) {
        options.argv = {"env", "--ignore-signal=" + ignoredAtStart};
    }
    // Without binfmt_misc a foreign program runs only when the emulator is
    // started with it.
    const char *emulator = std::getenv("TORVEX_EMULATOR");
    if (emulator != nullptr && *emulator != '\0') {
        options.argv.emplace_back(emulator);
    }
    options.argv.push_back(program);
    options.argv.insert(options.argv.end(), args.begin(), args.end());
    if (onTerminal) { // script(1) runs the command line, quoted, on a pseudo-terminal of its own
        std::string command;
        for (const std::string &arg : options.argv) {
            command += (command.empty() ? "'" : " '") + arg + "'";
        }
        options.argv = {"script", "-qec", command, "/dev/null"};
    }
    const std::string path = debianSetserial ? "/usr/sbin:/usr/bin:/sbin:/bin"
                                             : setserialDir_ + ":/usr/sbin:/usr/bin:/sbin:/bin";
    options.env = {"PATH=" + path, "TORVEX_SETSERIAL_LOG=" + workDir_ + "/setserial.calls",
                   "TORVEX_SETSERIAL_EXIT=" + std::to_string(setserialStatus_),
                   "TORVEX_SETSERIAL_RUN=" + setserialCommand_};
    options.limit = runLimit;
    options.onOutput = onOutput;
    return options;
}

sim::RunResult Rig::run(std::vector<std::string> args, const std::string &program)
{
    const std::string copy = workDir_ + "/ZEL_USB_Flasher";
    if (unprivileged) {
        EXPECT_EQ(std::system(("cp '" + program + "' '" + copy + "'").c_str()), 0);
        // The stand-in, run by that user, records its calls too.
        std::ofstream(workDir_ + "/setserial.calls", std::ios::app).close();
        chmod((workDir_ + "/setserial.calls").c_str(), 0666);
    }
    sim::RunOptions options = runOptions(std::move(args), unprivileged ? copy : program);
    options.unprivileged = unprivileged;
    sim::RunResult result = sim::runProgram(options);
    EXPECT_FALSE(result.timedOut) << "the program hung";
    return result;
}

std::vector<sim::RunResult> Rig::runTogether(int copies, std::vector<std::string> args)
{
    const sim::RunOptions options = runOptions(std::move(args), flasherPath());
    std::vector<std::future<sim::RunResult>> running;
    for (int i = 0; i < copies; ++i) {
        running.push_back(std::async(std::launch::async, sim::runProgram, options));
    }
    std::vector<sim::RunResult> results;
    for (auto &copy : running) {
        results.push_back(copy.get());
        EXPECT_FALSE(results.back().timedOut) << "a copy of the program hung";
    }
    return results;
}

void OtherProgram::end()
{
    if (running_ && pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    running_ = false;
}

std::unique_ptr<OtherProgram> Rig::runOther(const std::string &name, const std::string &port)
{
    // Apart from the setserial stand-in's PATH, which a "cat" must not take.
    const std::string copy = workDir_ + "/others/" + name;
    std::error_code e;
    std::filesystem::create_directories(workDir_ + "/others", e);
    std::filesystem::copy_file("/bin/sleep", copy, std::filesystem::copy_options::skip_existing, e);
    EXPECT_FALSE(e) << "cannot copy sleep to " << copy;
    // Only calls that are safe between fork and exec: the tests have threads.
    const pid_t pid = fork();
    if (pid == 0) {
        const int held = port.empty() ? -1 : open(port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (!port.empty() && (held < 0 || dup2(held, 3) != 3)) {
            _exit(126);
        }
        closefrom(4);
        execl(copy.c_str(), name.c_str(), "infinity", static_cast<char *>(nullptr));
        _exit(127);
    }
    auto other = std::make_unique<OtherProgram>(name, pid);
    // Started once it runs under its name, and so holds its port.
    const std::string comm = "/proc/" + std::to_string(pid) + "/comm";
    EXPECT_TRUE(sim::waitUntil(
        [&] {
            std::string running;
            std::getline(std::ifstream(comm), running);
            return running == name.substr(0, 15);
        },
        3000))
        << name << " did not start";
    return other;
}

void Rig::udevProperties(const std::string &port, const std::string &properties)
{
    struct stat node {
    };
    ASSERT_EQ(stat(port.c_str(), &node), 0) << port;
    std::ofstream("/run/udev/data/c" + std::to_string(major(node.st_rdev)) + ":" +
                  std::to_string(minor(node.st_rdev)))
        << properties;
}

void Rig::setserialExits(int status, const std::string &command)
{
    setserialStatus_ = status;
    setserialCommand_ = command;
}

std::vector<std::string> Rig::setserialCalls() const
{
    std::vector<std::string> calls;
    std::ifstream in(workDir_ + "/setserial.calls");
    for (std::string line; std::getline(in, line);) {
        // After the time, the caller and the port's file: the arguments.
        std::size_t at = 0;
        for (int field = 0; field < 3 && at != std::string::npos; ++field) {
            at = line.find(' ', at + 1);
        }
        calls.push_back(at == std::string::npos ? line : line.substr(at + 1));
    }
    return calls;
}

} // namespace rig
