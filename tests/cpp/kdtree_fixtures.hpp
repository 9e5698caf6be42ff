// Clouds and the straightforward tree build shared by the k-d tree suites: clouds with
// duplicates, lattices and extreme scales, and a build over the index array alone that
// the library's build must match node for node.
#pragma once

#include "kdtree.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

namespace tarvo::tree_fixtures {

inline constexpr double kInf = std::numeric_limits<double>::infinity();
inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

inline bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

inline double dist2(const Point3& p, const Point3& q) {
    const double dx = p.x - q.x, dy = p.y - q.y, dz = p.z - q.z;
    return (dx * dx + dy * dy) + dz * dz;
}

// ---- clouds --------------------------------------------------------------------------

inline PointCloud uniform_cloud(std::size_t n, unsigned seed, double scale = 1.0, double offset = 0.0) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    PointCloud c(n);
    for (auto& p : c) p = {offset + scale * u(rng), offset + scale * u(rng), offset + scale * u(rng)};
    return c;
}

// Every point repeated, in shuffled order: many exact duplicates and ties.
inline PointCloud duplicated_cloud(std::size_t n, unsigned seed) {
    PointCloud base = uniform_cloud(n / 4 + 1, seed);
    PointCloud c;
    for (std::size_t i = 0; c.size() < n; ++i) c.push_back(base[i % base.size()]);
    std::shuffle(c.begin(), c.end(), std::mt19937_64(seed + 1));
    return c;
}

// An integer grid: whole families of equidistant points for grid and mid-cell queries.
inline PointCloud grid_cloud(int side, double h = 1.0) {
    PointCloud c;
    for (int i = 0; i < side; ++i)
        for (int j = 0; j < side; ++j)
            for (int k = 0; k < side; ++k) c.push_back({i * h, j * h, k * h});
    return c;
}

// A noisy wavy surface in random order.
inline PointCloud wavy_cloud(std::size_t n, unsigned seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> u(-1, 1);
    PointCloud c(n);
    for (auto& p : c) {
        const double x = u(rng), y = u(rng);
        p = {x, y, std::sin(3 * x) * std::cos(2 * y) + 0.01 * u(rng)};
    }
    return c;
}

inline PointCloud flat_cloud(std::size_t n, unsigned seed) {
    PointCloud c = uniform_cloud(n, seed);
    for (auto& p : c) p.z = 0.25;
    return c;
}

// ---- reference build: selection over the index array alone ---------------------------

// The straightforward build: std::nth_element reorders only indices and reads
// coordinates through them. The library's build moves whole records with its own
// rendering of the same introselect; with the GNU C++ library it must give the same
// tree, node for node and point for point.
struct ReferenceTree {
    std::vector<Point3> points;
    std::vector<std::uint32_t> indices;
    std::vector<KdNode> nodes;
};

inline std::uint32_t reference_node(const PointCloud& pts, ReferenceTree& t, std::uint32_t offset, std::uint32_t length) {
    const auto self = static_cast<std::uint32_t>(t.nodes.size());
    auto leaf = [&] {
        KdNode node;
        node.start = offset;
        node.end = offset + length;
        node.kind = LEAF;
        t.nodes.push_back(node);
        return self;
    };
    if (length <= LEAF_SIZE) return leaf();
    double lo[3] = {kInf, kInf, kInf}, hi[3] = {-kInf, -kInf, -kInf};
    bool nan[3] = {false, false, false};
    for (std::uint32_t j = offset; j < offset + length; ++j) {
        for (int a = 0; a < 3; ++a) {
            const double c = pts[t.indices[j]][a];
            if (c < lo[a]) lo[a] = c;
            if (c > hi[a]) hi[a] = c;
            nan[a] = nan[a] || std::isnan(c);
        }
    }
    int axis = 0;
    if (hi[1] - lo[1] > hi[axis] - lo[axis]) axis = 1;
    if (hi[2] - lo[2] > hi[axis] - lo[axis]) axis = 2;
    if (!(hi[axis] > lo[axis])) return leaf();
    const std::uint32_t mid = length / 2;
    auto first = t.indices.begin() + offset;
    if (nan[axis]) {
        std::nth_element(first, first + mid, first + length, [&](std::uint32_t a, std::uint32_t b) {
            const double u = pts[a][axis], v = pts[b][axis];
            return u < v || (!std::isnan(u) && std::isnan(v));
        });
    } else {
        std::nth_element(first, first + mid, first + length,
                         [&](std::uint32_t a, std::uint32_t b) { return pts[a][axis] < pts[b][axis]; });
    }
    KdNode node;
    node.split = pts[t.indices[offset + mid]][axis];
    node.kind = static_cast<std::uint8_t>(axis);
    t.nodes.push_back(node);
    reference_node(pts, t, offset, mid);
    const std::uint32_t right = reference_node(pts, t, offset + mid, length - mid);
    t.nodes[self].right = right;
    return self;
}

inline ReferenceTree reference_build(const PointCloud& pts) {
    ReferenceTree t;
    t.indices.resize(pts.size());
    for (std::size_t i = 0; i < pts.size(); ++i) t.indices[i] = static_cast<std::uint32_t>(i);
    reference_node(pts, t, 0, static_cast<std::uint32_t>(pts.size()));
    for (std::uint32_t idx : t.indices) t.points.push_back(pts[idx]);
    return t;
}

inline void expect_same_tree(const KdTree& got, const ReferenceTree& want) {
    ASSERT_EQ(got.nodes().size(), want.nodes.size());
    for (std::size_t i = 0; i < want.nodes.size(); ++i) {
        const KdNode &g = got.nodes()[i], &w = want.nodes[i];
        ASSERT_TRUE(g.kind == w.kind && same_bits(g.split, w.split) && g.right == w.right &&
                    g.start == w.start && g.end == w.end)
            << "node " << i;
    }
    ASSERT_TRUE(std::ranges::equal(got.indices(), want.indices));
    for (std::size_t p = 0; p < want.points.size(); ++p) {
        for (int a = 0; a < 3; ++a) ASSERT_TRUE(same_bits(got.point(p)[a], want.points[p][a])) << p;
    }
}

}  // namespace tarvo::tree_fixtures
