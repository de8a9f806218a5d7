#include "cli/run.h"

#include "cli/report.h"
#include "cli/watch.h"
#include "console/clock.h"
#include "console/probe_return.h"
#include "console/unavailable.h"
#include "probe/probe_channel.h"
#include "trend/csv_log.h"

#include <algorithm>
#include <fstream>
#include <iostream>
#include <unistd.h>

namespace cli {

RunResult run_readouts(const Options& options, const char* serial, const SampleSource& source,
                       RunClock& clock, const volatile std::sig_atomic_t& stop, std::ostream& out,
                       std::ostream& err, ProbeReturn* probe_return) {
    RunResult result;
    // The run, up to the live trend's bound (36 days at 1 s): a longer or
    // faster run sums up its latest readouts and says how many went before.
    trend::Series series(trend::Series::kLiveCapacity);
    // In CSV mode standard output carries nothing but CSV; with the JSON
    // summary there, nothing but the JSON.
    std::ostream& notes = options.csv ? err : out;
    const bool quiet = options.summary_json && options.summary_file.empty();
    if (options.csv || quiet) err << serial_line(serial) << std::flush;
    if (options.csv) out << trend::csv_log_header() << std::flush;

    // With --reconnect the count is of whole readouts.
    uint64_t counted = 0;
    uint64_t next_start = clock.steady_ms();
    bool on_pace = false;  // the last readout ended before the next one's start
    while (options.count == kUntilStopped || counted < options.count) {
        if (stop) break;
        const int64_t started = clock.wall_ms();
        const Sample sample = source();
        // Cut short by Ctrl-C: what was written so far stays as it is.
        if (sample.abandoned) break;
        ++result.readouts;
        // At the time the CSV line gives, so that the log sums up as the
        // run did; never before the last, so a clock set back loses none.
        series.append(trend_readout(series.empty() ? started : std::max(started, series.last_time()), sample));
        if (probe_return == nullptr || sample.whole()) ++counted;
        if (!sample.whole() && probe_return == nullptr) result.all_whole = false;

        if (options.csv) {
            out << csv_line(started, sample);
        } else if (!quiet) {
            if (result.readouts > 1) out << '\n';
            out << text_lines(sample);
            if (result.readouts == 1) out << serial_line(serial);
        }
        // Flushed per readout so that a pipe into tee or a log shows it live.
        out << std::flush;
        if (!out) {
            result.output_ok = false;
            break;
        }
        if (probe_return != nullptr && (!sample.whole() || sample.channel_lost)) {
            probe_return->lose(err);
            const bool back = probe_return->wait(err, [&clock, &stop](uint64_t ms) {
                clock.sleep_ms(ms, stop);
                return stop == 0;
            });
            if (!back) break;
            const uint64_t now = clock.steady_ms();
            next_start = console::next_on_grid(next_start, now, options.interval_ms);
            if (next_start > now) clock.sleep_ms(next_start - now, stop);
            continue;
        }
        if (sample.channel_lost) {
            result.channel_lost = true;
            break;
        }
        if (stop || counted == options.count) break;

        next_start += options.interval_ms;
        const uint64_t now = clock.steady_ms();
        if (now < next_start) {
            clock.sleep_ms(next_start - now, stop);
            on_pace = true;
        } else {
            // Overran by a whole interval while the pace was being kept: the
            // readout it left out was not taken. The run's figures and its
            // log both hold it as a readout of nothing at its time, which a
            // viewer reads as missing time. An interval shorter than a
            // readout (back to back) leaves nothing out.
            if (on_pace && now >= next_start + options.interval_ms) {
                const int64_t missed = started + static_cast<int64_t>(options.interval_ms);
                series.append(trend_readout(std::max(missed, series.last_time()), Sample{}));
                if (options.csv) out << csv_line(missed, Sample{}) << std::flush;
            }
            on_pace = false;
            next_start = now;  // overran: go at once, and do not catch up with a burst
        }
    }

    if (!series.empty())
        result.summary = summarize(series, series.first_time(), series.last_time() + 1);
    result.summary.left_out = static_cast<int64_t>(series.dropped());
    const bool went_away = probe_return != nullptr && probe_return->losses() > 0;
    if ((options.count != 1 || went_away) && result.readouts > 0 && !quiet) {
        if (!options.csv) notes << '\n';
        notes << summary_text(result.summary);
        if (probe_return != nullptr) notes << probe_return->summary_line();
        notes << std::flush;
        if (!out) result.output_ok = false;
    }
    return result;
}

namespace {

// Why a channel that is there may be refused. Windows' driver lets any user
// open a probe, so only another program can hold it there.
#ifdef _WIN32
const std::string kRefusedReason = "another program holds it";
#else
const std::string kRefusedReason =
    std::string("another program holds it, or this user lacks permission (") + console::kUdevHint + ")";
#endif

std::string driver_hint(const std::string& program) {
    return program + ": " + console::kDriverHint + "\n";
}

// The line saying why open_probe failed, ending with a newline.
std::string why_not_opened(const std::string& program, const Options& options) {
    if (probe_open_failure() == ProbeOpenFault::NoDriver) return driver_hint(program);
    if (!options.serial.empty()) return program + ": " + console::why_unavailable(options.serial).text + "\n";
    if (probe_open_failure() == ProbeOpenFault::Refused)
        return program + ": a \"" + probe_settings::kDescription +
               "\" channel was found but may not be opened: " + kRefusedReason + "\n";
    return program + ": cannot open the probe: no \"" + probe_settings::kDescription +
           "\" channel could be opened and set up (is it plugged in, and may this user use it?)\n";
}

}  // namespace

int open_probe(const Options& options, char serial[16]) {
    return options.serial.empty() ? probe_open(serial) : probe_open_serial(options.serial.c_str(), serial);
}

std::string open_failure_text(const std::string& program, const Options& options,
                              const console::ProbeTexts& texts) {
    // The step that failed; an open that found nothing has no more to say
    // than the line below.
    const std::string step = probe_open_failure() == ProbeOpenFault::SetUp && !texts.empty()
                                 ? program + ": " + texts.first() + "\n"
                                 : std::string();
    return step + why_not_opened(program, options);
}

int list_probes(const std::string& program, std::ostream& out, std::ostream& err) {
    std::vector<ProbeEntry> probes;
    const bool listed = probe_list(&probes);
    if (!listed || probes.empty()) {
        err << program << ": no probe found\n";
        if (probe_driver_missing()) err << driver_hint(program);
        err << std::flush;
        return exit_status::kNoProbe;
    }
    for (const ProbeEntry& probe : probes) out << probe.name << ' ' << probe_state_text(probe.state) << '\n';
    out << std::flush;
    if (!out) {
        err << program << ": cannot write the list to standard output\n" << std::flush;
        return exit_status::kOutputFailed;
    }
    return exit_status::kOk;
}

int finish_summary(const std::string& program, const Options& options, const Summary& summary,
                   std::ostream& out, std::ostream& err) {
    if (options.summary_json) {
        const std::string json = summary_json(summary, options.log);
        if (options.summary_file.empty()) {
            out << json << std::flush;
            if (!out) {
                err << program << ": cannot write the summary to standard output\n" << std::flush;
                return exit_status::kOutputFailed;
            }
        } else {
            std::ofstream file(options.summary_file, std::ios::binary | std::ios::trunc);
            file << json;
            file.close();
            if (!file) {
                err << program << ": cannot write the summary to " << options.summary_file << "\n" << std::flush;
                return exit_status::kOutputFailed;
            }
        }
    }
    int status = exit_status::kOk;
    for (const Limit& limit : options.limits) {
        if (limit_holds(limit, summary)) continue;
        err << program << ": limit broken: " << limit_broken_text(limit, summary) << "\n";
        status = exit_status::kLimitBroken;
    }
    err << std::flush;
    return status;
}

int summarize_log(const std::string& program, const Options& options, std::ostream& out, std::ostream& err) {
    trend::CsvLog log;
    std::string error;
    if (!log.open(options.log, &error)) {
        err << program << ": " << error << "\n" << std::flush;
        return exit_status::kNoProbe;
    }
    trend::Series series(0);
    bool failed = false;
    log.read_all(series, &failed);
    if (failed) {
        err << program << ": " << options.log << ": cannot be read to its end\n" << std::flush;
        return exit_status::kNoProbe;
    }
    const std::string skipped = log.skipped_note();
    if (!skipped.empty()) err << program << ": " << skipped << "\n" << std::flush;
    const int64_t t0 = options.from_ms ? *options.from_ms : series.first_time();
    // Without --to, just past the last readout, as for a run.
    const int64_t t1 = options.to_ms ? *options.to_ms : series.last_time() + 1;
    const Summary summary = series.empty() ? Summary() : summarize(series, t0, t1);
    if (summary.readouts == 0) {
        err << program << ": " << options.log << ": no readout "
            << (options.from_ms || options.to_ms ? "in the span asked for" : "in the log") << "\n" << std::flush;
        return exit_status::kNoProbe;
    }
    if (!options.summary_json || !options.summary_file.empty()) {
        out << summary_text(summary) << std::flush;
        if (!out) {
            err << program << ": cannot write the summary to standard output\n" << std::flush;
            return exit_status::kOutputFailed;
        }
    }
    return finish_summary(program, options, summary, out, err);
}

int talviro_read(const std::string& program, const std::vector<std::string>& args,
                 const SampleSource& source, RunClock& clock,
                 const volatile std::sig_atomic_t& stop, std::ostream& out, std::ostream& err) {
    ParsedOptions parsed = parse_options(args);
    // The view draws on standard output and takes its keys from standard
    // input; without a terminal there, a key wait would return at once.
    if (parsed.error.empty() && parsed.options.watch &&
        (!isatty(STDOUT_FILENO) || !isatty(STDIN_FILENO)))
        parsed.error = "--watch needs a terminal on standard input and output";
    if (!parsed.error.empty()) {
        err << program << ": " << parsed.error << "\nTry '" << program << " --help'.\n" << std::flush;
        return exit_status::kUsage;
    }
    if (parsed.options.help || parsed.options.version) {
        out << (parsed.options.help ? usage_text(program) : console::version_text(program)) << std::flush;
        return out ? exit_status::kOk : exit_status::kOutputFailed;
    }
    if (parsed.options.list) return list_probes(program, out, err);
    if (!parsed.options.log.empty()) return summarize_log(program, parsed.options, out, err);
    // The probe link's texts never reach standard output, nor run together.
    console::ProbeTexts texts;
    if (parsed.options.watch)
        return watch_readings(program, parsed.options, source, clock, stop, texts, err);

    char serial[probe_settings::kSerialSize] = {};
    if (open_probe(parsed.options, serial) != 0) {
        err << open_failure_text(program, parsed.options, texts) << std::flush;
        return exit_status::kNoProbe;
    }

    // A readout's failures in one line, the first of them: a lost probe
    // fails every transfer. With --reconnect the line saying it is lost
    // tells it instead.
    const SampleSource watched = [&] {
        texts.clear();
        const Sample sample = source();
        if (!texts.empty() && !sample.abandoned && !parsed.options.reconnect)
            err << program << ": " << texts.first() << "\n" << std::flush;
        return sample;
    };
    // A probe whose chip has no serial is named by where it is plugged in.
    const std::string name = probe_name();
    ProbeReturn probe_return(program, name, clock);
    const RunResult result =
        run_readouts(parsed.options, name.c_str(), watched, clock, stop, out, err,
                     parsed.options.reconnect ? &probe_return : nullptr);
    // A run that ended while it waited for its probe has given it back already.
    if (!probe_return.away()) probe_close();

    if (result.channel_lost)
        err << program << ": the probe stopped answering; no later readout could be whole\n"
            << std::flush;
    if (!result.output_ok) {
        err << program << ": cannot write the readings to standard output\n" << std::flush;
        return exit_status::kOutputFailed;
    }
    // Also a run cut short before its first readout: its JSON says so, and
    // a bound on figures it does not have is broken.
    const int summed_up = finish_summary(program, parsed.options, result.summary, out, err);
    if (summed_up == exit_status::kOutputFailed) return summed_up;
    if (!result.all_whole) return exit_status::kNotWhole;
    return summed_up;
}

int main_program(int argc, char** argv, const SampleSource& source) {
    const std::string program = console::program_name(argc > 0 ? argv[0] : nullptr);
    if (!console::install_stop_signals())
        std::cerr << program << ": cannot catch Ctrl-C; it will end the program without a summary\n";
    console::SystemClock clock;
    const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    return talviro_read(program, args, source, clock, console::stop_flag(), std::cout, std::cerr);
}

}  // namespace cli
