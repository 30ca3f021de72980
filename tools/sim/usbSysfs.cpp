#include "usbSysfs.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>

namespace sim
{

namespace
{

namespace fs = std::filesystem;

constexpr int ttyAcmMajor = 166;
constexpr int usbDeviceMajor = 189;
constexpr int devicesPerBus = 128;

std::string devpathOf(const std::string &portPath)
{
    return portPath.substr(portPath.find('-') + 1);
}

template <typename... Args> std::string format(const char *pattern, Args... args)
{
    char text[256];
    std::snprintf(text, sizeof text, pattern, args...);
    return text;
}

// As the kernel does, each enumeration on a bus takes the number after the
// last one given, wrapping past 127; the root hub keeps 1.
int nextDeviceNumber(int bus)
{
    static std::mutex lock;
    static std::map<int, int> last;
    std::lock_guard<std::mutex> guard(lock);
    int &number = last.try_emplace(bus, 1).first->second;
    number = number + 1 < devicesPerBus ? number + 1 : 2;
    return number;
}

void writeAttributes(const fs::path &dir,
                     std::initializer_list<std::pair<const char *, std::string>> attributes)
{
    std::error_code ignored;
    fs::create_directories(dir, ignored);
    for (const auto &[name, value] : attributes) {
        std::ofstream(dir / name) << value << "\n";
    }
}

struct Identity {
    int vendor;
    int product;
    int release;
    int deviceClass;
    std::string manufacturer;
    std::string productName;
    std::string serial;
};

// The attributes drivers/usb/core/sysfs.c gives every USB device, in its
// formats, and the uevent of the device's character node.
void writeUsbDevice(const fs::path &dir, int bus, const std::string &devpath, int devnum,
                    const Identity &id)
{
    const int minor = (bus - 1) * devicesPerBus + devnum - 1;
    writeAttributes(dir, {{"busnum", std::to_string(bus)},
                          {"devnum", std::to_string(devnum)},
                          {"devpath", devpath},
                          {"idVendor", format("%04x", id.vendor)},
                          {"idProduct", format("%04x", id.product)},
                          {"bcdDevice", format("%04x", id.release)},
                          {"bDeviceClass", format("%02x", id.deviceClass)},
                          {"bNumConfigurations", "1"},
                          {"speed", "480"},
                          {"version", " 2.00"},
                          {"dev", format("%d:%d", usbDeviceMajor, minor)},
                          {"uevent", format("MAJOR=%d\nMINOR=%d\nDEVNAME=bus/usb/%03d/%03d\n"
                                            "DEVTYPE=usb_device\nDRIVER=usb\nPRODUCT=%x/%x/%x\n"
                                            "TYPE=%d/0/0\nBUSNUM=%03d\nDEVNUM=%03d",
                                            usbDeviceMajor, minor, bus, devnum, id.vendor,
                                            id.product, id.release, id.deviceClass, bus, devnum)}});
    // The kernel has no file for a string the device does not report.
    for (const auto &[name, text] :
         {std::make_pair("manufacturer", &id.manufacturer),
          std::make_pair("product", &id.productName), std::make_pair("serial", &id.serial)}) {
        if (!text->empty()) {
            std::ofstream(dir / name) << *text << "\n";
        }
    }
}

// The root hub (at an empty port path) or a hub on the way to a device.
void ensureHub(const fs::path &dir, int bus, const std::string &portPath)
{
    if (fs::exists(dir / "busnum")) {
        return;
    }
    if (portPath.empty()) {
        writeUsbDevice(dir, bus, "0", 1,
                       {0x1d6b, 0x0002, 0x0601, 9, "Linux dummy_hcd", "Dummy host controller",
                        "dummy_hcd." + std::to_string(bus - 1)});
    } else {
        writeUsbDevice(dir, bus, devpathOf(portPath), nextDeviceNumber(bus),
                       {0x05e3, 0x0608, 0x6060, 9, "", "USB2.0 Hub", ""});
    }
}

// The relative link the kernel makes from `from` (a directory under
// sysDir) to `to` (a path relative to sysDir).
std::string upTo(const fs::path &relativeFrom, const std::string &to)
{
    std::string link;
    for (auto part = relativeFrom.begin(); part != relativeFrom.end(); ++part) {
        link += "../";
    }
    return link + to;
}

// The USB device's directory at a port path, below the bus's root hub and
// the hubs on the way, which `makeHubs` lays out when they are missing.
fs::path deviceDir(const std::string &sysDir, const std::string &path, bool makeHubs)
{
    const int bus = std::atoi(path.c_str());
    fs::path dir = fs::path(sysDir) / "devices/platform" /
                   ("dummy_hcd." + std::to_string(bus - 1)) / ("usb" + std::to_string(bus));
    std::string hub; // the root hub's port path is empty
    for (std::size_t dot = path.find('.');; dot = path.find('.', dot + 1)) {
        if (makeHubs) {
            ensureHub(dir, bus, hub);
        }
        hub = path.substr(0, dot);
        dir /= hub;
        if (dot == std::string::npos) {
            return dir;
        }
    }
}

std::string ttyName(const UsbPort &port)
{
    return "ttyACM" + std::to_string(port.tty);
}

void writeInterfaces(const fs::path &device, const UsbPort &port, int product)
{
    const std::string modalias = modaliasOf(port.mode);
    const fs::path control = device / (port.path + ":1.0");
    writeAttributes(control, {{"bInterfaceNumber", "00"},
                              {"bAlternateSetting", " 0"},
                              {"bNumEndpoints", "01"},
                              {"bInterfaceClass", "02"},
                              {"bInterfaceSubClass", "02"},
                              {"bInterfaceProtocol", "01"},
                              {"bmCapabilities", "2"},
                              {"uevent", "DEVTYPE=usb_interface\nDRIVER=cdc_acm\nPRODUCT=69/" +
                                             format("%04x", product) +
                                             "/100\nTYPE=2/0/0\nINTERFACE=2/2/1\nMODALIAS=" +
                                             modalias.substr(0, modalias.size() - 1)}});
    std::ofstream(control / "modalias") << modalias;
    writeAttributes(device / (port.path + ":1.1"), {{"bInterfaceNumber", "01"},
                                                    {"bAlternateSetting", " 0"},
                                                    {"bNumEndpoints", "02"},
                                                    {"bInterfaceClass", "0a"},
                                                    {"bInterfaceSubClass", "00"},
                                                    {"bInterfaceProtocol", "00"}});
}

} // namespace

void publishUsbPort(const std::string &sysDir, const UsbPort &port)
{
    const std::string name = ttyName(port);
    const fs::path classDir = fs::path(sysDir) / "class/tty";
    if (port.plain) {
        writeAttributes(classDir / name / "device", {});
        std::ofstream(classDir / name / "device/modalias") << modaliasOf(port.mode);
        std::ofstream(classDir / name / "dev") << port.dev << "\n";
        return;
    }
    const fs::path dir = deviceDir(sysDir, port.path, true);
    const int bus = std::atoi(port.path.c_str());
    const int product = port.mode == Mode::Application ? 0x1000 : 0x2000;
    writeUsbDevice(dir, bus, devpathOf(port.path), nextDeviceNumber(bus),
                   {0x0069, product, 0x0100, 2, "Torvex",
                    port.mode == Mode::Application ? "Torvex USB-CAN" : "Torvex Bootloader",
                    port.serial});
    writeInterfaces(dir, port, product);

    const fs::path tty = dir / (port.path + ":1.0") / "tty" / name;
    const fs::path ttyInSys = tty.lexically_relative(sysDir);
    writeAttributes(tty, {{"dev", port.dev},
                          {"uevent", format("MAJOR=%d\nMINOR=%d\nDEVNAME=%s", ttyAcmMajor, port.tty,
                                            name.c_str())}});
    symlink(("../../../" + port.path + ":1.0").c_str(), (tty / "device").c_str());
    symlink(upTo(ttyInSys, "class/tty").c_str(), (tty / "subsystem").c_str());
    // The class link comes last: through it a reader finds a complete device.
    std::error_code ignored;
    fs::create_directories(classDir, ignored);
    symlink(upTo("class/tty", ttyInSys.string()).c_str(), (classDir / name).c_str());
}

void withdrawUsbPort(const std::string &sysDir, const UsbPort &port)
{
    std::error_code ignored;
    fs::remove_all(fs::path(sysDir) / "class/tty" / ttyName(port), ignored);
    if (!port.plain) {
        fs::remove_all(deviceDir(sysDir, port.path, false), ignored);
    }
}

} // namespace sim
