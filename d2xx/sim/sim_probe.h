// The simulated probe behind talviro_d2xx_sim: the FT_* functions of the
// driver that talks to a ProbeChip (probe_chip.h) as its channel B.
//
// The FT_* functions of d2xx/d2xx.h act on one process-wide device, which
// tests and the demo steer through sim::device(): one probe, or several
// (add_probe), each with its own chip. Not thread-safe: drive it from the
// thread that calls FT_*.
#ifndef TALVIRO_D2XX_SIM_SIM_PROBE_H
#define TALVIRO_D2XX_SIM_SIM_PROBE_H

#include "d2xx/d2xx.h"
#include "chipmodel/probe_chip.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace sim {

enum class Fn { OpenEx, SetLatencyTimer, GetLatencyTimer, SetTimeouts, SetBitMode,
                GetDeviceInfo, Write, Read, Close, CreateDeviceInfoList, GetDeviceInfoDetail,
                Purge };
constexpr int kFnCount = 12;
const char* fn_name(Fn fn);  // "FT_Write", ...

// One driver call as the device saw it.
struct Call {
    Fn fn;
    FT_HANDLE handle;            // the handle passed in (OpenEx: the one handed out, or null)
    std::vector<uint32_t> args;  // numeric arguments in order (flags, timer, timeouts, mask+mode, count, index, purge mask)
    std::string text;            // OpenEx: the description or serial asked for
    std::vector<uint8_t> bytes;  // Write: bytes accepted; Read: bytes delivered
    uint32_t done = 0;           // Write: bytes written; Read: bytes returned
    FT_STATUS status = FT_OK;
    uint64_t time_ms = 0;        // clock reading when the call began
};

class Device {
public:
    // Back to a fresh plugged-in device: one probe, no open handle, empty
    // log, no faults, inputs 0, product "TALVIRO", chip serial "TV0001", the
    // real clock, and no call log kept.
    void reset();

    // ---- the device; calls naming no probe act on the first ----
    void set_product(const std::string& product);
    void set_chip_serial(const std::string& serial);
    // A broken driver: FT_GetDeviceInfo writes these 16 bytes as they are,
    // with no NUL terminator.
    void set_unterminated_serial(const char (&bytes)[16]);
    void set_input_count(unsigned ch, uint16_t count);
    void set_input_source(InputSource source);  // overrides the set counts; {} clears
    // The clock stays the caller's; it must outlive its use. nullptr: the real clock.
    void set_clock(Clock* clock);
    Clock& clock();
    // Runs at the start of every FT_* call, before the call looks at the
    // device: how the stand-in ftd2xx.dll plugs its probe in and out as its
    // test says (ftd2xx_dll.cpp). {} removes it.
    void set_call_hook(std::function<void()> hook);

    // ---- faults ----
    // The nth call (1-based, counted from now) of fn fails with status and
    // does nothing else. Several may be pending.
    void fail_call(Fn fn, unsigned nth, FT_STATUS status = FT_IO_ERROR);
    // Every FT_Read delivers at most max_bytes (0: nothing), then waits the
    // read time-out as the real driver does (in slices of 100 ms, given up
    // once d2xx_abandon_waits of d2xx/abandon.h was called). -1 lifts the
    // limit.
    void limit_reads(int max_bytes);
    // Every FT_Write accepts at most max_bytes, reports them and waits the
    // write time-out (as FT_Read does). -1 lifts the limit.
    void limit_writes(int max_bytes);
    // The device goes away: every call on a handle opened before fails with
    // FT_IO_ERROR (FT_Close still frees it) and FT_OpenEx finds nothing.
    void unplug();
    // Unplug after n more logged driver calls (every kind but FT_GetQueueStatus).
    void unplug_after_calls(unsigned n);
    // The device comes back, with channels closed and the engine reset.
    void plug_in();
    bool plugged_in() const;
    // Every open of a channel B finds its chip holding answers of a lost
    // session (ProbeChip::hold_stale_answers): they come out once the
    // channel is in MPSSE mode, and only a purge of the chip's to-host
    // buffer discards them.
    void set_stale_answers(bool on);
    // The first probe's engine stops answering after this many FT_Write and
    // FT_Read calls on its channel B (ProbeChip::set_engine_lifetime); with
    // revives, a close and reopen into MPSSE brings it back for as many.
    void set_engine_lifetime(long transfers, bool revives);

    // ---- observation ----
    // Starts keeping the call log and the set-pins frames, which grow with
    // every call: tests ask for them, long-running demos do not.
    void keep_log();
    const std::vector<Call>& log() const;
    void clear_log();
    // Calls of fn in the log.
    std::vector<Call> calls(Fn fn) const;
    // Level bytes of every set-pins frame the engine executed, in order.
    const std::vector<uint8_t>& high_level_frames() const;
    bool channel_open(char letter) const;  // 'A' or 'B'
    uint64_t conversions() const;           // samples the converter has taken

    // ---- several probes ----
    // Plugs in one more probe after the others: product "TALVIRO", this chip
    // serial, its own chip with inputs 0. Returns its number; the first
    // probe is 0. FT_CreateDeviceInfoList lists probes in this order, and
    // FT_OpenEx by description takes the first free matching channel.
    int add_probe(const std::string& chip_serial);
    void set_input_count(int probe, unsigned ch, uint16_t count);
    void set_input_source(int probe, InputSource source);
    bool channel_open(int probe, char letter) const;
    // The probe's engine stops answering, the chip staying on the bus
    // (ProbeChip::set_dead_engine): it takes every byte written, sends none
    // back, and FT_GetQueueStatus shows none. false: it answers again.
    void set_silent(int probe, bool on);
};

Device& device();

}  // namespace sim

#endif
