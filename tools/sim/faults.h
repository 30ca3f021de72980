#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace sim
{

// What goes wrong with one frame, as seen from the host.
struct Fault {
    enum class Kind {
        None,
        Ignore,    // the frame is lost: not processed, not answered
        DropReply, // processed, but the reply is lost
        Delay,     // processed, answered after `delayMs`
        Replace,   // processed, answered with `bytes` instead
        Split,     // processed, the reply is sent in bursts of `burst` bytes, `delayMs` apart
        Stale,     // processed and answered, then `bytes` follow after `delayMs`
        Unplug,    // the dongle is pulled out instead of answering
        Corrupt,   // the frame's last byte arrives with one bit flipped
        Flood,     // processed, but after `afterMs` junk streams out without pause for
                   // `delayMs` instead of a reply
    };
    // What ends the pause before a reply (a delay, a split reply's gaps) or a
    // flood: its time, or what the host did, which no busy machine reorders.
    enum class Until {
        Time,
        HostGaveUp, // the host waits for the line to fall silent, or has let go of the port
        HostPolls,  // the host has read the line `polls` times since the frame came
    };
    Kind kind = Kind::None;
    int delayMs = 0;
    int burst = 1;
    int afterMs = 0;
    std::vector<uint8_t> bytes;
    Until until = Until::Time;
    int polls = 0;
};

// Faults chosen by frame number: frames are counted from 0 over the whole
// life of the dongle, whatever mode it is in.
using FaultPlan = std::map<int, Fault>;

// Parses "<frame>:<kind>[:<arg>[:<arg>]]", e.g. "3:drop", "5:delay:150",
// "2:replace:0a00", "4:split:1:20", "6:stale:5:4a554e4b", "9:unplug",
// "4:corrupt", "7:flood:3000", "7:flood:3000:200". A pause may be an event of
// the host's instead: "gaveup" ("5:delay:gaveup", "4:split:2:gaveup",
// "7:flood:3000:gaveup") or "polls<N>" ("3:delay:polls3000").
bool parseFault(const std::string &text, int *frame, Fault *fault, std::string *why);

std::string describe(const Fault &fault);
// The fault as parseFault reads it, after "<frame>:".
std::string faultText(const Fault &fault);

std::vector<uint8_t> fromHex(const std::string &hex, bool *ok);
std::string toHex(const std::vector<uint8_t> &bytes);

} // namespace sim
