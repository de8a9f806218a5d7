#include "trend/csv_log.h"

#include "trend/civil.h"

#include "probe/readings.h"

#include <algorithm>
#include <charconv>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <limits>
#include <string_view>
#include <system_error>
#include <utility>

#include <sys/stat.h>
#include <sys/types.h>

namespace trend {

namespace {

constexpr char kSeparator = ',';
constexpr std::string_view kTimeColumn = "time";
// "2026-12-08T01:33:00.123Z"
constexpr size_t kTimeLength = 24;
// Looked at for bytes no text has.
constexpr size_t kBinaryProbe = 4096;
constexpr int64_t kMsPerSecond = 1000;
constexpr int64_t kSecondsPerDay = 86400;

constexpr const char* kWrongFields = "wrong number of fields";
constexpr const char* kBadNumber = "bad number";
constexpr const char* kBadTime = "bad time";
constexpr const char* kBackwards = "time goes backwards";

std::string_view trim_cr(std::string_view line) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return line;
}

bool binary(const char* data, size_t n) {
    for (size_t i = 0; i < std::min(n, kBinaryProbe); ++i) {
        const unsigned char c = static_cast<unsigned char>(data[i]);
        if (c < 0x20 && c != '\n' && c != '\r' && c != '\t') return true;
    }
    return false;
}

int days_in_month(int y, int m) {
    static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    return m == 2 && leap ? 29 : kDays[m - 1];
}

// The digits at p..p+n as a number; -1 if any is not a digit.
int digits(const char* p, int n) {
    int v = 0;
    for (int i = 0; i < n; ++i) {
        const unsigned d = static_cast<unsigned char>(p[i]) - unsigned{'0'};
        if (d > 9) return -1;
        v = v * 10 + static_cast<int>(d);
    }
    return v;
}

bool parse_value(const char* begin, const char* end, float* out) {
    if (begin == end) {
        *out = std::numeric_limits<float>::quiet_NaN();
        return true;
    }
    const auto [p, ec] = std::from_chars(begin, end, *out);
    return ec == std::errc() && p == end && std::isfinite(*out);
}

}  // namespace

bool parse_iso_time(const char* begin, const char* end, int64_t* time_ms) {
    if (static_cast<size_t>(end - begin) != kTimeLength) return false;
    const char* p = begin;
    if (p[4] != '-' || p[7] != '-' || p[10] != 'T' || p[13] != ':' || p[16] != ':' || p[19] != '.' ||
        p[23] != 'Z')
        return false;
    const int year = digits(p, 4), month = digits(p + 5, 2), day = digits(p + 8, 2);
    const int hour = digits(p + 11, 2), minute = digits(p + 14, 2), second = digits(p + 17, 2);
    const int millis = digits(p + 20, 3);
    if (year < 0 || month < 1 || month > 12 || day < 1 || day > days_in_month(year, month) ||
        hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59 || millis < 0)
        return false;
    const int64_t seconds =
        days_from_civil(year, month, day) * kSecondsPerDay + hour * 3600 + minute * 60 + second;
    *time_ms = seconds * kMsPerSecond + millis;
    return true;
}

CsvLog::CsvLog(size_t block) : block_(std::max<size_t>(block, 1)) {}

CsvLog::~CsvLog() {
    if (file_) std::fclose(file_);
}

bool CsvLog::open(const std::string& path, std::string* error) {
    // A log opened again starts afresh.
    if (file_) std::fclose(file_);
    file_ = nullptr;
    start_ = filled_ = 0;
    in_long_line_ = false;
    done_ = size_ = rows_ = skipped_ = first_skipped_line_ = restarts_ = device_ = inode_ = 0;
    runs_ = 1;
    line_ = 1;
    first_skipped_reason_.clear();
    path_ = path;
    auto fail = [&](const std::string& why) {
        if (file_) std::fclose(file_);
        file_ = nullptr;
        if (error) *error = path + ": " + why;
        return false;
    };
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) return fail("is a folder, not a log file");
    file_ = std::fopen(path.c_str(), "rb");
    if (!file_) return fail(std::string("cannot be opened: ") + std::strerror(errno));
    // Reads are large and go straight to the buffer.
    std::setvbuf(file_, nullptr, _IONBF, 0);
    struct stat opened {};
    if (::fstat(fileno(file_), &opened) == 0) {
        device_ = static_cast<uint64_t>(opened.st_dev);
        inode_ = static_cast<uint64_t>(opened.st_ino);
    }
    // Not zeroed: a large block's pages are touched only as a file fills them.
    if (!buffer_) buffer_.reset(new char[block_]);
    start_ = 0;
    filled_ = std::fread(buffer_.get(), 1, block_, file_);
    if (std::ferror(file_)) return fail(std::string("cannot be read: ") + std::strerror(errno));
    // The end of the file for now, not for good: a log may grow.
    std::clearerr(file_);
    const uint64_t size = std::filesystem::file_size(path, ec);
    size_ = ec ? filled_ : std::max<uint64_t>(size, filled_);
    if (filled_ == 0) return fail("is empty");
    if (binary(buffer_.get(), filled_)) return fail("is a binary file, not a talviro_read CSV log");

    const char* data = buffer_.get();
    const char* newline = static_cast<const char*>(std::memchr(data, '\n', filled_));
    const std::string_view header = trim_cr(std::string_view(data, newline ? newline - data : filled_));
    if (!read_header(header))
        return fail("is not a talviro_read CSV log: its first line is not a header of time, " +
                    reading_column(kA1) + ", " + reading_column(kISupply) + ", " +
                    reading_column(kVTarget) + " and " + reading_column(kA0));
    if (newline) {
        start_ = static_cast<size_t>(newline + 1 - data);
        done_ = start_;
        line_ = 1;
    } else {
        // A header whose end is not written yet: read again, as the first
        // line, once it is.
        start_ = 0;
        done_ = 0;
        line_ = 0;
    }
    return true;
}

bool CsvLog::read_header(std::string_view header) {
    size_t found[kReadingCount] = {};
    size_t field_of[kReadingCount] = {};
    size_t field = 0;
    bool time_first = false;
    for (size_t at = 0;; ++field) {
        const size_t comma = header.find(kSeparator, at);
        const std::string_view name = header.substr(at, comma == std::string_view::npos ? comma : comma - at);
        if (field == 0) time_first = name == kTimeColumn;
        for (int r = 0; r < kReadingCount; ++r)
            if (name == reading_column(r)) {
                ++found[r];
                field_of[r] = field;
            }
        if (comma == std::string_view::npos) break;
        at = comma + 1;
    }
    bool ours = time_first;
    for (int r = 0; r < kReadingCount; ++r) ours = ours && found[r] == 1;
    if (!ours) return false;
    fields_ = field + 1;
    std::copy(field_of, field_of + kReadingCount, field_of_);
    return true;
}

void CsvLog::skip(uint64_t line, const char* reason) {
    if (skipped_++ == 0) {
        first_skipped_line_ = line;
        first_skipped_reason_ = reason;
    }
}

bool CsvLog::parse_row(const char* begin, const char* end, Readout* out, const char** reason) const {
    const char* field = begin;
    size_t index = 0;
    bool time_ok = false;
    bool numbers_ok = true;
    for (;; ++index) {
        const char* comma = static_cast<const char*>(std::memchr(field, kSeparator, static_cast<size_t>(end - field)));
        const char* field_end = comma ? comma : end;
        if (index == 0) {
            time_ok = parse_iso_time(field, field_end, &out->time_ms);
        } else if (index < fields_) {
            for (int r = 0; r < kReadingCount; ++r)
                if (field_of_[r] == index) numbers_ok = parse_value(field, field_end, &out->value[r]) && numbers_ok;
        }
        if (!comma) break;
        field = comma + 1;
    }
    if (index + 1 != fields_) *reason = kWrongFields;
    else if (!time_ok) *reason = kBadTime;
    else if (!numbers_ok) *reason = kBadNumber;
    else return true;
    return false;
}

const char* CsvLog::parse_lines(Series& series, const char* begin, const char* end) {
    const char* line = begin;
    while (line < end) {
        const char* newline = static_cast<const char*>(std::memchr(line, '\n', static_cast<size_t>(end - line)));
        if (!newline) break;
        ++line_;
        const char* line_end = newline > line && newline[-1] == '\r' ? newline - 1 : newline;
        Readout readout;
        const char* reason = nullptr;
        if (in_long_line_) {
            in_long_line_ = false;
            skip(line_, kWrongFields);
        } else if (!parse_row(line, line_end, &readout, &reason)) {
            // A header inside the log starts a new run (talviro_read --csv
            // >> log): the time since the last readout is missing.
            if (read_header(std::string_view(line, static_cast<size_t>(line_end - line)))) {
                if (line_ > 1) ++runs_;
                series.append_gap(series.last_time());
            } else {
                skip(line_, reason);
            }
        } else if (!series.append(readout)) {
            skip(line_, kBackwards);
        } else {
            ++rows_;
        }
        line = newline + 1;
    }
    return line;
}

bool CsvLog::fill(size_t max_bytes, bool* failed) {
    // Only an unfinished line is left: keep it at the front and read on.
    std::memmove(buffer_.get(), buffer_.get() + start_, filled_ - start_);
    filled_ -= start_;
    start_ = 0;
    while (!std::memchr(buffer_.get(), '\n', filled_)) {
        if (filled_ == block_) {
            // A line longer than the buffer: dropped up to its newline.
            in_long_line_ = true;
            done_ += filled_;
            filled_ = 0;
        }
        const size_t want = std::max<size_t>(1, std::min(max_bytes, block_ - filled_));
        const size_t got = std::fread(buffer_.get() + filled_, 1, want, file_);
        if (std::ferror(file_)) {
            *failed = true;
            return false;
        }
        filled_ += got;
        size_ = std::max<uint64_t>(size_, done_ + filled_);
        if (got < want) {
            // The end for now; a growing file has more later. The seek
            // drops what the C library knows of the end: Wine's (and so
            // Windows programs under it) reads nothing appended otherwise.
            std::clearerr(file_);
            if (std::fseek(file_, 0, SEEK_CUR) != 0) {
                *failed = true;
                return false;
            }
            std::error_code ec;
            const uint64_t size = std::filesystem::file_size(path_, ec);
            if (!ec) size_ = std::max<uint64_t>(size, done_ + filled_);
            return std::memchr(buffer_.get(), '\n', filled_) != nullptr;
        }
    }
    return true;
}

size_t CsvLog::read_more(Series& series, size_t max_bytes, bool* failed) {
    bool f = false;
    if (failed) *failed = false;
    if (!file_) return 0;
    if (!std::memchr(buffer_.get() + start_, '\n', filled_ - start_) && !fill(max_bytes, &f)) {
        if (failed) *failed = f;
        return 0;
    }
    const char* begin = buffer_.get() + start_;
    const size_t available = filled_ - start_;
    // Whole lines within max_bytes, or at least the first one.
    const char* end = begin + std::min(max_bytes, available);
    const char* first_newline = static_cast<const char*>(std::memchr(begin, '\n', available));
    if (end <= first_newline) end = first_newline + 1;
    const char* stop = parse_lines(series, begin, end);
    const size_t consumed = static_cast<size_t>(stop - begin);
    start_ += consumed;
    done_ += consumed;
    return consumed;
}

CsvLog::Follow CsvLog::follow(Series& series) {
    struct stat now {};
    if (::stat(path_.c_str(), &now) != 0) return Follow::Gone;
    // Read from the file so far: consumed, and waiting in the buffer.
    const uint64_t read = done_ + (filled_ - start_);
    const bool replaced = inode_ != 0 && (static_cast<uint64_t>(now.st_ino) != inode_ ||
                                          static_cast<uint64_t>(now.st_dev) != device_);
    const bool shrunk = now.st_size >= 0 && static_cast<uint64_t>(now.st_size) < read;
    if (!replaced && !shrunk) return Follow::Same;
    CsvLog fresh(block_);
    // Until its header line is whole the new start is not a log yet.
    if (!fresh.open(path_, nullptr)) return Follow::Same;
    take_file(fresh);
    // As a header inside the log: the time until the new first row is missing.
    series.append_gap(series.last_time());
    ++restarts_;
    return Follow::StartedAgain;
}

void CsvLog::take_file(CsvLog& fresh) {
    std::swap(file_, fresh.file_);
    std::swap(buffer_, fresh.buffer_);
    start_ = fresh.start_;
    filled_ = fresh.filled_;
    in_long_line_ = fresh.in_long_line_;
    done_ = fresh.done_;
    size_ = fresh.size_;
    line_ = fresh.line_;
    fields_ = fresh.fields_;
    std::copy(std::begin(fresh.field_of_), std::end(fresh.field_of_), std::begin(field_of_));
    device_ = fresh.device_;
    inode_ = fresh.inode_;
}

void CsvLog::read_all(Series& series, bool* failed) {
    bool f = false;
    while (read_more(series, block_, &f) > 0) {
    }
    if (failed) *failed = f;
}

std::string CsvLog::skipped_note() const {
    if (skipped_ == 0) return {};
    return path_ + ": skipped " + std::to_string(skipped_) + (skipped_ == 1 ? " line" : " lines") +
           "; the first, line " + std::to_string(first_skipped_line_) + ": " + first_skipped_reason_;
}

std::string iso_time(int64_t time_ms) {
    const int64_t ms_per_day = kSecondsPerDay * kMsPerSecond;
    const int64_t days = time_ms >= 0 ? time_ms / ms_per_day : -((-time_ms + ms_per_day - 1) / ms_per_day);
    const int64_t in_day = time_ms - days * ms_per_day;
    int y = 0, m = 0, d = 0;
    civil_from_days(days, &y, &m, &d);
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", y, m, d,
                  static_cast<int>(in_day / 3'600'000), static_cast<int>(in_day / 60'000 % 60),
                  static_cast<int>(in_day / 1000 % 60), static_cast<int>(in_day % 1000));
    return text;
}

std::string csv_log_header() {
    std::string header(kTimeColumn);
    for (const readings::Channel& channel : readings::kChannels)
        header += kSeparator + readings::column_name(channel, readings::unit_name(channel.kind));
    for (const readings::Channel& channel : readings::kChannels)
        header += kSeparator + readings::column_name(channel, "count");
    return header + "\n";
}

std::string csv_log_row(const Readout& readout) {
    // The readings in conversion order, as the header has them.
    float value[readings::kChannelCount];
    for (int r = 0; r < kReadingCount; ++r) value[reading_channel(r)] = readout.value[r];
    std::string row = iso_time(readout.time_ms);
    for (int i = 0; i < readings::kChannelCount; ++i) {
        row += kSeparator;
        if (std::isnan(value[i])) continue;
        const std::string text = readings::format_reading(readings::kChannels[i].kind, value[i]);
        row += text.substr(0, text.find(' '));
    }
    for (int i = 0; i < readings::kChannelCount; ++i) {
        row += kSeparator;
        if (!std::isnan(value[i])) row += std::to_string(readings::count_for_reading(readings::kChannels[i].kind, value[i]));
    }
    return row + "\n";
}

int64_t write_csv_log(const std::string& path, const Series& series, int64_t t0_ms, int64_t t1_ms,
                      std::string* error) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        *error = path + ": " + std::strerror(errno);
        return -1;
    }
    std::string text = csv_log_header();
    int64_t written = 0;
    bool ok = true;
    const size_t end = series.lower_bound(t1_ms);
    for (size_t i = series.lower_bound(t0_ms); i < end && ok; ++i) {
        const Readout readout = series.at(i);
        if (written > 0 && series.gap_before(i)) text += csv_log_header();
        text += csv_log_row(readout);
        ++written;
        if (text.size() >= CsvLog::kReadBlock) {
            ok = std::fwrite(text.data(), 1, text.size(), file) == text.size();
            text.clear();
        }
    }
    ok = ok && std::fwrite(text.data(), 1, text.size(), file) == text.size();
    ok = std::fclose(file) == 0 && ok;
    if (!ok) {
        *error = path + ": cannot be written";
        return -1;
    }
    return written;
}

}  // namespace trend
