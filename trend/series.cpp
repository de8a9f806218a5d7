#include "trend/series.h"

#include "probe/readings.h"

#include <algorithm>
#include <cmath>
#include <deque>
#include <limits>
#include <string_view>

namespace trend {

namespace {

// Row order to readings::kChannels (conversion order A1, I supply, V target, A0).
constexpr int kRowChannel[kReadingCount] = {2, 1, 3, 0};

// Each level sums kFanOut nodes of the one below; kLevels of them cover a chunk.
constexpr int kFanShift = 4;
constexpr size_t kFanOut = size_t{1} << kFanShift;
constexpr int kLevels = 4;
static_assert(size_t{1} << (kFanShift * kLevels) == Series::kChunkReadouts,
              "the top level is one node per chunk");

constexpr size_t level_nodes(int level) { return Series::kChunkReadouts >> (kFanShift * level); }
constexpr size_t level_offset(int level) {
    size_t offset = 0;
    for (int l = 1; l < level; ++l) offset += level_nodes(l);
    return offset;
}
constexpr size_t kNodesPerReading = level_offset(kLevels + 1);

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// What a run of readouts sums to for one reading.
struct Node {
    float min;
    float max;
    double sum;
    uint32_t whole;       // readouts with the reading whole
    uint32_t run_starts;  // readouts without it whose predecessor had it
};

constexpr Node kEmpty{std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity(),
                      0.0, 0, 0};

inline void merge(Node& into, const Node& n) {
    into.min = std::min(into.min, n.min);
    into.max = std::max(into.max, n.max);
    into.sum += n.sum;
    into.whole += n.whole;
    into.run_starts += n.run_starts;
}

inline Node leaf(float v, bool run_start) {
    if (std::isnan(v)) return Node{kEmpty.min, kEmpty.max, 0.0, 0, run_start ? 1u : 0u};
    return Node{v, v, static_cast<double>(v), 1, 0};
}

// Sums as 64-bit counts, for spans of more than one chunk.
struct Sum {
    float min = kEmpty.min;
    float max = kEmpty.max;
    double sum = 0.0;
    int64_t whole = 0;
    int64_t run_starts = 0;
    void add(const Node& n) {
        min = std::min(min, n.min);
        max = std::max(max, n.max);
        sum += n.sum;
        whole += n.whole;
        run_starts += n.run_starts;
    }
    double mean() const {
        // The sum of floats in another order may round past an extreme.
        return std::clamp(sum / static_cast<double>(whole), static_cast<double>(min),
                          static_cast<double>(max));
    }
};

}  // namespace

std::string reading_name(int reading) {
    return readings::channel_name(readings::kChannels[kRowChannel[reading]]);
}

std::string reading_unit(int reading) { return readings::unit_name(readings::kChannels[kRowChannel[reading]].kind); }

std::string reading_column(int reading) {
    const readings::Channel& channel = readings::kChannels[kRowChannel[reading]];
    return readings::column_name(channel, readings::unit_name(channel.kind));
}

int reading_channel(int reading) { return kRowChannel[reading]; }

// Storage for kChunkReadouts readouts and their levels, allocated whole and
// left uninitialised beyond `size`.
struct Series::Chunk {
    int64_t time[kChunkReadouts];
    float value[kReadingCount][kChunkReadouts];
    Node nodes[kReadingCount][kNodesPerReading];
    size_t size;
    bool missing_before[kReadingCount];  // the readout before this chunk lacked it

    bool missing(int r, size_t k) const { return std::isnan(value[r][k]); }
    bool run_start(int r, size_t k) const {
        return missing(r, k) && !(k == 0 ? missing_before[r] : missing(r, k - 1));
    }
    Node& node(int r, int level, size_t index) { return nodes[r][level_offset(level) + index]; }
    const Node& node(int r, int level, size_t index) const {
        return nodes[r][level_offset(level) + index];
    }
    const Node item(int r, int level, size_t index) const {
        return level == 0 ? leaf(value[r][index], run_start(r, index)) : node(r, level, index);
    }

    // Level 1 takes each readout as it comes; a node is folded into its
    // parent once complete, so queries only ever read complete nodes above 1.
    void append(const Readout& readout) {
        const size_t k = size++;
        time[k] = readout.time_ms;
        for (int r = 0; r < kReadingCount; ++r) {
            value[r][k] = readout.value[r];
            Node n = leaf(readout.value[r], run_start(r, k));
            size_t index = k;
            for (int level = 1; level <= kLevels; ++level) {
                const bool first = (index & (kFanOut - 1)) == 0;
                const bool last = (index & (kFanOut - 1)) == kFanOut - 1;
                index >>= kFanShift;
                Node& parent = node(r, level, index);
                if (first)
                    parent = n;
                else
                    merge(parent, n);
                if (!last) break;
                n = parent;
            }
        }
    }

    // Sums readouts [a, b) of this chunk.
    void sum(int r, size_t a, size_t b, Sum& s) const {
        for (int level = 0; a < b; ++level) {
            if (level == kLevels || b - a < kFanOut) {
                for (; a < b; ++a) s.add(item(r, level, a));
                break;
            }
            for (; a < b && (a & (kFanOut - 1)) != 0; ++a) s.add(item(r, level, a));
            for (; a < b && (b & (kFanOut - 1)) != 0;) s.add(item(r, level, --b));
            a >>= kFanShift;
            b >>= kFanShift;
        }
    }
};

struct Series::Impl {
    size_t max_chunks;  // 0: no bound
    std::deque<std::unique_ptr<Chunk>> chunks;
    size_t size = 0;
    uint64_t dropped = 0;

    const Chunk& chunk_of(size_t i) const { return *chunks[i / kChunkReadouts]; }
    int64_t time(size_t i) const { return chunk_of(i).time[i % kChunkReadouts]; }
    bool missing(int r, size_t i) const { return chunk_of(i).missing(r, i % kChunkReadouts); }
    bool run_start(int r, size_t i) const { return chunk_of(i).run_start(r, i % kChunkReadouts); }

    // The first readout at or after t.
    size_t lower_bound(int64_t t) const {
        const auto c = std::partition_point(chunks.begin(), chunks.end(), [t](const auto& chunk) {
            return chunk->time[chunk->size - 1] < t;
        });
        if (c == chunks.end()) return size;
        const Chunk& chunk = **c;
        const size_t k = static_cast<size_t>(std::lower_bound(chunk.time, chunk.time + chunk.size, t) - chunk.time);
        return static_cast<size_t>(c - chunks.begin()) * kChunkReadouts + k;
    }
    size_t lower_bound(double t) const {
        if (!(t > static_cast<double>(std::numeric_limits<int64_t>::min()))) return 0;
        if (!(t < static_cast<double>(std::numeric_limits<int64_t>::max()))) return size;
        return lower_bound(static_cast<int64_t>(std::ceil(t)));
    }

    Sum sum(int r, size_t a, size_t b) const {
        Sum s;
        while (a < b) {
            const size_t c = a / kChunkReadouts;
            const size_t end = std::min(b, (c + 1) * kChunkReadouts);
            chunks[c]->sum(r, a % kChunkReadouts, end - c * kChunkReadouts, s);
            a = end;
        }
        return s;
    }
};

Series::Series(size_t capacity) : impl_(new Impl) {
    // The chunk being filled comes on top of those that hold the capacity.
    impl_->max_chunks = capacity == 0 ? 0 : (capacity + kChunkReadouts - 1) / kChunkReadouts + 1;
}
Series::~Series() = default;
Series::Series(Series&&) noexcept = default;
Series& Series::operator=(Series&&) noexcept = default;

bool Series::append(const Readout& readout) {
    Impl& s = *impl_;
    if (s.size > 0 && readout.time_ms < last_time()) return false;
    if (s.chunks.empty() || s.chunks.back()->size == kChunkReadouts) {
        bool missing_before[kReadingCount] = {};
        if (!s.chunks.empty())
            for (int r = 0; r < kReadingCount; ++r)
                missing_before[r] = s.chunks.back()->missing(r, kChunkReadouts - 1);
        std::unique_ptr<Chunk> chunk;
        if (s.max_chunks != 0 && s.chunks.size() == s.max_chunks) {
            chunk = std::move(s.chunks.front());
            s.chunks.pop_front();
            s.size -= kChunkReadouts;
            s.dropped += kChunkReadouts;
        } else {
            // Default-initialised: pages are touched as readouts arrive.
            chunk.reset(new Chunk);
        }
        chunk->size = 0;
        std::copy(missing_before, missing_before + kReadingCount, chunk->missing_before);
        s.chunks.push_back(std::move(chunk));
    }
    s.chunks.back()->append(readout);
    ++s.size;
    return true;
}

void Series::clear() {
    impl_->chunks.clear();
    impl_->size = 0;
    impl_->dropped = 0;
}

size_t Series::size() const { return impl_->size; }

Readout Series::at(size_t i) const {
    const Chunk& chunk = impl_->chunk_of(i);
    const size_t k = i % kChunkReadouts;
    Readout r{chunk.time[k], {}};
    for (int reading = 0; reading < kReadingCount; ++reading) r.value[reading] = chunk.value[reading][k];
    return r;
}

int64_t Series::first_time() const { return empty() ? 0 : impl_->chunks.front()->time[0]; }

int64_t Series::last_time() const {
    return empty() ? 0 : impl_->chunks.back()->time[impl_->chunks.back()->size - 1];
}

uint64_t Series::dropped() const { return impl_->dropped; }

size_t Series::memory_bytes() const { return sizeof(Impl) + impl_->chunks.size() * sizeof(Chunk); }

void Series::columns(int reading, double t0_ms, double t1_ms, int n_px, std::vector<Column>& out) const {
    out.clear();
    if (n_px <= 0 || !(t1_ms > t0_ms)) return;
    const Impl& s = *impl_;
    out.resize(static_cast<size_t>(n_px));
    const double width = (t1_ms - t0_ms) / n_px;
    double begin = t0_ms;
    size_t i = s.lower_bound(begin);
    for (int k = 0; k < n_px; ++k) {
        const double end = k + 1 == n_px ? t1_ms : t0_ms + width * (k + 1);
        const size_t j = s.lower_bound(end);
        const Sum sum = s.sum(reading, i, j);
        Column& c = out[static_cast<size_t>(k)];
        c.has_data = sum.whole > 0;
        c.min = c.has_data ? sum.min : kNaN;
        c.max = c.has_data ? sum.max : kNaN;
        c.mean = c.has_data ? static_cast<float>(sum.mean()) : kNaN;
        // A reading missing at the readout before reaches into the column
        // up to the next readout.
        const bool gap_reaches_in = i > 0 && i < s.size && s.missing(reading, i - 1) &&
                                    static_cast<double>(s.time(i)) > begin;
        c.has_gap = static_cast<int64_t>(j - i) > sum.whole || gap_reaches_in;
        c.mean = c.has_data ? std::clamp(c.mean, c.min, c.max) : kNaN;
        i = j;
        begin = end;
    }
}

Stats Series::stats(int reading, int64_t t0_ms, int64_t t1_ms) const {
    Stats st{0, 0, 0, std::nan(""), std::nan(""), std::nan(""), 0};
    if (t1_ms <= t0_ms) return st;
    st.duration_ms = t1_ms - t0_ms;
    const Impl& s = *impl_;
    const size_t i = s.lower_bound(t0_ms);
    const size_t j = s.lower_bound(t1_ms);
    if (i >= j) return st;
    const Sum sum = s.sum(reading, i, j);
    st.readouts = static_cast<int64_t>(j - i);
    st.whole = sum.whole;
    // A run that began before the span counts once, as its first readout here.
    st.gaps = sum.run_starts + (s.missing(reading, i) && !s.run_start(reading, i) ? 1 : 0);
    if (sum.whole > 0) {
        st.min = sum.min;
        st.max = sum.max;
        st.mean = sum.mean();
    }
    return st;
}

std::optional<Readout> Series::nearest(int64_t t_ms) const {
    const Impl& s = *impl_;
    if (s.size == 0) return std::nullopt;
    size_t i = s.lower_bound(t_ms);
    if (i == s.size || (i > 0 && t_ms - s.time(i - 1) <= s.time(i) - t_ms)) --i;
    return at(i);
}

}  // namespace trend
