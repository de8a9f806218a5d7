// Reads a log written by talviro_read --csv into a Series, a slice at a time,
// so that a window can show progress, cancel, and follow a growing file.
// GUI-free.
#ifndef TALVIRO_TREND_CSV_LOG_H
#define TALVIRO_TREND_CSV_LOG_H

#include "trend/series.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

namespace trend {

class CsvLog {
public:
    // Bytes read from the file at a time; a longer line is skipped.
    static constexpr size_t kReadBlock = 4 << 20;

    explicit CsvLog(size_t block = kReadBlock);
    ~CsvLog();
    CsvLog(const CsvLog&) = delete;
    CsvLog& operator=(const CsvLog&) = delete;

    // Opens the file and reads its header. Refuses a missing or unreadable
    // file, a folder, an empty or binary file and one whose first line is not
    // a talviro_read CSV header: returns false with *error "PATH: why".
    // The header decides which column holds which reading; one not ended by
    // a newline yet is taken, and its end awaited.
    bool open(const std::string& path, std::string* error);

    // Reads about max_bytes more (at least one block's worth of whole lines
    // when there are any) and appends each whole row to series. A last line
    // without its newline waits for the next call. A header line inside the
    // log starts a new run: a gap in the series (Series::append_gap), and the
    // columns as that header names them. Rows with the wrong number
    // of fields, a number or a time that does not parse, or a time earlier
    // than the series' last readout are skipped and counted. Returns the bytes consumed;
    // 0 when nothing new is there yet (call again later to follow the file).
    // False in *failed only if the file could no longer be read.
    size_t read_more(Series& series, size_t max_bytes, bool* failed = nullptr);

    // Reads to the current end of the file.
    void read_all(Series& series, bool* failed = nullptr);

    const std::string& path() const { return path_; }
    // Bytes consumed so far (header and whole lines), for a progress bar.
    uint64_t bytes_done() const { return done_; }
    // The file's size when last looked at.
    uint64_t file_size() const { return size_; }
    // Data rows appended to the series so far.
    uint64_t rows() const { return rows_; }
    // Runs read so far: 1, and one more for each header line inside the log.
    uint64_t runs() const { return runs_; }

    // Lines skipped so far, and the first one's line number (1 the header)
    // and reason ("wrong number of fields", "bad number", "bad time",
    // "time goes backwards").
    uint64_t skipped() const { return skipped_; }
    uint64_t first_skipped_line() const { return first_skipped_line_; }
    const std::string& first_skipped_reason() const { return first_skipped_reason_; }
    // "PATH: skipped N lines; the first, line L: reason"; empty when none.
    std::string skipped_note() const;

private:
    // Reads until a whole line is in the buffer; false at the file's end
    // for now, or with *failed on a read error.
    bool fill(size_t max_bytes, bool* failed);
    void skip(uint64_t line, const char* reason);
    // Takes the columns from a talviro_read header line; false if it is none.
    bool read_header(std::string_view header);
    bool parse_row(const char* begin, const char* end, Readout* out, const char** reason) const;
    // Parses the whole lines in [begin, end); returns where the unfinished one starts.
    const char* parse_lines(Series& series, const char* begin, const char* end);

    std::FILE* file_ = nullptr;
    std::string path_;
    size_t block_;
    std::unique_ptr<char[]> buffer_;  // block_ bytes, filled as read
    size_t start_ = 0;        // unconsumed bytes are buffer_[start_, filled_)
    size_t filled_ = 0;
    bool in_long_line_ = false;  // discarding a line longer than the buffer
    uint64_t done_ = 0;
    uint64_t size_ = 0;
    uint64_t rows_ = 0;
    uint64_t runs_ = 1;
    uint64_t line_ = 1;       // number of the last line consumed
    size_t fields_ = 0;       // fields per row, from the header
    size_t field_of_[kReadingCount] = {};  // field index of each reading
    uint64_t skipped_ = 0;
    uint64_t first_skipped_line_ = 0;
    std::string first_skipped_reason_;
};

// "2026-12-08T01:33:00.123Z" to UTC milliseconds; false for any other form.
bool parse_iso_time(const char* begin, const char* end, int64_t* time_ms);

}  // namespace trend

#endif
