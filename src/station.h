#pragma once

#include <nlohmann/json.hpp>

#include "uploader.h"

namespace zel
{

// The last record a script reads, which says how it all went, with the
// fields that apply; nothing without --json. Returns the status.
int summary(int status, const nlohmann::ordered_json &fields = nlohmann::ordered_json::object());

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
// Updates every dongle that the choice fits at the same time, each in a process
// of its own that follows it by its USB port path, begun 25 ms apart.
Tally updateAll(const DongleChoice &choice);
// Updates each dongle that the choice fits once, as it is plugged in, until
// stopped.
Tally watch(const DongleChoice &choice);

} // namespace zel
