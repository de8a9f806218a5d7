// The exporter's options and its text for Prometheus, as a user and a
// scraping server see them.
#include "d2xx/abandon.h"
#include "exporter/exporter_options.h"
#include "exporter/metrics.h"
#include "exporter/readout_loop.h"
#include "probe/probe_channel.h"

#include "manual_run_clock.h"
#include "sim_fixture.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

using exporter::ProbeReport;

namespace {

bool has_line(const std::string& text, const std::string& line) {
    return ("\n" + text).find("\n" + line + "\n") != std::string::npos;
}

}  // namespace

TEST(ExporterOptions, ValuesAndUsageErrors) {
    const auto parse = [](std::vector<std::string> args) { return exporter::parse_options(args); };
    const exporter::Options defaults = parse({}).options;
    EXPECT_EQ(defaults.host, "127.0.0.1");
    EXPECT_EQ(defaults.port, exporter::kDefaultPort);
    EXPECT_TRUE(defaults.serials.empty());
    EXPECT_EQ(defaults.interval_ms, 1000u);

    const exporter::ParsedOptions given = parse(
        {"--listen=[::1]:0", "--serial", "TV0002B", "--serial=TV0001B", "--serial", "TV0002B", "--interval", "0.25"});
    ASSERT_EQ(given.error, "");
    EXPECT_EQ(given.options.host, "::1");
    EXPECT_EQ(given.options.port, 0);
    EXPECT_EQ(given.options.serials, (std::vector<std::string>{"TV0002B", "TV0001B"}));
    EXPECT_EQ(given.options.interval_ms, 250u);
    EXPECT_EQ(exporter::listen_text(given.options.host, 19265), "[::1]:19265");

    const struct {
        std::vector<std::string> args;
        const char* error_start;
    } errors[] = {
        {{"--listen", "127.0.0.1"}, "--listen: '127.0.0.1' is not ADDRESS:PORT"},
        {{"--listen", ":19265"}, "--listen: ':19265' is not ADDRESS:PORT"},
        {{"--listen", "0.0.0.0:65536"}, "--listen: '0.0.0.0:65536' is not ADDRESS:PORT"},
        {{"--listen", "::1:80"}, "--listen: '::1:80': put an IPv6 address in brackets"},
        {{"--serial="}, "--serial needs a serial number"},
        {{"--interval", "0"}, "--interval: '0' is not a number of seconds from 0.001 to 86400"},
        {{"--count", "3"}, "unknown option '--count'"},
        {{"--listen", "127.0.0.1:1", "--listen=127.0.0.1:2"}, "--listen may be given only once"},
        {{"--interval", "1", "--serial", "TV0001B", "--interval", "1"}, "--interval may be given only once"},
    };
    for (const auto& row : errors)
        EXPECT_EQ(parse(row.args).error.rfind(row.error_start, 0), 0u) << parse(row.args).error;
    EXPECT_TRUE(parse({"--serial", "TV0001B", "--help", "--bogus"}).options.help);
}

TEST(ExporterMetrics, ExactDecimalKeepsEveryDigitOfTheReading) {
    const struct {
        float value;
        int shift;
        const char* text;
    } table[] = {
        {0.0f, 0, "0"},       {0.0f, -3, "0"},        {3.32f, 0, "3.32"},
        {37.0f, -3, "0.037"}, {5.0f, -3, "0.005"},    {12345.0f, -3, "12.345"},
        {1234.5f, -3, "1.2345"}, {1e-7f, 0, "0.0000001"}, {1.5e10f, 0, "15000000000"},
        {-2.5f, 0, "-2.5"},
    };
    for (const auto& row : table) EXPECT_EQ(exporter::exact_decimal(row.value, row.shift), row.text);
    // Every reading the probe can give reads back as itself.
    for (uint16_t count = 0; count <= kConverterMaxCount; ++count) {
        for (const readings::Kind kind : {readings::Kind::Voltage, readings::Kind::Current}) {
            const float reading = readings::reading_from_count(kind, count);
            ASSERT_EQ(std::strtof(exporter::exact_decimal(reading).c_str(), nullptr), reading) << count;
        }
    }
}

TEST(ExporterMetrics, ProbesUpHaveReadingsProbesAwayOnlyTheirState) {
    ProbeReport up;
    up.serial = "TV0001B";
    up.up = true;
    up.counts = std::array<uint16_t, readings::kChannelCount>{137, 36, 298, 57};  // A1, supply, target, A0
    up.readouts = 12;
    up.last_readout_seconds = 0.052;
    ProbeReport away;
    away.serial = "a\"b\\c\nd";
    away.readouts = 7;
    away.failed_readouts = 2;
    const std::string text = exporter::render_metrics({up, away}, "1.0.1");

    for (const char* line : {
             "talviro_exporter_build_info{version=\"1.0.1\"} 1",
             "talviro_probe_up{serial=\"TV0001B\"} 1",
             "talviro_probe_up{serial=\"a\\\"b\\\\c\\nd\"} 0",
             "talviro_target_voltage_volts{serial=\"TV0001B\"} 3.3205714",
             "talviro_supply_current_amperes{serial=\"TV0001B\"} 0.03692308",
             "talviro_input_voltage_volts{serial=\"TV0001B\",input=\"A0\"} 0.63514286",
             "talviro_input_voltage_volts{serial=\"TV0001B\",input=\"A1\"} 1.5265715",
             "talviro_readouts_total{serial=\"a\\\"b\\\\c\\nd\"} 7",
             "talviro_failed_readouts_total{serial=\"a\\\"b\\\\c\\nd\"} 2",
             "talviro_readout_duration_seconds{serial=\"TV0001B\"} 0.052",
             "# TYPE talviro_readouts_total counter",
             "# TYPE talviro_target_voltage_volts gauge",
         })
        EXPECT_TRUE(has_line(text, line)) << line << "\n" << text;
    // The probe away has no reading and no duration, not an old one.
    EXPECT_EQ(text.find("volts{serial=\"a"), std::string::npos) << text;
    EXPECT_EQ(text.find("amperes{serial=\"a"), std::string::npos) << text;
    EXPECT_EQ(text.find("seconds{serial=\"a"), std::string::npos) << text;
    // No family at all when no probe has readings.
    EXPECT_EQ(exporter::render_metrics({away}, "1.0.1").find("# HELP talviro_target_voltage_volts"),
              std::string::npos);
}

// A stop during a readout of a probe that fell silent abandons the waits:
// that readout is no measurement and no fault of the probe, so it is neither
// counted nor failed, and the probe is not reported lost.
class ExporterLoop : public SimFixture {
protected:
    void TearDown() override {
        d2xx_clear_abandon();
        SimFixture::TearDown();
    }
};

TEST_F(ExporterLoop, ReadoutCutShortByAStopIsNeitherFailedNorLost) {
    ManualRunClock run_clock{clock};
    exporter::ReportBoard board;
    std::ostringstream err;
    volatile std::sig_atomic_t stop = 0;
    // Once the open is done and a readout has begun writing, the probe
    // falls silent and the program is asked to end.
    dev().set_call_hook([&] {
        if (stop == 0 && dev().calls(sim::Fn::Write).size() == 2) {
            dev().limit_reads(0);
            stop = 1;
            probe_abandon_waits();
        }
    });
    exporter::ReadoutLoop loop({"TV0001B"}, 1000, run_clock, board, err, "talviro_exporter");
    loop.run(stop);
    dev().set_call_hook({});

    ASSERT_NE(stop, 0) << "no readout began";
    const std::vector<ProbeReport> reports = board.reports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].readouts, 0u);
    EXPECT_EQ(reports[0].failed_readouts, 0u);
    EXPECT_EQ(err.str(), "talviro_exporter: reading probe TV0001B\n");
    EXPECT_FALSE(dev().channel_open('B'));
}

// A probe that is there but silent costs each attempt its engine check;
// the attempts still start every half second, as talviro_read's do.
TEST_F(ExporterLoop, AttemptsStartEveryHalfSecondHoweverLongEachTakes) {
    ManualRunClock run_clock{clock};
    exporter::ReportBoard board;
    std::ostringstream err;
    volatile std::sig_atomic_t stop = 0;
    dev().limit_reads(0);
    run_clock.after_sleep = [&](size_t) {
        if (clock.now_ms() >= 1200) stop = 1;
    };
    exporter::ReadoutLoop loop({"TV0001B"}, 1000, run_clock, board, err, "talviro_exporter");
    loop.run(stop);

    std::vector<uint64_t> starts;
    for (const sim::Call& call : dev().calls(sim::Fn::OpenEx)) starts.push_back(call.time_ms);
    EXPECT_EQ(starts, (std::vector<uint64_t>{0, 500, 1000}));
    EXPECT_EQ(board.reports().at(0).readouts, 0u);
}
