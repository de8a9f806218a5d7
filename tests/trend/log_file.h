// Logs as talviro_read --csv writes them, for the trend's tests.
#ifndef TALVIRO_TESTS_TREND_LOG_FILE_H
#define TALVIRO_TESTS_TREND_LOG_FILE_H

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <string>

namespace trendtest {

constexpr const char* kHeader =
    "time,A1_V,I_supply_mA,V_target_V,A0_V,A1_count,I_supply_count,V_target_count,A0_count\n";

// "2026-12-08T01:33:00.123Z" for UTC milliseconds since 1970.
inline std::string iso_utc(int64_t ms) {
    const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
    std::tm utc{};
#ifdef _WIN32
    gmtime_s(&utc, &seconds);
#else
    gmtime_r(&seconds, &utc);
#endif
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<int>(ms % 1000));
    return text;
}

// A fresh path in the test's temporary folder.
inline std::string temp_path(const std::string& name) {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    return ::testing::TempDir() + "trend_" + info->test_suite_name() + "_" + info->name() + "_" + name;
}

inline std::string write_file(const std::string& name, const std::string& content) {
    const std::string path = temp_path(name);
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
    return path;
}

}  // namespace trendtest

#endif
