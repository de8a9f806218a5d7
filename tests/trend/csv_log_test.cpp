// The CSV log reader: files it refuses, rows it skips and counts, and a log
// that grows while it is read.
#include "trend/csv_log.h"

#include "log_file.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

using trend::CsvLog;
using trend::Series;
using trendtest::kHeader;

constexpr const char* kRow1 = "2026-12-08T01:33:00.123Z,1.00,20,3.30,0.50,90,20,30,45\n";
constexpr const char* kRow2 = "2026-12-08T01:33:01.123Z,1.10,21,3.31,0.51,99,20,30,45\n";
constexpr const char* kRow3 = "2026-12-08T01:33:02.123Z,1.20,22,3.32,0.52,108,21,30,46\n";
constexpr int64_t kRow1Time = 1'796'693'580'123;  // 2026-12-08T01:33:00.123Z

std::string cat(std::initializer_list<const char*> parts) {
    std::string s;
    for (const char* p : parts) s += p;
    return s;
}

TEST(trendCsvLog, BadInputTable) {
    struct Case {
        const char* name;
        std::string content;          // the file's bytes; for "folder" and "missing" none
        const char* refusal;          // what open says after "PATH: ", or nullptr
        uint64_t rows;
        uint64_t skipped;
        uint64_t first_line;
        const char* reason;
        uint64_t runs = 1;  // each after the first a gap in the series
    };
    const std::string kBinary("\x7f" "ELF\x02\x01\x01\0\0\0\0\0\0\0\0\0\x03\0\x3e\0", 20);
    const std::vector<Case> cases = {
        {"good", cat({kHeader, kRow1, kRow2, kRow3}), nullptr, 3, 0, 0, ""},
        {"windows line ends, a value last", "time,A1_V,I_supply_mA,V_target_V,A0_V\r\n"
                                            "2026-12-08T01:33:00.123Z,1.00,20,3.30,0.50\r\n",
         nullptr, 1, 0, 0, ""},
        {"other header", "date,value\n2026-12-08,1\n",
         "is not a talviro_read CSV log: its first line is not a header of time, A1_V, I_supply_mA, "
         "V_target_V and A0_V", 0, 0, 0, ""},
        {"header only in part", "time,A1_V,I_supply_mA\n",
         "is not a talviro_read CSV log: its first line is not a header of time, A1_V, I_supply_mA, "
         "V_target_V and A0_V", 0, 0, 0, ""},
        {"binary", kBinary, "is a binary file, not a talviro_read CSV log", 0, 0, 0, ""},
        {"empty", "", "is empty", 0, 0, 0, ""},
        {"folder", "", "is a folder, not a log file", 0, 0, 0, ""},
        {"missing", "", "cannot be opened: No such file or directory", 0, 0, 0, ""},
        {"wrong field count", cat({kHeader, kRow1, "2026-12-08T01:33:00.500Z,1.00,20,3.30,0.50,90,20,30\n", kRow2}),
         nullptr, 2, 1, 3, "wrong number of fields"},
        {"too many fields", cat({kHeader, kRow1, kRow2, "2026-12-08T01:33:02.123Z,1,2,3,4,5,6,7,8,9\n"}),
         nullptr, 2, 1, 4, "wrong number of fields"},
        {"empty line", cat({kHeader, kRow1, "\n", kRow2}), nullptr, 2, 1, 3, "wrong number of fields"},
        {"bad number", cat({kHeader, kRow1, "2026-12-08T01:33:00.500Z,1.00,2x0,3.30,0.50,90,20,30,45\n", kRow2}),
         nullptr, 2, 1, 3, "bad number"},
        {"not finite", cat({kHeader, "2026-12-08T01:33:00.500Z,nan,20,3.30,0.50,90,20,30,45\n", kRow2}),
         nullptr, 1, 1, 2, "bad number"},
        {"bad time", cat({kHeader, kRow1, "2026-13-08T01:33:00.500Z,1.00,20,3.30,0.50,90,20,30,45\n",
                          "2026-12-08 01:33:00.600,1.00,20,3.30,0.50,90,20,30,45\n", kRow2}),
         nullptr, 2, 2, 3, "bad time"},
        {"time backwards", cat({kHeader, kRow2, kRow1, kRow3}), nullptr, 2, 1, 3, "time goes backwards"},
        {"several reasons, the first kept", cat({kHeader, kRow3, "x\n", kRow1, "2026-12-08T01:33:03.000Z,a,,,,,,,\n"}),
         nullptr, 1, 3, 3, "wrong number of fields"},
        {"truncated last line", cat({kHeader, kRow1, kRow2, "2026-12-08T01:33:02.123Z,1.2"}), nullptr, 2, 0, 0, ""},
        {"two runs appended, the second's header a gap", cat({kHeader, kRow1, kRow2, kHeader, kRow3}), nullptr, 3,
         0, 0, "", 2},
        {"a header without its newline", std::string(kHeader, std::strlen(kHeader) - 1), nullptr, 0, 0, 0, ""},
        {"a header without its newline and in part", "time,A1_V,I_supply_mA,V_targ",
         "is not a talviro_read CSV log: its first line is not a header of time, A1_V, I_supply_mA, "
         "V_target_V and A0_V", 0, 0, 0, ""},
    };
    for (const Case& c : cases) {
        std::string path = trendtest::temp_path(std::to_string(&c - cases.data()) + ".csv");
        std::filesystem::remove_all(path);
        if (std::string(c.name) == "folder")
            std::filesystem::create_directory(path);
        else if (std::string(c.name) != "missing")
            path = trendtest::write_file(std::to_string(&c - cases.data()) + ".csv", c.content);
        CsvLog log;
        std::string error;
        const bool opened = log.open(path, &error);
        if (c.refusal) {
            EXPECT_FALSE(opened) << c.name;
            EXPECT_EQ(error, path + ": " + c.refusal) << c.name;
            continue;
        }
        ASSERT_TRUE(opened) << c.name << ": " << error;
        Series series(0);
        bool failed = true;
        log.read_all(series, &failed);
        EXPECT_FALSE(failed) << c.name;
        EXPECT_EQ(series.size(), c.rows) << c.name;
        EXPECT_EQ(log.rows(), c.rows) << c.name;
        EXPECT_EQ(log.skipped(), c.skipped) << c.name;
        EXPECT_EQ(log.first_skipped_line(), c.first_line) << c.name;
        EXPECT_EQ(log.first_skipped_reason(), c.reason) << c.name;
        const std::string note = c.skipped == 0 ? "" :
            path + ": skipped " + std::to_string(c.skipped) + (c.skipped == 1 ? " line" : " lines") +
            "; the first, line " + std::to_string(c.first_line) + ": " + c.reason;
        EXPECT_EQ(log.skipped_note(), note) << c.name;
        EXPECT_EQ(log.runs(), c.runs) << c.name;
        uint64_t gaps = 0;
        for (size_t i = 0; i < series.size(); ++i) gaps += series.gap_before(i) ? 1 : 0;
        EXPECT_EQ(gaps, c.runs - 1) << c.name;
    }
}

TEST(trendCsvLog, HeaderDecidesTheColumnsAndEmptyFieldsAreGaps) {
    const std::string path = trendtest::write_file(
        "log.csv", "A0_count,A0_V,time,V_target_V,I_supply_mA,A1_V\n"
                   "7,0.25,2026-12-08T01:33:00.123Z,3.30,,1.50\n");
    CsvLog log;
    std::string error;
    ASSERT_FALSE(log.open(path, &error)) << "time is the first column";
    const std::string good = trendtest::write_file(
        "good.csv", "time,A0_V,A0_count,V_target_V,I_supply_mA,A1_V\n"
                    "2026-12-08T01:33:00.123Z,0.25,7,3.30,,1.50\n");
    ASSERT_TRUE(log.open(good, &error)) << error;
    Series series(0);
    log.read_all(series);
    ASSERT_EQ(series.size(), 1u);
    const trend::Readout r = series.at(0);
    EXPECT_EQ(r.time_ms, kRow1Time);
    EXPECT_EQ(r.value[trend::kVTarget], 3.30f);
    EXPECT_TRUE(std::isnan(r.value[trend::kISupply]));
    EXPECT_EQ(r.value[trend::kA0], 0.25f);
    EXPECT_EQ(r.value[trend::kA1], 1.50f);
}

TEST(trendCsvLog, ISOTimeTable) {
    struct Row {
        const char* text;
        bool ok;
        int64_t ms;
    };
    const std::vector<Row> rows = {
        {"1970-01-01T00:00:00.000Z", true, 0},
        {"2026-12-08T01:33:00.123Z", true, kRow1Time},
        {"2024-02-29T23:59:59.999Z", true, 1'709'251'199'999},
        {"2000-03-01T00:00:00.000Z", true, 951'868'800'000},
        {"1969-12-31T23:59:59.999Z", true, -1},
        {"2023-02-29T00:00:00.000Z", false, 0},
        {"2026-12-08T24:00:00.000Z", false, 0},
        {"2026-12-08T01:60:00.000Z", false, 0},
        {"2026-12-08T01:33:60.000Z", false, 0},
        {"2026-00-08T01:33:00.000Z", false, 0},
        {"2026-12-00T01:33:00.000Z", false, 0},
        {"2026-12-08T01:33:00.12Z", false, 0},
        {"2026-12-08T01:33:00.123", false, 0},
        {"2026-12-08T01:33:00.123+", false, 0},
        {"2026-12-08 01:33:00.123Z", false, 0},
        {"2026-12-08T01:33:0a.123Z", false, 0},
        {"2026-12-08T01:33:00.123Z ", false, 0},
        {"", false, 0},
    };
    for (const Row& row : rows) {
        const std::string text = row.text;
        int64_t ms = 0;
        EXPECT_EQ(trend::parse_iso_time(text.data(), text.data() + text.size(), &ms), row.ok) << row.text;
        if (row.ok) {
            EXPECT_EQ(ms, row.ms) << row.text;
        }
    }
}

TEST(trendCsvLog, AGrowingLogIsFollowedLineByLine) {
    const std::string path = trendtest::write_file("growing.csv", cat({kHeader, kRow1}));
    CsvLog log;
    std::string error;
    ASSERT_TRUE(log.open(path, &error)) << error;
    Series series(0);
    log.read_all(series);
    EXPECT_EQ(series.size(), 1u);
    EXPECT_EQ(log.read_more(series, CsvLog::kReadBlock), 0u) << "nothing new yet";

    std::ofstream out(path, std::ios::binary | std::ios::app);
    const std::string row2 = kRow2;
    out << row2.substr(0, 30) << std::flush;
    log.read_all(series);
    EXPECT_EQ(series.size(), 1u) << "half a line waits";
    EXPECT_EQ(log.skipped(), 0u);
    out << row2.substr(30) << kRow3 << std::flush;
    log.read_all(series);
    EXPECT_EQ(series.size(), 3u);
    EXPECT_EQ(log.skipped(), 0u);
    EXPECT_EQ(series.last_time(), kRow1Time + 2000);
    EXPECT_EQ(series.at(1).value[trend::kA1], 1.10f);
    EXPECT_EQ(log.bytes_done(), log.file_size());
    EXPECT_EQ(log.file_size(), std::filesystem::file_size(path));
}

TEST(trendCsvLog, SmallSlicesReadTheSameRowsAsOneBigRead) {
    std::string text = kHeader;
    for (int i = 0; i < 200; ++i) {
        char row[128];
        std::snprintf(row, sizeof row, "%s,%d.00,%d,3.30,%s,1,2,3,4\n",
                      trendtest::iso_utc(kRow1Time + i * 33).c_str(), i % 10, i, i % 7 == 0 ? "" : "0.5");
        text += row;
    }
    const std::string path = trendtest::write_file("log.csv", text);
    CsvLog whole, sliced;
    std::string error;
    ASSERT_TRUE(whole.open(path, &error));
    ASSERT_TRUE(sliced.open(path, &error));
    Series a(0), b(0);
    whole.read_all(a);
    uint64_t last_done = sliced.bytes_done();
    // Slices shorter than a line: one line each.
    constexpr size_t kSlice = 37;
    constexpr size_t kLongestRow = 60;
    while (const size_t consumed = sliced.read_more(b, kSlice)) {
        EXPECT_LE(consumed, kLongestRow);
        EXPECT_EQ(sliced.bytes_done(), last_done + consumed);
        last_done = sliced.bytes_done();
    }
    ASSERT_EQ(a.size(), 200u);
    ASSERT_EQ(b.size(), 200u);
    for (size_t i = 0; i < a.size(); ++i) {
        EXPECT_EQ(a.at(i).time_ms, b.at(i).time_ms);
        EXPECT_EQ(a.at(i).value[trend::kA1], b.at(i).value[trend::kA1]);
        EXPECT_EQ(std::isnan(a.at(i).value[trend::kA0]), i % 7 == 0);
    }
    EXPECT_EQ(sliced.bytes_done(), text.size());
}

TEST(trendCsvLog, ALineLongerThanTheReadBlockIsSkippedWhole) {
    // What follows the block's worth is no row of its own.
    constexpr size_t kBlock = 128;
    const std::string long_line =
        std::string(kBlock, 'x') + "2026-12-08T01:33:00.500Z,1.00,20,3.30,0.50,90,20,30,45\n";
    const std::string path = trendtest::write_file("log.csv", cat({kHeader, kRow1, long_line.c_str(), kRow2, kRow3}));
    CsvLog log(kBlock);
    std::string error;
    ASSERT_TRUE(log.open(path, &error)) << error;
    Series series(0);
    log.read_all(series);
    EXPECT_EQ(series.size(), 3u);
    EXPECT_EQ(log.skipped_note(), path + ": skipped 1 line; the first, line 3: wrong number of fields");
    EXPECT_EQ(series.at(1).time_ms, kRow1Time + 1000);
    EXPECT_EQ(log.bytes_done(), std::filesystem::file_size(path));
}

}  // namespace
