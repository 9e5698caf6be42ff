// "icp", "fast_icp" and "robust_icp": closed-form fits to nearest-point pairs, with
// Anderson extrapolation under an energy guard and Welsch stages for the robust method.
#pragma once

#include "kdtree.hpp"
#include "marked_search.hpp"
#include "options.hpp"
#include "solver.hpp"
#include "spatial_order.hpp"
#include "types.hpp"

#include <cstdint>
#include <span>
#include <vector>

namespace tarvo {

// How many passes back a pass can still recompute a query's position: the transforms
// of the latest passes are kept in a ring of this many slots.
inline constexpr std::uint32_t RECENT_PASSES = 64;

// The transform of one pass, with the bound on the rounding of its apply() per unit of
// |s|_1 + 1 (apply_rounding).
struct PassPose {
    SimilarityTransform transform;
    double rounding = 0.0;
};

// The nearest target point of every transformed source point, its distance, and two
// clearances of its query (how far it may move and keep that point; clearance.hpp):
// one from where it stood in the last pass, shrunk pass by pass by the moves since its
// search, and one from its spot at that search, with the pass it was made in.
struct PointCorrespondences {
    PointCloud points;
    LargeVector<double> distances;
    LargeVector<float> clearances;           // from the query's place in the last pass
    LargeVector<float> anchor_clearances;    // from its place in pass `anchored_in`
    LargeVector<std::uint32_t> anchored_in;  // modulo 2^32
    // Scratch of a pass: how far each run of the query order moves since the last pass,
    // and a bit per point (by index, 64 to a word) for the points whose answer was not
    // kept.
    std::vector<double> run_moves;
    std::vector<std::uint64_t> to_search;
    std::vector<PassPose> recent;  // pass k's transform in slot k % RECENT_PASSES
    std::uint32_t passes = 0;      // passes made, modulo 2^32
    bool filled = false;           // points hold an earlier search's answers

    explicit PointCorrespondences(std::size_t n)
        : points(n),
          distances(n),
          clearances(n),
          anchor_clearances(n),
          anchored_in(n),
          run_moves((n + QUERY_RUN_LENGTH - 1) / QUERY_RUN_LENGTH),
          to_search(mark_words(n)),
          recent(RECENT_PASSES) {}
};

// For every source point x, the tree's nearest point to T(x). Points are queried in
// `order` (any permutation of the source indices; a spatially coherent one keeps the
// tree in cache and the runs' balls small). Once `out` has been filled, a point keeps
// its answer without a search when its query moved by less than its clearance allows:
// first by the move since the last pass, bounded once per run of the order; failing
// that, by the net move from its spot at its last search, which the pass recomputes
// from that pass's transform however many passes came between. These tests run first,
// in index order, which streams through memory, and only the points that fail both are
// then searched: in query order, or in index order when they are few, each search
// starting from the distance to the previous answer. Each result is written to its own
// slot. None of this changes a single bit of the outcome.
void find_point_correspondences(const SimilarityTransform& t, std::span<const Point3> source,
                                const QueryOrder& order, const KdTree& tree, PointCorrespondences& out);

// Both clouds in the normalised frame; `tree` is built over `target`, `order` over
// `source`. Cannot fail.
SolverResult solve_point_to_point(std::span<const Point3> source, std::span<const Point3> target,
                                  const KdTree& tree, const QueryOrder& order, const RegisterOptions& options,
                                  const SimilarityTransform& initial);

}  // namespace tarvo
