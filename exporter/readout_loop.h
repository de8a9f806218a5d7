// The one thread that owns every probe: it reads each probe that answers
// once per interval, keeps the latest whole readings on a board that the
// HTTP threads read, and gets probes that went away back with the probe
// link's reopen, the mechanism talviro_read --reconnect uses.
#ifndef TALVIRO_EXPORTER_READOUT_LOOP_H
#define TALVIRO_EXPORTER_READOUT_LOOP_H

#include "console/clock.h"
#include "console/probe_return.h"
#include "exporter/metrics.h"
#include "probe/probe_session.h"

#include <csignal>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

namespace exporter {

// A probe away is looked for this often, one bounded reopen at a time.
constexpr uint64_t kLookForLostMs = console::kReconnectAttemptMs;
// Without --serial, the probe list is read this often for new probes.
constexpr uint64_t kLookForNewMs = 2000;
// Each probe's driver reads wait at most this, far beyond an answering
// probe's few milliseconds: a probe that falls silent during a readout
// holds the others' readouts up by this, not by talviro_read's 5 s.
constexpr uint32_t kReadTimeoutMs = 400;

// The latest report of every probe. Thread-safe; no call waits on USB, only
// on the mutex, which the loop holds just to copy a report in.
class ReportBoard {
public:
    // Replaces the report with the same serial, or adds it.
    void publish(const ProbeReport& report);
    // Every report, ordered by serial.
    std::vector<ProbeReport> reports() const;

private:
    mutable std::mutex mutex_;
    std::map<std::string, ProbeReport> reports_;
};

class ReadoutLoop {
public:
    // serials: the names of the probes to read (probe_name: a channel
    // serial, or the port of a probe without one); empty: every free probe
    // the probe link lists now and every kLookForNewMs. Lines about probes
    // that are found, lost, back and waited for go to err, each starting
    // with program.
    ReadoutLoop(std::vector<std::string> serials, uint64_t interval_ms, console::RunClock& clock,
                ReportBoard& board, std::ostream& err, std::string program);
    ReadoutLoop(const ReadoutLoop&) = delete;
    ReadoutLoop& operator=(const ReadoutLoop&) = delete;

    // Until stop is non-zero: every interval_ms a round that reads each
    // probe whose channel is open, in serial order. A readout that is not
    // whole closes that probe's channel, drops its readings from the board
    // and counts as failed; the probe is then looked for every
    // kLookForLostMs with probe_reopen, and read at once when it is back.
    // Between two rounds at most one look and one listing are made, so an
    // absent or silent probe holds the others up by one bounded attempt.
    // A readout that stop cut short (Sample::abandoned) is not counted.
    // Every channel is given back before it returns.
    void run(const volatile std::sig_atomic_t& stop);

private:
    struct Probe {
        Probe(const std::string& program, const std::string& serial, console::RunClock& clock)
            : session(kReadTimeoutMs), spells(program, serial, clock) {}
        ProbeSession session;
        // Its spells away, as talviro_read --reconnect keeps them: the lines
        // when it goes and when it is back, and the reopen.
        console::ProbeReturn spells;
        ProbeReport report;
        uint64_t next_look_ms = 0;
        bool opened = false;  // once, since the start
    };

    // A probe not yet opened, looked for at once; its report, up 0, on the board.
    void add(const std::string& serial, uint64_t now);
    void list_new_probes(uint64_t now);
    // The probe away whose look is due longest; nullptr when none is.
    Probe* due_look(uint64_t now);
    void look_for(Probe& probe);
    void read(Probe& probe);

    std::vector<std::unique_ptr<Probe>> probes_;  // in serial order
    bool discover_;
    bool no_permission_said_ = false;
    bool unnamed_said_ = false;
    uint64_t interval_ms_;
    console::RunClock& clock_;
    ReportBoard& board_;
    std::ostream& err_;
    std::string program_;
};

}  // namespace exporter

#endif
