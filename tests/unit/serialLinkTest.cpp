// The serial link on a real pseudo-terminal: raw mode, writing frames and
// collecting replies.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <numeric>
#include <thread>

#include "../e2e/rig.h"
#include "usbDevice.h"

namespace
{

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

    // Fills the line towards the dongle until the port takes no more.
    std::size_t fillLine()
    {
        const int host = open(bus_->hostPort().c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK);
        std::vector<uint8_t> filler(4096, 0x55);
        std::size_t total = 0;
        for (ssize_t n; (n = write(host, filler.data(), filler.size())) > 0;) {
            total += static_cast<std::size_t>(n);
        }
        close(host);
        return total;
    }

    // No zero, which would end a reply's text, and no period that divides a page.
    static std::vector<uint8_t> pattern(std::size_t length)
    {
        std::vector<uint8_t> bytes(length);
        for (std::size_t i = 0; i < length; ++i) {
            bytes[i] = static_cast<uint8_t>(i % 251 + 1);
        }
        return bytes;
    }

    std::unique_ptr<sim::PtyBus> bus_;
    std::unique_ptr<UsbDevice> device_;
    int master_ = -1;
};

// Raw mode: what a cooked line would eat or translate (CR and NL, XON and
// XOFF, ^C, erase, kill, end of file, 0xFF, bytes above 0x7F) crosses it
// unchanged both ways, and nothing is echoed, from a line that started cooked.
TEST_F(SerialLink, EveryByteCrossesTheLineUnchangedBothWays)
{
    termios cooked{};
    ASSERT_EQ(tcgetattr(master_, &cooked), 0);
    cooked.c_iflag |= IXON | IXANY | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL;
    cooked.c_lflag |= ICANON | ECHO | ECHOE | ECHONL | ISIG | IEXTEN;
    cooked.c_oflag |= OPOST | ONLCR;
    ASSERT_EQ(tcsetattr(master_, TCSANOW, &cooked), 0);

    UsbDevice &device = connected();
    std::vector<uint8_t> every(256);
    std::iota(every.begin(), every.end(), 0);
    dongleSends(every);
    EXPECT_TRUE(device.receive(100));
    EXPECT_EQ(std::vector<uint8_t>(device.rxBuffer, device.rxBuffer + device.rxLength), every);
    EXPECT_TRUE(device.transmit(every.data(), static_cast<int32_t>(every.size()), false, 100));
    EXPECT_EQ(dongleReads(), every);
}

// A reply of three bytes leaves the rest of the buffer zero; a timeout of
// zero reads nothing and leaves the reply waiting in the port.
TEST_F(SerialLink, TimeoutOfZeroReadsNothingAndAShortReplyLeavesTheRestZero)
{
    UsbDevice &device = connected();
    dongleSends({'d', 'O', 'K'});
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_FALSE(device.receive(0));
    EXPECT_FALSE(device.receive(-5));
    EXPECT_EQ(device.rxLength, 0);
    EXPECT_TRUE(device.receive(100));
    EXPECT_EQ(device.rxLength, 3);
    EXPECT_TRUE(device.replyTextIs("OK"));
    for (int i = 3; i < UsbDevice::rxCapacity; ++i) {
        ASSERT_EQ(device.rxBuffer[i], 0) << "byte " << i;
    }
}

TEST_F(SerialLink, ReplyLongerThanTheBufferIsCutAtItsEnd)
{
    UsbDevice &device = connected();
    const std::vector<uint8_t> flood = pattern(1500);
    dongleSends(flood);
    EXPECT_TRUE(device.receive(100));
    EXPECT_EQ(device.rxLength, UsbDevice::rxCapacity);
    EXPECT_EQ(std::memcmp(device.rxBuffer, flood.data(), UsbDevice::rxCapacity), 0);
    // A reply text that fills the whole buffer has no end inside it.
    EXPECT_FALSE(device.replyTextIs("OK"));
}

TEST_F(SerialLink, FrameGoesOutWholeWhenThePortMakesRoomInTime)
{
    UsbDevice &device = connected();
    const std::size_t queued = fillLine();
    ASSERT_GT(queued, 0U);
    const std::vector<uint8_t> frame = pattern(2047);
    std::vector<uint8_t> received;
    std::thread dongle([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        received = dongleReads();
    });
    EXPECT_TRUE(device.transmit(frame.data(), static_cast<int32_t>(frame.size()), false, 2000));
    dongle.join();
    ASSERT_EQ(received.size(), queued + frame.size());
    EXPECT_TRUE(
        std::equal(frame.begin(), frame.end(), received.end() - static_cast<long>(frame.size())));
}

// A frame that cannot go out whole within its timeout fails then; on a port
// that is gone, at once whatever the timeout.
TEST_F(SerialLink, FrameFailsOnAFullPortAfterItsTimeoutAndOnAnUnpluggedOneAtOnce)
{
    UsbDevice &device = connected();
    ASSERT_GT(fillLine(), 0U);
    const std::vector<uint8_t> frame(2047, 0x65);
    auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(device.transmit(frame.data(), static_cast<int32_t>(frame.size()), true, 50));
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    bus_->unplug();
    started = std::chrono::steady_clock::now();
    EXPECT_FALSE(device.transmit(frame.data(), 3, true, 10000));
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
}

} // namespace
