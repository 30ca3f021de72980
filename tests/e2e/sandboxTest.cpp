// The world the program meets is as a machine's: no process of the simulator
// or of the rig holds a dongle's port, as none holds a real ttyACM port, and
// a sandbox's /proc shows no other sandbox's processes, whose pseudo-
// terminals have the same device numbers as ours.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "rig.h"

namespace
{

namespace fs = std::filesystem;

using World = rig::Rig;

dev_t deviceOf(const std::string &port)
{
    struct stat node {
    };
    return stat(port.c_str(), &node) == 0 ? node.st_rdev : 0;
}

// Every process in /proc, and those of them with the character device
// `rdev` open, as a program finds the other holders of its port.
struct ProcScan {
    explicit ProcScan(dev_t rdev)
    {
        std::error_code e;
        for (fs::directory_iterator pid("/proc", e), end; !e && pid != end; pid.increment(e)) {
            const std::string name = pid->path().filename();
            if (name.find_first_not_of("0123456789") != std::string::npos) {
                continue;
            }
            processes.push_back(name);
            std::error_code gone; // the process ended meanwhile
            for (fs::directory_iterator fd(pid->path() / "fd", gone), last; !gone && fd != last;
                 fd.increment(gone)) {
                struct stat file {
                };
                if (stat(fd->path().c_str(), &file) == 0 && S_ISCHR(file.st_mode) &&
                    file.st_rdev == rdev) {
                    holders.push_back(fd->path().string());
                }
            }
        }
    }

    std::vector<std::string> processes;
    std::vector<std::string> holders; // /proc/PID/fd/N
};

std::string listed(const std::vector<std::string> &items)
{
    std::string text;
    for (const auto &item : items) {
        text += " " + item;
    }
    return text.empty() ? " none" : text;
}

// In a sandbox of its own, beside the test's: a dongle of its own on
// /dev/ttyACM0, which must have the device number of the test's (else this
// proves nothing), held by nobody, and no process in /proc but this one.
// Its exit status says what it found.
enum Seen { Apart, NoSandbox, NoDongle, OtherNumber, Held, OthersSeen };

[[noreturn]] void lookFromAnotherSandbox(dev_t theirs)
{
    closefrom(STDERR_FILENO + 1); // the test's port too
    std::string why;
    if (!sim::enterSandbox(&why)) {
        _exit(NoSandbox);
    }
    sim::Stage stage;
    stage.plugIn(sim::DongleOptions{});
    const dev_t ours = deviceOf("/dev/ttyACM0");
    const ProcScan scan(ours);
    stage.stop();
    _exit(!stage.ok() || ours == 0     ? NoDongle
          : ours != theirs             ? OtherNumber
          : !scan.holders.empty()      ? Held
          : scan.processes.size() != 1 ? OthersSeen
                                       : Apart);
}

// A dongle's port, in either mode, before and after an update, and one that
// junk waits in: no process holds it while no program runs.
TEST_F(World, NoProcessHoldsADonglesPortButTheProgram)
{
    sim::Dongle &updated = plugIn(rig::application, rig::at("1-1"));
    sim::DongleOptions junk;
    junk.startMode = rig::bootloader;
    junk.staleOnPlugIn = true;
    sim::Dongle &waiting = plugIn(junk, rig::at("1-2"));
    for (const sim::Dongle *dongle : {&updated, &waiting}) {
        const std::string port = dongle->hostPort();
        EXPECT_EQ(listed(ProcScan(deviceOf(port)).holders), " none") << port;
    }
    const sim::RunResult result = run({"--path", "1-1"});
    EXPECT_EQ(result.status, 0) << result.out;
    ASSERT_TRUE(sim::waitUntil(
        [&] { return updated.mode() == rig::application && !updated.hostPort().empty(); }, 5000));
    for (const sim::Dongle *dongle : {&updated, &waiting}) {
        const std::string port = dongle->hostPort();
        EXPECT_EQ(listed(ProcScan(deviceOf(port)).holders), " none") << port << " after the update";
    }
}

// Two sandboxes at once, as two tests run side by side: while this one holds
// its /dev/pts/0, another's /proc shows neither that nor any process of ours.
// The other is forked before this process has a thread (a lock another
// thread held at the fork would stay held in it), and looks once told our
// port's device number.
TEST_F(World, AnotherSandboxSeesNoneOfOurProcesses)
{
    int told[2] = {-1, -1};
    ASSERT_EQ(pipe2(told, O_CLOEXEC), 0);
    const pid_t other = fork();
    if (other == 0) {
        dev_t theirs = 0;
        close(told[1]);
        const bool heard = read(told[0], &theirs, sizeof theirs) == sizeof theirs;
        lookFromAnotherSandbox(heard ? theirs : 0);
    }
    close(told[0]);
    plugIn(rig::application);
    const int held = open("/dev/ttyACM0", O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(held, 0);
    EXPECT_EQ(ProcScan(deviceOf("/dev/ttyACM0")).holders.size(), 1U) << "the scan sees no holder";
    const dev_t ours = deviceOf("/dev/ttyACM0");
    ASSERT_EQ(write(told[1], &ours, sizeof ours), static_cast<ssize_t>(sizeof ours));
    close(told[1]);
    int status = -1;
    ASSERT_EQ(waitpid(other, &status, 0), other);
    close(held);
    const char *const found[] = {"apart",         "no sandbox",    "no dongle",
                                 "other numbers", "our port held", "other processes in its /proc"};
    const int seen = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    EXPECT_EQ(seen, Apart) << (seen >= 0 && seen <= OthersSeen ? found[seen] : "it died");
}

} // namespace
