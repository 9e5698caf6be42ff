#include "spatial_order.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace tarvo {
namespace {

constexpr int kBitsPerAxis = 21;
constexpr double kCells = static_cast<double>(1u << kBitsPerAxis);

// Spreads the low 21 bits of v so that two zero bits follow each.
std::uint64_t spread_bits(std::uint64_t v) {
    v &= 0x1fffff;
    v = (v | v << 32) & 0x1f00000000ffffULL;
    v = (v | v << 16) & 0x1f0000ff0000ffULL;
    v = (v | v << 8) & 0x100f00f00f00f00fULL;
    v = (v | v << 4) & 0x10c30c30c30c30c3ULL;
    v = (v | v << 2) & 0x1249249249249249ULL;
    return v;
}

std::uint64_t cell(double c, double lo, double inv_extent) {
    const double f = (c - lo) * inv_extent * kCells;
    if (!(f > 0.0)) return 0;
    if (f >= kCells - 1.0) return (1u << kBitsPerAxis) - 1;
    return static_cast<std::uint64_t>(f);
}

struct Keyed {
    std::uint64_t code;
    std::uint32_t index;
};

}  // namespace

std::vector<std::uint32_t> morton_order(std::span<const Point3> points) {
    if (points.size() > std::numeric_limits<std::uint32_t>::max())
        precondition_failed("a query order holds at most 4294967295 points");
    constexpr double inf = std::numeric_limits<double>::infinity();
    double lo[3] = {inf, inf, inf}, hi[3] = {-inf, -inf, -inf};
    for (const Point3& p : points) {
        for (int a = 0; a < 3; ++a) {
            lo[a] = std::min(lo[a], p[a]);
            hi[a] = std::max(hi[a], p[a]);
        }
    }
    double inv[3];
    for (int a = 0; a < 3; ++a) {
        const double extent = hi[a] - lo[a];
        inv[a] = extent > 0.0 && std::isfinite(extent) ? 1.0 / extent : 0.0;
    }
    std::vector<Keyed> keyed(points.size());
    for (std::size_t i = 0; i < points.size(); ++i) {
        const Point3& p = points[i];
        keyed[i] = {spread_bits(cell(p.x, lo[0], inv[0])) | spread_bits(cell(p.y, lo[1], inv[1])) << 1 |
                        spread_bits(cell(p.z, lo[2], inv[2])) << 2,
                    static_cast<std::uint32_t>(i)};
    }
    std::sort(keyed.begin(), keyed.end(), [](const Keyed& a, const Keyed& b) {
        return a.code < b.code || (a.code == b.code && a.index < b.index);
    });
    std::vector<std::uint32_t> order(points.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = keyed[i].index;
    return order;
}

}  // namespace tarvo
