#include "kdtree.hpp"
#include "plain_nearest.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace tarvo {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

double dist2(const Point3& p, const Point3& q) {
    const double dx = p.x - q.x, dy = p.y - q.y, dz = p.z - q.z;
    return (dx * dx + dy * dy) + dz * dz;
}

// ---- clouds --------------------------------------------------------------------------

PointCloud uniform_cloud(std::size_t n, unsigned seed, double scale = 1.0, double offset = 0.0) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    PointCloud c(n);
    for (auto& p : c) p = {offset + scale * u(rng), offset + scale * u(rng), offset + scale * u(rng)};
    return c;
}

// Every point repeated, in shuffled order: many exact duplicates and ties.
PointCloud duplicated_cloud(std::size_t n, unsigned seed) {
    PointCloud base = uniform_cloud(n / 4 + 1, seed);
    PointCloud c;
    for (std::size_t i = 0; c.size() < n; ++i) c.push_back(base[i % base.size()]);
    std::shuffle(c.begin(), c.end(), std::mt19937_64(seed + 1));
    return c;
}

// An integer grid: whole families of equidistant points for grid and mid-cell queries.
PointCloud grid_cloud(int side, double h = 1.0) {
    PointCloud c;
    for (int i = 0; i < side; ++i)
        for (int j = 0; j < side; ++j)
            for (int k = 0; k < side; ++k) c.push_back({i * h, j * h, k * h});
    return c;
}

PointCloud flat_cloud(std::size_t n, unsigned seed) {
    PointCloud c = uniform_cloud(n, seed);
    for (auto& p : c) p.z = 0.25;
    return c;
}

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

std::uint32_t reference_node(const PointCloud& pts, ReferenceTree& t, std::uint32_t offset, std::uint32_t length) {
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

ReferenceTree reference_build(const PointCloud& pts) {
    ReferenceTree t;
    t.indices.resize(pts.size());
    for (std::size_t i = 0; i < pts.size(); ++i) t.indices[i] = static_cast<std::uint32_t>(i);
    reference_node(pts, t, 0, static_cast<std::uint32_t>(pts.size()));
    for (std::uint32_t idx : t.indices) t.points.push_back(pts[idx]);
    return t;
}

void expect_same_tree(const KdTree& got, const ReferenceTree& want) {
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
