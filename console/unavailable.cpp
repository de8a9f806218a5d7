#include "console/unavailable.h"

#include "probe/probe_channel.h"

#include <vector>

namespace console {

namespace {

// The channel of a probe's chip that carries the converter.
const char* const kProbeChannelLetter = "B";

std::string found_in(const std::vector<ProbeEntry>& probes) {
    std::string found;
    for (const ProbeEntry& probe : probes)
        found += (found.empty() ? "" : ", ") + probe.name;
    return found.empty() ? "none" : found;
}

}  // namespace

UnavailableReason why_unavailable(const std::string& wanted) {
    if (probe_open_failure() == ProbeOpenFault::NoDriver) return {Unavailable::NoDriver, kDriverHint};
    const std::vector<ProbeEntry>& probes = probe_last_listed();
    bool unreadable = false;
    bool letter_missing = false;
    for (const ProbeEntry& probe : probes) {
        if (probe.state == ProbeState::NoPermission) unreadable = true;
        if (!probe.serial.empty() && probe.serial == wanted + kProbeChannelLetter) letter_missing = true;
        if (probe.state == ProbeState::NoPermission || probe.name != wanted) continue;
        if (probe.state == ProbeState::InUse)
            return {Unavailable::InUse, "probe " + wanted + " was found but may not be opened: "
                                        "another program holds it"};
        return {Unavailable::NotSetUp, "probe " + wanted + " was found but could not be opened and"
                                       " set up"};
    }
    const std::string not_found = "no probe has the serial number \"" + wanted + "\"; found: " +
                                  found_in(probes);
    if (letter_missing)
        return {Unavailable::NoChannelLetter, not_found + " (a serial number ends in its channel"
                                              " letter: " + wanted + kProbeChannelLetter + ")"};
    // Its serial cannot be read without the permission to open it.
    if (unreadable)
        return {Unavailable::NoPermission, not_found + "; this user may not open a probe that is"
                                           " there (" + std::string(kUdevHint) + ")"};
    return {Unavailable::NotFound, not_found};
}

}  // namespace console
