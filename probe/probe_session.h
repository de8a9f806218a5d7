// One probe's channel as the probe link keeps it, for a program that holds
// several probes at once.
//
// The free functions of probe_channel.h and converter.h act on the current
// session. A program starts with a default session, which a program of one
// probe never needs to name; a program of several gives each probe a
// ProbeSession and makes it current (probe_use) before it opens, reads or
// closes that probe. Still one caller at a time: the link is not
// thread-safe. Only what belongs to one channel is a session's: whether the
// driver library is missing, the quiet reopen and the request to abandon
// waits stay the process's.
#ifndef TALVIRO_PROBE_PROBE_SESSION_H
#define TALVIRO_PROBE_PROBE_SESSION_H

#include "probe/converter.h"
#include "probe/probe_channel.h"

#include <cstdint>
#include <string>
#include <vector>

class ProbeSession {
public:
    ProbeSession() = default;
    // A session whose driver reads wait at most read_timeout_ms, where the
    // default is probe_settings::kReadTimeoutMs: a program that reads
    // several probes in turn bounds what a silent one holds the others up.
    explicit ProbeSession(uint32_t read_timeout_ms) : read_timeout_ms_(read_timeout_ms) {}
    // Gives the channel back as probe_close does, if it is still open; a
    // session that was current leaves the default session current.
    ~ProbeSession();
    ProbeSession(const ProbeSession&) = delete;
    ProbeSession& operator=(const ProbeSession&) = delete;

    // The channel: what probe_open fills and probe_close gives back. The
    // handle is kept after a close until the next open replaces it.
    struct Channel {
        void* handle = nullptr;
        bool open = false;
        bool in_step = false;
        bool waits_abandoned = false;
        ProbeOpenFault open_failure = ProbeOpenFault::None;
        std::string name;  // probe_name()
        std::vector<ProbeEntry> listed;  // probe_last_listed()
    };
    // The converter's side: the high-byte pin levels last driven on this
    // channel (the next frame keeps the pins it does not change) and whether
    // the last conversion on it was whole.
    struct Converter {
        uint8_t levels = converter_pins::kInitialLevels;
        bool whole = false;
    };

    // The link's own state, read and written only by probe/.
    Channel channel;
    Converter converter;

    // The read time-out every open of this session's channel sets.
    uint32_t read_timeout_ms() const { return read_timeout_ms_; }

private:
    uint32_t read_timeout_ms_ = probe_settings::kReadTimeoutMs;
};

// Makes session the one every probe link call acts on until the next
// probe_use; nullptr makes the default session current again. The session
// must outlive its time as current (its destructor sees to that).
void probe_use(ProbeSession* session);

// The session the probe link calls act on now; never null.
ProbeSession& probe_session();

#endif
