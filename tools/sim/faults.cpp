#include "faults.h"

#include <cstdio>
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

const std::map<std::string, Fault::Kind> kindNames = {
    {"ignore", Fault::Kind::Ignore}, {"drop", Fault::Kind::DropReply},
    {"delay", Fault::Kind::Delay},   {"replace", Fault::Kind::Replace},
    {"split", Fault::Kind::Split},   {"stale", Fault::Kind::Stale},
    {"unplug", Fault::Kind::Unplug}, {"corrupt", Fault::Kind::Corrupt},
    {"flood", Fault::Kind::Flood},
};

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
    if (fields.size() < 2 || !toInt(fields[0], frame) || kindNames.count(fields[1]) == 0) {
        *why = "expected <frame>:<kind>[:args], kinds: ignore drop delay replace split stale "
               "unplug corrupt flood";
        return false;
    }
    *fault = Fault{};
    fault->kind = kindNames.at(fields[1]);
    bool ok = true;
    switch (fault->kind) {
    case Fault::Kind::Delay:
        ok = fields.size() == 3 && toInt(fields[2], &fault->delayMs);
        break;
    case Fault::Kind::Flood:
        ok = (fields.size() == 3 || fields.size() == 4) && toInt(fields[2], &fault->delayMs) &&
             (fields.size() == 3 || toInt(fields[3], &fault->afterMs));
        break;
    case Fault::Kind::Replace:
        ok = fields.size() == 3;
        fault->bytes = ok ? fromHex(fields[2], &ok) : fault->bytes;
        break;
    case Fault::Kind::Split:
        ok = fields.size() == 4 && toInt(fields[2], &fault->burst) && fault->burst > 0 &&
             toInt(fields[3], &fault->delayMs);
        break;
    case Fault::Kind::Stale:
        ok = fields.size() == 4 && toInt(fields[2], &fault->delayMs);
        fault->bytes = ok ? fromHex(fields[3], &ok) : fault->bytes;
        break;
    default:
        ok = fields.size() == 2;
    }
    if (!ok) {
        *why = "bad arguments in fault '" + text + "'";
    }
    return ok;
}

std::string describe(const Fault &fault)
{
    for (const auto &[name, kind] : kindNames) {
        if (kind == fault.kind) {
            return name;
        }
    }
    return "none";
}

} // namespace sim
