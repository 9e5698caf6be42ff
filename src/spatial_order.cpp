#include "spatial_order.hpp"

#include "parallel.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <utility>

namespace tarvo {
namespace {

// 10 bits per axis: a 2^30-cell grid over the bounding box, fine enough that a cell
// rarely holds more than one point of a scanned surface, and a code that fits the upper
// half of a 64-bit key whose lower half is the point's index.
constexpr int kBitsPerAxis = 10;
constexpr double kCells = static_cast<double>(1u << kBitsPerAxis);
constexpr int kDigitBits = 10;
constexpr std::size_t kBuckets = std::size_t{1} << kDigitBits;

// Spreads the low 10 bits of v so that two zero bits follow each.
std::uint32_t spread_bits(std::uint32_t v) {
    v &= 0x3ff;
    v = (v | v << 16) & 0x030000ff;
    v = (v | v << 8) & 0x0300f00f;
    v = (v | v << 4) & 0x030c30c3;
    v = (v | v << 2) & 0x09249249;
    return v;
}

std::uint32_t cell(double c, double lo, double inv_extent) {
    const double f = (c - lo) * inv_extent * kCells;
    if (!(f > 0.0)) return 0;
    if (f >= kCells - 1.0) return (1u << kBitsPerAxis) - 1;
    return static_cast<std::uint32_t>(f);
}

struct Box {
    double lo[3];
    double inv_extent[3];  // 0 for an empty, flat or unbounded axis
};

Box bounding_box(std::span<const Point3> points) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    double lo[3] = {inf, inf, inf}, hi[3] = {-inf, -inf, -inf};
    for (const Point3& p : points) {
        for (int a = 0; a < 3; ++a) {
            lo[a] = std::min(lo[a], p[a]);
            hi[a] = std::max(hi[a], p[a]);
        }
    }
    Box box;
    for (int a = 0; a < 3; ++a) {
        const double extent = hi[a] - lo[a];
        box.lo[a] = lo[a];
        box.inv_extent[a] = extent > 0.0 && std::isfinite(extent) ? 1.0 / extent : 0.0;
    }
    return box;
}

std::uint64_t morton_code(const Point3& p, const Box& box) {
    return spread_bits(cell(p.x, box.lo[0], box.inv_extent[0])) |
           spread_bits(cell(p.y, box.lo[1], box.inv_extent[1])) << 1 |
           spread_bits(cell(p.z, box.lo[2], box.inv_extent[2])) << 2;
}

constexpr int kDigits = 3 * kBitsPerAxis / kDigitBits;

using DigitCounts = std::array<std::array<std::size_t, kBuckets>, kDigits>;

std::size_t digit_of(std::uint64_t key, int digit) { return (key >> (32 + digit * kDigitBits)) & (kBuckets - 1); }

// The first place of each bucket, for every digit: counted in one read of the keys.
DigitCounts bucket_starts(const LargeVector<std::uint64_t>& keys) {
    DigitCounts start{};
    for (std::uint64_t key : keys) {
        for (int digit = 0; digit < kDigits; ++digit) ++start[digit][digit_of(key, digit)];
    }
    for (auto& counts : start) {
        std::size_t sum = 0;
        for (std::size_t& c : counts) sum += std::exchange(c, sum);
    }
    return start;
}

// One stable counting-sort pass on a digit of the code (the key's upper half): each key,
// or what `put` makes of it, goes to the next free place of its bucket.
template <class Out, class Put>
void sort_by_digit(const LargeVector<std::uint64_t>& in, Out& out, int digit,
                   std::array<std::size_t, kBuckets>& start, const Put& put) {
    for (std::uint64_t key : in) out[start[digit_of(key, digit)]++] = put(key);
}

// The ball around the points the indices name: centred on the middle of their box, its
// radius widened well past the rounding of the distances behind it. A point with a
// coordinate that is not finite, or whose size overflows, makes the ball infinite.
QueryRun run_ball(std::span<const Point3> points, std::span<const std::uint32_t> indices) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    double lo[3] = {inf, inf, inf}, hi[3] = {-inf, -inf, -inf};
    double size = 0.0;
    for (std::uint32_t i : indices) {
        const Point3& p = points[i];
        const double s = std::abs(p.x) + std::abs(p.y) + std::abs(p.z);
        if (!std::isfinite(s)) return {p, inf, inf};
        for (int a = 0; a < 3; ++a) {
            lo[a] = std::min(lo[a], p[a]);
            hi[a] = std::max(hi[a], p[a]);
        }
        size = std::max(size, s);
    }
    // Halves first: lo + hi may overflow where the points do not.
    const Point3 center{lo[0] / 2 + hi[0] / 2, lo[1] / 2 + hi[1] / 2, lo[2] / 2 + hi[2] / 2};
    double radius2 = 0.0;
    for (std::uint32_t i : indices) {
        const Point3& p = points[i];
        const double dx = p.x - center.x, dy = p.y - center.y, dz = p.z - center.z;
        radius2 = std::max(radius2, (dx * dx + dy * dy) + dz * dz);
    }
    return {center, std::sqrt(radius2) * (1.0 + 1e-12), size * (1.0 + 1e-12)};
}

}  // namespace

QueryOrder::QueryOrder(std::span<const Point3> cloud, LargeVector<std::uint32_t> indices)
    : indices_(std::move(indices)),
      runs_((indices_.size() + QUERY_RUN_LENGTH - 1) / QUERY_RUN_LENGTH),
      run_of_point_(indices_.size()) {
    if (indices_.size() != cloud.size()) precondition_failed("a query order lists every point once");
    const auto run_at = [&](std::size_t r) {
        const std::size_t begin = r * QUERY_RUN_LENGTH;
        return std::span(indices_).subspan(begin, std::min(QUERY_RUN_LENGTH, indices_.size() - begin));
    };
    parallel_for(runs_.size(), [&](std::size_t first, std::size_t last) {
        for (std::size_t r = first; r < last; ++r) {
            // A run gathers its points from scattered places of the cloud: those of the
            // run after next are requested now, so that their misses overlap this work.
            if (r + 2 < last) {
                for (std::uint32_t i : run_at(r + 2)) {
                    prefetch_for_reading(&cloud[i]);
                    prefetch_for_writing(&run_of_point_[i]);
                }
            }
            const std::span<const std::uint32_t> run = run_at(r);
            runs_[r] = run_ball(cloud, run);
            for (std::uint32_t i : run) run_of_point_[i] = static_cast<std::uint32_t>(r);
        }
    });
}

LargeVector<std::uint32_t> morton_order(std::span<const Point3> points) {
    if (points.size() > MAX_CLOUD_POINTS) precondition_failed("a query order holds at most 4294967295 points");
    const Box box = bounding_box(points);
    // Key = code << 32 | index. Least significant digit first, each pass stable, so the
    // keys end ordered by code and, within a code, by index.
    LargeVector<std::uint64_t> keys(points.size()), scratch(points.size());
    parallel_for(points.size(), [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) keys[i] = morton_code(points[i], box) << 32 | i;
    });
    DigitCounts start = bucket_starts(keys);
    const auto whole_key = [](std::uint64_t key) { return key; };
    for (int digit = 0; digit + 1 < kDigits; ++digit) {
        sort_by_digit(keys, scratch, digit, start[digit], whole_key);
        keys.swap(scratch);
    }
    // The last pass writes the indices alone, in their final places.
    LargeVector<std::uint32_t> order(points.size());
    sort_by_digit(keys, order, kDigits - 1, start[kDigits - 1],
                  [](std::uint64_t key) { return static_cast<std::uint32_t>(key); });
    return order;
}

}  // namespace tarvo
