// Times as the programs write them. Pure functions of their arguments.
#ifndef TALVIRO_CONSOLE_TIME_TEXT_H
#define TALVIRO_CONSOLE_TIME_TEXT_H

#include <cstdint>
#include <string>

namespace console {

// UTC with milliseconds, "2023-11-14T22:13:20.000Z". Empty for a time the C
// library cannot break down.
std::string iso8601_utc(int64_t wall_ms);

// Local time to the second: "2026-12-07T02:13:07" with the date, "02:13:07"
// without. Empty for a time the C library cannot break down.
std::string local_time_text(int64_t wall_ms, bool with_date);

}  // namespace console

#endif
