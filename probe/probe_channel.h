// The channel to the probe: channel B of its FT2232, in MPSSE mode.
//
// One caller at a time (the GUI thread). Every function acts on the current
// session's channel (probe_session.h): a program of one probe has just the
// default session and never names it. Every failure hands one fixed text to
// the text sink (probe_set_text_sink) and returns 1; by default the text goes,
// with no newline and no flush, to std::cout (open failure) or std::cerr
// (everything else), as the window has always shown it.
#ifndef TALVIRO_PROBE_PROBE_CHANNEL_H
#define TALVIRO_PROBE_PROBE_CHANNEL_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Wire and driver settings fixed for this probe.
namespace probe_settings {
constexpr const char* kDescription = "TALVIRO B";
constexpr uint8_t kLatencyTimerMs = 2;
constexpr uint32_t kReadTimeoutMs = 5000;
constexpr uint32_t kWriteTimeoutMs = 5000;
constexpr uint8_t kBitModeMask = 0x05;
constexpr uint8_t kBitModeMpsse = 0x02;
constexpr int kReadAttempts = 5;
constexpr int kSerialSize = 16;
constexpr uint32_t kChipId = 0x04036010;  // FT2232H: vendor << 16 | product
// A reopened channel's engine must answer within this: a probe that is there
// but silent costs one attempt this long, not a read time-out.
constexpr uint32_t kEngineCheckTimeoutMs = 200;
// The engine answers an opcode it does not know with kBadCommand and that
// opcode; kSendImmediate makes it send the answer at once.
constexpr uint8_t kEngineCheckOpcode = 0xAA;
constexpr uint8_t kBadCommand = 0xFA;
constexpr uint8_t kSendImmediate = 0x87;
}  // namespace probe_settings

// Takes each failure text of the probe link (fixed, without a newline);
// open_failure tells an open's "Unable to open FTDI Device" from the rest.
using ProbeTextSink = std::function<void(const char* text, bool open_failure)>;

// Sends the probe link's failure texts to sink from now on; an empty sink
// restores the default streams. Returns the sink it replaces. Called from
// the thread that uses the probe.
ProbeTextSink probe_set_text_sink(ProbeTextSink sink);

// Opens "TALVIRO B", sets latency timer, time-outs (the read time-out the
// current session names, probe_session.h) and MPSSE mode (emptying
// the chip's buffers, where a lost session may have left answers), and writes
// the channel's serial number NUL-terminated into serial. Returns 0 when the
// channel is ready; 1 on any failure, in which case the channel is closed
// again and serial holds whatever the driver left in it.
int probe_open(char serial[16]);

// As probe_open, with the same steps, texts and clean-up, but for channel B
// of the probe whose name is wanted: its serial number as probe_open reports
// it, channel letter included, or for a probe whose chip has none, where it
// is plugged in (ProbeEntry::name). A name that probe_list does not give
// for a probe, or kUnknownProbeName, is "no such channel": nothing is
// opened. Needs wanted non-null.
int probe_open_serial(const char* wanted, char serial[16]);

// The name of the probe the last successful open of this session opened, as
// probe_list names it: its serial, or where it is plugged in when its chip
// has none; kUnknownProbeName when the driver cannot tell that either.
std::string probe_name();

// Gets the probe named wanted (probe_name) back after it was lost: gives
// the channel back as probe_close does (when one is open), then opens channel
// B of that probe again with probe_open_serial's steps, and writes no text on
// either stream, since a caller waiting for its probe tries every half second.
// It never opens another probe's channel. Beyond those steps it needs the
// engine to answer a bad command with exactly its two bytes within
// kEngineCheckTimeoutMs. Returns 0 when the
// channel is ready and in step again, serial filled as by probe_open; 1 with
// the channel closed otherwise. Needs wanted non-null.
int probe_reopen(const char* wanted, char serial[16]);

// A probe on the system, and whether it can be had.
enum class ProbeState { Free, InUse, NoPermission };
struct ProbeEntry {
    std::string serial;  // empty when the probe does not tell it
    ProbeState state;
    // The serial, or where the probe is plugged in when it has none
    // (probe_place_name); kUnknownProbeName when neither can be told.
    std::string name;
    uint32_t location = 0;  // the driver's location of the chip; 0 when it cannot tell
};

// The name of a probe that can be neither told by its serial nor by where
// it is plugged in; it names no probe to open.
constexpr const char* kUnknownProbeName = "?";

// Where a driver location (FT_GetDeviceInfoDetail) is, as a probe's name:
// "usb:1-1.4" for the libftdi layer's bus 1, ports 1 and 4 (as Linux names
// the device), "location:0x2112" for the vendor's driver on Windows;
// kUnknownProbeName for 0, which the driver gives when it cannot tell.
std::string probe_place_name(uint32_t location);

// The state as the programs show it to the user: "free", "in use" or
// "no permission".
const char* probe_state_text(ProbeState state);

// True once the driver has said that its library could not be loaded, by
// probe_list or an open: no probe can be seen until the program restarts.
bool probe_driver_missing();

// Every probe the driver lists, in its order: channel B of each chip
// described "TALVIRO B" (InUse when this or another program holds it), and
// each chip of the probe's type that this user may not open (NoPermission,
// serial empty). Writes nothing and opens no channel, but to tell whether
// another program holds a channel whose kernel driver is unbound the driver
// may claim it for an instant. Returns false, with probes
// empty, when the driver could not list.
bool probe_list(std::vector<ProbeEntry>* probes);

// The probes the last probe_open_serial or probe_reopen of this session
// looked through for its name, as probe_list gave them (empty when the
// driver could not list): why that open failed can be told from them
// without asking the driver again.
const std::vector<ProbeEntry>& probe_last_listed();

// Why the last probe_open failed: no such channel, a channel that was found
// but refused (held by another program, or no permission), a set-up step
// after opening, or no driver library to ask (on Windows, no ftd2xx.dll).
// None after a success and before the first call.
enum class ProbeOpenFault { None, NotFound, Refused, SetUp, NoDriver };
ProbeOpenFault probe_open_failure();

// Closes the channel, if one is open (a failed probe_reopen has closed it
// already). Always returns 0 and writes nothing.
int probe_close();

// One driver write. *written gets the driver's count even on failure.
// Returns 0 when the driver accepted the call (a short write included), 1 on
// a driver failure.
int probe_write(const unsigned char* data, uint32_t count, uint32_t* written);

// True from a successful probe_open until a transfer leaves the byte streams
// out of step: a read that did not deliver all its bytes (a late answer may
// still arrive and be taken for the next one), a read after which the driver
// holds more bytes than were asked for, or a write that sent only
// part of its bytes (the chip then parses the rest as a new command). Only a
// new probe_open puts them back in step.
bool probe_in_step();

// Collects exactly count bytes in at most five driver reads. Returns 0 when
// all arrived; 1 on a driver failure (*received = 0) or when bytes are left
// missing (*received = what did arrive, never more than count): after five
// reads that each brought some, or at once after a read that brought none,
// which has waited out the whole read time-out for a chip that no longer
// answers (one wait, not five). A read that brought none because waits were
// abandoned (probe_abandon_waits) ends the same way but writes no text.
int probe_read(unsigned char* data, uint32_t count, uint32_t* received);

// Asks every wait on the probe to be given up, for a program asked to end
// while the probe may have fallen silent: sets the driver seam's process-wide
// request (d2xx/abandon.h). Async-signal-safe and callable from any thread:
// a signal handler or a console control handler may call it. From then on a
// driver read that gets nothing returns within a fraction of a second, and
// probe_read then fails silently, leaving the link out of step and
// probe_waits_abandoned() true; transfers with an answering probe still go
// through, so a readout of a healthy probe in progress ends whole.
void probe_abandon_waits();

// True when, since the last probe_open, probe_read gave up because waits
// were abandoned: the readout in progress was cut short, not lost to a
// fault of the probe.
bool probe_waits_abandoned();

#endif
