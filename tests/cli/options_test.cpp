// Usage errors, --help and --version: what the user sees, and that the probe is never
// touched.
#include "read_fixture.h"

namespace {

struct BadArguments {
    const char* name;
    std::vector<std::string> args;
    const char* message;
};

// Keeps the test names that ctest lists readable and the same on every run.
void PrintTo(const BadArguments& bad, std::ostream* os) {
    for (const std::string& arg : bad.args) *os << "[" << arg << "]";
}

class UsageError : public ReadTool, public ::testing::WithParamInterface<BadArguments> {};

const char* const kUsageStart =
    "Usage: talviro_read [--serial SN] [--count N] [--interval SECONDS] [--csv]\n";

}  // namespace

TEST_P(UsageError, ExitsTwoWithTheReasonAndAPointerToHelpOnStderr) {
    const BadArguments& bad = GetParam();
    EXPECT_EQ(run(bad.args), 2);
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, std::string("talviro_read: ") + bad.message + "\nTry 'talviro_read --help'.\n");
    EXPECT_TRUE(dev().log().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, UsageError,
    ::testing::Values(
        BadArguments{"UnknownOption", {"--bogus"}, "unknown option '--bogus'"},
        BadArguments{"UnknownShortOption", {"--count", "2", "-x"}, "unknown option '-x'"},
        BadArguments{"StrayArgument", {"now"}, "unexpected argument 'now'"},
        BadArguments{"CsvWithValue", {"--csv=yes"}, "--csv takes no value"},
        BadArguments{"WatchWithValue", {"--watch=1"}, "--watch takes no value"},
        BadArguments{"WatchWithCsv", {"--csv", "--watch"}, "--watch cannot be combined with --csv"},
        BadArguments{"WatchWithCount", {"--watch", "--count", "0"}, "--watch cannot be combined with --count"},
        BadArguments{"ListWithInterval", {"--list", "--interval", "2"}, "--list cannot be combined with --interval"},
        BadArguments{"EmptySerial", {"--serial="}, "--serial needs a serial number, such as TV0001B (see --list)"},
        BadArguments{"CountWithoutValue", {"--count"}, "--count needs a value"},
        BadArguments{"IntervalWithoutValue", {"--csv", "--interval"}, "--interval needs a value"},
        BadArguments{"NegativeCount", {"--count", "-1"},
                     "--count: '-1' is not a whole number of readouts (0 means until interrupted)"},
        BadArguments{"TextCount", {"--count", "abc"},
                     "--count: 'abc' is not a whole number of readouts (0 means until interrupted)"},
        BadArguments{"FractionalCount", {"--count=2.5"},
                     "--count: '2.5' is not a whole number of readouts (0 means until interrupted)"},
        BadArguments{"ZeroInterval", {"--interval", "0"}, "--interval: '0' is not a number of seconds from 0.001 to 86400"},
        BadArguments{"NegativeInterval", {"--interval", "-1"}, "--interval: '-1' is not a number of seconds from 0.001 to 86400"},
        BadArguments{"IntervalWithUnit", {"--interval", "1s"}, "--interval: '1s' is not a number of seconds from 0.001 to 86400"},
        BadArguments{"IntervalUnderAMillisecond", {"--interval", "0.0004"},
                     "--interval: '0.0004' is not a number of seconds from 0.001 to 86400"},
        BadArguments{"IntervalOverADay", {"--interval=86401"},
                     "--interval: '86401' is not a number of seconds from 0.001 to 86400"},
        BadArguments{"SerialTwice", {"--serial", "TV0001B", "--serial=TV0002B"}, "--serial may be given only once"},
        BadArguments{"CountTwice", {"--count", "2", "--csv", "--count", "2"}, "--count may be given only once"},
        BadArguments{"IntervalTwice", {"--interval", "1", "--interval", "2"}, "--interval may be given only once"},
        BadArguments{"SummaryNotJson", {"--summary", "text"}, "--summary: expected json or json=FILE, not 'text'"},
        BadArguments{"SummaryEmptyFile", {"--summary=json="}, "--summary: expected json or json=FILE, not 'json='"},
        BadArguments{"SummaryJsonWithCsv", {"--csv", "--summary", "json"},
                     "--summary json writes standard output, as --csv does: give it a file, --summary json=FILE"},
        BadArguments{"WatchWithLimit", {"--watch", "--limit", "charge<1C"}, "--watch cannot be combined with --limit"},
        BadArguments{"ListWithLimit", {"--list", "--limit", "charge<1C"}, "--list cannot be combined with --limit"},
        BadArguments{"LimitWithoutUnit", {"--limit", "charge<=0.5"},
                     "--limit 'charge<=0.5': charge needs a unit: uAh, mAh, Ah, uC, mC, C"},
        BadArguments{"LimitWrongUnit", {"--limit", "energy<=0.5mAh"},
                     "--limit 'energy<=0.5mAh': 'mAh' is not a unit of energy; use uWh, mWh, Wh, uJ, mJ, J"},
        BadArguments{"LimitReadingUnit", {"--limit", "I_supply_mA mean<=12V"},
                     "--limit 'I_supply_mA mean<=12V': 'V' is not a unit of I_supply_mA; use uA, mA, A"},
        BadArguments{"LimitWithoutFigure", {"--limit", "I_supply_mA<=12"},
                     "--limit 'I_supply_mA<=12': I_supply_mA needs one of min, mean, max, time_weighted_mean, "
                     "whole, gaps"},
        BadArguments{"LimitUnknownFigure", {"--limit", "I_supply_mA median<=12"},
                     "--limit 'I_supply_mA median<=12': I_supply_mA needs one of min, mean, max, "
                     "time_weighted_mean, whole, gaps, not median"},
        BadArguments{"LimitUnknownName", {"--limit", "current<=12mA"},
                     "--limit 'current<=12mA': no reading or total is called 'current'; there are V_target_V, "
                     "I_supply_mA, A0_V, A1_V, readouts, charge, energy, mean_power, covered and missing"},
        BadArguments{"LimitWithoutOperator", {"--limit", "charge 1C"},
                     "--limit 'charge 1C': expected a reading and a figure, or a total, then <=, <, >= or >, "
                     "and a bound, like \"I_supply_mA mean<=12\" or \"charge<=0.5mAh\""},
        BadArguments{"LimitEqual", {"--limit", "readouts==3"},
                     "--limit 'readouts==3': expected a reading and a figure, or a total, then <=, <, >= or >, "
                     "and a bound, like \"I_supply_mA mean<=12\" or \"charge<=0.5mAh\""},
        BadArguments{"LimitWithoutNumber", {"--limit", "charge<=mAh"}, "--limit 'charge<=mAh': the bound is not a number"},
        BadArguments{"LimitCountWithUnit", {"--limit", "A0_V gaps<1s"}, "--limit 'A0_V gaps<1s': gaps is a count and takes no unit"},
        BadArguments{"LogWithCount", {"--log", "a.csv", "--count", "3"}, "--log cannot be combined with --count"},
        BadArguments{"LogWithCsv", {"--csv", "--log", "a.csv"}, "--log cannot be combined with --csv"},
        BadArguments{"LogEmpty", {"--log="}, "--log needs the name of a log written by --csv"},
        BadArguments{"FromWithoutLog", {"--from", "2026-12-08T01:33:00.000Z"}, "--from and --to go with --log"},
        BadArguments{"FromNotATime", {"--log", "a.csv", "--from", "today"},
                     "--from: expected an ISO 8601 time, like 2026-12-08T01:33:00.123Z, 2026-12-08T02:33+01:00 or local "
                     "2026-12-08T02:33:00: today"},
        BadArguments{"FromAfterTo", {"--log", "a.csv", "--from", "2026-12-08T01:33:00.000Z", "--to", "2026-12-08T01:33:00.000Z"},
                     "--from must be before --to"}),
    [](const ::testing::TestParamInfo<BadArguments>& info) { return std::string(info.param.name); });

TEST_F(ReadTool, HelpGoesToStdoutWithoutOpeningTheProbe) {
    for (const char* help : {"--help", "-h"}) {
        EXPECT_EQ(run({"--count", "3", help}), 0);
        EXPECT_EQ(out.rfind(kUsageStart, 0), 0u) << out;
        EXPECT_NE(out.find("Exit status:"), std::string::npos);
        EXPECT_EQ(err, "");
    }
    EXPECT_TRUE(dev().log().empty());
}

TEST_F(ReadTool, VersionGoesToStdoutWithoutOpeningTheProbe) {
    EXPECT_EQ(run({"--csv", "--version", "--bogus"}), 0);
    EXPECT_EQ(out, "talviro_read (TALVIRO Measurement) 1.0.1\n");
    EXPECT_EQ(err, "");
    EXPECT_TRUE(dev().log().empty());
}

TEST(ProgramName, IsTheLastPathComponentWithoutAWindowsExtension) {
    EXPECT_EQ(console::program_name("/usr/bin/talviro_read_demo"), "talviro_read_demo");
    EXPECT_EQ(console::program_name("C:\\Program Files\\TALVIRO Measurement\\talviro_read.exe"),
              "talviro_read");
    EXPECT_EQ(console::program_name("build/cli/talviro_read.EXE"), "talviro_read");
    EXPECT_EQ(console::program_name("./.exe"), ".exe");
    EXPECT_EQ(console::program_name("/usr/bin/"), "talviro_read");
    EXPECT_EQ(console::program_name(nullptr), "talviro_read");
}
