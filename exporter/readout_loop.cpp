#include "exporter/readout_loop.h"

#include "console/probe_texts.h"
#include "console/readout.h"
#include "console/unavailable.h"
#include "probe/probe_channel.h"

#include <algorithm>

namespace exporter {

namespace {

constexpr int64_t kMsPerSecond = 1000;

}  // namespace

void ReportBoard::publish(const ProbeReport& report) {
    const std::lock_guard<std::mutex> lock(mutex_);
    reports_[report.serial] = report;
}

std::vector<ProbeReport> ReportBoard::reports() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    std::vector<ProbeReport> all;
    all.reserve(reports_.size());
    for (const auto& entry : reports_) all.push_back(entry.second);
    return all;
}

ReadoutLoop::ReadoutLoop(std::vector<std::string> serials, uint64_t interval_ms,
                         console::RunClock& clock, ReportBoard& board, std::ostream& err,
                         std::string program)
    : discover_(serials.empty()),
      interval_ms_(interval_ms),
      clock_(clock),
      board_(board),
      err_(err),
      program_(std::move(program)) {
    const uint64_t now = clock_.steady_ms();
    for (const std::string& serial : serials) add(serial, now);
}

void ReadoutLoop::add(const std::string& serial, uint64_t now) {
    auto probe = std::make_unique<Probe>(program_, serial, clock_);
    probe->report.serial = serial;
    probe->next_look_ms = now;
    board_.publish(probe->report);
    const auto place = std::lower_bound(
        probes_.begin(), probes_.end(), serial,
        [](const std::unique_ptr<Probe>& p, const std::string& s) { return p->report.serial < s; });
    probes_.insert(place, std::move(probe));
}

void ReadoutLoop::run(const volatile std::sig_atomic_t& stop) {
    uint64_t next_round = clock_.steady_ms();
    uint64_t next_listing = next_round;
    while (!stop) {
        uint64_t now = clock_.steady_ms();
        if (now >= next_round) {
            for (const auto& probe : probes_) {
                if (stop) break;
                if (probe->report.up) read(*probe);
            }
            next_round += interval_ms_;
            now = clock_.steady_ms();
            // Overran: the next round at once, with no burst to catch up.
            if (next_round < now) next_round = now;
        }
        if (stop) break;
        if (Probe* probe = due_look(now)) look_for(*probe);
        if (discover_ && now >= next_listing && !stop) {
            list_new_probes(now);
            next_listing = now + kLookForNewMs;
        }
        uint64_t wake = next_round;
        if (discover_) wake = std::min(wake, next_listing);
        for (const auto& probe : probes_)
            if (!probe->report.up) wake = std::min(wake, probe->next_look_ms);
        now = clock_.steady_ms();
        if (wake > now) clock_.sleep_ms(wake - now, stop);
    }
    for (const auto& probe : probes_) {
        probe_use(&probe->session);
        probe_close();
    }
    probe_use(nullptr);
}

void ReadoutLoop::list_new_probes(uint64_t now) {
    std::vector<ProbeEntry> listed;
    if (!probe_list(&listed)) return;
    for (const ProbeEntry& entry : listed) {
        if (entry.state == ProbeState::NoPermission && !no_permission_said_) {
            err_ << program_ << ": a probe was found that this user may not open: "
                 << console::kUdevHint << "\n" << std::flush;
            no_permission_said_ = true;
        }
        // A probe another program holds is not this one's to take.
        if (entry.state != ProbeState::Free) continue;
        // One with neither a serial nor a place it could be found again at.
        if (entry.name == kUnknownProbeName) {
            if (!unnamed_said_)
                err_ << program_ << ": a probe was found that has no serial number and whose USB"
                                    " port cannot be told: it is not read\n" << std::flush;
            unnamed_said_ = true;
            continue;
        }
        const bool known = std::any_of(probes_.begin(), probes_.end(), [&](const auto& p) {
            return p->report.serial == entry.name;
        });
        if (!known) add(entry.name, now);
    }
}

ReadoutLoop::Probe* ReadoutLoop::due_look(uint64_t now) {
    Probe* due = nullptr;
    for (const auto& probe : probes_) {
        if (probe->report.up || probe->next_look_ms > now) continue;
        if (due == nullptr || probe->next_look_ms < due->next_look_ms) due = probe.get();
    }
    return due;
}

void ReadoutLoop::look_for(Probe& probe) {
    // Every half second from the start of one attempt to the next, as
    // talviro_read --reconnect; after a slow one, the next at once.
    probe.next_look_ms = clock_.steady_ms() + kLookForLostMs;
    probe_use(&probe.session);
    bool open = false;
    if (probe.spells.away()) {
        open = probe.spells.try_once(err_);
    } else {
        open = probe.spells.try_first(err_);
        if (open) err_ << program_ << ": reading probe " << probe.report.serial << "\n" << std::flush;
    }
    probe_use(nullptr);
    if (open) read(probe);
}

void ReadoutLoop::read(Probe& probe) {
    probe_use(&probe.session);
    const uint64_t started = clock_.steady_ms();
    console::Sample sample;
    {
        // Kept from standard error: a lost probe fails every transfer, and
        // the line saying it is lost tells it once.
        const console::ProbeTexts texts;
        sample = console::read_probe();
    }
    const uint64_t ended = clock_.steady_ms();
    ProbeReport& report = probe.report;
    // Cut short by a stop: neither a measurement nor a fault of the probe.
    if (!sample.abandoned) {
        ++report.readouts;
        report.last_readout_seconds = static_cast<double>(ended - started) / kMsPerSecond;
        if (sample.whole()) {
            std::array<uint16_t, readings::kChannelCount> counts{};
            for (size_t i = 0; i < counts.size(); ++i) counts[i] = sample.conversions[i].count;
            report.counts = counts;
            report.up = true;
        } else {
            ++report.failed_readouts;
            report.counts.reset();
            report.up = false;
            // Given back at once, as on exit, until a look gets it again.
            probe.spells.lose(err_);
            probe.next_look_ms = ended + kLookForLostMs;
        }
        board_.publish(report);
    }
    probe_use(nullptr);
}

}  // namespace exporter
