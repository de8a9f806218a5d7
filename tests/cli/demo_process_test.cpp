// The built talviro_read_demo as a user runs it. Real time passes here, but
// nothing is asserted about it.
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
