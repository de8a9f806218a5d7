#include "trend/series.h"

namespace trend {
struct Series::Impl {};
Series::Series(size_t) : impl_(new Impl) {}
Series::~Series() = default;
Series::Series(Series&&) noexcept = default;
Series& Series::operator=(Series&&) noexcept = default;
bool Series::append(const Readout&) { return false; }
void Series::clear() {}
size_t Series::size() const { return 0; }
Readout Series::at(size_t) const { return {}; }
int64_t Series::first_time() const { return 0; }
int64_t Series::last_time() const { return 0; }
uint64_t Series::dropped() const { return 0; }
size_t Series::memory_bytes() const { return 0; }
void Series::columns(int, double, double, int, std::vector<Column>& out) const { out.clear(); }
Stats Series::stats(int, int64_t, int64_t) const { return {}; }
std::optional<Readout> Series::nearest(int64_t) const { return std::nullopt; }
std::string reading_name(int) { return {}; }
std::string reading_unit(int) { return {}; }
std::string reading_column(int) { return {}; }
int reading_channel(int) { return 0; }
}  // namespace trend
