// Skipping the search of a query that moved less than its clearance changes nothing:
// the motion bound covers every move, a kept answer is the one strictly nearest point,
// and passes that keep answers equal fresh passes bit for bit.
#include "clearance.hpp"
#include "kdtree.hpp"
#include "point_to_plane.hpp"
#include "point_to_point.hpp"
#include "pose.hpp"
#include "spatial_order.hpp"

#include <gtest/gtest.h>

#include <Eigen/Geometry>

#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

namespace tarvo {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

SimilarityTransform transform(double angle, const Vec3& axis, const Vec3& translation, double scale = 1.0) {
    SimilarityTransform t;
    t.rotation = Eigen::AngleAxisd(angle, axis.normalized()).toRotationMatrix();
    t.translation = translation;
    t.scale = scale;
    return t;
}

// |a - b| in extended precision: the exact distance between two computed points, to
// well within the slack the bounds carry.
long double gap(const Point3& a, const Point3& b) {
    const long double dx = (long double)a.x - b.x, dy = (long double)a.y - b.y, dz = (long double)a.z - b.z;
    return std::sqrt(dx * dx + dy * dy + dz * dz);
}

struct MotionCase {
    const char* name;
    SimilarityTransform from, to;
    double radius;  // of the points moved
};

std::vector<MotionCase> motion_cases() {
    const Vec3 axis(0.3, -0.5, 1.0);
    const SimilarityTransform a = transform(0.4, axis, Vec3(0.2, -0.1, 0.3), 1.3);
    SimilarityTransform ulp = a;
    ulp.translation.x() = std::nextafter(ulp.translation.x(), 1.0);
    ulp.rotation(1, 2) = std::nextafter(ulp.rotation(1, 2), 1.0);
    return {
        {"same", a, a, 1.0},
        {"one_ulp", a, ulp, 1.0},
        {"tiny_turn", a, transform(0.4 + 1e-12, axis, Vec3(0.2, -0.1, 0.3), 1.3), 1.0},
        {"large", a, transform(-2.0, Vec3(1, 1, 0), Vec3(-3, 2, 1), 0.7), 5.0},
        {"far_out", transform(0.1, axis, Vec3(1e6, 0, 0)), transform(0.1, axis, Vec3(1e6, 1e-9, 0)), 1e4},
        {"rescaled", a, transform(0.4, axis, Vec3(0.2, -0.1, 0.3), 1.3 + 1e-9), 100.0},
    };
}

class MotionBoundOn : public ::testing::TestWithParam<MotionCase> {};

// Each point is checked against a run of its own and against the run of a spatial
// order that holds it.
TEST_P(MotionBoundOn, CoversTheComputedMove) {
    const MotionCase c = GetParam();
    const MotionBound bound(c.from, c.to);
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> u(-c.radius, c.radius);
    PointCloud points(20000);
    for (auto& s : points) s = {u(rng), u(rng), u(rng)};
    const QueryOrder order = QueryOrder::spatial(points);
    long double worst_ratio = 0.0L, run_ratio_sum = 0.0L;
    for (std::size_t k = 0; k < points.size(); ++k) {
        const Point3& s = points[order.indices()[k]];
        const long double moved = gap(c.from.apply(s), c.to.apply(s));
        const double alone = bound.over({s, 0.0, std::abs(s.x) + std::abs(s.y) + std::abs(s.z)});
        const double in_run = bound.over(order.runs()[k / QUERY_RUN_LENGTH]);
        ASSERT_LE(moved, (long double)alone) << c.name << " point " << k;
        ASSERT_LE(moved, (long double)in_run) << c.name << " place " << k;
        if (moved > 0) {
            worst_ratio = std::max(worst_ratio, moved / alone);
            run_ratio_sum += moved / in_run;
        }
    }
    // Not vacuous: alone, the bound is the move itself, not a norm bound; and a run's
    // ball costs little.
    if (std::string(c.name) == "large") {
        EXPECT_GT(worst_ratio, 0.999L);
        EXPECT_GT(run_ratio_sum / points.size(), 0.6L);
    }
    if (std::string(c.name) == "same") {
        EXPECT_LT(bound.over({Point3{0.6, 0.0, 0.8}, 0.0, 1.4}), 1e-11);
    }
}

INSTANTIATE_TEST_SUITE_P(Transforms, MotionBoundOn, ::testing::ValuesIn(motion_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(FloatBelow, NeverRoundsUp) {
    for (double x : {0.0, 1.0, 0.1, 1.0 / 3.0, 1e-30, 3e38, 3.4028235e38, 3.5e38, 1e300, kInf}) {
        const float f = float_below(x);
        EXPECT_LE(static_cast<double>(f), x) << x;
        EXPECT_GE(static_cast<double>(f), x == kInf ? kInf : std::min(x, 3.4028234663852886e38) * (1 - 1e-7)) << x;
    }
    EXPECT_TRUE(std::isnan(float_below(std::numeric_limits<double>::quiet_NaN())));
}

TEST(KeepTest, RefusesWhatCannotBeTrusted) {
    EXPECT_FALSE(keep_test_squared({0, 0, 0}, {0.5, 0, 0}, 1.0f, 0.5).kept);  // the answer may now tie
    EXPECT_TRUE(keep_test_squared({0, 0, 0}, {0.5, 0, 0}, 1.0f, 0.25).kept);
    EXPECT_FALSE(keep_test_squared({0, 0, 0}, {0, 0, 0}, 0.0f, 0.0).kept);  // no clearance, even unmoved
    EXPECT_FALSE(keep_test_squared({0, 0, 0}, {0.1, 0, 0}, 1.0f, std::nan("")).kept);
    EXPECT_FALSE(keep_test_squared({0, 0, 0}, {kInf, 0, 0}, 1.0f, 0.1).kept);
    EXPECT_FALSE(keep_test_squared({0, 0, 0}, {0.1, 0, 0}, std::numeric_limits<float>::quiet_NaN(), 0.0).kept);
    // A negative room would pass once squared.
    EXPECT_FALSE(keep_test_squared({0, 0, 0}, {1, 0, 0}, 1.0f, 3.0).kept);
    // An overflowed clearance means only "at least the largest double".
    EXPECT_LT(clearance_of_search(kInf), kInf);
}

#if defined(__SSE2__)
// Two queries in the lanes of a register get the scalar test's numbers and decision,
// the refusals included.
TEST(KeepTest, PairsDecideAsOneAtATime) {
    const float nan_f = std::numeric_limits<float>::quiet_NaN();
    struct Case {
        Point3 moved, answer;
        float clearance;
        double delta;
    };
    std::vector<Case> cases = {
        {{0, 0, 0}, {0.5, 0, 0}, 1.0f, 0.5},   {{0, 0, 0}, {0.5, 0, 0}, 1.0f, 0.25},
        {{0, 0, 0}, {0, 0, 0}, 0.0f, 0.0},     {{0, 0, 0}, {0.1, 0, 0}, 1.0f, std::nan("")},
        {{0, 0, 0}, {kInf, 0, 0}, 1.0f, 0.1},  {{0, 0, 0}, {0.1, 0, 0}, nan_f, 0.0},
        {{0, 0, 0}, {1, 0, 0}, 1.0f, 3.0},     {{1, 2, 3}, {1, 2, 3.5}, 0.5f, 0.0},
        // Nearer than the room by less than the widening: refused.
        {{0, 0, 0}, {0.5 * (1 - 5e-14), 0, 0}, 1.0f, 0.5},
    };
    std::mt19937_64 rng(9);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    for (int k = 0; k < 2000; ++k) {
        const Point3 q{u(rng), u(rng), u(rng)};
        const double r = std::abs(u(rng));
        cases.push_back({q, {q.x + r * u(rng), q.y + r * u(rng), q.z + r * u(rng)}, static_cast<float>(2 * r),
                         r * std::abs(u(rng))});
    }
    for (std::size_t k = 0; k + 1 < cases.size(); ++k) {
        const Case& a = cases[k];
        const Case& b = cases[k + 1];
        const Point3 moved[2] = {a.moved, b.moved}, answers[2] = {a.answer, b.answer};
        const float clearances[2] = {a.clearance, b.clearance};
        const SquaredKeepTests pair = keep_tests_squared(load_pair(moved), load_pair(answers),
                                                         load_two_floats(clearances), _mm_set_pd(b.delta, a.delta));
        double d2[2], room[2];
        _mm_storeu_pd(d2, pair.distance2);
        _mm_storeu_pd(room, pair.room);
        for (int lane = 0; lane < 2; ++lane) {
            const Case& c = lane == 0 ? a : b;
            const SquaredKeepTest one = keep_test_squared(c.moved, c.answer, c.clearance, c.delta);
            EXPECT_EQ((pair.kept >> lane & 1) != 0, one.kept) << k << " lane " << lane;
            EXPECT_EQ(std::bit_cast<std::uint64_t>(d2[lane]), std::bit_cast<std::uint64_t>(one.distance2));
            EXPECT_EQ(std::bit_cast<std::uint64_t>(room[lane]), std::bit_cast<std::uint64_t>(one.room));
        }
    }
}
#endif

// A move found too long without its square root is one the full test also refuses; near
// the edge, the full test decides.
TEST(KeepTest, MovePastClearanceNeedsNoRoot) {
    std::mt19937_64 rng(5);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    int past = 0, left_to_test = 0;
    for (int k = 0; k < 20000; ++k) {
        const Point3 then{u(rng), u(rng), u(rng)};
        const double step = std::pow(10.0, -(k % 12));
        const Point3 now{then.x + step * u(rng), then.y + step * u(rng), then.z + step * u(rng)};
        const float clearance = static_cast<float>(std::abs(u(rng)) * 1.7 * step);
        if (!moved_past(now, then, clearance)) {
            ++left_to_test;
            continue;
        }
        ++past;
        const Point3 answer{now.x + 1e-3 * step, now.y, now.z};
        ASSERT_FALSE(keep_test_squared(now, answer, clearance, move_between(now, then, 0.0)).kept) << k;
    }
    EXPECT_GT(past, 2000);
    EXPECT_GT(left_to_test, 2000);
    // Exactly at the clearance, or without a number to compare, the full test decides.
    EXPECT_FALSE(moved_past({0, 0, 0}, {1, 0, 0}, 1.0f));
    EXPECT_FALSE(moved_past({0, 0, 0}, {0, 0, 0}, 0.0f));
    EXPECT_FALSE(moved_past({0, 0, 0}, {1, 0, 0}, std::numeric_limits<float>::quiet_NaN()));
    EXPECT_FALSE(moved_past({0, 0, 0}, {1e300, 0, 0}, std::numeric_limits<float>::infinity()));
    EXPECT_TRUE(moved_past({0, 0, 0}, {1.000001, 0, 0}, 1.0f));
}

// Queries moved by every scale of step: whenever the clearance is kept, brute force
// confirms that the old answer is the one strictly nearest point and that the kept
// clearance lies below every other point.
TEST(KeepTest, KeptAnswersAreStrictlyNearest) {
    std::mt19937_64 rng(11);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    PointCloud cloud(3000);
    for (auto& p : cloud) p = {u(rng), u(rng), 0.1 * u(rng)};
    const KdTree tree = KdTree::build(cloud);
    int kept = 0, refused = 0;
    for (int k = 0; k < 600; ++k) {
        const Point3 q{u(rng), u(rng), 0.1 * u(rng)};
        const ClearNearestHit found = nearest_with_clearance(tree, q, kInf);
        const float clearance = clearance_of_search(found.clearance2);
        const double step = std::pow(10.0, -1 - (k % 8));
        const Point3 moved{q.x + step * u(rng), q.y + step * u(rng), q.z + step * u(rng)};
        const double delta = static_cast<double>(gap(q, moved)) * (1 + 1e-12);
        const SquaredKeepTest test = keep_test_squared(moved, found.hit.point, clearance, delta);
        if (!test.kept) {
            ++refused;
            continue;
        }
        const float left = clearance_left(test);
        ++kept;
        const double d_answer = tree_distance2(moved, found.hit.point);
        for (std::uint32_t p = 0; p < tree.size(); ++p) {
            if (p == found.position) continue;
            ASSERT_LT(d_answer, tree_distance2(moved, tree.point(p)));
            ASSERT_LE((long double)left, gap(moved, tree.point(p)));
        }
        EXPECT_EQ(nearest(tree, moved).index, found.hit.index);
    }
    EXPECT_GT(kept, 300);
    EXPECT_GT(refused, 10);
}

// ---- passes ----------------------------------------------------------------------------

struct PassCase {
    const char* name;
    PointCloud target;
    PointCloud normals;
    PointCloud source;
};

PassCase pass_case(int which) {
    std::mt19937_64 rng(20 + which);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    PassCase c;
    if (which == 1) {  // integer grid, queries near half-integers: ties in abundance
        c.name = "grid";
        for (int i = 0; i < 14; ++i)
            for (int j = 0; j < 14; ++j)
                for (int k = 0; k < 3; ++k) c.target.push_back({double(i), double(j), double(k)});
        for (int i = 0; i < 13; ++i)
            for (int j = 0; j < 13; ++j) c.source.push_back({i + 0.5, j + 0.5, 1.5});
    } else {
        c.name = which == 0 ? "surface" : "duplicates";
        for (int i = 0; i < 4000; ++i) {
            const double x = u(rng), y = u(rng);
            c.target.push_back({x, y, 0.2 * std::sin(3 * x) * std::cos(2 * y)});
        }
        if (which == 2) c.target.insert(c.target.end(), c.target.begin(), c.target.begin() + 2000);
        for (int i = 0; i < 2500; ++i) {
            const Point3& p = c.target[i];
            c.source.push_back({p.x + 0.01 * u(rng), p.y + 0.01 * u(rng), p.z + 0.01 * u(rng)});
        }
    }
    for (std::size_t i = 0; i < c.target.size(); ++i) {
        const double a = 0.7 * i;
        c.normals.push_back({0.3 * std::cos(a), 0.3 * std::sin(a), 0.9539392014169456});
    }
    return c;
}

// Transforms as a converging run produces them: steps shrinking by ten down to nothing,
// the same transform twice, then a jump back to the start and a small step from there,
// and last two places far off the cloud.
std::vector<SimilarityTransform> converging_run() {
    const Vec3 axis(0.2, 1.0, -0.4);
    std::vector<SimilarityTransform> run;
    for (int k = 0; k <= 12; ++k) {
        const double f = 1.0 - std::pow(10.0, -k);
        run.push_back(transform(0.05 * f, axis, Vec3(0.02, -0.01, 0.005) * f));
    }
    run.push_back(run.back());
    run.push_back(run.front());
    run.push_back(transform(1e-7, axis, Vec3(0, 0, 1e-7)));
    run.push_back(transform(0.3, axis, Vec3(2.5, 1.0, -3.0)));  // far off the cloud
    run.push_back(transform(0.3, axis, Vec3(2.5, 1.0, -2.9)));
    return run;
}

class ReusingPass : public ::testing::TestWithParam<int> {};

TEST_P(ReusingPass, PointPassesEqualFreshOnes) {
    const PassCase c = pass_case(GetParam());
    const KdTree tree = KdTree::build(c.target);
    const QueryOrder order = QueryOrder::spatial(c.source);
    PointCorrespondences reused(c.source.size());
    std::size_t kept = 0;
    bool searched_few = false, searched_many = false;  // in index order, and in query order
    for (const SimilarityTransform& t : converging_run()) {
        find_point_correspondences(t, c.source, order, tree, reused);
        const std::size_t marked = marked_count(reused.to_search);
        searched_few = searched_few || (marked > 0 && marked * kSparseSearchShare < c.source.size());
        searched_many = searched_many || marked * kSparseSearchShare >= c.source.size();
        PointCorrespondences fresh(c.source.size());
        find_point_correspondences(t, c.source, order, tree, fresh);
        for (std::size_t i = 0; i < c.source.size(); ++i) {
            ASSERT_EQ(reused.points[i], fresh.points[i]) << c.name << " point " << i;
            ASSERT_EQ(reused.distances[i], fresh.distances[i]);
            kept += reused.anchored_in[i] + 1 != reused.passes;  // not searched in this pass
        }
    }
    if (GetParam() == 0) {
        EXPECT_GT(kept, c.source.size() * 5);
        EXPECT_TRUE(searched_few);
        EXPECT_TRUE(searched_many);
    }
}

// A query that goes back and forth between two places keeps its answer far longer than
// its clearance lasts when every move is charged against it: measured from where it was
// searched, it has moved by one step at most. It keeps it even longer than the ring of
// recent transforms reaches back: once its anchor is about to fall out of the ring, it
// moves to the current pass. Every pass still equals a fresh one.
TEST_P(ReusingPass, PointAnswersOutliveTheirShrinkingClearance) {
    const PassCase c = pass_case(GetParam());
    const KdTree tree = KdTree::build(c.target);
    const QueryOrder order = QueryOrder::spatial(c.source);
    const Vec3 axis(0.2, 1.0, -0.4);
    const SimilarityTransform there[] = {transform(0.03, axis, Vec3(0.01, 0.0, 0.0)),
                                         transform(0.03001, axis, Vec3(0.0101, 0.0001, 0.0))};
    PointCorrespondences reused(c.source.size());
    std::size_t searched_late = 0;
    const std::uint32_t passes = 3 * RECENT_PASSES + 5;
    for (std::uint32_t pass = 0; pass < passes; ++pass) {
        const SimilarityTransform& t = there[pass % 2];
        find_point_correspondences(t, c.source, order, tree, reused);
        PointCorrespondences fresh(c.source.size());
        find_point_correspondences(t, c.source, order, tree, fresh);
        for (std::size_t i = 0; i < c.source.size(); ++i) {
            ASSERT_EQ(reused.points[i], fresh.points[i]) << c.name << " pass " << pass << " point " << i;
            ASSERT_EQ(reused.distances[i], fresh.distances[i]);
            ASSERT_LT(pass - reused.anchored_in[i], RECENT_PASSES);
            // Anchors move without a search in the passes that are multiples of the ring.
            if (pass >= RECENT_PASSES && pass % RECENT_PASSES != 0) searched_late += reused.anchored_in[i] == pass;
        }
    }
    if (GetParam() == 0) {
        EXPECT_LT(searched_late, c.source.size() * 6);  // about 2.5 times as many without the anchors
    }
}

// Trials fill a spare buffer from the current one, and the current one in place; both
// must equal a fresh pass.
TEST_P(ReusingPass, PlanePassesEqualFreshOnes) {
    const PassCase c = pass_case(GetParam());
    const KdTree tree = KdTree::build(c.target);
    const QueryOrder order = QueryOrder::spatial(c.source);
    PlaneCorrespondences current(c.source.size()), spare(c.source.size());
    std::size_t kept = 0;
    bool searched_few = false, searched_many = false;  // in index order, and in query order
    for (const SimilarityTransform& t : converging_run()) {
        find_plane_correspondences(t, c.source, order, tree, c.normals, current, spare);
        const std::size_t marked = marked_count(spare.to_search);
        searched_few = searched_few || (marked > 0 && marked * kSparseSearchShare < c.source.size());
        searched_many = searched_many || marked * kSparseSearchShare >= c.source.size();
        find_plane_correspondences(t, c.source, order, tree, c.normals, current);
        PlaneCorrespondences fresh(c.source.size());
        find_plane_correspondences(t, c.source, order, tree, c.normals, fresh);
        for (std::size_t i = 0; i < c.source.size(); ++i) {
            for (const PlaneCorrespondences* got : {&current, &spare}) {
                const PlaneCorrespondence& g = got->pairs[i];
                ASSERT_EQ(g.position, fresh.pairs[i].position) << c.name << " point " << i;
                ASSERT_EQ(g.normal, fresh.pairs[i].normal);
                ASSERT_EQ(std::bit_cast<std::uint64_t>(g.residual), std::bit_cast<std::uint64_t>(fresh.pairs[i].residual));
            }
            kept += current.pairs[i].clearance != fresh.pairs[i].clearance;
        }
    }
    if (GetParam() == 0) {
        EXPECT_GT(kept, c.source.size() * 5);
        EXPECT_TRUE(searched_few);
        EXPECT_TRUE(searched_many);
    }
}

INSTANTIATE_TEST_SUITE_P(Clouds, ReusingPass, ::testing::Values(0, 1, 2));

}  // namespace
}  // namespace tarvo
