#include "kdtree.hpp"
#include "kdtree_fixtures.hpp"
#include "plain_nearest.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace tarvo {
namespace {

using namespace tree_fixtures;

struct CloudCase {
    std::string name;
    std::function<PointCloud()> make;
};

std::vector<CloudCase> cloud_cases() {
    return {
        {"one", [] { return PointCloud{{1, 2, 3}}; }},
        {"sixteen", [] { return uniform_cloud(16, 1); }},
        {"seventeen", [] { return uniform_cloud(17, 2); }},
        {"uniform1000", [] { return uniform_cloud(1000, 3); }},
        {"duplicates", [] { return duplicated_cloud(2000, 4); }},
        {"all_same", [] { return PointCloud(1000, Point3{0.5, -2, 7}); }},
        {"grid", [] { return grid_cloud(12); }},
        {"flat", [] { return flat_cloud(1500, 5); }},
        {"far_offset", [] { return uniform_cloud(1500, 6, 1e-3, 1e8); }},
        {"huge", [] { return uniform_cloud(800, 7, 1e200); }},
        {"tiny", [] { return uniform_cloud(800, 8, 1e-200); }},
        {"uniform100000", [] { return uniform_cloud(100000, 9); }},
    };
}

// ---- reference queries: the plain recursive traversal with diff² pruning --------------

struct RefKnn {
    std::size_t k;
    std::vector<double> d;
    std::vector<std::uint32_t> idx;
};

void ref_knn_visit(const KdTree& t, std::uint32_t i, const Point3& q, RefKnn& r) {
    for (;;) {
        const KdNode& nd = t.nodes()[i];
        if (nd.kind == LEAF) {
            for (std::uint32_t p = nd.start; p < nd.end; ++p) {
                const double d = dist2(t.point(p), q);
                if (r.d.size() == r.k && d >= r.d.back()) continue;
                if (r.d.size() == r.k) {
                    r.d.pop_back();
                    r.idx.pop_back();
                }
                std::size_t h = r.d.size();
                while (h > 0 && r.d[h - 1] > d) --h;
                r.d.insert(r.d.begin() + static_cast<std::ptrdiff_t>(h), d);
                r.idx.insert(r.idx.begin() + static_cast<std::ptrdiff_t>(h), t.indices()[p]);
            }
            return;
        }
        const double diff = q[nd.kind] - nd.split;
        const std::uint32_t near = diff < 0 ? i + 1 : nd.right;
        const std::uint32_t far = diff < 0 ? nd.right : i + 1;
        ref_knn_visit(t, near, q, r);
        const double bound = r.d.size() < r.k ? kInf : r.d.back();
        if (!(bound > diff * diff)) return;
        i = far;
    }
}

RefKnn ref_knn(const KdTree& t, const Point3& q, std::size_t k) {
    RefKnn r{k, {}, {}};
    ref_knn_visit(t, 0, q, r);
    return r;
}

// Queries that stress ties and pruning: every tree point, midpoints of pairs, points
// shifted by tiny and by large amounts, and points far outside the cloud, whose search
// leans on the node boxes rather than on the cells.
std::vector<Point3> queries_for(const PointCloud& cloud, std::size_t count, unsigned seed) {
    std::mt19937_64 rng(seed);
    std::uniform_int_distribution<std::size_t> pick(0, cloud.size() - 1);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    std::vector<Point3> qs;
    for (std::size_t j = 0; j < count; ++j) {
        const Point3 a = cloud[pick(rng)], b = cloud[pick(rng)];
        switch (j % 5) {
            case 4: qs.push_back({a.x + (a.x - b.x) * 20 * u(rng), a.y + (a.y - b.y) * 20, a.z + (a.z - b.z) * 20 * u(rng)}); break;
            case 0: qs.push_back(a); break;
            case 1: qs.push_back({0.5 * a.x + 0.5 * b.x, 0.5 * a.y + 0.5 * b.y, 0.5 * a.z + 0.5 * b.z}); break;
            case 2: qs.push_back({a.x * (1 + 1e-9 * u(rng)), a.y * (1 + 1e-9 * u(rng)), a.z}); break;
            default: qs.push_back({a.x + (b.x - a.x) * 3 * u(rng), a.y + (b.y - a.y) * u(rng), b.z});
        }
    }
    return qs;
}

void expect_same_hit(const NearestHit& got, const NearestHit& want) {
    EXPECT_EQ(got.index, want.index);
    EXPECT_TRUE(same_bits(got.dist2, want.dist2)) << got.dist2 << " vs " << want.dist2;
    EXPECT_EQ(got.point, want.point);
}

// ---- build ----------------------------------------------------------------------------

class TreeOnCloud : public ::testing::TestWithParam<CloudCase> {};

// The box of node i is the least box holding its points, NaN coordinates left out.
void expect_tight_box(const KdTree& t, std::uint32_t i, std::uint32_t first, std::uint32_t last) {
    const NodeBox& box = t.boxes()[i];
    for (int a = 0; a < 3; ++a) {
        double lo = kInf, hi = -kInf;
        for (std::uint32_t p = first; p < last; ++p) {
            const double c = t.point(p)[a];
            if (std::isnan(c)) continue;
            lo = std::min(lo, c);
            hi = std::max(hi, c);
        }
        EXPECT_EQ(box.lo[a], lo) << "node " << i << " axis " << a;
        EXPECT_EQ(box.hi[a], hi) << "node " << i << " axis " << a;
    }
}

// Returns the tree positions [first, last) covered by the subtree at node i, checking
// the split invariants and the node's box on the way.
std::pair<std::uint32_t, std::uint32_t> check_subtree(const KdTree& t, std::uint32_t i,
                                                       std::uint32_t& next_start) {
    const KdNode& nd = t.nodes()[i];
    if (nd.kind == LEAF) {
        expect_tight_box(t, i, nd.start, nd.end);
        EXPECT_EQ(nd.start, next_start) << "leaves must tile the positions in order";
        EXPECT_LT(nd.start, nd.end);
        EXPECT_EQ(nd.split, 0.0);
        if (nd.end - nd.start > LEAF_SIZE) {
            for (std::uint32_t p = nd.start; p < nd.end; ++p)
                EXPECT_EQ(t.point(p), t.point(nd.start)) << "oversized leaf must be one point";
        }
        next_start = nd.end;
        return {nd.start, nd.end};
    }
    EXPECT_LT(nd.kind, 3);
    EXPECT_GT(nd.right, i + 1);
    EXPECT_LT(nd.right, t.nodes().size());
    const auto left = check_subtree(t, i + 1, next_start);
    const auto right = check_subtree(t, nd.right, next_start);
    EXPECT_EQ(left.second, right.first);
    const std::uint32_t len = right.second - left.first;
    EXPECT_EQ(left.second - left.first, len / 2) << "left gets floor(L/2)";
    bool split_point_on_right = false;
    for (std::uint32_t p = left.first; p < left.second; ++p) EXPECT_LE(t.point(p)[nd.kind], nd.split);
    for (std::uint32_t p = right.first; p < right.second; ++p) {
        EXPECT_GE(t.point(p)[nd.kind], nd.split);
        split_point_on_right |= t.point(p)[nd.kind] == nd.split;
    }
    EXPECT_TRUE(split_point_on_right);
    expect_tight_box(t, i, left.first, right.second);
    return {left.first, right.second};
}

TEST_P(TreeOnCloud, BuildKeepsEveryInvariant) {
    const PointCloud cloud = GetParam().make();
    const KdTree t = KdTree::build(cloud);
    ASSERT_EQ(t.size(), cloud.size());
    std::vector<bool> seen(cloud.size(), false);
    for (std::size_t p = 0; p < t.size(); ++p) {
        const std::uint32_t idx = t.indices()[p];
        ASSERT_LT(idx, cloud.size());
        EXPECT_FALSE(seen[idx]);
        seen[idx] = true;
        EXPECT_EQ(t.point(p), cloud[idx]);
    }
    std::uint32_t next_start = 0;
    const auto range = check_subtree(t, 0, next_start);
    EXPECT_EQ(range.first, 0u);
    EXPECT_EQ(range.second, cloud.size());
    EXPECT_EQ(t.boxes().size(), t.nodes().size());
    EXPECT_EQ(sizeof(KdNode), 24u);
}

TEST_P(TreeOnCloud, SameTreeAsIndexOnlySelection) {
#if !defined(__GLIBCXX__)
    GTEST_SKIP() << "the build follows the GNU C++ library's introselect";
#endif
    const PointCloud cloud = GetParam().make();
    expect_same_tree(KdTree::build(cloud), reference_build(cloud));
}

TEST_P(TreeOnCloud, QueriesMatchPlainTraversalAndBruteForce) {
    const PointCloud cloud = GetParam().make();
    const KdTree t = KdTree::build(cloud);
    const std::size_t count = cloud.size() > 10000 ? 400 : 800;
    KnnBuffer one(1), seven(7), many(40), beyond(cloud.size() + 3);
    std::size_t asked = 0;
    for (const Point3& q : queries_for(cloud, count, 17)) {
        const NearestHit hit = nearest(t, q);
        expect_same_hit(hit, plain::nearest(t, q));
        const bool whole_cloud = asked++ < 40 && cloud.size() <= 2000;
        for (KnnBuffer* buffer : {&one, &seven, &many, &beyond}) {
            if (buffer == &beyond && !whole_cloud) continue;
            knn_into(t, q, *buffer);
            const RefKnn want = ref_knn(t, q, buffer->k());
            ASSERT_EQ(buffer->len(), want.d.size());
            for (std::size_t j = 0; j < want.d.size(); ++j) {
                EXPECT_TRUE(same_bits(buffer->distances()[j], want.d[j]));
                EXPECT_EQ(buffer->indices()[j], want.idx[j]);
            }
        }
        // k = 1 agrees with nearest, ties included, unless every distance overflowed:
        // then nearest keeps its provisional answer while knn_into takes the first
        // point it meets.
        if (std::isfinite(hit.dist2)) {
            EXPECT_EQ(one.indices()[0], hit.index);
            EXPECT_TRUE(same_bits(one.distances()[0], hit.dist2));
        }
    }
    // Brute force on a few queries fixes the distances independently of any traversal.
    for (const Point3& q : queries_for(cloud, 40, 99)) {
        double best = kInf;
        for (const Point3& p : cloud) best = std::min(best, dist2(p, q));
        const NearestHit hit = nearest(t, q);
        EXPECT_TRUE(same_bits(hit.dist2, best) || (std::isinf(best) && std::isinf(hit.dist2)));
        EXPECT_TRUE(same_bits(dist2(cloud[hit.index], q), hit.dist2));
    }
}

// The clearance a search reports lies at or below the computed distance of every tree
// point but the answer, whatever bound the search started from; the answer itself is
// the plain search's.
TEST_P(TreeOnCloud, ClearanceIsBelowEveryOtherPoint) {
    const PointCloud cloud = GetParam().make();
    const KdTree t = KdTree::build(cloud);
    const std::size_t count = cloud.size() > 10000 ? 60 : 300;
    std::mt19937_64 rng(23);
    std::uniform_int_distribution<std::size_t> pick(0, t.size() - 1);
    for (const Point3& q : queries_for(cloud, count, 31)) {
        const NearestHit want = nearest(t, q);
        const double through_other = next_above(dist2(t.point(pick(rng)), q));
        for (double bound : {kInf, through_other, next_above(want.dist2)}) {
            if (!(bound > want.dist2)) continue;
            const ClearNearestHit got = nearest_with_clearance(t, q, bound);
            expect_same_hit(got.hit, want);
            ASSERT_EQ(t.indices()[got.position], got.hit.index);
            for (std::uint32_t p = 0; p < t.size(); ++p) {
                if (p == got.position) continue;
                ASSERT_LE(got.clearance2, dist2(t.point(p), q)) << "tree position " << p;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Clouds, TreeOnCloud, ::testing::ValuesIn(cloud_cases()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace tarvo
