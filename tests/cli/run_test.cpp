// Readouts, CSV, pacing, summary and exit status of talviro_read against the
// simulated probe.
#include "json_reader.h"
#include "read_fixture.h"

#include "cli/report.h"
#include "console/time_text.h"
#include "trend/csv_log.h"

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <regex>

using sim::Fn;
using Times = std::vector<uint64_t>;

namespace {

// Counts of converter channels 0..3: A1, I supply, V target, A0.
void set_counts(std::vector<uint16_t> counts) {
    for (unsigned ch = 0; ch < counts.size(); ++ch) sim::device().set_input_count(ch, counts[ch]);
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    size_t begin = 0;
    for (size_t end; (end = text.find(separator, begin)) != std::string::npos; begin = end + 1)
        parts.push_back(text.substr(begin, end - begin));
    parts.push_back(text.substr(begin));
    return parts;
}

// The lost and back lines give local time: UTC here, on both systems.
void use_utc_as_local_time() {
#ifdef _WIN32
    ASSERT_EQ(_putenv_s("TZ", "UTC0"), 0);
    _tzset();
#else
    ASSERT_EQ(setenv("TZ", "UTC0", 1), 0);
    tzset();
#endif
}

const std::string kCsvHeader =
    "time,A1_V,I_supply_mA,V_target_V,A0_V,A1_count,I_supply_count,V_target_count,A0_count\n";
const char* const kOpenFailure =
    "talviro_read: cannot open the probe: no \"TALVIRO B\" channel could be opened and set up "
    "(is it plugged in, and may this user use it?)\n";
// The first write of I supply's conversion. Its failure makes that
// conversion not whole and leaves the others as they are.
constexpr unsigned kFirstSupplyWrite = kWritesPerConversion + 1;

}  // namespace

TEST_F(ReadTool, OneReadoutShowsTheWindowsLinesThenTheSerial) {
    set_counts({100, 100, 297, 0});
    EXPECT_EQ(run({}), 0);
    EXPECT_EQ(out, "A1 = 1.11 V\nI supply = 103 mA\nV target = 3.31 V\nA0 = 0.00 V\nSerial: TV0001B\n");
    EXPECT_EQ(err, "");
    EXPECT_EQ(dev().log().front().fn, Fn::OpenEx);
    EXPECT_EQ(dev().calls(Fn::Write).size(), kWritesPerReadout);
    EXPECT_TRUE(closed_at_end());
    EXPECT_TRUE(run_clock.sleeps.empty());
}

TEST_F(ReadTool, CsvLinesParseBackToTheReadoutsTaken) {
    const std::vector<std::vector<uint16_t>> counts = {{101, 100, 297, 0}, {102, 200, 297, 0},
                                                       {103, 5, 297, 1023}};  // 5: under the mA floor
    const std::vector<std::vector<double>> shown = {{1.13, 103, 3.31, 0}, {1.14, 205, 3.31, 0},
                                                    {1.15, 0, 3.31, 11.40}};
    before_readout = [&](int n) { set_counts(counts[n - 1]); };
    EXPECT_EQ(run({"--count", "3", "--interval", "0.5", "--csv"}), 0);

    ASSERT_EQ(out.substr(0, kCsvHeader.size()), kCsvHeader);
    const std::vector<std::string> lines = split(out.substr(kCsvHeader.size()), '\n');
    ASSERT_EQ(lines.size(), 4u) << out;  // three, then nothing after the last newline
    const char* const times[] = {"2023-11-14T22:13:20.000Z", "2023-11-14T22:13:20.500Z",
                                 "2023-11-14T22:13:21.000Z"};
    for (size_t n = 0; n < 3; ++n) {
        const std::vector<std::string> f = split(lines[n], ',');
        ASSERT_EQ(f.size(), 9u) << lines[n];
        EXPECT_TRUE(std::regex_match(f[0], std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)")));
        EXPECT_EQ(f[0], times[n]);
        for (size_t i = 0; i < 8; ++i) {
            char* end = nullptr;
            const double value = std::strtod(f[i + 1].c_str(), &end);
            EXPECT_TRUE(!f[i + 1].empty() && *end == '\0') << lines[n];
            EXPECT_DOUBLE_EQ(value, i < 4 ? shown[n][i] : counts[n][i - 4]) << lines[n];
        }
    }
    EXPECT_EQ(err.rfind("Serial: TV0001B\nSummary of 3 readouts", 0), 0u) << err;
    EXPECT_TRUE(closed_at_end());
}

TEST_F(ReadTool, ReadoutsStartAnIntervalApartWithNoWaitAfterTheLast) {
    after_readout = [&](int) { clock.advance_ms(100); };
    EXPECT_EQ(run({"--count=3", "--interval=0.25"}), 0);
    EXPECT_EQ(readout_starts(), (Times{0, 250, 500}));
    EXPECT_EQ(run_clock.sleeps, (Times{150, 150}));
    EXPECT_EQ(clock.now_ms(), 600u);
}

TEST_F(ReadTool, SlowReadoutIsFollowedAtOnceAndThenTheIntervalAgain) {
    after_readout = [&](int n) {
        if (n == 2) clock.advance_ms(2500);  // 1.5 s past the next start
    };
    EXPECT_EQ(run({"--count", "4", "--csv"}), 0);
    EXPECT_EQ(readout_starts(), (Times{0, 1000, 3500, 4500}));
    EXPECT_EQ(run_clock.sleeps, (Times{1000, 1000}));
    // The readout left out at 2 s: an empty row, read as missing time.
    const std::vector<std::string> lines = split(out.substr(kCsvHeader.size()), '\n');
    ASSERT_EQ(lines.size(), 6u) << out;
    EXPECT_EQ(lines[1].substr(0, 24), "2023-11-14T22:13:21.000Z");
    EXPECT_EQ(lines[2], "2023-11-14T22:13:22.000Z,,,,,,,,");
    EXPECT_EQ(lines[3].substr(0, 24), "2023-11-14T22:13:23.500Z");
    // The run sums up what its log holds: the row left out counted too.
    EXPECT_EQ(err.find("Summary of 5 readouts"), err.find("Summary of")) << err;
}

// Back to back, at an interval shorter than a readout, no readout was left
// out: no empty rows.
TEST_F(ReadTool, ReadoutsBackToBackLeaveNoEmptyRows) {
    after_readout = [&](int) { clock.advance_ms(31); };
    EXPECT_EQ(run({"--count", "4", "--interval", "0.001", "--csv"}), 0);
    const std::vector<std::string> lines = split(out.substr(kCsvHeader.size()), '\n');
    ASSERT_EQ(lines.size(), 5u) << out;
    for (size_t i = 0; i < 4; ++i) EXPECT_EQ(lines[i].find(",,"), std::string::npos) << lines[i];
    EXPECT_EQ(err.find("Summary of 4 readouts"), err.find("Summary of")) << err;
}

TEST_F(ReadTool, AnswersLostToTimeOutsLeaveEveryFieldEmptyAndEndTheRun) {
    dev().limit_reads(0);
    EXPECT_EQ(run({"--count", "0", "--interval", "2", "--csv"}), 3);
    // Once answers are lost no later readout can be whole: one readout, no wait.
    EXPECT_EQ(readout_starts(), (Times{0}));
    EXPECT_TRUE(run_clock.sleeps.empty());
    EXPECT_EQ(out, kCsvHeader + "2023-11-14T22:13:20.000Z,,,,,,,,\n");
    EXPECT_NE(err.find("talviro_read: the probe stopped answering; no later readout could be whole\n"),
              std::string::npos) << err;
    EXPECT_NE(err.find("\nA0: no whole conversion\n"), std::string::npos) << err;
    EXPECT_TRUE(closed_at_end());
}

// --reconnect: the unplugged probe is given back, looked for every half
// second and read again on the run's interval grid; --count counts whole
// readouts, and the run ends as if nothing had happened.
TEST_F(ReadTool, ReconnectRidesOutAnUnplugOnTheSameGrid) {
    use_utc_as_local_time();
    set_counts({137, 36, 298, 57});
    before_readout = [&](int n) {
        if (n == 2) dev().unplug();
    };
    run_clock.after_sleep = [&](size_t) {
        if (clock.now_ms() >= 2500 && !dev().plugged_in()) dev().plug_in();
    };
    EXPECT_EQ(run({"--reconnect", "--count", "3", "--csv"}), 0);
    EXPECT_EQ(out, kCsvHeader + "2023-11-14T22:13:20.000Z,1.53,37,3.32,0.64,137,36,298,57\n"
                                "2023-11-14T22:13:21.000Z,,,,,,,,\n"
                                "2023-11-14T22:13:23.000Z,1.53,37,3.32,0.64,137,36,298,57\n"
                                "2023-11-14T22:13:24.000Z,1.53,37,3.32,0.64,137,36,298,57\n");
    // Attempts at 1 s, 1.5 s, 2 s and 2.5 s, then the grid's next start.
    EXPECT_EQ(run_clock.sleeps, (Times{1000, 500, 500, 500, 500, 1000}));
    EXPECT_NE(err.find("talviro_read: probe TV0001B lost at 2023-11-14T22:13:21; waiting for it to "
                       "come back\ntalviro_read: probe TV0001B back at 2023-11-14T22:13:22\n"),
              std::string::npos) << err;
    EXPECT_NE(err.find("\nprobe away: 1 time, 1.5 s in all\n"), std::string::npos) << err;
    EXPECT_TRUE(closed_at_end());

    // Ctrl-C while it waits: the summary, status 0, the probe given back once.
    dev().reset();
    dev().keep_log();
    dev().set_clock(&clock);
    before_readout = [&](int) { dev().unplug(); };
    run_clock.after_sleep = [&](size_t) { never_stop = 1; };
    EXPECT_EQ(run({"--reconnect", "--count", "0"}), 0);
    EXPECT_NE(out.find("\nprobe away: 1 time, 0.5 s in all\n"), std::string::npos) << out;
    EXPECT_EQ(dev().calls(Fn::Close).size(), 1u);
}

// While the lost probe is back but held by another program, that is said
// once, however many attempts fail for it; that it was away the lost line
// said already.
TEST_F(ReadTool, ReconnectSaysOnceWhyTheProbeCannotBeHad) {
    use_utc_as_local_time();
    FT_HANDLE other = nullptr;
    before_readout = [&](int n) {
        if (n == 2) dev().unplug();
    };
    run_clock.after_sleep = [&](size_t) {
        const uint64_t now = clock.now_ms();
        if (now >= 2000 && !dev().plugged_in()) {
            dev().plug_in();
            ASSERT_EQ(FT_OpenEx(const_cast<char*>("TV0001B"), FT_OPEN_BY_SERIAL_NUMBER, &other), FT_OK);
        }
        if (now >= 4000 && other != nullptr) {
            ASSERT_EQ(FT_Close(other), FT_OK);
            other = nullptr;
        }
    };
    EXPECT_EQ(run({"--reconnect", "--count", "3", "--csv"}), 0);
    EXPECT_EQ(err, "Serial: TV0001B\n"
                   "talviro_read: probe TV0001B lost at 2023-11-14T22:13:21; waiting for it to come back\n"
                   "talviro_read: waiting for probe TV0001B: probe TV0001B was found but may not be "
                   "opened: another program holds it\n"
                   "talviro_read: probe TV0001B back at 2023-11-14T22:13:24\n"
                   "Summary of 4 readouts (min, mean, max):\n"
                   "A1: min 0.00 V, mean 0.00 V, max 0.00 V (1 not whole)\n"
                   "I supply: min 0 mA, mean 0 mA, max 0 mA (1 not whole)\n"
                   "V target: min 0.00 V, mean 0.00 V, max 0.00 V (1 not whole)\n"
                   "A0: min 0.00 V, mean 0.00 V, max 0.00 V (1 not whole)\n"
                   // Readouts at 0, 1 (lost), 4 and 5 s: the three seconds
                   // the probe was lost for are missing.
                   "Charge 0 mAh (0 C), energy 0 mWh (0 J), mean power 0 mW, over 2.00 s covered; "
                   "3.00 s missing\n"
                   "probe away: 1 time, 3.0 s in all\n");
    EXPECT_TRUE(closed_at_end());
}

TEST_F(ReadTool, ConversionThatWasNotWholeLeavesEmptyFieldsAndExitsThree) {
    set_counts({100, 100, 297, 0});
    dev().fail_call(Fn::Write, kFirstSupplyWrite);
    EXPECT_EQ(run({"--csv"}), 3);
    EXPECT_EQ(out, kCsvHeader + "2023-11-14T22:13:20.000Z,1.11,,3.31,0.00,100,,297,0\n");
    // The probe link's text gets a line of its own, on standard error.
    EXPECT_EQ(err, "Serial: TV0001B\ntalviro_read: FT_Write error\n");
    EXPECT_TRUE(closed_at_end());
}

TEST_F(ReadTool, SummaryGivesMinMeanAndMaxOfTheWholeConversions) {
    const std::vector<std::vector<uint16_t>> counts = {{1, 100, 297, 0}, {2, 200, 298, 0}, {6, 300, 300, 0}};
    before_readout = [&](int n) {
        set_counts(counts[n - 1]);
        if (n == 3) dev().fail_call(Fn::Write, kFirstSupplyWrite);
    };
    EXPECT_EQ(run({"--count", "3"}), 3);
    const std::string last_readout_and_summary =
        "\nA1 = 0.07 V\nI supply = --- mA\nV target = 3.34 V\nA0 = 0.00 V\n"
        "\nSummary of 3 readouts (min, mean, max):\n"
        "A1: min 0.01 V, mean 0.03 V, max 0.07 V\n"
        "I supply: min 103 mA, mean 154 mA, max 205 mA (1 not whole)\n"
        "V target: min 3.31 V, mean 3.32 V, max 3.34 V\n"
        "A0: min 0.00 V, mean 0.00 V, max 0.00 V\n"
        // 103 mA and 205 mA for a second each, to the last readout.
        "Charge 85.6 \xC2\xB5" "Ah (308 mC), energy 284 \xC2\xB5Wh (1.02 J), mean power 511 mW, "
        "over 2.00 s covered\n";
    ASSERT_GE(out.size(), last_readout_and_summary.size());
    EXPECT_EQ(out.substr(out.size() - last_readout_and_summary.size()), last_readout_and_summary);
    EXPECT_EQ(err, "talviro_read: FT_Write error\n");
}

TEST_F(ReadTool, NoProbeExitsOneWithOneLineAndNothingOnStdout) {
    dev().unplug();
    EXPECT_EQ(run({"--csv"}), 1);
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, kOpenFailure);
    EXPECT_EQ(dev().log().size(), 1u);  // the FT_OpenEx, and no close
}

TEST_F(ReadTool, MissingDriverLibraryExitsOneWithAHintToInstallIt) {
    const char* const hint =
        "talviro_read: install the FTDI D2XX driver, which Windows normally installs by itself"
        " when the probe is plugged in\n";
    dev().fail_call(Fn::OpenEx, 1, FT_DRIVER_NOT_LOADED);
    EXPECT_EQ(run({}), 1);
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, hint);

    dev().fail_call(Fn::CreateDeviceInfoList, 1, FT_DRIVER_NOT_LOADED);
    EXPECT_EQ(run({"--list"}), 1);
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, std::string("talviro_read: no probe found\n") + hint);
}

TEST_F(ReadTool, ProbeThatCannotBeSetUpExitsOne) {
    dev().fail_call(Fn::SetBitMode, 1);
    EXPECT_EQ(run({}), 1);
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, std::string("talviro_read: unable to enable bit mode\n") + kOpenFailure);
    EXPECT_EQ(dev().calls(Fn::Close).size(), 1u);  // probe_open's own
}

TEST_F(ReadTool, OutputThatCannotBeWrittenEndsTheRunWithFour) {
    std::ostream broken(nullptr);
    EXPECT_EQ(run({"--count", "3"}, broken), 4);
    EXPECT_EQ(readouts, 1);
    EXPECT_EQ(err, "talviro_read: cannot write the readings to standard output\n");
    EXPECT_TRUE(closed_at_end());
}

TEST_F(ReadTool, ListNamesEveryProbeAndWhetherItIsHeldAndOpensNone) {
    dev().add_probe("TV0002");
    FT_HANDLE held = nullptr;
    ASSERT_EQ(FT_OpenEx(const_cast<char*>("TV0002B"), FT_OPEN_BY_SERIAL_NUMBER, &held), FT_OK);
    EXPECT_EQ(run({"--list"}), 0);
    EXPECT_EQ(out, "TV0001B free\nTV0002B in use\n");
    EXPECT_EQ(err, "");
    EXPECT_EQ(dev().calls(Fn::OpenEx).size(), 1u);  // the test's own

    dev().unplug();
    EXPECT_EQ(run({"--list"}), 1);
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, "talviro_read: no probe found\n");
}

TEST_F(ReadTool, SerialReadsThatProbeOnlyAndAnUnknownOneNamesThoseFound) {
    set_counts({100, 100, 297, 0});
    const int second = dev().add_probe("TV0002");
    for (unsigned ch = 0; ch < 4; ++ch) dev().set_input_count(second, ch, 500);
    EXPECT_EQ(run({"--serial", "TV0002B"}), 0);
    EXPECT_EQ(out, "A1 = 5.57 V\nI supply = 513 mA\nV target = 5.57 V\nA0 = 5.57 V\nSerial: TV0002B\n");
    EXPECT_EQ(dev().conversions(), 0u);  // the first probe's converter
    EXPECT_TRUE(closed_at_end());

    EXPECT_EQ(run({"--serial", "TV0009B", "--csv"}), 1);
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, "talviro_read: no probe has the serial number \"TV0009B\"; found: TV0001B, TV0002B\n");
}

namespace {

constexpr double kRelative = 1e-9;
constexpr int64_t kStartMs = 1'765'000'000'000;  // 2025-12-06T05:46:40Z

// Close to expected within kRelative of it (exactly, for 0).
::testing::AssertionResult near(double value, double expected) {
    if (std::fabs(value - expected) <= kRelative * std::fabs(expected)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << value << " is not " << expected;
}

// A log as talviro_read --csv writes it: one row a second from kStartMs, and
// an hour more from row hole_at on; A1 and A0 at 0 V, V target at volts;
// I supply at milliamps[i], empty (not whole) for a negative value.
std::string write_log(const std::string& name, double volts, const std::vector<double>& milliamps,
                      size_t hole_at = SIZE_MAX) {
    const std::string path = ::testing::TempDir() + "talviro_read_" + name + ".csv";
    std::ofstream log(path, std::ios::binary | std::ios::trunc);
    log << kCsvHeader;
    for (size_t i = 0; i < milliamps.size(); ++i) {
        const int64_t hole_ms = i >= hole_at ? 3'600'000 : 0;
        log << console::iso8601_utc(kStartMs + hole_ms + static_cast<int64_t>(i) * 1000) << ",0.00,";
        if (milliamps[i] >= 0) log << milliamps[i];
        log << "," << volts << ",0.00,0,,0,0\n";
    }
    return path;
}

std::vector<double> repeated(size_t n, double milliamps) { return std::vector<double>(n, milliamps); }

std::vector<double> joined(std::vector<double> a, const std::vector<double>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

}  // namespace

TEST_F(ReadTool, SummaryJsonGoesAloneToStdoutAndABrokenLimitIsNamedWithStatusFive) {
    set_counts({100, 100, 297, 0});  // I supply 103 mA, V target 3.31 V
    EXPECT_EQ(run({"--count", "4", "--summary", "json", "--limit", "I_supply_mA mean<=103", "--limit",
                   "charge<0.08mAh", "--limit", "V_target_V min >= 3300 mV"}),
              cli::exit_status::kLimitBroken);
    // 103 mA for the three seconds from the first readout to the last:
    // 309 mC, 0.0858 mAh.
    EXPECT_EQ(err, "Serial: TV0001B\n"
                   "talviro_read: limit broken: charge<0.08mAh (charge 85.8 \xC2\xB5" "Ah)\n");
    const JsonValues json = JsonReader::read(out);
    ASSERT_EQ(json.error, "") << out;
    EXPECT_EQ(json.strings.at("from"), "2023-11-14T22:13:20.000Z");
    EXPECT_EQ(json.strings.at("to"), "2023-11-14T22:13:23.001Z");  // just past the last readout
    EXPECT_EQ(json.number("readouts"), 4);
    EXPECT_EQ(json.number("left_out"), 0);
    EXPECT_EQ(json.number("covered_s"), 3);
    EXPECT_EQ(json.number("missing_s"), 0);
    EXPECT_TRUE(near(json.number("charge_mC"), 309));
    EXPECT_TRUE(near(json.number("charge_mAh"), 309 / 3600.0));
    EXPECT_TRUE(near(json.number("energy_mJ"), 309 * double(3.31f)));
    EXPECT_TRUE(near(json.number("mean_power_mW"), 103 * double(3.31f)));
    EXPECT_EQ(json.number("readings.I_supply_mA.time_weighted_mean"), 103);
    EXPECT_EQ(json.number("readings.V_target_V.max"), double(3.31f));
    EXPECT_EQ(json.number("readings.A0_V.whole"), 4);
    EXPECT_TRUE(closed_at_end());

    // The same with the JSON in a file: the readouts and the text summary
    // stay on stdout, and bounds that hold end the run with 0.
    const std::string file = ::testing::TempDir() + "talviro_read_summary.json";
    EXPECT_EQ(run({"--count", "2", "--summary", "json=" + file, "--limit", "charge<=0.1mAh", "--limit",
                   "I_supply_mA whole>=2"}),
              0);
    EXPECT_NE(out.find("I supply = 103 mA\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Charge 28.6 \xC2\xB5" "Ah (103 mC), energy 94.7 \xC2\xB5Wh (341 mJ), mean power 341 mW, "
                       "over 1.00 s covered\n"),
              std::string::npos)
        << out;
    std::ifstream in(file);
    const JsonValues saved = JsonReader::read(std::string(std::istreambuf_iterator<char>(in), {}));
    ASSERT_EQ(saved.error, "");
    EXPECT_TRUE(near(saved.number("charge_mC"), 103));
}

TEST_F(ReadTool, LogSummaryGivesTheIntegralsOfGeneratedLogs) {
    struct Case {
        const char* name;
        double volts;
        std::vector<double> milliamps;
        std::vector<std::string> span;  // --from/--to
        double readouts, covered_s, missing_s, charge_mC, mean_mA;
        size_t hole_at;
    };
    const auto from = [](int64_t s) { return console::iso8601_utc(kStartMs + s * 1000); };
    // The same time an hour ahead, as "…T02:33:10+01:00".
    const auto from_east = [](int64_t s) {
        const std::string utc = console::iso8601_utc(kStartMs + s * 1000 + 3'600'000);
        return utc.substr(0, utc.size() - std::string(".000Z").size()) + "+01:00";
    };
    const std::vector<double> with_gap = joined(joined(repeated(40, 20), repeated(10, -1)), repeated(50, 20));
    const Case cases[] = {
        // Each readout stands for the second to the next; the last one for
        // none, nor one before missing time.
        {"constant", 3.0, repeated(100, 10), {}, 100, 99, 0, 990, 10, SIZE_MAX},
        {"step", 2.5, joined(repeated(60, 10), repeated(40, 40)), {}, 100, 99, 0, 2160, 2160 / 99.0, SIZE_MAX},
        {"not_whole", 2.5, with_gap, {}, 100, 89, 10, 1780, 20, SIZE_MAX},
        {"not_whole_span", 2.5, with_gap, {"--from", from(30), "--to", from(60)}, 30, 20, 10, 400, 20, SIZE_MAX},
        {"step_span", 2.5, joined(repeated(60, 10), repeated(40, 40)), {"--from", from(50), "--to", from_east(70)},
         20, 20, 0, 500, 25, SIZE_MAX},
        // An hour's hole in a 1 s log: the hour and the second before it.
        {"hole", 2.0, joined(repeated(50, 10), repeated(50, 30)), {}, 100, 98, 3601, 490 + 1470, 20, 50},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = {"--log", write_log(c.name, c.volts, c.milliamps, c.hole_at), "--summary",
                                         "json"};
        args.insert(args.end(), c.span.begin(), c.span.end());
        ASSERT_EQ(run(args), 0) << err;
        EXPECT_EQ(err, "");
        const JsonValues json = JsonReader::read(out);
        ASSERT_EQ(json.error, "") << out;
        EXPECT_EQ(json.number("readouts"), c.readouts);
        EXPECT_TRUE(near(json.number("covered_s"), c.covered_s));
        EXPECT_TRUE(near(json.number("missing_s"), c.missing_s));
        EXPECT_TRUE(near(json.number("charge_mC"), c.charge_mC));
        EXPECT_TRUE(near(json.number("energy_mJ"), c.charge_mC * c.volts));
        EXPECT_TRUE(near(json.number("mean_power_mW"), c.charge_mC * c.volts / c.covered_s));
        EXPECT_TRUE(near(json.number("readings.I_supply_mA.time_weighted_mean"), c.mean_mA));
        EXPECT_EQ(json.number("readings.I_supply_mA.gaps"), c.missing_s > 0 ? 1 : 0);
        EXPECT_EQ(json.number("readings.A1_V.max"), 0);
    }
    EXPECT_TRUE(dev().log().empty());  // no probe is opened for a log
}

TEST_F(ReadTool, LogLimitsHoldOrBreakAsTheFiguresSay) {
    // 10 mA at 3 V from the first of 101 readouts a second apart to the
    // last: 100 s, 1000 mC (0.278 mAh), 3000 mJ, 30 mW.
    const std::string log = write_log("limits", 3.0, repeated(101, 10));
    const std::pair<const char*, int> limits[] = {
        {"charge<=0.5mAh", 0},       {"charge<=0.2mAh", 5},         {"charge <= 1 C", 0},
        {"charge<1C", 5},            {"energy>=3J", 0},             {"energy>3000mJ", 5},
        {"mean_power < 30mW", 5},    {"mean_power<=0.03W", 0},      {"I_supply_mA mean<=10", 0},
        {"I_supply_mA max<10", 5},   {"I_supply_mA time_weighted_mean>=0.01A", 0},
        {"V_target_V min>=3000mV", 0}, {"covered>=100s", 0},        {"covered>=2min", 5},
        {"missing<=0s", 0},          {"readouts>=101", 0},          {"readouts>101", 5},
        {"I_supply_mA gaps>0", 5},   {"A1_V whole>=101", 0},
    };
    for (const auto& [limit, status] : limits) {
        EXPECT_EQ(run({"--log", log, "--limit", limit}), status) << limit << "\n" << err;
        EXPECT_EQ(out.rfind("Summary of 101 readouts (min, mean, max):\n", 0), 0u) << out;
        if (status == 0) EXPECT_EQ(err, "") << limit;
        else EXPECT_EQ(err.rfind(std::string("talviro_read: limit broken: ") + limit + " (", 0), 0u) << err;
    }
    EXPECT_EQ(run({"--log", ::testing::TempDir() + "no_such_log.csv"}), 1);
    EXPECT_EQ(run({"--log", log, "--from", console::iso8601_utc(kStartMs + 200'000)}), 1);
    EXPECT_EQ(err, "talviro_read: " + log + ": no readout in the span asked for\n");
}

TEST(CsvFormat, TheTrendCoresWriterWritesTalviroReadsLines) {
    console::Sample sample;
    const uint16_t counts[] = {100, 100, 297, 513};
    for (size_t i = 0; i < 4; ++i) sample.conversions[i] = {counts[i], i != 3};
    EXPECT_EQ(trend::csv_log_row(cli::trend_readout(1'700'000'000'123, sample)), cli::csv_line(1'700'000'000'123, sample));
    sample.conversions[3].whole = true;
    EXPECT_EQ(trend::csv_log_row(cli::trend_readout(1'700'000'000'123, sample)), cli::csv_line(1'700'000'000'123, sample));
}
