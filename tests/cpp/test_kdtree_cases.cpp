#include "kdtree.hpp"
#include "kdtree_fixtures.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace tarvo {
namespace {

using namespace tree_fixtures;

TEST(KdTreeBuild, SmallCloudIsOneLeafInInputOrder) {
    for (std::size_t n : {1u, 5u, 16u}) {
        const PointCloud cloud = uniform_cloud(n, 40);
        const KdTree t = KdTree::build(cloud);
        ASSERT_EQ(t.nodes().size(), 1u);
        EXPECT_EQ(t.nodes()[0].kind, LEAF);
        EXPECT_EQ(t.nodes()[0].start, 0u);
        EXPECT_EQ(t.nodes()[0].end, n);
        for (std::uint32_t p = 0; p < n; ++p) {
            EXPECT_EQ(t.indices()[p], p);
            EXPECT_EQ(t.point(p), cloud[p]);
        }
    }
}

TEST(KdTreeBuild, SeventeenPointsAlongX) {
    PointCloud cloud;
    for (int i = 0; i < 17; ++i) cloud.push_back({double((i * 7) % 17), 0.01 * i, 0.0});
    const KdTree t = KdTree::build(cloud);
    ASSERT_EQ(t.nodes().size(), 3u);
    EXPECT_EQ(t.nodes()[0].kind, SPLIT_X);
    EXPECT_EQ(t.nodes()[0].right, 2u);
    EXPECT_EQ(t.nodes()[0].split, 8.0);  // the ninth-smallest x
    EXPECT_EQ(t.nodes()[1].end - t.nodes()[1].start, 8u);
    EXPECT_EQ(t.nodes()[2].end - t.nodes()[2].start, 9u);
}

TEST(KdTreeBuild, ThousandCopiesStayOneLeaf) {
    const KdTree t = KdTree::build(PointCloud(1000, Point3{1, 1, 1}));
    ASSERT_EQ(t.nodes().size(), 1u);
    EXPECT_EQ(t.nodes()[0].end, 1000u);
}

struct AxisCase {
    double ex, ey, ez;
    int axis;
};

class SplitAxis : public ::testing::TestWithParam<AxisCase> {};

TEST_P(SplitAxis, WidestExtentWithTiesToLowerAxis) {
    const AxisCase c = GetParam();
    PointCloud cloud;  // the corners of a box with exactly these extents
    for (int i = 0; i < 40; ++i)
        cloud.push_back({c.ex * (i % 2), c.ey * ((i / 2) % 2), c.ez * ((i / 4) % 2)});
    EXPECT_EQ(KdTree::build(cloud).nodes()[0].kind, c.axis);
}

INSTANTIATE_TEST_SUITE_P(Extents, SplitAxis,
                         ::testing::Values(AxisCase{0.1, 0.1, 5.0, 2}, AxisCase{1.0, 1.0, 0.5, 0},
                                           AxisCase{1.0, 1.0, 1.0, 0}, AxisCase{0.5, 1.0, 1.0, 1},
                                           AxisCase{2.0, 1.0, 2.0, 0}, AxisCase{0.0, 3.0, 0.0, 1}));

TEST(KdTreeBuild, NaNCoordinatesAreSkippedAndBuildEnds) {
    PointCloud cloud = uniform_cloud(300, 41);
    for (std::size_t i = 0; i < cloud.size(); i += 3) cloud[i].x = kNaN;
    for (std::size_t i = 0; i < 40; ++i) cloud[i] = {kNaN, kNaN, kNaN};
    const KdTree t = KdTree::build(cloud);
    std::vector<bool> seen(cloud.size(), false);
    for (std::uint32_t idx : t.indices()) seen[idx] = true;
    EXPECT_TRUE(std::all_of(seen.begin(), seen.end(), [](bool b) { return b; }));
#if defined(__GLIBCXX__)
    const ReferenceTree want = reference_build(cloud);
    ASSERT_TRUE(std::ranges::equal(t.indices(), want.indices));
    ASSERT_EQ(t.nodes().size(), want.nodes.size());
#endif
}

// ---- queries ---------------------------------------------------------------------------

TEST(KdTreeQuery, TiesKeepThePointReachedFirst) {
    const KdTree t = KdTree::build(PointCloud{{-1, 0, 0}, {1, 0, 0}, {0, 5, 0}});
    const Point3 q{0, 0, 0};
    EXPECT_EQ(nearest(t, q).index, 0u);
    KnnBuffer one(1);
    knn_into(t, q, one);
    EXPECT_EQ(one.indices()[0], 0u);
    KnnBuffer two(2);
    knn_into(t, q, two);
    ASSERT_EQ(two.len(), 2u);
    EXPECT_EQ(two.indices()[0], 0u);
    EXPECT_EQ(two.indices()[1], 1u);
    EXPECT_EQ(two.distances()[1], 1.0);
}

TEST(KdTreeQuery, KBeyondCountReturnsAllAscending) {
    const PointCloud cloud = uniform_cloud(10, 42);
    const KdTree t = KdTree::build(cloud);
    KnnBuffer buffer(30);
    knn_into(t, {0.1, 0.2, 0.3}, buffer);
    ASSERT_EQ(buffer.len(), 10u);
    EXPECT_TRUE(std::is_sorted(buffer.distances().begin(), buffer.distances().end()));
    std::vector<std::uint32_t> got(buffer.indices().begin(), buffer.indices().end());
    std::sort(got.begin(), got.end());
    for (std::uint32_t i = 0; i < 10; ++i) EXPECT_EQ(got[i], i);
}

TEST(KdTreeQuery, ReusedBufferForgetsPreviousQuery) {
    const PointCloud cloud = uniform_cloud(5000, 43);
    const KdTree t = KdTree::build(cloud);
    KnnBuffer reused(9), fresh(9);
    knn_into(t, {5, 5, 5}, reused);
    knn_into(t, {-0.3, 0.1, 0.2}, reused);
    knn_into(t, {-0.3, 0.1, 0.2}, fresh);
    ASSERT_EQ(reused.len(), fresh.len());
    for (std::size_t j = 0; j < fresh.len(); ++j) {
        EXPECT_EQ(reused.indices()[j], fresh.indices()[j]);
        EXPECT_EQ(reused.distances()[j], fresh.distances()[j]);
    }
}

// A walk of k-nearest searches over the tree's own points in tree order, each bounded by
// the neighbours the one before left in the buffer, or by the tightest bound there is
// (the k-th distance itself, nudged up): every buffer equals the unbounded search's, on
// clouds full of ties and repeated points.
class BoundedKnn : public ::testing::TestWithParam<int> {};

TEST_P(BoundedKnn, FillsTheBufferAsTheUnboundedSearch) {
    const PointCloud clouds[] = {uniform_cloud(3000, 45), duplicated_cloud(2000, 46), grid_cloud(14),
                                 flat_cloud(2500, 47)};
    const std::size_t k = static_cast<std::size_t>(GetParam());
    for (const PointCloud& cloud : clouds) {
        const KdTree t = KdTree::build(cloud);
        KnnBuffer walked(k), tight(k), plain(k);
        std::size_t bounded = 0;
        for (std::size_t p = 0; p < t.size(); ++p) {
            const Point3& q = cloud[t.indices()[p]];
            const double bound = knn_bound_through(cloud, q, walked);
            bounded += bound < std::numeric_limits<double>::infinity();
            knn_into(t, q, walked, bound);
            knn_into(t, q, plain);
            knn_into(t, q, tight, next_above(plain.distances()[plain.len() - 1]));
            for (const KnnBuffer* got : {&walked, &tight}) {
                ASSERT_EQ(got->len(), plain.len());
                ASSERT_TRUE(std::ranges::equal(got->indices(), plain.indices())) << p;
                ASSERT_TRUE(std::ranges::equal(got->distances(), plain.distances())) << p;
            }
        }
        EXPECT_EQ(bounded, k <= cloud.size() ? t.size() - 1 : 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Counts, BoundedKnn, ::testing::Values(1, 7, 30));

TEST(KdTreeQuery, KnnBoundNeedsAFullBufferOfFiniteDistances) {
    const PointCloud cloud{{0, 0, 0}, {1, 0, 0}, {0, 2, 0}, {1e300, 0, 0}};
    const KdTree t = KdTree::build(cloud);
    KnnBuffer buffer(2);
    EXPECT_EQ(knn_bound_through(cloud, {0, 0, 0}, buffer), std::numeric_limits<double>::infinity());
    knn_into(t, {0.1, 0, 0}, buffer);
    EXPECT_EQ(knn_bound_through(cloud, {0, 0, 0}, buffer), next_above(1.0));
    EXPECT_EQ(knn_bound_through(cloud, {-1e200, 0, 0}, buffer), std::numeric_limits<double>::infinity());
    EXPECT_EQ(knn_bound_through(cloud, {std::nan(""), 0, 0}, buffer), std::numeric_limits<double>::infinity());
    // More neighbours asked for than the tree holds: no bound.
    KnnBuffer all(5);
    knn_into(t, {0, 0, 0}, all);
    EXPECT_EQ(knn_bound_through(cloud, {0, 0, 0}, all), std::numeric_limits<double>::infinity());
}

TEST(KdTreeQuery, QueryOnTreePointFindsItAtZero) {
    const PointCloud cloud = uniform_cloud(3000, 44);
    const KdTree t = KdTree::build(cloud);
    KnnBuffer buffer(4);
    for (std::uint32_t i = 0; i < cloud.size(); i += 97) {
        const NearestHit hit = nearest(t, cloud[i]);
        EXPECT_EQ(hit.index, i);
        EXPECT_EQ(hit.dist2, 0.0);
        knn_into(t, cloud[i], buffer);
        EXPECT_EQ(buffer.indices()[0], i);
        EXPECT_EQ(buffer.distances()[0], 0.0);
    }
}

TEST(KdTreeQuery, SinglePointTreeAlwaysAnswersIt) {
    const KdTree t = KdTree::build(PointCloud{{3, 4, 5}});
    KnnBuffer buffer(5);
    for (const Point3& q : {Point3{0, 0, 0}, Point3{3, 4, 5}, Point3{-1e9, 2, 7}}) {
        EXPECT_EQ(nearest(t, q).index, 0u);
        knn_into(t, q, buffer);
        EXPECT_EQ(buffer.len(), 1u);
    }
}

// What the clearance is in plain cases: the distance to the next point when the search
// sees it, the tie itself when two points are equidistant, unbounded with one point.
TEST(KdTreeQuery, ClearanceInPlainCases) {
    const KdTree grid = KdTree::build(grid_cloud(6));
    // Nearest (2, 3, 2) at 0.0225; the next, (3, 3, 2) and (2, 3, 1), at 0.8225.
    const ClearNearestHit near_point = nearest_with_clearance(grid, {2.1, 3.05, 1.9}, kInf);
    EXPECT_EQ(near_point.hit.point, (Point3{2, 3, 2}));
    EXPECT_GT(near_point.clearance2, near_point.hit.dist2);
    EXPECT_LE(near_point.clearance2, dist2({3, 3, 2}, {2.1, 3.05, 1.9}));
    // A query on a splitting plane has a cell at bound 0 beyond it. A search bounded
    // within a leaf's reach prunes by the planes and is left with no clearance; an
    // unbounded one goes by the boxes, which keep to the points, whose nearest others
    // lie at 1.
    EXPECT_EQ(nearest_with_clearance(grid, {2, 3, 2}, 0.5).clearance2, 0.0);
    const double on_plane = nearest_with_clearance(grid, {2, 3, 2}, kInf).clearance2;
    EXPECT_GT(on_plane, 0.0);
    EXPECT_LE(on_plane, 1.0);
    const ClearNearestHit between = nearest_with_clearance(grid, {2.5, 3, 2}, kInf);
    EXPECT_EQ(between.hit.dist2, 0.25);
    EXPECT_EQ(between.clearance2, 0.25);  // the other point of the pair ties
    const KdTree single = KdTree::build(PointCloud{{3, 4, 5}});
    EXPECT_EQ(nearest_with_clearance(single, {0, 0, 0}, kInf).clearance2, kInf);
}

TEST(KdTreeQuery, NaNQueryReturnsProvisionalResult) {
    const PointCloud cloud = uniform_cloud(500, 45);
    const KdTree t = KdTree::build(cloud);
    const NearestHit hit = nearest(t, {kNaN, 0, 0});
    EXPECT_EQ(hit.index, t.indices()[0]);
    EXPECT_EQ(hit.point, t.point(0));
    EXPECT_EQ(hit.dist2, kInf);
}

class NextAbove : public ::testing::TestWithParam<double> {};

TEST_P(NextAbove, IsNextafterTowardInfinity) {
    const double d = GetParam();
    const double want = std::nextafter(d, kInf);
    EXPECT_TRUE(same_bits(next_above(d), want) || (std::isnan(d) && std::isnan(next_above(d)))) << d;
}

INSTANTIATE_TEST_SUITE_P(Distances, NextAbove,
                         ::testing::Values(0.0, -0.0, std::numeric_limits<double>::denorm_min(),
                                           std::numeric_limits<double>::min(), 1e-300, 0.5, 1.0, 3.0, 1e300,
                                           std::numeric_limits<double>::max(), kInf, kNaN));

TEST(KdTreeQuery, FreshBufferIsEmpty) {
    const KnnBuffer buffer(6);
    EXPECT_EQ(buffer.k(), 6u);
    EXPECT_EQ(buffer.len(), 0u);
    EXPECT_TRUE(buffer.distances().empty());
}

using KdTreeDeathTest = ::testing::Test;

TEST_F(KdTreeDeathTest, PreconditionsStopWithTheirMessages) {
    EXPECT_DEATH(KdTree::build(std::span<const Point3>{}), "k-d tree needs at least one point");
    EXPECT_DEATH(KnnBuffer(0), "assertion failed: k > 0");
}

}  // namespace
}  // namespace tarvo
