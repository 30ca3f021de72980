// The stage's sysfs as a program finds it above a port, through the kernel's
// path walk from the class link: the USB device at its port path, which keeps
// the path but not its device number, product id or serial when it comes back
// in its other mode. A bus not told its place takes a port no other bus has.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
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
