// What one probe transfer costs on the wire, for the chips the probe link
// drives. Derived from USB bus timing and the chip's latency timer, not
// measured on a probe: the benchmark's own figures are the host's cost, and
// these turn the transfer counts of a readout into the time it waits on USB.
//
// Sources:
// - USB 2.0: full-speed bus time comes in 1 ms frames, high-speed in 125 us
//   microframes (Universal Serial Bus Revision 2.0, 5.3.3 and 8.4.3;
//   summarised in Microchip's "USB Frames" developer-help page).
// - FTDI AN232B-04 "Data Throughput, Latency and Handshaking", "Small Amounts
//   of Data and End of Buffer Conditions": a partly filled IN buffer goes to
//   the host only when the latency timer times out; the timer measures the
//   time since data was last sent and restarts on every packet, and with
//   nothing to send the chip still sends its two status bytes then.
#ifndef TALVIRO_BENCH_USB_TIMING_H
#define TALVIRO_BENCH_USB_TIMING_H

#include "probe/probe_channel.h"

#include <cstdint>

namespace usb_timing {

constexpr double kUsPerMs = 1000.0;

constexpr double kFullSpeedFrameUs = 1000.0;  // USB 2.0, full speed (FT2232C/D)

// The probe link sets this latency timer when it opens the channel.
constexpr double kLatencyTimerUs = probe_settings::kLatencyTimerMs * kUsPerMs;

// The model has each answer byte wait in the chip for the latency timer, as
// it did before the driver followed every read-pins frame with the MPSSE
// "send immediate": an upper bound now. The timer runs all the time (status
// packets restart it every period), so an answer made at a random moment
// waits half a period on average. The high-speed FT2232H is not modelled
// here: usb_readout_bench.cpp measures it through the modelled chip.
constexpr double kMeanLatencyWaitUs = kLatencyTimerUs / 2.0;

struct LinkModel {
    const char* name;
    // One FT_Write of a few bytes: its bulk OUT transaction is scheduled in
    // the next (micro)frame, and the call returns once it is acknowledged.
    double write_us;
    // One FT_Read of the byte the write before it asked for: the latency
    // wait, then the bulk IN transaction that carries it.
    double read_us;
};

constexpr LinkModel kFullSpeed{"FT2232C/D full speed", kFullSpeedFrameUs,
                               kMeanLatencyWaitUs + kFullSpeedFrameUs};

constexpr double modelled_us(const LinkModel& link, double writes, double reads) {
    return writes * link.write_us + reads * link.read_us;
}

}  // namespace usb_timing

#endif
