// Keeping a nearest point across a small move of its query, without a search.
//
// A search reports its query's clearance (nearest_with_clearance): no tree point but
// the answer a comes nearer than C. When the query then moves from q to q' by at most
// δ, every other point s has |q' - s| >= C - δ; so if |q' - a| < C - δ, a is still the
// one strictly nearest point and a search from q' would return it, ties or no ties.
// Skipping that search changes no bit of a result. Every bound here is widened (or
// shrunk) by far more than the rounding of the arithmetic behind it and of the tree's
// own distances (a few units in the last place), so the test holds for the computed
// numbers, not only in exact arithmetic.
#pragma once

#include "kdtree.hpp"
#include "point_pairs.hpp"
#include "spatial_order.hpp"
#include "types.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

namespace tarvo {

namespace clearance_detail {
inline constexpr double kShrink = 1.0 - 1e-12;
inline constexpr double kWiden = 1.0 + 1e-12;
inline constexpr double kWidenSquared = kWiden * kWiden;
}  // namespace clearance_detail

// A bound on the rounding of t.apply(s), per unit of |s.x| + |s.y| + |s.z| + 1: about
// ten units in the last place of the largest term, many times over.
double apply_rounding(const SimilarityTransform& t);

// An upper bound on the distance between two computed positions of one query, given
// `slack` for the rounding behind them: the positions' own distance, widened.
inline double move_between(const Point3& now, const Point3& then, double slack) {
    const double dx = now.x - then.x, dy = now.y - then.y, dz = now.z - then.z;
    return (std::sqrt((dx * dx + dy * dy) + dz * dz) + slack) * clearance_detail::kWiden;
}

// Whether two computed positions of one query lie so far apart that the move between
// them (move_between, which only widens their distance) uses up all of `clearance`:
// decided in squares, without the square root.
inline bool moved_past(const Point3& now, const Point3& then, float clearance) {
    const double c = clearance;
    return tree_distance2(now, then) > c * c * clearance_detail::kWidenSquared;
}

// How far a point can move between two transforms: an upper bound on the distance
// between from.apply(s) and to.apply(s), as apply computes them.
class MotionBound {
public:
    MotionBound(const SimilarityTransform& from, const SimilarityTransform& to);

    // For every point s of a run at once: |ΔM s + Δt| <= |ΔM c + Δt| + |ΔM| r for the
    // run's ball (centre c, radius r), plus the rounding of both applications for a point
    // of the run's size, and of this evaluation. A run of one point (r = 0) gives its
    // own move; for a run of many, one square root serves them all.
    double over(const QueryRun& run) const;

private:
    Mat3 change_;         // to.scale to.rotation - from.scale from.rotation
    double change_size_;  // Frobenius norm of change_, at least its spectral norm
    Vec3 shift_;          // to.translation - from.translation
    double rounding_;     // per unit of |s|, and once more as a constant
};

// x rounded down to a float (x >= 0, or NaN), the form in which a run keeps clearances.
inline float float_below(double x) {
    constexpr double largest = std::numeric_limits<float>::max();
    if (x > largest && x < std::numeric_limits<double>::infinity()) return std::numeric_limits<float>::max();
    // Rounded to nearest, then one step down if that went up: without a branch, which
    // would go either way at random.
    const float f = static_cast<float>(x);
    const std::uint32_t above = static_cast<double>(f) > x ? 1u : 0u;
    return std::bit_cast<float>(std::bit_cast<std::uint32_t>(f) - above);
}

// A query's clearance as a run keeps it: a lower limit on the exact distance from the
// query to every tree point but its answer. Made from the squared clearance a search
// reports in the tree's computed distances; an overflowed distance says only "at least
// the largest double".
inline float clearance_of_search(double clearance2) {
    return float_below(std::sqrt(std::min(clearance2, std::numeric_limits<double>::max())) *
                       clearance_detail::kShrink);
}

// A bound for a search from q, taken from any tree point p: its distance, nudged up, so
// that the nearest point lies strictly within it (nearest_within).
inline double bound_through(const Point3& q, const Point3& p) { return next_above(tree_distance2(q, p)); }

// No place of a query order visited yet: a pass's first point has no neighbour to take a
// bound from.
inline constexpr std::uint32_t NO_PLACE = std::numeric_limits<std::uint32_t>::max();

// Whether a query now at `moved`, which moved by at most `delta` since its `answer` was
// found with `clearance`, keeps that answer. Compared in squares, which spares a square
// root; the room left, clearance - delta, must be positive, or its square would pass.
// `distance2` is what the search would report if the answer is kept, and its seed if
// not; `room` gives the clearance kept from here on (clearance_left).
struct SquaredKeepTest {
    double distance2;
    double room;
    bool kept;
};

inline SquaredKeepTest keep_test_squared(const Point3& moved, const Point3& answer, float clearance, double delta) {
    const double d2 = tree_distance2(moved, answer);
    const double room = static_cast<double>(clearance) - delta;
    return {d2, room, room > 0.0 && d2 * clearance_detail::kWidenSquared < room * room};
}

#if defined(__SSE2__)
// keep_test_squared for two queries at once, lane by lane the same numbers and decision.
struct SquaredKeepTests {
    __m128d distance2;
    __m128d room;
    int kept;  // bit k: lane k keeps its answer
};

inline SquaredKeepTests keep_tests_squared(const PointPair& moved, const PointPair& answer, __m128d clearance,
                                           __m128d delta) {
    const __m128d dx = _mm_sub_pd(answer.x, moved.x), dy = _mm_sub_pd(answer.y, moved.y),
                  dz = _mm_sub_pd(answer.z, moved.z);
    const __m128d d2 = _mm_add_pd(_mm_add_pd(_mm_mul_pd(dx, dx), _mm_mul_pd(dy, dy)), _mm_mul_pd(dz, dz));
    const __m128d room = _mm_sub_pd(clearance, delta);
    const __m128d within = _mm_cmplt_pd(_mm_mul_pd(d2, _mm_set1_pd(clearance_detail::kWidenSquared)),
                                        _mm_mul_pd(room, room));
    return {d2, room, _mm_movemask_pd(_mm_and_pd(_mm_cmpgt_pd(room, _mm_setzero_pd()), within))};
}
#endif

// The clearance a query that kept its answer has from here on, from the test's room. It
// may round down to 0, which keeps no later answer.
inline float clearance_left(const SquaredKeepTest& test) {
    return float_below(test.room * clearance_detail::kShrink);
}

}  // namespace tarvo
