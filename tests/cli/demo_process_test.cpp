// The built talviro_read_demo as a user runs it. Real time passes here, but
// nothing is asserted about it.
#include "json_reader.h"

#include "trend/csv_log.h"
#include "trend/series.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#ifndef _WIN32
#include <sys/wait.h>
#endif

namespace {

#ifdef _WIN32
// cmd.exe runs the command: it quotes with double quotes, and a line that
// starts with one keeps its quotes only inside a second pair. The program's
// path is relative to the test's folder, with Windows' separators. The pipe
// and the file are read in text mode, which turns CR LF into LF.
std::string shell_quoted(const std::string& s) { return '"' + s + '"'; }

int run_demo(const std::string& rest, std::string* out) {
    std::string program = TALVIRO_READ_DEMO;
    std::replace(program.begin(), program.end(), '/', '\\');
    const std::string command = '"' + shell_quoted(program) + " " + rest + '"';
    FILE* pipe = _popen(command.c_str(), "r");
    if (pipe == nullptr) return -1;
    char buf[256];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, pipe)) > 0;) out->append(buf, n);
    return _pclose(pipe);
}
#else
std::string shell_quoted(const std::string& s) { return "'" + s + "'"; }

// Runs the demo with the shell text after its name; its standard output goes
// to *out. Returns the exit status, or -1 when it did not exit normally.
int run_demo(const std::string& rest, std::string* out) {
    const std::string command = shell_quoted(TALVIRO_READ_DEMO) + " " + rest;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return -1;
    char buf[256];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, pipe)) > 0;) out->append(buf, n);
    const int status = pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
#endif

}  // namespace

TEST(DemoProgram, PrintsAHeaderAndThreeParseableCsvLines) {
    const std::string errors = ::testing::TempDir() + "talviro_read_demo_stderr.txt";
    std::string out;
    EXPECT_EQ(run_demo("--count 3 --interval 0.2 --csv 2>" + shell_quoted(errors), &out), 0);

    // The demo's target sits near 3.3 V, its supply current at a few tens of mA.
    const std::regex csv(
        "time,A1_V,I_supply_mA,V_target_V,A0_V,A1_count,I_supply_count,V_target_count,A0_count\n"
        "(\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z"
        ",\\d+\\.\\d\\d,[1-9]\\d,3\\.[23]\\d,\\d+\\.\\d\\d,\\d+,\\d+,\\d+,\\d+\n){3}");
    EXPECT_TRUE(std::regex_match(out, csv)) << out;

    std::ifstream err_file(errors);
    const std::string err((std::istreambuf_iterator<char>(err_file)), std::istreambuf_iterator<char>());
    EXPECT_NE(err.find("Summary of 3 readouts"), std::string::npos) << err;
}

TEST(DemoProgram, WatchIntoAPipeIsAUsageError) {
    std::string out;
    EXPECT_EQ(run_demo("--watch 2>&1", &out), 2);
    EXPECT_EQ(out.rfind("talviro_read_demo: --watch needs a terminal on standard input and output\n", 0), 0u) << out;
}

TEST(DemoProgram, FailedOpenWritesNothingToStdout) {
    std::string out;
    EXPECT_EQ(run_demo("--serial NOPE --csv 2>" + shell_quoted(::testing::TempDir() + "nope.txt"), &out), 1);
    EXPECT_EQ(out, "");
}

namespace {

// In text mode: Windows' CR LF reads as LF.
std::string file_text(const std::string& path) {
    std::ifstream file(path);
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

}  // namespace

TEST(DemoProgram, JsonSummaryGivesTheTrendCoresFiguresForTheRunsCsv) {
    const std::string json_path = ::testing::TempDir() + "talviro_read_demo_summary.json";
    const std::string csv_path = ::testing::TempDir() + "talviro_read_demo_run.csv";
    std::string csv;
    ASSERT_EQ(run_demo("--count 6 --interval 0.02 --csv --summary json=" + shell_quoted(json_path) + " 2>" +
                           shell_quoted(::testing::TempDir() + "talviro_read_demo_json_err.txt"),
                       &csv),
              0);
    std::ofstream(csv_path, std::ios::binary | std::ios::trunc) << csv;
    const JsonValues json = JsonReader::read(file_text(json_path));
    ASSERT_EQ(json.error, "") << file_text(json_path);

    // The core over the same readouts, read back from the CSV.
    trend::CsvLog log;
    std::string error;
    ASSERT_TRUE(log.open(csv_path, &error)) << error;
    trend::Series series(0);
    log.read_all(series);
    ASSERT_EQ(series.size(), 6u);
    const int64_t t0 = series.first_time();
    const int64_t t1 = series.last_time() + 1;
    const trend::Integrals in = series.integrals(t0, t1);
    EXPECT_EQ(json.number("readouts"), 6);
    EXPECT_DOUBLE_EQ(json.number("covered_s"), in.covered_ms / 1000.0);
    EXPECT_DOUBLE_EQ(json.number("missing_s"), in.gap_ms / 1000.0);
    EXPECT_DOUBLE_EQ(json.number("charge_mC"), in.charge_mC);
    EXPECT_DOUBLE_EQ(json.number("energy_mJ"), in.energy_mJ);
    EXPECT_DOUBLE_EQ(json.number("mean_power_mW"), in.mean_power_mW);
    EXPECT_GT(in.charge_mC, 0.0);
    for (int r = 0; r < trend::kReadingCount; ++r) {
        const std::string at = "readings." + trend::reading_column(r) + ".";
        const trend::Stats stats = series.stats(r, t0, t1);
        EXPECT_EQ(json.number(at + "whole"), stats.whole) << at;
        EXPECT_EQ(json.number(at + "gaps"), stats.gaps) << at;
        EXPECT_DOUBLE_EQ(json.number(at + "min"), stats.min) << at;
        EXPECT_DOUBLE_EQ(json.number(at + "mean"), stats.mean) << at;
        EXPECT_DOUBLE_EQ(json.number(at + "max"), stats.max) << at;
        EXPECT_DOUBLE_EQ(json.number(at + "time_weighted_mean"), in.mean[r]) << at;
    }
}

TEST(DemoProgram, ABrokenLimitIsNamedAndEndsWithFiveAfterTheJson) {
    const std::string errors = ::testing::TempDir() + "talviro_read_demo_limit_err.txt";
    std::string out;
    EXPECT_EQ(run_demo("--count 3 --interval 0.01 --summary json --limit " + shell_quoted("I_supply_mA max<0") +
                           " --limit " + shell_quoted("readouts>=3") + " 2>" + shell_quoted(errors),
                       &out),
              5);
    const JsonValues json = JsonReader::read(out);
    EXPECT_EQ(json.error, "") << out;
    EXPECT_EQ(json.number("readouts"), 3);
    const std::regex named("Serial: TV0001B\ntalviro_read_demo: limit broken: I_supply_mA max<0 \\(max [0-9.]+ mA\\)\n");
    EXPECT_TRUE(std::regex_match(file_text(errors), named)) << file_text(errors);

    out.clear();
    EXPECT_EQ(run_demo("--count 2 --interval 0.01 --limit " + shell_quoted("readouts>=2") + " 2>" + shell_quoted(errors),
                       &out),
              0);
    EXPECT_EQ(file_text(errors), "");
    out.clear();
    EXPECT_EQ(run_demo("--limit " + shell_quoted("charge<=0.5") + " 2>" + shell_quoted(errors), &out), 2);
    EXPECT_EQ(out, "");
}
