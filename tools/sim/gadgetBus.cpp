#include "gadgetBus.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

namespace sim
{

namespace
{

namespace fs = std::filesystem;

const char gadgetRoot[] = "/sys/kernel/config/usb_gadget";
const char vendorId[] = "0x0069";
const std::string functionDir = "functions/acm.usb0";
const std::string configDir = "configs/c.1";

std::string productIdOf(Mode mode)
{
    return mode == Mode::Application ? "0x1000" : "0x2000";
}

std::string readFirstLine(const std::string &path)
{
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

std::vector<std::string> listDir(const std::string &path)
{
    std::vector<std::string> names;
    std::error_code e;
    for (fs::directory_iterator entry(path, e), end; !e && entry != end; entry.increment(e)) {
        names.push_back(entry->path().filename());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// dummy_hcd pairs each device controller dummy_udc.N with the host
// controller dummy_hcd.N, whose bus the gadget then shows up on. Other
// controllers have no known host side.
std::string hostControllerOf(const std::string &udc)
{
    const std::string prefix = "dummy_udc.";
    return udc.rfind(prefix, 0) == 0 ? "dummy_hcd." + udc.substr(prefix.size()) : "";
}

bool exists(const std::string &path)
{
    std::error_code e;
    return fs::exists(path, e);
}

} // namespace

GadgetBus::GadgetBus(const std::string &name, std::string udc, std::string applicationSerial,
                     std::string bootloaderSerial)
    : dir_(std::string(gadgetRoot) + "/" + name), udc_(std::move(udc)),
      applicationSerial_(std::move(applicationSerial)),
      bootloaderSerial_(std::move(bootloaderSerial))
{
    create();
}

GadgetBus::~GadgetBus()
{
    destroy();
}

bool GadgetBus::writeAttr(const std::string &relPath, const std::string &value) const
{
    std::ofstream out(dir_ + "/" + relPath);
    out << value << "\n";
    out.flush();
    return static_cast<bool>(out);
}

void GadgetBus::create()
{
    if (!exists(gadgetRoot)) {
        error_ = std::string(gadgetRoot) + " is missing (configfs mounted? libcomposite loaded?)";
        return;
    }
    if (udc_.empty()) {
        const auto udcs = listDir("/sys/class/udc");
        if (udcs.empty()) {
            error_ = "no USB device controller in /sys/class/udc";
            return;
        }
        udc_ = udcs.front();
    }
    hostController_ = hostControllerOf(udc_);
    // A gadget left behind by an earlier run is taken down first.
    destroy();
    std::error_code ignored; // configfs makes some of them itself
    for (const std::string &leaf :
         {std::string("/strings/0x409"), "/" + functionDir, "/" + configDir + "/strings/0x409"}) {
        fs::create_directories(dir_ + leaf, ignored);
    }
    created_ = true;
    const bool ok = writeAttr("idVendor", vendorId) &&
                    writeAttr("idProduct", productIdOf(Mode::Application)) &&
                    writeAttr("bcdUSB", "0x0200") && writeAttr("bcdDevice", "0x0100") &&
                    writeAttr("strings/0x409/manufacturer", "Torvex test rig") &&
                    writeAttr("strings/0x409/product", "Torvex USB-CAN (gadget)") &&
                    writeAttr(configDir + "/strings/0x409/configuration", "ACM");
    const std::string link = dir_ + "/" + configDir + "/acm.usb0";
    if (!ok ||
        (symlink((dir_ + "/" + functionDir).c_str(), link.c_str()) != 0 && errno != EEXIST)) {
        error_ = "cannot set up the gadget in " + dir_ + ": " + std::strerror(errno);
        return;
    }
    deviceTty_ = "/dev/ttyGS" + readFirstLine(dir_ + "/" + functionDir + "/port_num");
}

void GadgetBus::destroy()
{
    GadgetBus::unplug(); // no dynamic dispatch: destroy() runs in the destructor
    if (!exists(dir_)) {
        return;
    }
    // A gadget left bound (by a run that died) must let go of its UDC first;
    // configfs then wants its tree taken apart leaf first.
    writeAttr("UDC", "");
    unlink((dir_ + "/" + configDir + "/acm.usb0").c_str());
    for (const std::string &sub :
         {configDir + "/strings/0x409", configDir, functionDir, std::string("strings/0x409")}) {
        rmdir((dir_ + "/" + sub).c_str());
    }
    rmdir(dir_.c_str());
    created_ = false;
}

// The ttyGS node outlives the binding, but a descriptor opened before it is
// hung up by the unbind: every binding needs a fresh one.
int GadgetBus::openDeviceSide()
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (!exists(deviceTty_) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const int fd = open(deviceTty_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error_ = "cannot open " + deviceTty_ + ": " + std::strerror(errno);
        return -1;
    }
    // The tty line discipline of ttyGS starts cooked with echo on: it would
    // answer the host's frames with copies of themselves.
    termios settings{};
    if (tcgetattr(fd, &settings) == 0) {
        cfmakeraw(&settings);
        settings.c_cc[VMIN] = 0;
        settings.c_cc[VTIME] = 0;
        tcsetattr(fd, TCSANOW, &settings);
    }
    return fd;
}

int GadgetBus::plugIn(Mode mode)
{
    unplug();
    if (!created_) {
        error_ = "the gadget was not created";
        return -1;
    }
    // The identity can only change while the gadget is unbound.
    const std::string &serial = mode == Mode::Application ? applicationSerial_ : bootloaderSerial_;
    if (!writeAttr("idProduct", productIdOf(mode)) ||
        !writeAttr("strings/0x409/serialnumber", serial)) {
        error_ = "cannot set idProduct or serialnumber";
        return -1;
    }
    if (!writeAttr("UDC", udc_)) {
        error_ = "cannot bind the gadget to " + udc_;
        return -1;
    }
    fd_ = openDeviceSide();
    if (fd_ < 0) {
        writeAttr("UDC", "");
        return -1;
    }
    mode_ = mode;
    plugged_ = true;
    return fd_;
}

void GadgetBus::unplug()
{
    if (fd_ >= 0) {
        close(fd_);
        fd_ = -1;
    }
    if (plugged_) {
        writeAttr("UDC", "");
        plugged_ = false;
    }
}

// With several gadgets on the machine, only a port on the bus of our own
// device controller can be ours.
bool GadgetBus::onOurHostController(const std::string &ttyName) const
{
    if (hostController_.empty()) {
        return true;
    }
    std::error_code e;
    const std::string target = fs::read_symlink("/sys/class/tty/" + ttyName, e);
    return target.find("/" + hostController_ + "/") != std::string::npos;
}

// The host's port of the bound gadget, found by its USB identifier as the
// flasher finds it: names are handed out by the kernel, never assumed.
std::string GadgetBus::hostPort() const
{
    if (!plugged_) {
        return "";
    }
    const std::string wanted = "usb:v0069p" + productIdOf(mode_).substr(2);
    for (const auto &name : listDir("/sys/class/tty")) {
        if (name.rfind("ttyACM", 0) == 0 &&
            readFirstLine("/sys/class/tty/" + name + "/device/modalias").rfind(wanted, 0) == 0 &&
            onOurHostController(name)) {
            return "/dev/" + name;
        }
    }
    return "";
}

} // namespace sim
