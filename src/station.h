#pragma once

#include <nlohmann/json.hpp>

#include "uploader.h"

namespace zel
{

// Standard output is lines for people or, with --json, one JSON object a line
// for scripts, each written whole and flushed.
extern bool jsonLines;
void say(const std::string &line); // the line, or a message object that holds it
void print(nlohmann::ordered_json object);

// How many dongles were found, and how many of them were updated.
struct Tally {
    int updated = 0;
    int dongles = 0;

    bool success() const
    {
        return dongles > 0 && updated == dongles;
    }
};

int listDongles(const DongleChoice &choice); // says them; returns how many
// A single update that tells scripts of its dongle as --all tells of each.
Tally updateForScripts(const DongleChoice &choice);
// Updates every dongle that the choice fits, all at once, each in a process of
// its own that follows it by its USB port path.
Tally updateAll(const DongleChoice &choice);
// Updates each dongle that the choice fits once, as it is plugged in, until
// stopped.
Tally watch(const DongleChoice &choice);

} // namespace zel
