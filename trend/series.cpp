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

// What a run of readouts sums to for one reading: their whole values, and
// the stretches of missing time that start at them (at the step from the
// readout before).
struct Node {
    float min;
    float max;
    double sum;
    uint32_t whole;   // readouts with the reading whole
    uint32_t starts;  // steps into them that start a stretch of missing time
};

constexpr Node kEmpty{std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity(),
                      0.0, 0, 0};

inline void merge(Node& into, const Node& n) {
    into.min = std::min(into.min, n.min);
    into.max = std::max(into.max, n.max);
    into.sum += n.sum;
    into.whole += n.whole;
    into.starts += n.starts;
}

inline Node leaf(float v, bool start) {
    if (std::isnan(v)) return Node{kEmpty.min, kEmpty.max, 0.0, 0, start ? 1u : 0u};
    return Node{v, v, static_cast<double>(v), 1, start ? 1u : 0u};
}

// Sums as 64-bit counts, for spans of more than one chunk.
struct Sum {
    float min = kEmpty.min;
    float max = kEmpty.max;
    double sum = 0.0;
    int64_t whole = 0;
    int64_t starts = 0;
    void add(const Node& n) {
        min = std::min(min, n.min);
        max = std::max(max, n.max);
        sum += n.sum;
        whole += n.whole;
        starts += n.starts;
    }
    double mean() const {
        // The sum of floats in another order may round past an extreme.
        return std::clamp(sum / static_cast<double>(whole), static_cast<double>(min),
                          static_cast<double>(max));
    }
};

// The step into each readout (from the one before it): bits of Chunk::step.
constexpr uint8_t kStepGap = 1;  // missing for every reading (or no readout before)
constexpr uint8_t step_start(int r) { return static_cast<uint8_t>(2u << r); }

// A double-double: the sum hi + lo, each addition's rounding error kept in
// lo, so that millions of small terms add up as if in 106 bits.
struct Exact {
    double hi = 0.0, lo = 0.0;
    void add(double x) {
        const double s = hi + x;
        const double b = s - hi;
        lo += (hi - (s - b)) + (x - b);
        hi = s;
    }
    void add(const Exact& o) {
        add(o.hi);
        lo += o.lo;
    }
    double value() const { return hi + lo; }
};

// What the readouts' time sums to (Integrals' terms) over a run of steps.
struct TimeSum {
    Exact integral[kReadingCount];  // value · ms
    int64_t held[kReadingCount] = {};
    Exact energy;                   // V target · I supply · ms
    int64_t power_ms = 0;
    void add(const TimeSum& o) {
        for (int r = 0; r < kReadingCount; ++r) {
            integral[r].add(o.integral[r]);
            held[r] += o.held[r];
        }
        energy.add(o.energy);
        power_ms += o.power_ms;
    }
};

// The time sums are kept from level kTimeLevel up: a step costs a few
// products, and a block of kTimeBlock steps is summed once, when complete.
constexpr int kTimeLevel = 2;
constexpr size_t kTimeBlock = size_t{1} << (kFanShift * kTimeLevel);
constexpr size_t time_offset(int level) {
    size_t offset = 0;
    for (int l = kTimeLevel; l < level; ++l) offset += level_nodes(l);
    return offset;
}
constexpr size_t kTimeNodes = time_offset(kLevels + 1);

// b - a for b >= a, at most INT64_MAX.
int64_t span_ms(int64_t a, int64_t b) {
    const uint64_t d = static_cast<uint64_t>(b) - static_cast<uint64_t>(a);
    return d > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) ? std::numeric_limits<int64_t>::max()
                                                                           : static_cast<int64_t>(d);
}

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
    uint8_t step[kChunkReadouts];  // kStepGap, step_start(r)
    Node nodes[kReadingCount][kNodesPerReading];
    TimeSum times[kTimeNodes];
    size_t size;
    // The readout before this chunk's first (kept when that one's chunk is
    // dropped); none for the series' first chunk, whose first step is a gap.
    int64_t time_before_first;
    float value_before_first[kReadingCount];

    int64_t time_before(size_t k) const { return k == 0 ? time_before_first : time[k - 1]; }
    float value_before(int r, size_t k) const { return k == 0 ? value_before_first[r] : value[r][k - 1]; }
    bool gap(size_t k) const { return (step[k] & kStepGap) != 0; }
    bool start(int r, size_t k) const { return (step[k] & step_start(r)) != 0; }
    // The step into readout k is missing for the reading, and not empty.
    bool missing(int r, size_t k) const {
        return time[k] > time_before(k) && (gap(k) || std::isnan(value_before(r, k)));
    }
    Node& node(int r, int level, size_t index) { return nodes[r][level_offset(level) + index]; }
    const Node& node(int r, int level, size_t index) const {
        return nodes[r][level_offset(level) + index];
    }
    const Node item(int r, int level, size_t index) const {
        return level == 0 ? leaf(value[r][index], start(r, index)) : node(r, level, index);
    }
    TimeSum& time_node(int level, size_t index) { return times[time_offset(level) + index]; }
    const TimeSum& time_node(int level, size_t index) const { return times[time_offset(level) + index]; }

    // Adds the part of the step into readout k that lies in [lo, hi).
    void add_step(size_t k, int64_t lo, int64_t hi, TimeSum& s) const {
        if (gap(k)) return;
        const int64_t a = std::max(time_before(k), lo), b = std::min(time[k], hi);
        if (b <= a) return;
        const int64_t dt = span_ms(a, b);
        const double d = static_cast<double>(dt);
        for (int r = 0; r < kReadingCount; ++r) {
            const float v = value_before(r, k);
            if (std::isnan(v)) continue;
            s.integral[r].add(static_cast<double>(v) * d);
            s.held[r] += dt;
        }
        const float volts = value_before(kVTarget, k), amps = value_before(kISupply, k);
        if (!std::isnan(volts) && !std::isnan(amps)) {
            // A product of two floats is exact in a double.
            s.energy.add(static_cast<double>(volts) * static_cast<double>(amps) * d);
            s.power_ms += dt;
        }
    }

    // The whole steps into readouts [first, first + kTimeBlock): add_step's
    // sums, without its clipping, every reading in one pass.
    void sum_block(size_t first, TimeSum& block) const {
        block = TimeSum{};
        size_t i = first;
        if (i == 0) add_step(i++, std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::max(), block);
        // Each term in named locals, not an array a loop indexes: the
        // compiler keeps all five in registers. hi/lo as Exact::add.
        struct Term {
            double hi = 0.0, lo = 0.0;
            int64_t held = 0;
            void add(bool ok, double x, int64_t dt) {
                // Adding zero leaves an exact sum as it was.
                x = ok ? x : 0.0;
                const double sum = hi + x;
                const double b = sum - hi;
                lo += (hi - (sum - b)) + (x - b);
                hi = sum;
                held += ok ? dt : 0;
            }
            void into(Exact& e, int64_t& ms) const {
                e.add(Exact{hi, lo});
                ms += held;
            }
        };
        Term volts, amps, a0, a1, power;
        for (; i < first + kTimeBlock; ++i) {
            const int64_t dt = time[i] - time[i - 1];
            const bool joined = (step[i] & kStepGap) == 0;
            const double d = static_cast<double>(dt);
            const float v = value[kVTarget][i - 1], c = value[kISupply][i - 1];
            const bool v_ok = joined && !std::isnan(v), c_ok = joined && !std::isnan(c);
            volts.add(v_ok, static_cast<double>(v) * d, dt);
            amps.add(c_ok, static_cast<double>(c) * d, dt);
            const float x0 = value[kA0][i - 1], x1 = value[kA1][i - 1];
            a0.add(joined && !std::isnan(x0), static_cast<double>(x0) * d, dt);
            a1.add(joined && !std::isnan(x1), static_cast<double>(x1) * d, dt);
            power.add(v_ok && c_ok, static_cast<double>(v) * static_cast<double>(c) * d, dt);
        }
        volts.into(block.integral[kVTarget], block.held[kVTarget]);
        amps.into(block.integral[kISupply], block.held[kISupply]);
        a0.into(block.integral[kA0], block.held[kA0]);
        a1.into(block.integral[kA1], block.held[kA1]);
        power.into(block.energy, block.power_ms);
    }

    // A node is made once its kFanOut items are complete, from them in
    // order, and so is its parent once it is the last of its kFanOut:
    // queries read no node above level 0 before it is complete. The time
    // sums start at kTimeLevel, each block summed when complete.
    void append(const Readout& readout, uint8_t step_bits) {
        const size_t k = size++;
        time[k] = readout.time_ms;
        step[k] = step_bits;
        for (int r = 0; r < kReadingCount; ++r) value[r][k] = readout.value[r];
        if ((k + 1) % kFanOut != 0) return;
        const size_t first = k + 1 - kFanOut;
        for (int r = 0; r < kReadingCount; ++r) {
            // merge(n, leaf(...)) without a branch: min and max keep n's
            // side against a NaN, which adds zero.
            Node n = leaf(value[r][first], start(r, first));
            for (size_t c = first + 1; c <= k; ++c) {
                const float v = value[r][c];
                const bool whole = !std::isnan(v);
                n.min = std::min(n.min, v);
                n.max = std::max(n.max, v);
                n.sum += whole ? static_cast<double>(v) : 0.0;
                n.whole += whole ? 1u : 0u;
                n.starts += start(r, c) ? 1u : 0u;
            }
            size_t index = k >> kFanShift;
            node(r, 1, index) = n;
            for (int level = 2; level <= kLevels && (index & (kFanOut - 1)) == kFanOut - 1; ++level) {
                index >>= kFanShift;
                const size_t child = index << kFanShift;
                n = node(r, level - 1, child);
                for (size_t c = 1; c < kFanOut; ++c) merge(n, node(r, level - 1, child + c));
                node(r, level, index) = n;
            }
        }
        if ((k + 1) % kTimeBlock != 0) return;
        sum_block(k + 1 - kTimeBlock, time_node(kTimeLevel, k / kTimeBlock));
        size_t index = k / kTimeBlock;
        for (int level = kTimeLevel + 1; level <= kLevels && (index & (kFanOut - 1)) == kFanOut - 1; ++level) {
            index >>= kFanShift;
            TimeSum& parent = time_node(level, index);
            parent = TimeSum{};
            for (size_t c = 0; c < kFanOut; ++c) parent.add(time_node(level - 1, index * kFanOut + c));
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

    // Sums the whole steps into readouts [a, b) of this chunk.
    void sum_steps(size_t a, size_t b, TimeSum& s) const {
        constexpr int64_t kAll[2] = {std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::max()};
        if (b - a < 2 * kTimeBlock) {
            for (; a < b; ++a) add_step(a, kAll[0], kAll[1], s);
            return;
        }
        for (; (a & (kTimeBlock - 1)) != 0; ++a) add_step(a, kAll[0], kAll[1], s);
        for (; (b & (kTimeBlock - 1)) != 0;) add_step(--b, kAll[0], kAll[1], s);
        a /= kTimeBlock;
        b /= kTimeBlock;
        for (int level = kTimeLevel; a < b; ++level) {
            if (level == kLevels || b - a < kFanOut) {
                for (; a < b; ++a) s.add(time_node(level, a));
                break;
            }
            for (; a < b && (a & (kFanOut - 1)) != 0; ++a) s.add(time_node(level, a));
            for (; a < b && (b & (kFanOut - 1)) != 0;) s.add(time_node(level, --b));
            a >>= kFanShift;
            b >>= kFanShift;
        }
    }
};

struct Series::Impl {
    size_t capacity;  // 0: no bound
    std::deque<std::unique_ptr<Chunk>> chunks;
    size_t size = 0;
    uint64_t dropped = 0;
    // The last readout's time and which readings it lacks (bit r).
    int64_t last_time = 0;
    unsigned last_nan = 0;
    // The gap rule's state: the last steps (a ring; kNoStep where none yet),
    // an explicit gap pending, and the readings whose last step of non-zero
    // length was missing (a missing step after it continues its stretch).
    static constexpr int64_t kNoStep = std::numeric_limits<int64_t>::max();
    int64_t steps[Series::kGapSteps];  // filled by forget_steps() from the start
    int step_count = 0;
    int step_next = 0;
    int64_t median = 0;  // the lower median of the steps, once there are any
    bool gap_pending = false;
    int64_t gap_time = 0;
    unsigned last_missing = 0;

    Impl() { forget_steps(); }
    void forget_steps() {
        std::fill(steps, steps + Series::kGapSteps, kNoStep);
        step_count = step_next = 0;
    }
    // A steady cadence pushes the step it drops: the median stays, and
    // is worked out again only when the steps change.
    void push_step(int64_t step) {
        const int64_t dropped = steps[step_next];
        steps[step_next] = step;
        step_next = (step_next + 1) & (Series::kGapSteps - 1);
        if (step_count < Series::kGapSteps)
            ++step_count;
        else if (dropped == step)
            return;
        int64_t sorted[Series::kGapSteps];
        std::copy(steps, steps + Series::kGapSteps, sorted);
        // kNoStep sorts after every step.
        const int middle = (step_count - 1) / 2;
        std::nth_element(sorted, sorted + middle, sorted + Series::kGapSteps);
        median = sorted[middle];
    }
    const Chunk& chunk_of(size_t i) const { return *chunks[i / kChunkReadouts]; }
    int64_t time(size_t i) const { return chunk_of(i).time[i % kChunkReadouts]; }
    bool missing(int r, size_t i) const { return chunk_of(i).missing(r, i % kChunkReadouts); }
    bool start(int r, size_t i) const { return chunk_of(i).start(r, i % kChunkReadouts); }

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
    // The first readout after t.
    size_t upper_bound(double t) const {
        if (!(t >= static_cast<double>(std::numeric_limits<int64_t>::min()))) return 0;
        if (!(t < static_cast<double>(std::numeric_limits<int64_t>::max()))) return size;
        const int64_t floor = static_cast<int64_t>(std::floor(t));
        return floor == std::numeric_limits<int64_t>::max() ? size : lower_bound(floor + 1);
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

    void sum_steps(size_t a, size_t b, TimeSum& s) const {
        while (a < b) {
            const size_t c = a / kChunkReadouts;
            const size_t end = std::min(b, (c + 1) * kChunkReadouts);
            chunks[c]->sum_steps(a % kChunkReadouts, end - c * kChunkReadouts, s);
            a = end;
        }
    }

    // Stretches of missing time for reading r that reach into [t0, t1),
    // whose readouts are [i, j) and whose steps into readouts [i, j) hold
    // `starts` starts. Those that start inside are the starts of the steps
    // into i + 1 .. j; one more where t0 lies inside a stretch begun before.
    int64_t gaps(int r, double t0, size_t i, size_t j, int64_t starts) const {
        if (i < size) starts -= start(r, i) ? 1 : 0;
        if (j < size) starts += start(r, j) ? 1 : 0;
        // The first step in the span: the one that holds t0 (from the
        // readout at or before it), or the first of any length after the
        // first readout kept, whose stretch may have begun in a dropped chunk
        // and gone on across readouts of that same time.
        size_t k = upper_bound(t0);
        if (k == 0) {
            if (j == 0) return starts;
            k = upper_bound(static_cast<double>(time(0)));
        }
        if (k < size && missing(r, k) && !(k > i && start(r, k))) ++starts;
        return starts;
    }

    // Whether the step is more than kGapStepFactor times the lower median of
    // the steps before.
    bool long_step(int64_t step) const {
        // step > factor * median, without the product's overflow.
        return step_count > 0 && (step - 1) / Series::kGapStepFactor >= median;
    }
};

Series::Series(size_t capacity) : impl_(new Impl) { impl_->capacity = capacity; }
Series::~Series() = default;
Series::Series(Series&&) noexcept = default;
Series& Series::operator=(Series&&) noexcept = default;

bool Series::append(const Readout& readout) {
    static_assert((kGapSteps & (kGapSteps - 1)) == 0, "a ring indexed by a mask");
    static_assert(kReadingCount + 1 <= 8, "a step's bits in a byte");
    Impl& s = *impl_;
    const int64_t t = readout.time_ms;
    if (s.size > 0 && (t < s.last_time || (s.gap_pending && t < s.gap_time))) return false;
    // The oldest chunk goes once the bound would be passed by more than a
    // chunk; what is left still holds the capacity.
    if (s.capacity != 0 && s.size + 1 > s.capacity + kChunkReadouts) {
        s.chunks.pop_front();
        s.size -= kChunkReadouts;
        s.dropped += kChunkReadouts;
    }
    unsigned nan = 0;
    for (int r = 0; r < kReadingCount; ++r) nan |= std::isnan(readout.value[r]) ? 1u << r : 0u;
    constexpr unsigned kAll = (1u << kReadingCount) - 1;
    uint8_t bits = kStepGap;
    if (s.size > 0) {
        const int64_t step = span_ms(s.last_time, t);
        const bool gap = s.gap_pending || (step > 0 && s.long_step(step));
        if (s.gap_pending) {
            s.forget_steps();
        } else if (step > 0) {
            s.push_step(step);
        }
        bits = gap ? kStepGap : 0;
        if (step > 0) {
            const unsigned missing = gap ? kAll : s.last_nan;
            bits |= static_cast<uint8_t>((missing & ~s.last_missing) << 1);
            s.last_missing = missing;
        }
    }
    s.gap_pending = false;
    if (s.chunks.empty() || s.chunks.back()->size == kChunkReadouts) {
        // Default-initialised: pages are touched as readouts arrive.
        std::unique_ptr<Chunk> chunk(new Chunk);
        chunk->size = 0;
        if (!s.chunks.empty()) {
            const Chunk& back = *s.chunks.back();
            chunk->time_before_first = back.time[kChunkReadouts - 1];
            for (int r = 0; r < kReadingCount; ++r) chunk->value_before_first[r] = back.value[r][kChunkReadouts - 1];
        } else {
            chunk->time_before_first = t;
            std::fill(chunk->value_before_first, chunk->value_before_first + kReadingCount,
                      std::numeric_limits<float>::quiet_NaN());
        }
        s.chunks.push_back(std::move(chunk));
    }
    s.chunks.back()->append(readout, bits);
    ++s.size;
    s.last_time = t;
    s.last_nan = nan;
    return true;
}

bool Series::append_gap(int64_t time_ms) {
    Impl& s = *impl_;
    if (s.size == 0) return true;
    if (time_ms < last_time()) return false;
    s.gap_time = s.gap_pending ? std::max(s.gap_time, time_ms) : time_ms;
    s.gap_pending = true;
    return true;
}

void Series::new_cadence() { impl_->forget_steps(); }

void Series::clear() {
    const size_t capacity = impl_->capacity;
    impl_.reset(new Impl);
    impl_->capacity = capacity;
}

size_t Series::size() const { return impl_->size; }

Readout Series::at(size_t i) const {
    const Chunk& chunk = impl_->chunk_of(i);
    const size_t k = i % kChunkReadouts;
    Readout r{chunk.time[k], {}};
    for (int reading = 0; reading < kReadingCount; ++reading) r.value[reading] = chunk.value[reading][k];
    return r;
}

size_t Series::lower_bound(int64_t t_ms) const { return impl_->lower_bound(t_ms); }

bool Series::gap_before(size_t i) const { return i > 0 && impl_->chunk_of(i).gap(i % kChunkReadouts); }

int64_t Series::first_time() const { return empty() ? 0 : impl_->chunks.front()->time[0]; }

int64_t Series::last_time() const { return empty() ? 0 : impl_->last_time; }

uint64_t Series::dropped() const { return impl_->dropped; }

size_t Series::memory_bytes() const { return sizeof(Impl) + impl_->chunks.size() * sizeof(Chunk); }

void Series::columns(int reading, double t0_ms, double t1_ms, int n_px, std::vector<Column>& out) const {
    out.clear();
    if (n_px <= 0 || !(t1_ms > t0_ms)) return;
    const Impl& s = *impl_;
    out.resize(static_cast<size_t>(n_px));
    double begin = t0_ms;
    size_t i = s.lower_bound(begin);
    for (int k = 0; k < n_px; ++k) {
        const double end = k + 1 == n_px ? t1_ms : t0_ms + (t1_ms - t0_ms) * (k + 1) / n_px;
        const size_t j = s.lower_bound(end);
        const Sum sum = s.sum(reading, i, j);
        Column& c = out[static_cast<size_t>(k)];
        c.has_data = sum.whole > 0;
        c.min = c.has_data ? sum.min : kNaN;
        c.max = c.has_data ? sum.max : kNaN;
        c.mean = c.has_data ? static_cast<float>(sum.mean()) : kNaN;
        c.has_gap = s.gaps(reading, begin, i, j, sum.starts) > 0;
        c.mean = c.has_data ? std::clamp(c.mean, c.min, c.max) : kNaN;
        i = j;
        begin = end;
    }
}

Stats Series::stats(int reading, int64_t t0_ms, int64_t t1_ms) const {
    Stats st{0, 0, 0, std::nan(""), std::nan(""), std::nan(""), 0};
    if (t1_ms <= t0_ms) return st;
    st.duration_ms = span_ms(t0_ms, t1_ms);
    const Impl& s = *impl_;
    const size_t i = s.lower_bound(t0_ms);
    const size_t j = s.lower_bound(t1_ms);
    const Sum sum = s.sum(reading, i, j);
    st.readouts = static_cast<int64_t>(j - i);
    st.whole = sum.whole;
    st.gaps = s.gaps(reading, static_cast<double>(t0_ms), i, j, sum.starts);
    if (sum.whole > 0) {
        st.min = sum.min;
        st.max = sum.max;
        st.mean = sum.mean();
    }
    return st;
}

Integrals Series::integrals(int64_t t0_ms, int64_t t1_ms) const {
    Integrals in{};
    const double nan = std::nan("");
    in.mean_power_mW = nan;
    std::fill(in.mean, in.mean + kReadingCount, nan);
    if (t1_ms <= t0_ms) return in;
    const Impl& s = *impl_;
    const size_t i = s.lower_bound(t0_ms);
    const size_t j = s.lower_bound(t1_ms);
    in.readouts = static_cast<int64_t>(j - i);
    for (int r = 0; r < kReadingCount; ++r) in.whole[r] = s.sum(r, i, j).whole;
    TimeSum sum;
    // Whole steps from readout i to j - 1; the step into i where t0 lies
    // inside it, and the one out of j - 1 where t1 does, clipped.
    if (i + 1 < j) s.sum_steps(i + 1, j, sum);
    auto clipped = [&](size_t k) {
        s.chunk_of(k).add_step(k % kChunkReadouts, t0_ms, t1_ms, sum);
    };
    if (i >= 1 && i < s.size && s.time(i) > t0_ms) clipped(i);
    if (j > i && j < s.size) clipped(j);
    for (int r = 0; r < kReadingCount; ++r) {
        in.held_ms[r] = sum.held[r];
        if (sum.held[r] > 0) in.mean[r] = sum.integral[r].value() / static_cast<double>(sum.held[r]);
    }
    in.covered_ms = sum.held[kISupply];
    if (s.size > 0) {
        const int64_t lo = std::max(t0_ms, first_time()), hi = std::min(t1_ms, last_time());
        in.gap_ms = hi > lo ? span_ms(lo, hi) - in.covered_ms : 0;
    }
    in.charge_mC = sum.integral[kISupply].value() / 1000.0;
    in.energy_mJ = sum.energy.value() / 1000.0;
    in.power_ms = sum.power_ms;
    if (sum.power_ms > 0) in.mean_power_mW = sum.energy.value() / static_cast<double>(sum.power_ms);
    return in;
}

std::optional<Readout> Series::nearest(int64_t t_ms) const {
    const Impl& s = *impl_;
    if (s.size == 0) return std::nullopt;
    size_t i = s.lower_bound(t_ms);
    if (i == s.size) return at(s.lower_bound(last_time()));
    if (i == 0 || s.time(i) == t_ms) return at(i);
    // Strictly between readouts i - 1 and i.
    if (gap_before(i)) return std::nullopt;
    const int64_t before = s.time(i - 1);
    if (span_ms(before, t_ms) <= span_ms(t_ms, s.time(i))) return at(s.lower_bound(before));
    return at(i);
}

}  // namespace trend
