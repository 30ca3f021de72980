// The serial link on a real pseudo-terminal: discovery, line settings,
// writing frames and collecting replies.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <thread>

#include "../e2e/rig.h"
#include "usbDevice.h"

namespace
{

using std::chrono::milliseconds;

class SerialLink : public rig::Rig
{
  protected:
    void SetUp() override
    {
        rig::Rig::SetUp();
        if (IsSkipped() || HasFatalFailure()) {
            return;
        }
        bus_ = std::make_unique<sim::PtyBus>();
        master_ = bus_->plugIn(sim::Mode::Bootloader);
        ASSERT_GE(master_, 0);
    }
    void TearDown() override
    {
        device_.reset();
        bus_.reset();
        rig::Rig::TearDown();
    }

    UsbDevice &connected()
    {
        device_ = std::make_unique<UsbDevice>();
        EXPECT_TRUE(device_->connect("usb:v0069p2000"));
        return *device_;
    }

    void dongleSends(const std::vector<uint8_t> &bytes)
    {
        ASSERT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    std::vector<uint8_t> dongleReads()
    {
        std::vector<uint8_t> bytes;
        uint8_t chunk[4096];
        struct pollfd line = {master_, POLLIN, 0};
        while (poll(&line, 1, 50) > 0) {
            const ssize_t n = read(master_, chunk, sizeof chunk);
            if (n <= 0) {
                break;
            }
            bytes.insert(bytes.end(), chunk, chunk + n);
        }
        return bytes;
    }

    std::unique_ptr<sim::PtyBus> bus_;
    std::unique_ptr<UsbDevice> device_;
    int master_ = -1;
};

TEST_F(SerialLink, DiscoveryWithNoPortsFindsNothing)
{
    bus_->unplug();
    int32_t fd = 7;
    EXPECT_EQ(open_device(&fd, "usb:v0069p2000"), "");
    EXPECT_EQ(fd, -1);
    UsbDevice device;
    EXPECT_FALSE(device.connect("usb:v0069p2000"));
    EXPECT_EQ(device.getSerialDeviceName(), "");
}

TEST_F(SerialLink, DiscoveryComparesOnlyTheIdentifierAtTheStartOfModalias)
{
    int32_t fd = -1;
    EXPECT_EQ(open_device(&fd, "usb:v0069p1000"), "");
    EXPECT_EQ(fd, -1);
    EXPECT_EQ(open_device(&fd, "usb:v0069p2000"), "/dev/ttyACM0");
    EXPECT_GE(fd, 0);
    close(fd);
}

// Raw mode: every byte passes as it is, nothing is echoed or translated,
// and the speed and flow control stay as the driver had them.
TEST_F(SerialLink, ConnectSetsRawModeAndKeepsSpeedAndFlowControl)
{
    struct termios before {
    };
    ASSERT_EQ(tcgetattr(master_, &before), 0);
    before.c_cflag |= CRTSCTS | PARENB | CSTOPB;
    cfsetospeed(&before, B115200);
    cfsetispeed(&before, B115200);
    ASSERT_EQ(tcsetattr(master_, TCSANOW, &before), 0);

    connected();
    struct termios after {
    };
    ASSERT_EQ(tcgetattr(master_, &after), 0);
    EXPECT_EQ(after.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(after.c_cflag & (PARENB | CSTOPB), 0U);
    EXPECT_EQ(after.c_cflag & (CREAD | CLOCAL), static_cast<tcflag_t>(CREAD | CLOCAL));
    EXPECT_EQ(after.c_lflag & (ICANON | ECHO | ECHOE | ECHONL | ISIG), 0U);
    EXPECT_EQ(after.c_iflag & (IXON | IXOFF | IXANY | IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR |
                               IGNCR | ICRNL),
              0U);
    EXPECT_EQ(after.c_oflag & (OPOST | ONLCR), 0U);
    EXPECT_EQ(after.c_cc[VMIN], 0);
    EXPECT_EQ(after.c_cc[VTIME], 0);
    EXPECT_EQ(after.c_cflag & CRTSCTS, static_cast<tcflag_t>(CRTSCTS));
    EXPECT_EQ(cfgetospeed(&after), static_cast<speed_t>(B115200));
}

TEST_F(SerialLink, FramesGoOutByteForByte)
{
    UsbDevice &device = connected();
    const std::vector<uint8_t> frame = {0x0A, 0x00, 0x0D, 0x11, 0x13, 0x03, 0xFF};
    EXPECT_TRUE(device.transmit(frame.data(), static_cast<int32_t>(frame.size()), false, 10));
    EXPECT_EQ(dongleReads(), frame);
}

TEST_F(SerialLink, ReplyOfThreeBytesLeavesTheRestOfTheBufferZero)
{
    UsbDevice &device = connected();
    dongleSends({'d', 'O', 'K'});
    EXPECT_TRUE(device.receive(100));
    EXPECT_EQ(device.rxLength, 3);
    EXPECT_TRUE(device.replyTextIs("OK"));
    for (int i = 3; i < UsbDevice::rxCapacity; ++i) {
        ASSERT_EQ(device.rxBuffer[i], 0) << "byte " << i;
    }
}

TEST_F(SerialLink, TimeoutOfZeroReadsNothing)
{
    UsbDevice &device = connected();
    dongleSends({'d', 'O', 'K'});
    std::this_thread::sleep_for(milliseconds(10));
    EXPECT_FALSE(device.receive(0));
    EXPECT_FALSE(device.receive(-5));
    EXPECT_EQ(device.rxLength, 0);
    // The reply is still waiting in the port.
    EXPECT_TRUE(device.receive(100));
    EXPECT_EQ(device.rxLength, 3);
}

TEST_F(SerialLink, ReplyArrivingInBurstsIsCutAfterTheQuietPolls)
{
    UsbDevice &device = connected();
    std::thread dongle([this] {
        dongleSends({'d', 'O'});
        std::this_thread::sleep_for(milliseconds(30));
        dongleSends({'K'});
    });
    EXPECT_TRUE(device.receive(100));
    dongle.join();
    EXPECT_EQ(device.rxLength, 2);
    EXPECT_FALSE(device.replyTextIs("OK"));
    // What came after the cut is left for the next reply.
    EXPECT_TRUE(device.receive(100));
    EXPECT_EQ(device.rxLength, 1);
    EXPECT_EQ(device.rxBuffer[0], 'K');
}

TEST_F(SerialLink, ReplyLongerThanTheBufferIsCutAtItsEnd)
{
    UsbDevice &device = connected();
    std::vector<uint8_t> flood(1500);
    for (std::size_t i = 0; i < flood.size(); ++i) {
        flood[i] = static_cast<uint8_t>(i % 251 + 1);
    }
    dongleSends(flood);
    EXPECT_TRUE(device.receive(100));
    EXPECT_EQ(device.rxLength, UsbDevice::rxCapacity);
    EXPECT_EQ(std::memcmp(device.rxBuffer, flood.data(), UsbDevice::rxCapacity), 0);
    // A reply text that fills the whole buffer has no end inside it.
    EXPECT_FALSE(device.replyTextIs("OK"));
}

// Bytes that wait in the port before a frame goes out are not its reply.
TEST_F(SerialLink, TransmitDiscardsWhatWaitsBeforeTheFrame)
{
    UsbDevice &device = connected();
    dongleSends({'j', 'u', 'n', 'k'});
    std::this_thread::sleep_for(milliseconds(10));
    std::thread dongle([this] {
        dongleReads();
        dongleSends({'d', 'O', 'K'});
    });
    const uint8_t frame[] = {0x64, 0xAA, 0xAA};
    EXPECT_TRUE(device.transmit(frame, 3, true, 500));
    dongle.join();
    EXPECT_EQ(device.rxLength, 3);
    EXPECT_TRUE(device.replyTextIs("OK"));
}

// Fills the line towards the dongle until the port takes no more.
std::size_t fillLine(int fd)
{
    std::vector<uint8_t> filler(4096, 0x55);
    std::size_t total = 0;
    for (;;) {
        const ssize_t n = write(fd, filler.data(), filler.size());
        if (n <= 0) {
            return total;
        }
        total += static_cast<std::size_t>(n);
    }
}

TEST_F(SerialLink, FrameGoesOutWholeWhenThePortMakesRoomInTime)
{
    UsbDevice &device = connected();
    const int host = open(bus_->hostPort().c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(host, 0);
    const std::size_t queued = fillLine(host);
    close(host);
    ASSERT_GT(queued, 0U);
    std::vector<uint8_t> frame(2047);
    for (std::size_t i = 0; i < frame.size(); ++i) {
        frame[i] = static_cast<uint8_t>(i * 7 + 1);
    }
    std::vector<uint8_t> received;
    std::thread dongle([&] {
        std::this_thread::sleep_for(milliseconds(20));
        received = dongleReads();
    });
    EXPECT_TRUE(device.transmit(frame.data(), static_cast<int32_t>(frame.size()), false, 2000));
    dongle.join();
    ASSERT_EQ(received.size(), queued + frame.size());
    EXPECT_TRUE(
        std::equal(frame.begin(), frame.end(), received.end() - static_cast<long>(frame.size())));
}

TEST_F(SerialLink, FrameThatCannotGoOutWithinTheTimeoutFails)
{
    UsbDevice &device = connected();
    const int host = open(bus_->hostPort().c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(host, 0);
    fillLine(host);
    close(host);
    const std::vector<uint8_t> frame(2047, 0x65);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(device.transmit(frame.data(), static_cast<int32_t>(frame.size()), true, 50));
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
}

TEST_F(SerialLink, UnpluggedPortFailsAtOnce)
{
    UsbDevice &device = connected();
    bus_->unplug();
    const uint8_t frame[] = {0x64, 0xAA, 0xAA};
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(device.transmit(frame, 3, true, 10000));
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
}

std::string sysfsText(const std::string &path)
{
    std::ifstream in(path);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return in ? text : "(none)";
}

// What a program finds above a port, through the kernel's path walk from
// the class link: the USB device at its port path, which keeps the path but
// not its device number, product id or serial when it comes back in its
// other mode. A bus not told its place takes a port no other bus has.
TEST_F(SerialLink, UsbDeviceAboveThePortKeepsItsPathAcrossAReplug)
{
    sim::PtyBus placed({false, "3-1.4", "TVX-7", ""});
    sim::PtyBus unplaced;
    EXPECT_EQ(unplaced.place().path, "1-2");
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

} // namespace
