#include "faults.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <iterator>
#include <sstream>

namespace sim
{

namespace
{

std::vector<std::string> splitFields(const std::string &text)
{
    std::vector<std::string> fields;
    std::stringstream stream(text);
    std::string field;
    while (std::getline(stream, field, ':')) {
        fields.push_back(field);
    }
    return fields;
}

bool toInt(const std::string &text, int *value)
{
    try {
        std::size_t used = 0;
        *value = std::stoi(text, &used);
        return used == text.size() && *value >= 0;
    } catch (...) {
        return false;
    }
}

// A kind's arguments, a letter each: d delayMs, b burst, a afterMs, h bytes
// in hex; a capital one may be left out at the end.
struct KindName {
    const char *name;
    Fault::Kind kind;
    const char *args;
};
const KindName kindNames[] = {
    {"ignore", Fault::Kind::Ignore, ""}, {"drop", Fault::Kind::DropReply, ""},
    {"delay", Fault::Kind::Delay, "d"},  {"replace", Fault::Kind::Replace, "h"},
    {"split", Fault::Kind::Split, "bd"}, {"stale", Fault::Kind::Stale, "dh"},
    {"unplug", Fault::Kind::Unplug, ""}, {"corrupt", Fault::Kind::Corrupt, ""},
    {"flood", Fault::Kind::Flood, "dA"},
};

// A pause given as an event of the host's rather than in milliseconds.
bool toHostEvent(const std::string &text, Fault *fault)
{
    const std::string polls = "polls";
    if (text == "gaveup") {
        fault->until = Fault::Until::HostGaveUp;
        return true;
    }
    if (text.compare(0, polls.size(), polls) == 0 &&
        toInt(text.substr(polls.size()), &fault->polls)) {
        fault->until = Fault::Until::HostPolls;
        return true;
    }
    return false;
}

// A pause's text: the host's event, or its time.
std::string pauseText(const Fault &fault, int ms)
{
    return fault.until == Fault::Until::HostGaveUp  ? "gaveup"
           : fault.until == Fault::Until::HostPolls ? "polls" + std::to_string(fault.polls)
                                                    : std::to_string(ms);
}

// Whether argument letter `arg` of the fault's kind may be a host's event.
bool takesEvent(char arg, Fault::Kind kind)
{
    return arg == 'a' || (arg == 'd' && kind != Fault::Kind::Flood);
}

} // namespace

std::vector<uint8_t> fromHex(const std::string &hex, bool *ok)
{
    std::vector<uint8_t> bytes;
    *ok = hex.size() % 2 == 0;
    for (std::size_t i = 0; *ok && i < hex.size(); i += 2) {
        unsigned value = 0;
        *ok = std::sscanf(hex.substr(i, 2).c_str(), "%2x", &value) == 1;
        bytes.push_back(static_cast<uint8_t>(value));
    }
    return bytes;
}

std::string toHex(const std::vector<uint8_t> &bytes)
{
    std::string text;
    char digits[3];
    for (uint8_t byte : bytes) {
        std::snprintf(digits, sizeof digits, "%02x", byte);
        text += digits;
    }
    return text;
}

bool parseFault(const std::string &text, int *frame, Fault *fault, std::string *why)
{
    const auto fields = splitFields(text);
    const KindName *kind =
        std::find_if(std::begin(kindNames), std::end(kindNames),
                     [&](const KindName &k) { return fields.size() >= 2 && fields[1] == k.name; });
    if (kind == std::end(kindNames) || !toInt(fields[0], frame)) {
        *why = "expected <frame>:<kind>[:args], kinds:";
        for (const KindName &known : kindNames) {
            *why += std::string(" ") + known.name;
        }
        return false;
    }
    *fault = Fault{};
    fault->kind = kind->kind;
    const std::string args = kind->args;
    const std::size_t given = fields.size() - 2;
    bool ok = given == args.size() || (given + 1 == args.size() && std::isupper(args.back()) != 0);
    for (std::size_t i = 0; ok && i < given; ++i) {
        const char arg = static_cast<char>(std::tolower(args[i]));
        if (arg == 'h') {
            fault->bytes = fromHex(fields[i + 2], &ok);
        } else if (takesEvent(arg, fault->kind) && toHostEvent(fields[i + 2], fault)) {
            continue;
        } else {
            ok = toInt(fields[i + 2], arg == 'd'   ? &fault->delayMs
                                      : arg == 'b' ? &fault->burst
                                                   : &fault->afterMs);
        }
    }
    if (!ok || fault->burst <= 0) {
        *why = "bad arguments in fault '" + text + "'";
        return false;
    }
    return true;
}

std::string describe(const Fault &fault)
{
    const std::string text = faultText(fault);
    return text.substr(0, text.find(':'));
}

std::string faultText(const Fault &fault)
{
    const KindName *kind = std::find_if(std::begin(kindNames), std::end(kindNames),
                                        [&](const KindName &k) { return k.kind == fault.kind; });
    if (kind == std::end(kindNames)) {
        return "none";
    }
    std::string text = kind->name;
    for (const char *letter = kind->args; *letter != '\0'; ++letter) {
        const char arg = static_cast<char>(std::tolower(*letter));
        const bool event = fault.until != Fault::Until::Time && takesEvent(arg, fault.kind);
        if (std::isupper(*letter) != 0 && fault.afterMs == 0 && !event) {
            break; // an optional last argument left out
        }
        text += ":" + (arg == 'h'   ? toHex(fault.bytes)
                       : arg == 'b' ? std::to_string(fault.burst)
                                    : pauseText(event ? fault : Fault{},
                                                arg == 'd' ? fault.delayMs : fault.afterMs));
    }
    return text;
}

} // namespace sim
