// The stage's sysfs as a program finds it above a port, through the kernel's
// path walk from the class link: the USB device at its port path, which keeps
// the path but not its device number, product id or serial when it comes back
// in its other mode. A bus not told its place takes a port no other bus has.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <thread>
#include <vector>

#include "sim/stage.h"

namespace
{

std::string sysfsText(const std::string &path)
{
    std::ifstream in(path);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return in ? text : "(none)";
}

// cppcheck-suppress syntaxError
TEST(Stage, UsbDeviceAboveThePortKeepsItsPathAcrossAReplug)
{
    std::string why;
    if (!sim::enterSandbox(&why)) {
        ASSERT_EQ(std::getenv("CI"), nullptr) << why;
        GTEST_SKIP() << "needs a private mount namespace (run as root): " << why;
    }
    sim::Stage stage;
    stage.plugIn(sim::DongleOptions{});
    ASSERT_TRUE(stage.ok()) << stage.error();
    sim::PtyBus placed({false, "3-1.4", "TVX-7", ""});
    sim::PtyBus unplaced;
    EXPECT_EQ(stage.place(0).path + " " + unplaced.place().path, "1-1 1-2");
    ASSERT_GE(placed.plugIn(sim::Mode::Application), 0);
    const std::string device = "/sys/class/tty/ttyACM1/device/";
    EXPECT_EQ(sysfsText(device + "modalias"), sim::modaliasOf(sim::Mode::Application));
    EXPECT_EQ(sysfsText(device + "../busnum") + sysfsText(device + "../devpath"), "3\n1.4\n");
    EXPECT_EQ(sysfsText(device + "../serial") + sysfsText(device + "../idProduct"),
              "TVX-7\n1000\n");
    EXPECT_EQ(sysfsText(device + "../../devpath"), "1\n");
    const std::string devnum = sysfsText(device + "../devnum");
    placed.unplug();
    EXPECT_EQ(sysfsText(device + "modalias"), "(none)");
    EXPECT_EQ(sysfsText("/sys/devices/platform/dummy_hcd.2/usb3/3-1/3-1.4/busnum"), "(none)");
    ASSERT_GE(placed.plugIn(sim::Mode::Bootloader), 0);
    EXPECT_EQ(sysfsText(device + "../busnum") + sysfsText(device + "../devpath"), "3\n1.4\n");
    EXPECT_EQ(sysfsText(device + "../serial") + sysfsText(device + "../idProduct"), "(none)2000\n");
    EXPECT_NE(sysfsText(device + "../devnum"), devnum);
    EXPECT_NE(sysfsText("/sys/devices/system/cpu/online"), "(none)");
}

// A rack of dongles, each keeping a second number while its host holds its old
// port, needs more than 64: as with the kernel's driver, they go up to 255.
TEST(Stage, PortNumbersGoUpTo255)
{
    std::string why;
    if (!sim::enterSandbox(&why)) {
        GTEST_SKIP() << "needs a private mount namespace (run as root): " << why;
    }
    const sim::Stage stage;
    std::vector<std::unique_ptr<sim::PtyBus>> buses;
    for (int i = 0; i < 257; ++i) {
        const std::string path = std::to_string(i / 255 + 1) + "-" + std::to_string(i % 255 + 1);
        buses.push_back(std::make_unique<sim::PtyBus>(sim::UsbPlace{false, path, "", ""}));
        EXPECT_EQ(buses.back()->plugIn(sim::Mode::Application) >= 0, i < 256) << i;
    }
    EXPECT_EQ(buses[255]->hostPort(), "/dev/ttyACM255");
}

// The program at the other end of a port: sends the enter bootloader
// command, then reads the reply only once told to, through `go`.
pid_t slowReader(const std::string &port, int go, int result)
{
    const pid_t pid = fork();
    if (pid != 0) {
        return pid;
    }
    // As after an exec: the dongle's end of the port is not held here too.
    for (int inherited = 3; inherited < 1024; ++inherited) {
        if (inherited != go && inherited != result) {
            close(inherited);
        }
    }
    const int fd = open(port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    struct termios raw {
    };
    tcgetattr(fd, &raw);
    cfmakeraw(&raw);
    tcsetattr(fd, TCSANOW, &raw);
    const unsigned char enter[] = {0x0A, 0x00};
    char told = 0;
    if (write(fd, enter, sizeof enter) != 2 || read(go, &told, 1) != 1) {
        _exit(2);
    }
    unsigned char reply[2] = {};
    const ssize_t got = read(fd, reply, sizeof reply);
    _exit(write(result, reply, got > 0 ? static_cast<size_t>(got) : 0) == got ? 0 : 3);
}

// A dongle resets once the program has read the reply that asked for the
// reset: a hang-up would empty the port's input, and a busy machine may keep
// the program from reading for a while.
TEST(Stage, AResetWaitsForTheProgramToReadItsReply)
{
    std::string why;
    if (!sim::enterSandbox(&why)) {
        GTEST_SKIP() << "needs a private mount namespace (run as root): " << why;
    }
    sim::Stage stage;
    sim::Dongle &dongle = stage.plugIn(sim::DongleOptions{});
    ASSERT_TRUE(stage.ok()) << stage.error();
    int go[2];
    int result[2];
    ASSERT_EQ(pipe(go), 0);
    ASSERT_EQ(pipe(result), 0);
    const pid_t reader = slowReader(dongle.hostPort(), go[0], result[1]);
    close(go[0]);
    close(result[1]);
    ASSERT_TRUE(sim::waitUntil([&] { return !dongle.frames().empty(); }, 10000));
    // Far longer than the moment a dongle takes to reset after its reply.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_EQ(write(go[1], "r", 1), 1);
    int status = 0;
    waitpid(reader, &status, 0);
    unsigned char reply[2] = {};
    EXPECT_EQ(read(result[0], reply, sizeof reply), 2);
    EXPECT_EQ(reply[0] * 256 + reply[1], 0x0A01);
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(sim::waitUntil([&] { return dongle.mode() == sim::Mode::Bootloader; }, 10000));
}

// The faults the soak draws are written out for torvex-sim's --fault from
// the same table its parser reads.
TEST(Faults, WrittenAsTheyAreRead)
{
    for (const std::string text :
         {"ignore", "drop", "delay:150", "delay:gaveup", "delay:polls3000", "replace:0a00",
          "split:2:20", "split:1:gaveup", "stale:5:4a554e4b", "unplug", "corrupt", "flood:3000",
          "flood:3000:200", "flood:3000:gaveup"}) {
        int frame = 0;
        sim::Fault fault;
        std::string why;
        ASSERT_TRUE(sim::parseFault("7:" + text, &frame, &fault, &why)) << why;
        EXPECT_EQ(sim::faultText(fault), text);
    }
}

} // namespace
