// Round ticks: value axes in 1/2/5 steps, and local-time axes from
// milliseconds to days, across daylight saving changes.
#include "trend/ticks.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <string>
#include <vector>

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr int64_t kHour = 3'600'000;
constexpr int64_t kDay = 24 * kHour;
// POSIX rules need no time zone files: Central Europe, India.
constexpr const char* kCentralEurope = "CET-1CEST,M3.5.0,M10.5.0/3";
constexpr const char* kIndia = "IST-5:30";

// The local time zone for one test. POSIX rules, which the Windows C
// runtime does not read from TZ: the local-time table is for the others.
#ifndef _WIN32
class LocalZone {
public:
    explicit LocalZone(const char* tz) {
        const char* old = std::getenv("TZ");
        had_ = old != nullptr;
        if (had_) old_ = old;
        set(tz);
    }
    ~LocalZone() {
        if (had_)
            set(old_.c_str());
        else
            unsetenv("TZ");
        tzset();
    }

private:
    static void set(const char* tz) {
        setenv("TZ", tz, 1);
        tzset();
    }
    bool had_ = false;
    std::string old_;
};
#endif

std::string joined(const std::vector<std::string>& labels) {
    std::string s;
    for (const std::string& l : labels) s += (s.empty() ? "" : " ") + l;
    return s;
}

TEST(trendTicks, ValueTicksBoundaryTable) {
    struct Row {
        double min, max;
        int max_ticks;
        double step;
        const char* labels;
    };
    const std::vector<Row> rows = {
        {0, 1, 11, 0.1, "0.0 0.1 0.2 0.3 0.4 0.5 0.6 0.7 0.8 0.9 1.0"},
        {0, 1, 10, 0.2, "0.0 0.2 0.4 0.6 0.8 1.0"},
        {0, 1, 6, 0.2, "0.0 0.2 0.4 0.6 0.8 1.0"},
        {0, 1, 5, 0.5, "0.0 0.5 1.0"},
        {0, 1, 1, 1, "0 1"},
        {0, 999.9, 11, 100, "0 100 200 300 400 500 600 700 800 900 1000"},
        {0, 1023, 6, 500, "0 500 1000 1500"},
        {1.001, 4.999, 5, 1, "1 2 3 4 5"},
        {5, 1, 5, 1, "1 2 3 4 5"},
        {-0.05, 0.05, 5, 0.05, "-0.05 0.00 0.05"},
        {-0.04, 0.01, 3, 0.05, "-0.05 0.00 0.05"},
        {9.99, 10.01, 4, 0.01, "9.99 10.00 10.01"},
        {3.3, 3.3, 5, 0.1, "3.1 3.2 3.3 3.4 3.5"},
        {-3.3, -3.3, 5, 0.1, "-3.5 -3.4 -3.3 -3.2 -3.1"},
        {0, 0, 3, 1, "-1 0 1"},
        {kNaN, 1, 5, 0.5, "0.0 0.5 1.0"},
        {0, std::numeric_limits<double>::infinity(), 5, 0.5, "0.0 0.5 1.0"},
        {1e6, 1e6 + 1e-7, 3, 1e-7, "1000000.0000000 1000000.0000001"},
        // Steps found by scaling with a power of ten, not by dividing by
        // a step that is not a double: 0.3 / 0.1 is 2.9999999999999996.
        {0.3, 0.5, 3, 0.1, "0.3 0.4 0.5"},
        {0.7, 0.9, 3, 0.1, "0.7 0.8 0.9"},
        {-0.3, -0.1, 3, 0.1, "-0.3 -0.2 -0.1"},
        // Across zero two ticks never do: three.
        {-1, 1, 2, 1, "-1 0 1"},
        {0, 0, 2, 1, "-1 0 1"},
        {-0.01, 1000, 2, 1000, "-1000 0 1000"},
        {-1e-300, 1e-300, 2, 1, "-1 0 1"},
        {5e-324, 5e-324, 2, 1, "-1 0 1"},
        {-1e250, 1e250, 5, 0.5, "0.0 0.5 1.0"},
    };
    for (const Row& row : rows) {
        const std::string what = std::to_string(row.min) + ".." + std::to_string(row.max) + " in " +
                                  std::to_string(row.max_ticks);
        const trend::ValueTicks axis = trend::value_ticks(row.min, row.max, row.max_ticks);
        EXPECT_DOUBLE_EQ(axis.step, row.step) << what;
        EXPECT_EQ(joined(axis.labels), row.labels) << what;
        ASSERT_EQ(axis.ticks.size(), axis.labels.size()) << what;
        EXPECT_LE(static_cast<int>(axis.ticks.size()), std::max(axis.lo < 0 && axis.hi > 0 ? 3 : 2, row.max_ticks))
            << what;
        EXPECT_EQ(axis.ticks.front(), axis.lo) << what;
        EXPECT_EQ(axis.ticks.back(), axis.hi) << what;
        if (std::isfinite(row.min) && std::isfinite(row.max) && std::fabs(row.min) <= 1e200 &&
            std::fabs(row.max) <= 1e200) {
            EXPECT_LE(axis.lo, std::min(row.min, row.max)) << what;
            EXPECT_GE(axis.hi, std::max(row.min, row.max)) << what;
        }
    }
}

TEST(trendTicks, TimeStepBoundaryTable) {
    struct Row {
        double span_ms;
        int max_ticks;
        int64_t step;
    };
    const std::vector<Row> rows = {
        {0.5, 1, 1},
        {9, 10, 1},
        {10, 10, 2},
        {9'000, 10, 1'000},
        {10'000, 10, 2'000},
        {60'000, 5, 15'000},
        {60'000, 4, 30'000},
        {60'000, 1, 120'000},
        {kDay, 25, kHour},
        {kDay, 24, 2 * kHour},
        {kDay, 4, 12 * kHour},
        {7 * kDay, 8, kDay},
        {7 * kDay, 7, 2 * kDay},
        {365.0 * kDay, 10, 50 * kDay},
        {1e15, 2, trend::time_steps().back()},
    };
    for (const Row& row : rows)
        EXPECT_EQ(trend::time_step(0, row.span_ms, row.max_ticks), row.step)
            << row.span_ms << " ms in " << row.max_ticks;
}

#ifndef _WIN32
TEST(trendTicks, LocalTimeTicksTable) {
    struct Row {
        const char* tz;
        const char* name;
        int64_t t0, t1;  // UTC ms
        int max_ticks;
        int64_t first;   // UTC ms of the first tick
        const char* labels;
        int days;        // ticks on a local midnight
    };
    // 2026-12-08T01:33:00.120Z and the local clock changes of 2026.
    constexpr int64_t kDec8 = 1'796'693'580'120;
    constexpr int64_t kMar28_22h = 1'774'735'200'000;  // 2026-03-28T22:00:00Z
    constexpr int64_t kOct24_22h = 1'792'879'200'000;  // 2026-10-24T22:00:00Z
    constexpr int64_t kDec8_0h = 1'796'688'000'000;     // 2026-12-08T00:00:00Z
    const std::vector<Row> rows = {
        {kCentralEurope, "milliseconds", kDec8, kDec8 + 10, 11, kDec8,
         "02:33:00.120 02:33:00.121 02:33:00.122 02:33:00.123 02:33:00.124 02:33:00.125 02:33:00.126 "
         "02:33:00.127 02:33:00.128 02:33:00.129 02:33:00.130", 0},
        {kCentralEurope, "200 ms", kDec8 - 20, kDec8 + 500, 4, kDec8 + 80, "02:33:00.200 02:33:00.400 02:33:00.600", 0},
        {kCentralEurope, "seconds", kDec8, kDec8 + 60'000, 7, kDec8 + 9'880,
         "02:33:10 02:33:20 02:33:30 02:33:40 02:33:50 02:34:00", 0},
        {kCentralEurope, "minutes", kDec8, kDec8 + 30 * 60'000, 7, kDec8 + 120'000 - 120,
         "02:35 02:40 02:45 02:50 02:55 03:00", 0},
        {kCentralEurope, "hours into summer time", kMar28_22h + kHour / 2, kMar28_22h + 5 * kHour + kHour / 2, 6,
         kMar28_22h + kHour, "2026-03-29 01:00 03:00 04:00 05:00", 1},
        {kCentralEurope, "two hours into summer time", kMar28_22h, kMar28_22h + 10 * kHour, 6,
         kMar28_22h + kHour, "2026-03-29 04:00 06:00 08:00 10:00", 1},
        {kCentralEurope, "two hours from just before the change", kMar28_22h + 2 * kHour, kMar28_22h + 10 * kHour,
         5, kMar28_22h + 4 * kHour, "04:00 06:00 08:00 10:00", 0},
        {kCentralEurope, "hours out of summer time", kOct24_22h + 3 * kHour / 2, kOct24_22h + 11 * kHour / 2, 5,
         kOct24_22h + 2 * kHour, "02:00 02:00 03:00 04:00", 0},
        {kCentralEurope, "days", kDec8_0h - 12 * kHour, kDec8_0h + 7 * kDay - 12 * kHour, 8,
         kDec8_0h - kHour, "2026-12-08 2026-12-09 2026-12-10 2026-12-11 2026-12-12 2026-12-13 2026-12-14", 7},
        {kCentralEurope, "days over a clock change", kMar28_22h - 2 * kDay, kMar28_22h + 2 * kDay, 5,
         kMar28_22h - 2 * kDay + kHour, "2026-03-27 2026-03-28 2026-03-29 2026-03-30 2026-03-31", 5},
        {kIndia, "half days", kDec8_0h, kDec8_0h + kDay, 3, kDec8_0h + 6 * kHour + kHour / 2,
         "12:00 2026-12-09", 1},
        {kIndia, "hours at half past UTC", kDec8_0h, kDec8_0h + 4 * kHour, 5, kDec8_0h + kHour / 2,
         "06:00 07:00 08:00 09:00", 0},
        {kIndia, "a day at local midnight", kDec8_0h, kDec8_0h + kDay, 2, kDec8_0h + 18 * kHour + kHour / 2,
         "2026-12-09", 1},
    };
    for (const Row& row : rows) {
        LocalZone zone(row.tz);
        const std::vector<trend::TimeTick> ticks = trend::time_ticks(row.t0, row.t1, row.max_ticks);
        ASSERT_FALSE(ticks.empty()) << row.name;
        EXPECT_EQ(ticks.front().time_ms, row.first) << row.name;
        std::vector<std::string> labels;
        int days = 0;
        for (size_t i = 0; i < ticks.size(); ++i) {
            labels.push_back(ticks[i].label);
            days += ticks[i].day;
            EXPECT_GE(ticks[i].time_ms, row.t0) << row.name;
            EXPECT_LE(ticks[i].time_ms, row.t1) << row.name;
            if (i > 0) {
                EXPECT_GT(ticks[i].time_ms, ticks[i - 1].time_ms) << row.name;
            }
        }
        EXPECT_EQ(joined(labels), row.labels) << row.name;
        EXPECT_EQ(days, row.days) << row.name;
        EXPECT_LE(static_cast<int>(ticks.size()), row.max_ticks) << row.name;
    }
    EXPECT_TRUE(trend::time_ticks(10, 10, 5).empty());
}
#endif

}  // namespace
