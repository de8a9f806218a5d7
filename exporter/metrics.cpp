#include "exporter/metrics.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <functional>

namespace exporter {

namespace {

// Milliamps to amperes, the base unit Prometheus' names call for.
constexpr int kMilliShift = -3;

// A reading's metric: the channel it comes from (by its name in
// readings::kChannels), the decimal shift to the base unit, and the value of
// the input label, when the family has one.
struct ReadingSeries {
    const char* channel;
    int shift;
    const char* input;
};

struct ReadingFamily {
    const char* name;
    const char* help;
    std::vector<ReadingSeries> series;
};

const ReadingFamily kReadingFamilies[] = {
    {"talviro_target_voltage_volts", "Voltage of the target board at the probe, latest whole readout.",
     {{"V target", 0, nullptr}}},
    {"talviro_supply_current_amperes", "Supply current of the target board, latest whole readout.",
     {{"I supply", kMilliShift, nullptr}}},
    {"talviro_input_voltage_volts", "Voltage at the probe's analogue inputs, latest whole readout.",
     {{"A0", 0, "A0"}, {"A1", 0, "A1"}}},
};

// Index of the channel named name in readings::kChannels.
size_t channel_index(const char* name) {
    for (size_t i = 0; i < readings::kChannelCount; ++i)
        if (readings::channel_name(readings::kChannels[i]) == name) return i;
    std::abort();  // the table above names a channel that does not exist
}

std::string serial_label(const ProbeReport& probe) {
    return "serial=\"" + escape_label_value(probe.serial) + "\"";
}

// One family: # HELP, # TYPE, then the lines sample() gives for each probe
// (none for some). A family with no line at all is left out.
void family(std::string* out, const char* name, const char* type, const char* help,
            const std::vector<ProbeReport>& probes,
            const std::function<std::string(const ProbeReport&)>& sample) {
    std::string lines;
    for (const ProbeReport& probe : probes) lines += sample(probe);
    if (lines.empty()) return;
    *out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n" + lines;
}

std::string line(const char* name, const std::string& labels, const std::string& value) {
    return std::string(name) + "{" + labels + "} " + value + "\n";
}

}  // namespace

std::string render_metrics(const std::vector<ProbeReport>& probes, const std::string& version) {
    std::string out;
    out += "# HELP talviro_exporter_build_info The exporter's version, as a label; always 1.\n"
           "# TYPE talviro_exporter_build_info gauge\n" +
           line("talviro_exporter_build_info", "version=\"" + escape_label_value(version) + "\"", "1");
    family(&out, "talviro_probe_up", "gauge",
           "1 while the probe answers, 0 while it is away or silent and looked for.", probes,
           [](const ProbeReport& p) { return line("talviro_probe_up", serial_label(p), p.up ? "1" : "0"); });
    for (const ReadingFamily& f : kReadingFamilies) {
        family(&out, f.name, "gauge", f.help, probes, [&f](const ProbeReport& p) {
            std::string lines;
            if (!p.counts) return lines;
            for (const ReadingSeries& s : f.series) {
                const size_t i = channel_index(s.channel);
                const float reading =
                    readings::reading_from_count(readings::kChannels[i].kind, (*p.counts)[i]);
                std::string labels = serial_label(p);
                if (s.input != nullptr) labels += std::string(",input=\"") + s.input + "\"";
                lines += line(f.name, labels, exact_decimal(reading, s.shift));
            }
            return lines;
        });
    }
    family(&out, "talviro_readouts_total", "counter",
           "Readouts of the probe since the exporter started, whole or not.", probes,
           [](const ProbeReport& p) {
               return line("talviro_readouts_total", serial_label(p), std::to_string(p.readouts));
           });
    family(&out, "talviro_failed_readouts_total", "counter",
           "Readouts that were not whole: the probe went away or stopped answering.", probes,
           [](const ProbeReport& p) {
               return line("talviro_failed_readouts_total", serial_label(p),
                           std::to_string(p.failed_readouts));
           });
    family(&out, "talviro_readout_duration_seconds", "gauge",
           "How long the probe's last readout took.", probes, [](const ProbeReport& p) {
               if (!p.last_readout_seconds) return std::string();
               return line("talviro_readout_duration_seconds", serial_label(p),
                           exact_decimal(*p.last_readout_seconds));
           });
    return out;
}

std::string escape_label_value(const std::string& value) {
    std::string escaped;
    for (const char c : value) {
        switch (c) {
        case '\\': escaped += "\\\\"; break;
        case '"': escaped += "\\\""; break;
        case '\n': escaped += "\\n"; break;
        default: escaped += c;
        }
    }
    return escaped;
}

std::string exact_decimal(float value, int shift) {
    if (!std::isfinite(value)) return std::isnan(value) ? "NaN" : value > 0 ? "+Inf" : "-Inf";
    // The shortest digits that read back as value, and their exponent:
    // "3.692312e+01" is 0.3692312 times 10 to the power 2.
    char buffer[32];
    const auto written = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
    const std::string text(buffer, written.ptr);
    const size_t e = text.find('e');
    const bool negative = text[0] == '-';
    std::string digits;
    for (size_t i = negative ? 1 : 0; i < e; ++i)
        if (text[i] != '.') digits += text[i];
    if (digits == "0") return "0";
    const int point = std::atoi(text.c_str() + e + 1) + 1 + shift;  // digits before the point
    std::string out;
    if (point <= 0)
        out = "0." + std::string(static_cast<size_t>(-point), '0') + digits;
    else if (static_cast<size_t>(point) >= digits.size())
        out = digits + std::string(static_cast<size_t>(point) - digits.size(), '0');
    else
        out = digits.substr(0, static_cast<size_t>(point)) + "." + digits.substr(static_cast<size_t>(point));
    return (negative ? "-" : "") + out;
}

std::string exact_decimal(double value) {
    char buffer[32];
    const auto written = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, written.ptr);
}

}  // namespace exporter
