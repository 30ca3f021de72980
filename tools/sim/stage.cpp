#include "stage.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "gadgetBus.h"

namespace sim
{

bool readBinaryFile(const std::string &path, std::vector<uint8_t> *bytes)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

bool waitUntil(const std::function<bool()> &done, int ms)
{
    for (int waited = 0; !done(); waited += 10) {
        if (waited >= ms) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

std::string byPathLink(const std::string &usbPath)
{
    const std::size_t dash = usbPath.find('-');
    return "/dev/serial/by-path/platform-dummy_hcd." +
           std::to_string(std::stoi(usbPath.substr(0, dash)) - 1) +
           "-usb-0:" + usbPath.substr(dash + 1) + ":1.0";
}

Stage::Stage(std::string gadgetName, std::vector<std::string> udcs)
    : gadgetName_(std::move(gadgetName)), udcs_(std::move(udcs)),
      tree_(gadgetName_.empty() ? std::make_unique<FakeDeviceTree>() : nullptr),
      error_(tree_ ? tree_->error() : "")
{
}

std::unique_ptr<Bus> Stage::makeBus(UsbPlace *place, std::size_t i)
{
    if (gadgetName_.empty()) {
        auto bus = std::make_unique<PtyBus>(*place);
        *place = bus->place();
        return bus;
    }
    auto bus = std::make_unique<GadgetBus>(gadgetName_ + (i == 0 ? "" : std::to_string(i + 1)),
                                           i < udcs_.size() ? udcs_[i] : "", place->serial,
                                           place->bootloaderSerial);
    if (!bus->error().empty() && ok()) {
        error_ = bus->error();
    }
    return bus;
}

void Stage::start(std::unique_ptr<Bus> bus, const UsbPlace &place, DongleOptions options)
{
    places_.push_back(place);
    buses_.push_back(std::move(bus));
    dongles_.push_back(std::make_unique<Dongle>(*buses_.back(), std::move(options)));
    if (ok() && !dongles_.back()->start()) {
        error_ = busError(buses_.size() - 1);
    }
}

Dongle &Stage::plugIn(DongleOptions options, UsbPlace place)
{
    plugIn({{std::move(options), std::move(place)}});
    return *dongles_.back();
}

bool Stage::plugIn(const std::vector<Seat> &seats)
{
    std::vector<Seat> seated = seats;
    std::vector<std::unique_ptr<Bus>> buses(seats.size());
    for (int pass = 0; pass < 2; ++pass) {
        for (std::size_t i = 0; i < seats.size(); ++i) {
            UsbPlace &place = seated[i].place;
            if ((place.path.empty() && !place.plain) == (pass == 1)) {
                buses[i] = makeBus(&place, buses_.size() + i);
            }
        }
    }
    for (std::size_t i = 0; i < seats.size(); ++i) {
        start(std::move(buses[i]), seated[i].place, std::move(seated[i].options));
    }
    return ok();
}

bool Stage::plugInTimed(const std::vector<Seat> &seats)
{
    const auto later = std::find_if(seats.begin(), seats.end(),
                                    [](const Seat &seat) { return seat.options.pull.atMs != 0; });
    for (const auto &[from, to] : {std::pair{seats.begin(), later}, {later, seats.end()}}) {
        const std::size_t first = size();
        if (!plugIn({from, to})) {
            return false;
        }
        for (std::size_t i = first; i < size(); ++i) {
            dongle(i).armPull();
        }
        const auto gone = [this, first] {
            for (std::size_t i = first; i < size(); ++i) {
                if (!dongle(i).hostPort().empty()) {
                    return false;
                }
            }
            return true;
        };
        if (to == later && from != to && !waitUntil(gone, 3000)) {
            error_ = "a dongle to plug in later did not leave";
            return false;
        }
    }
    return true;
}

std::string Stage::busError(std::size_t i) const
{
    return gadgetName_.empty() ? "cannot create a pseudo-terminal"
                               : static_cast<const GadgetBus &>(*buses_[i]).error();
}

bool Stage::linkByPath() const
{
    std::error_code error;
    std::filesystem::create_directories("/dev/serial/by-path", error);
    for (std::size_t i = 0; i < size(); ++i) {
        const std::string port = dongle(i).hostPort(); // /dev/ttyACMn
        if (!places_[i].plain && !port.empty()) {
            std::filesystem::create_symlink("../.." + port.substr(4), byPathLink(places_[i].path),
                                            error);
        }
        if (error && error != std::errc::file_exists) {
            return false;
        }
    }
    return true;
}

void Stage::stop()
{
    for (auto &dongle : dongles_) {
        dongle->stop();
    }
}

} // namespace sim
