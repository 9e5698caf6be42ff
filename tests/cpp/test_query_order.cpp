// The speed levers of the correspondence search change no result: a spatial query
// order, and seeding each search with the distance to the previous answer, against the
// plain search of every point in index order.
#include "kdtree.hpp"
#include "point_to_point.hpp"
#include "spatial_order.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <random>

namespace tarvo {
namespace {

PointCloud random_cloud(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    PointCloud c(n);
    for (auto& p : c) p = {u(rng), u(rng), 0.2 * u(rng)};
    return c;
}

// Integer grid: many exactly equidistant candidates, so tie rules matter.
PointCloud grid(int side) {
    PointCloud c;
    for (int i = 0; i < side; ++i)
        for (int j = 0; j < side; ++j)
            for (int k = 0; k < 3; ++k) c.push_back({double(i), double(j), double(k)});
    return c;
}

TEST(MortonOrder, IsAPermutationAndGroupsNeighbours) {
    const PointCloud cloud = random_cloud(5000, 1);
    LargeVector<std::uint32_t> order = morton_order(cloud);
    LargeVector<std::uint32_t> sorted = order;
    std::sort(sorted.begin(), sorted.end());
    LargeVector<std::uint32_t> expected(cloud.size());
    std::iota(expected.begin(), expected.end(), 0u);
    EXPECT_EQ(sorted, expected);

    auto path_length = [&](const LargeVector<std::uint32_t>& o) {
        double sum = 0.0;
        for (std::size_t k = 1; k < o.size(); ++k) sum += (to_vec(cloud[o[k]]) - to_vec(cloud[o[k - 1]])).norm();
        return sum;
    };
    EXPECT_LT(path_length(order), 0.2 * path_length(expected));
}

TEST(MortonOrder, DegenerateClouds) {
    EXPECT_TRUE(morton_order({}).empty());
    const PointCloud same(7, Point3{1, 2, 3});
    const LargeVector<std::uint32_t> order = morton_order(same);
    EXPECT_EQ(order, (LargeVector<std::uint32_t>{0, 1, 2, 3, 4, 5, 6}));  // equal codes keep index order
}

// Long double: the exact distances, to well within the slack of the balls.
long double exact_distance(const Point3& a, const Point3& b) {
    const long double dx = (long double)a.x - b.x, dy = (long double)a.y - b.y, dz = (long double)a.z - b.z;
    return std::sqrt(dx * dx + dy * dy + dz * dz);
}

// Every run's ball holds the points of its places, in any order, far out from the
// origin too, where the centre is rounded.
TEST(QueryOrderRuns, BallsHoldTheirPoints) {
    const PointCloud near = random_cloud(1000, 5);
    PointCloud far_out = random_cloud(1000, 6);
    for (auto& p : far_out) p = {1e160 + 1e150 * p.x, -1e160 + 1e150 * p.y, 3e-300 * p.z};
    LargeVector<std::uint32_t> reversed(far_out.size());
    std::iota(reversed.rbegin(), reversed.rend(), 0u);
    const std::pair<const PointCloud*, QueryOrder> orders[] = {{&near, QueryOrder::spatial(near)},
                                                               {&far_out, QueryOrder(far_out, reversed)}};
    for (const auto& [cloud, order] : orders) {
        ASSERT_EQ(order.runs().size(), (cloud->size() + QUERY_RUN_LENGTH - 1) / QUERY_RUN_LENGTH);
        for (std::size_t k = 0; k < order.indices().size(); ++k) {
            const QueryRun& run = order.runs()[k / QUERY_RUN_LENGTH];
            const Point3& s = (*cloud)[order.indices()[k]];
            ASSERT_TRUE(std::isfinite(run.radius));
            ASSERT_EQ(order.run_of_point()[order.indices()[k]], k / QUERY_RUN_LENGTH);
            ASSERT_LE(exact_distance(s, run.center), (long double)run.radius) << "place " << k;
            ASSERT_LE((long double)std::abs(s.x) + std::abs(s.y) + std::abs(s.z), (long double)run.size);
        }
    }
}

TEST(QueryOrderRuns, PointsThatAreNotFiniteMakeTheirBallInfinite) {
    PointCloud cloud = random_cloud(100, 7);
    cloud[40].y = std::numeric_limits<double>::quiet_NaN();
    cloud[70].z = std::numeric_limits<double>::infinity();
    cloud[5] = {1.7e308, -1.7e308, 1.7e308};  // finite, but its size overflows
    LargeVector<std::uint32_t> index_order(cloud.size());
    std::iota(index_order.begin(), index_order.end(), 0u);
    const QueryOrder order(cloud, index_order);
    for (std::size_t r = 0; r < order.runs().size(); ++r) {
        const bool poisoned = r == 0 || r == 40 / QUERY_RUN_LENGTH || r == 70 / QUERY_RUN_LENGTH;
        EXPECT_EQ(std::isinf(order.runs()[r].radius), poisoned) << "run " << r;
        EXPECT_EQ(std::isinf(order.runs()[r].size), poisoned) << "run " << r;
    }
    EXPECT_DEATH(QueryOrder(cloud, LargeVector<std::uint32_t>(3)), "a query order lists every point once");
}

struct SearchCase {
    const char* name;
    PointCloud target;
    PointCloud source;
};

class SeededOrderedSearch : public ::testing::TestWithParam<int> {};

SearchCase make_case(int which) {
    switch (which) {
        case 0: return {"random", random_cloud(3000, 2), random_cloud(2000, 3)};
        case 1: {
            PointCloud g = grid(12);
            PointCloud q;  // queries at half-integers: up to eight equidistant answers
            for (int i = 0; i < 11; ++i)
                for (int j = 0; j < 11; ++j) q.push_back({i + 0.5, j + 0.5, 1.5});
            return {"grid", g, q};
        }
        default: {
            PointCloud t = random_cloud(500, 4);
            PointCloud dup = t;
            dup.insert(dup.end(), t.begin(), t.end());  // every point twice
            return {"duplicates", dup, random_cloud(700, 5)};
        }
    }
}

TEST_P(SeededOrderedSearch, MatchesThePlainSearchInIndexOrder) {
    const SearchCase c = make_case(GetParam());
    const KdTree tree = KdTree::build(c.target);
    LargeVector<std::uint32_t> index_order(c.source.size());
    std::iota(index_order.begin(), index_order.end(), 0u);

    // A sequence of transforms, as iterations produce them; the seeded searches reuse
    // the previous answers, the reference starts from scratch every time.
    PointCorrespondences fast(c.source.size());
    // The last step throws every query far off the cloud, where a search's first
    // bound comes from the query before it.
    for (int step = 0; step < 5; ++step) {
        SimilarityTransform t;
        t.translation = step < 4 ? Vec3(0.03 * step, -0.02 * step, 0.0) : Vec3(2.5, 1.0, -3.0);
        if (GetParam() == 1) t.translation = Vec3::Zero();  // keep the grid ties exact
        find_point_correspondences(t, c.source, QueryOrder::spatial(c.source), tree, fast);
        PointCorrespondences plain(c.source.size());
        find_point_correspondences(t, c.source, QueryOrder(c.source, index_order), tree, plain);
        for (std::size_t i = 0; i < c.source.size(); ++i) {
            const NearestHit ref = nearest(tree, t.apply(c.source[i]));
            ASSERT_EQ(fast.points[i], ref.point) << c.name << " point " << i << " step " << step;
            ASSERT_EQ(fast.distances[i], std::sqrt(ref.dist2));
            ASSERT_EQ(plain.points[i], ref.point);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Clouds, SeededOrderedSearch, ::testing::Values(0, 1, 2));

TEST(NearestWithin, AnyBoundAboveTheAnswerGivesTheSameHit) {
    const PointCloud target = grid(6);
    const KdTree tree = KdTree::build(target);
    std::mt19937 rng(9);
    std::uniform_int_distribution<std::size_t> pick(0, target.size() - 1);
    for (int trial = 0; trial < 200; ++trial) {
        const Point3 q{0.5 * (trial % 11), 0.5 * ((trial / 11) % 11), 1.0};
        const NearestHit ref = nearest(tree, q);
        const Point3& other = target[pick(rng)];
        const double dx = other.x - q.x, dy = other.y - q.y, dz = other.z - q.z;
        const double through_other = std::nextafter((dx * dx + dy * dy) + dz * dz, INFINITY);
        for (double bound : {through_other, std::nextafter(ref.dist2, INFINITY)}) {
            const NearestHit hit = nearest_within(tree, q, bound);
            EXPECT_EQ(hit.index, ref.index);
            EXPECT_EQ(hit.dist2, ref.dist2);
        }
    }
}

}  // namespace
}  // namespace tarvo
