// Reads fuzz input as a talviro_read CSV log that grows while it is read:
// the first part is in the file at open, the rest comes after some slices.
// Invariants: a refusal names the file; the series holds exactly the rows
// counted, in time order; no more is consumed than the file holds; each
// column's and the whole span's mean lies within its min..max; and reading
// the finished file again in one go gives the same readouts and skips.
#include "trend/csv_log.h"
#include "trend/series.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

constexpr size_t kMaxSlice = 512;
constexpr size_t kMaxBlock = 256;
constexpr int kColumns = 37;

void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

const std::string& log_path() {
    static const std::string path =
        (std::filesystem::temp_directory_path() / ("talviro_csv_fuzz_" + std::to_string(getpid()) + ".csv"))
            .string();
    return path;
}

void write(const std::string& path, const char* mode, const std::string& bytes) {
    std::FILE* f = std::fopen(path.c_str(), mode);
    check(f != nullptr, "temporary file cannot be written");
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
}

// Bytes of the longest line, its newline included.
size_t longest_line(const std::string& bytes) {
    size_t longest = 0, start = 0;
    for (size_t i = 0; i < bytes.size(); ++i)
        if (bytes[i] == '\n') {
            longest = std::max(longest, i + 1 - start);
            start = i + 1;
        }
    return longest;
}

bool same(float a, float b) { return (std::isnan(a) && std::isnan(b)) || a == b; }

void check_series(const trend::Series& series) {
    for (size_t i = 1; i < series.size(); ++i)
        check(series.at(i - 1).time_ms <= series.at(i).time_ms, "readouts out of time order");
    if (series.empty()) return;
    const double t0 = static_cast<double>(series.first_time());
    const double t1 = static_cast<double>(series.last_time()) + 1;
    std::vector<trend::Column> columns;
    for (int r = 0; r < trend::kReadingCount; ++r) {
        const trend::Stats s = series.stats(r, series.first_time(), series.last_time() + 1);
        check(s.readouts == static_cast<int64_t>(series.size()), "a readout outside the whole span");
        check(s.whole <= s.readouts && s.gaps <= s.readouts, "more whole readouts or gaps than readouts");
        check(s.whole == 0 || (s.min <= s.mean && s.mean <= s.max), "mean outside min..max");
        series.columns(r, t0, t1, kColumns, columns);
        check(columns.size() == kColumns, "column count");
        for (const trend::Column& c : columns)
            check(!c.has_data || (c.min <= c.mean && c.mean <= c.max), "column mean outside min..max");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    const size_t slice = input.ConsumeIntegralInRange<size_t>(1, kMaxSlice);
    const size_t block = input.ConsumeIntegralInRange<size_t>(1, kMaxBlock);
    const size_t slices_before_growth = input.ConsumeIntegralInRange<size_t>(0, 8);
    const std::string bytes = input.ConsumeRemainingBytesAsString();
    const size_t first_part = bytes.size() / 2;
    const std::string& path = log_path();
    write(path, "wb", bytes.substr(0, first_part));

    trend::CsvLog log(block);
    std::string error;
    if (!log.open(path, &error)) {
        check(error.compare(0, path.size() + 2, path + ": ") == 0, "a refusal does not name the file");
        std::remove(path.c_str());
        return 0;
    }
    trend::Series series(0);
    bool failed = false;
    for (size_t i = 0; i < slices_before_growth; ++i) {
        log.read_more(series, slice, &failed);
        check(!failed, "a read failed");
        check(log.bytes_done() <= first_part, "consumed more than the file holds");
    }
    write(path, "ab", bytes.substr(first_part));
    while (log.read_more(series, slice, &failed) > 0) {
    }
    check(!failed, "a read failed");
    check(log.bytes_done() <= bytes.size(), "consumed more than the file holds");
    check(log.rows() == series.size(), "rows counted and readouts differ");
    check((log.skipped() == 0) == log.skipped_note().empty(), "a note without skips or skips without a note");
    check_series(series);

    // The same file in one go: the same result, when no line was too long
    // for the small block.
    // (Bytes no text has, come after the opening, refuse it now.)
    trend::CsvLog again;
    trend::Series whole(0);
    const bool reopened = again.open(path, &error);
    again.read_all(whole);
    if (reopened && block >= longest_line(bytes)) {
        check(whole.size() == series.size(), "readouts depend on the slices");
        check(again.skipped() == log.skipped(), "skips depend on the slices");
        check(again.first_skipped_line() == log.first_skipped_line(), "first skip depends on the slices");
        for (size_t i = 0; i < whole.size(); ++i) {
            const trend::Readout a = whole.at(i), b = series.at(i);
            check(a.time_ms == b.time_ms, "a readout's time depends on the slices");
            for (int r = 0; r < trend::kReadingCount; ++r)
                check(same(a.value[r], b.value[r]), "a reading depends on the slices");
        }
    }
    std::remove(path.c_str());
    return 0;
}
