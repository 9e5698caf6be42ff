#include "util.hpp"

#include <gtest/gtest.h>
#include <tbb/global_control.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

namespace tarvo {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct MedianCase {
    std::vector<double> values;
    double expected;
};

class MedianOf : public ::testing::TestWithParam<MedianCase> {};

TEST_P(MedianOf, FixedArrays) {
    std::vector<double> v = GetParam().values;
    EXPECT_EQ(median_in_place(v), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Values, MedianOf,
                         ::testing::Values(MedianCase{{}, 0.0}, MedianCase{{5}, 5.0},
                                           MedianCase{{3, 1, 2}, 2.0}, MedianCase{{1, 2, 3, 4}, 2.5},
                                           MedianCase{{4, 3, 2, 1}, 2.5}, MedianCase{{2, 2, 2, 9}, 2.0},
                                           MedianCase{{-1, 7}, 3.0}, MedianCase{{0.1, 0.2}, (0.2 + 0.1) * 0.5}));

TEST(Median, RandomArraysMatchSortedReference) {
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> u(-10, 10);
    for (std::size_t len = 1; len < 300; len += 7) {
        std::vector<double> v(len);
        for (auto& x : v) x = (len % 3 == 0) ? std::round(u(rng)) : u(rng);  // with ties
        std::vector<double> sorted = v;
        std::sort(sorted.begin(), sorted.end());
        const double want = len % 2 ? sorted[len / 2] : (sorted[len / 2] + sorted[len / 2 - 1]) * 0.5;
        EXPECT_EQ(median_in_place(v), want) << "length " << len;
        std::sort(v.begin(), v.end());
        EXPECT_EQ(v, sorted) << "the array is only reordered";
    }
}

TEST(Median, NaNValuesDoNotBreakSelection) {
    std::vector<double> v = {kNaN, 3, 5, 1, 2, kNaN, 0.5, 4};
    EXPECT_EQ(median_in_place(v), (4 + 3) * 0.5);  // NaN ranks above every number
}

struct CountCase {
    std::uint64_t nu;
    std::size_t n;
    std::size_t k;
};

class NeighbourCount : public ::testing::TestWithParam<CountCase> {};

TEST_P(NeighbourCount, ClampsToCloudAndToTwo) {
    EXPECT_EQ(neighbour_count(GetParam().nu, GetParam().n), GetParam().k);
}

INSTANTIATE_TEST_SUITE_P(Table, NeighbourCount,
                         ::testing::Values(CountCase{7, 1000, 7}, CountCase{7, 5, 5}, CountCase{7, 1, 2},
                                           CountCase{7, 2, 2}, CountCase{1, 100, 2}, CountCase{0, 100, 2},
                                           CountCase{2, 0, 2}, CountCase{30, 30, 30}));

PointCloud grid(int side, double h) {
    PointCloud c;
    for (int i = 0; i < side; ++i)
        for (int j = 0; j < side; ++j)
            for (int k = 0; k < side; ++k) c.push_back({i * h, j * h, k * h});
    return c;
}

PointCloud random_cloud(std::size_t n, unsigned seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> u(-1, 1);
    PointCloud c(n);
    for (auto& p : c) p = {u(rng), u(rng), u(rng)};
    return c;
}

// Per point: all distances sorted, the k smallest with the first dropped, their median;
// then the median of those. Independent of any tree.
double brute_statistic(const PointCloud& c, std::size_t k) {
    std::vector<double> per_point;
    for (const Point3& q : c) {
        std::vector<double> d2;
        for (const Point3& p : c) {
            const double dx = p.x - q.x, dy = p.y - q.y, dz = p.z - q.z;
            d2.push_back((dx * dx + dy * dy) + dz * dz);
        }
        std::sort(d2.begin(), d2.end());
        std::vector<double> d;
        for (std::size_t j = 1; j < std::min(k, c.size()); ++j) d.push_back(std::sqrt(d2[j]));
        per_point.push_back(median_in_place(d));
    }
    return median_in_place(per_point);
}

TEST(NeighbourDistance, CubicGridGivesSpacing) {
    for (double h : {0.5, 0.25, 4.0}) {  // exact grid coordinates
        const PointCloud c = grid(10, h);
        EXPECT_EQ(median_neighbour_distance(c, KdTree::build(c), 7), h) << h;
    }
    const PointCloud c = grid(10, 0.1);
    EXPECT_NEAR(median_neighbour_distance(c, KdTree::build(c), 7), 0.1, 1e-15);
}

TEST(NeighbourDistance, SmallClouds) {
    const PointCloud one{{1, 2, 3}};
    EXPECT_EQ(median_neighbour_distance(one, KdTree::build(one), neighbour_count(7, 1)), 0.0);
    const PointCloud two{{0, 0, 0}, {0, 3, 4}};
    EXPECT_EQ(median_neighbour_distance(two, KdTree::build(two), neighbour_count(7, 2)), 5.0);
    // Five points on a line: k = 5 uses every other point.
    PointCloud five;
    for (int i = 0; i < 5; ++i) five.push_back({double(i), 0, 0});
    EXPECT_EQ(median_neighbour_distance(five, KdTree::build(five), neighbour_count(7, 5)),
              brute_statistic(five, 5));
    EXPECT_EQ(brute_statistic(five, 5), 1.5);  // per-point medians 2.5, 1.5, 1.5, 1.5, 2.5
}

TEST(NeighbourDistance, DuplicateSkipsOnlyOneZero) {
    // Every point doubled: each point sees its twin at 0, then the others.
    PointCloud c;
    for (int i = 0; i < 6; ++i) c.insert(c.end(), 2, Point3{double(i), 0, 0});
    const KdTree t = KdTree::build(c);
    EXPECT_EQ(median_neighbour_distance(c, t, 2), 0.0);
    EXPECT_EQ(median_neighbour_distance(c, t, 4), brute_statistic(c, 4));
    EXPECT_EQ(brute_statistic(c, 4), 1.0);  // neighbours at 0, 1, 1 (or 1, 1 at an end)
}

TEST(NeighbourDistance, RandomCloudMatchesBruteForce) {
    for (std::size_t k : {2u, 3u, 7u, 12u, 30u}) {
        const PointCloud c = random_cloud(700, 11 + static_cast<unsigned>(k));
        EXPECT_EQ(median_neighbour_distance(c, KdTree::build(c), k), brute_statistic(c, k)) << k;
    }
}

// Leaves of coinciding points, which take the per-point search, among ordinary ones.
TEST(NeighbourDistance, CoincidingLeavesMatchBruteForce) {
    PointCloud c = random_cloud(600, 41);
    c.insert(c.end(), 100, Point3{0.25, 0.25, 0.25});
    const KdTree tree = KdTree::build(c);
    ASSERT_TRUE(std::any_of(tree.nodes().begin(), tree.nodes().end(),
                            [](const KdNode& n) { return n.kind == LEAF && n.end - n.start > LEAF_SIZE; }));
    for (std::size_t k : {2u, 7u, 16u}) {
        const double brute = brute_statistic(c, k);
        EXPECT_GT(brute, 0.0);
        EXPECT_EQ(median_neighbour_distance(c, tree, k), brute) << k;
    }
}

TEST(NeighbourPlaneDistance, PointsOnTheirPlaneGiveZero) {
    PointCloud c = random_cloud(500, 21);
    for (auto& p : c) p.z = 2.0;
    const PointCloud normals(c.size(), Point3{0, 0, 1});
    EXPECT_EQ(median_neighbour_plane_distance(c, normals, KdTree::build(c), 7), 0.0);
}

TEST(NeighbourPlaneDistance, UsesTheQueryPointsOwnNormal) {
    // Two points 3 apart along x: with the normal of point 0 along x and of point 1
    // along y, the per-point values are 3 and 0, whose median is 1.5.
    const PointCloud c{{0, 0, 0}, {3, 0, 0}};
    const PointCloud normals{{1, 0, 0}, {0, 1, 0}};
    EXPECT_EQ(median_neighbour_plane_distance(c, normals, KdTree::build(c), 2), 1.5);
}

TEST(NeighbourStatistics, IndependentOfThreadCount) {
    const PointCloud c = random_cloud(40000, 31);
    PointCloud normals = random_cloud(c.size(), 32);
    for (auto& n : normals) {
        const double l = std::sqrt((n.x * n.x + n.y * n.y) + n.z * n.z);
        n = {n.x / l, n.y / l, n.z / l};
    }
    const KdTree t = KdTree::build(c);
    const double many = median_neighbour_distance(c, t, 7);
    const double many_plane = median_neighbour_plane_distance(c, normals, t, 7);
    tbb::global_control single(tbb::global_control::max_allowed_parallelism, 1);
    EXPECT_EQ(median_neighbour_distance(c, t, 7), many);
    EXPECT_EQ(median_neighbour_plane_distance(c, normals, t, 7), many_plane);
}

}  // namespace
}  // namespace tarvo
