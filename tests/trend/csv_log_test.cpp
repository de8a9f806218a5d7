// The CSV log reader: files it refuses, rows it skips and counts, and a log
// that grows while it is read.
#include "trend/csv_log.h"
#include "trend/civil.h"

#include "log_file.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <optional>
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

// The times --from and --to take in both programs.
TEST(trendCivil, TypedTimeTable) {
    // The forms of a time: UTC, offsets, a space and a comma, and no zone
    // (TZ is set to UTC+3 with no summer time for these; Windows has no such
    // variable to set, so they are left out there).
#ifndef _WIN32
    setenv("TZ", "XYZ-3", 1);
    tzset();
#endif
    struct Time {
        const char* text;
        int64_t ms;  // -1: refused
    };
    const Time times[] = {
        {"2026-12-08T01:33:00.250Z", 1'796'693'580'250},
        {"2026-12-08T02:33:00.250+01:00", 1'796'693'580'250},
        {"2026-12-08 00:03:00,2509-0130", 1'796'693'580'250},
        {"2026-12-08T01:33+0000", 1'796'693'580'000},
        {"2026-12-08T04:33:00.25", 1'796'693'580'250},
        {"2026-12-08T04:33", 1'796'693'580'000},
        {"2026-02-29T00:00Z", -1},
        {"2026-12-08T24:00Z", -1},
        {"2026-12-08T01:33:00.Z", -1},
        {"2026-12-08T01:33Z+", -1},
        {"2026-12-08", -1},
    };
    for (const Time& t : times) {
#ifdef _WIN32
        if (t.ms >= 0 && std::string(t.text).find_first_of("Z+-", 10) == std::string::npos) continue;
#endif
        EXPECT_EQ(trend::parse_time(t.text), t.ms < 0 ? std::nullopt : std::optional<int64_t>(t.ms)) << t.text;
    }
#ifndef _WIN32
    unsetenv("TZ");
    tzset();
#endif
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

// As tail -F: a log truncated and written anew, one deleted and made again,
// one renamed over, and one deleted for good.
TEST(trendCsvLog, ALogStartedAgainIsReadFromItsStartAfterAGap) {
    enum class Again { Truncated, DeletedAndMade, RenamedOver, Deleted };
    struct Case {
        const char* name;
        Again again;
    };
    const Case cases[] = {{"truncated", Again::Truncated},
                          {"deleted_and_made", Again::DeletedAndMade},
                          {"renamed_over", Again::RenamedOver},
                          {"deleted", Again::Deleted}};
    // The new run starts later than the old one ends, with fewer bytes.
    constexpr const char* kNewRow = "2026-12-08T02:00:00.000Z,2.00,40,3.00,1.00,180,40,27,90\n";
    constexpr int64_t kNewTime = kRow1Time + 26 * 60'000 + 59'877;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
#ifdef _WIN32
        // A file open for reading cannot be deleted or renamed over there,
        // and the system gives no inode: only a truncated log starts again.
        if (c.again != Again::Truncated) continue;
#endif
        const std::string path = trendtest::write_file(std::string(c.name) + ".csv", cat({kHeader, kRow1, kRow2, kRow3}));
        CsvLog log;
        std::string error;
        ASSERT_TRUE(log.open(path, &error)) << error;
        Series series(0);
        log.read_all(series);
        ASSERT_EQ(series.size(), 3u);
        EXPECT_EQ(log.follow(series), CsvLog::Follow::Same);

        if (c.again == Again::Deleted || c.again == Again::DeletedAndMade) std::filesystem::remove(path);
        if (c.again == Again::Deleted) {
            EXPECT_EQ(log.follow(series), CsvLog::Follow::Gone);
            EXPECT_EQ(series.size(), 3u);
            continue;
        }
        const std::string made = c.again == Again::RenamedOver ? path + ".new" : path;
        if (c.again == Again::Truncated) {
            // Truncated in place: the same inode, shorter, its header not
            // whole yet.
            trendtest::write_file(std::string(c.name) + ".csv", "time,A1");
            EXPECT_EQ(log.follow(series), CsvLog::Follow::Same) << "no whole header yet";
        }
        // Another file is longer than what was read: only its inode tells.
        const size_t more = c.again == Again::Truncated ? 0 : 3;
        std::ofstream out(made, std::ios::binary | std::ios::trunc);
        out << kHeader;
        for (size_t i = 0; i <= more; ++i) out << kNewRow;
        out.close();
        if (made != path) std::filesystem::rename(made, path);
        EXPECT_EQ(log.follow(series), CsvLog::Follow::StartedAgain);
        log.read_all(series);
        ASSERT_EQ(series.size(), 4u + more) << "the old rows, then the new ones";
        EXPECT_EQ(series.at(2).time_ms, kRow1Time + 2000);
        EXPECT_EQ(series.at(3).time_ms, kNewTime);
        EXPECT_TRUE(series.gap_before(3)) << "no gap between the runs";
        EXPECT_EQ(log.rows(), 4u + more);
        EXPECT_EQ(log.skipped(), 0u);
        EXPECT_EQ(log.restarts(), 1u);
        const trend::Stats across = series.stats(trend::kVTarget, kRow1Time, kNewTime + 1);
        EXPECT_EQ(across.gaps, 1);
        EXPECT_EQ(log.follow(series), CsvLog::Follow::Same);
    }
}

TEST(trendCsvLog, AWrittenSpanReadsBackAsTheSameReadoutsAndGaps) {
    // A 1 s run with a reading missing, a readout missing every reading, an
    // hour's hole and a gap marked by a Disconnect; then a second at 1 ms.
    trend::Series series(0);
    const int64_t start = 1'796'000'000'000;
    int64_t t = start;
    for (int i = 0; i < 40; ++i, t += 1000) {
        const float missing = std::nanf("");
        const float a0 = i == 7 ? missing : 5.71f;
        if (i == 20) t += 3'600'000;
        if (i == 30) {
            ASSERT_TRUE(series.append_gap(t - 500));
        }
        if (i == 12)
            ASSERT_TRUE(series.append({t, {missing, missing, missing, missing}}));
        else
            ASSERT_TRUE(series.append({t, {3.3f, static_cast<float>(100 + i), a0, 1.11f}}));
    }
    const std::string path = trendtest::temp_path("written.csv");
    std::string error;
    // The span from readout 5 up to, not including, readout 35.
    const int64_t t0 = series.at(5).time_ms, t1 = series.at(35).time_ms;
    ASSERT_EQ(trend::write_csv_log(path, series, t0, t1, &error), 30) << error;

    trend::CsvLog log;
    ASSERT_TRUE(log.open(path, &error)) << error;
    trend::Series back(0);
    log.read_all(back);
    EXPECT_EQ(log.skipped(), 0u) << log.skipped_note();
    ASSERT_EQ(back.size(), 30u);
    for (size_t i = 0; i < back.size(); ++i) {
        const trend::Readout a = series.at(i + 5), b = back.at(i);
        EXPECT_EQ(b.time_ms, a.time_ms) << i;
        for (int r = 0; r < trend::kReadingCount; ++r) {
            if (std::isnan(a.value[r]))
                EXPECT_TRUE(std::isnan(b.value[r])) << i << " " << r;
            else
                EXPECT_EQ(b.value[r], a.value[r]) << i << " " << r;
        }
        if (i > 0) {
            EXPECT_EQ(back.gap_before(i), series.gap_before(i + 5)) << i;
        }
    }
    // Up to the last readout written, which stands for no time in the file.
    const int64_t last = series.at(34).time_ms;
    const trend::Integrals written = series.integrals(t0, last), read = back.integrals(t0, last);
    EXPECT_GT(written.gap_ms, 3'600'000);
    EXPECT_EQ(read.gap_ms, written.gap_ms);
    EXPECT_EQ(read.charge_mC, written.charge_mC);
    EXPECT_EQ(trend::iso_time(start), "2026-11-30T00:53:20.000Z");
    EXPECT_EQ(trend::iso_time(-1), "1969-12-31T23:59:59.999Z");
    EXPECT_EQ(trend::write_csv_log(trendtest::temp_path("no/such/folder.csv"), series, t0, t1, &error), -1);
}
