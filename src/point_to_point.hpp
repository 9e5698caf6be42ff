// "icp", "fast_icp" and "robust_icp": closed-form fits to nearest-point pairs, with
// Anderson extrapolation under an energy guard and Welsch stages for the robust method.
#pragma once

#include "kdtree.hpp"
#include "options.hpp"
#include "solver.hpp"
#include "spatial_order.hpp"
#include "types.hpp"

#include <cstdint>
#include <span>
#include <vector>

namespace tarvo {

// The nearest target point of every transformed source point, its distance, and the
// clearance of the query (how far it may move and keep that point; clearance.hpp).
struct PointCorrespondences {
    PointCloud points;
    LargeVector<double> distances;
    LargeVector<float> clearances;
    // Scratch of a pass: how far each run of the query order moves, and a bit per point
    // (by index, 64 to a word) for the points whose answer was not kept.
    std::vector<double> run_moves;
    std::vector<std::uint64_t> to_search;
    SimilarityTransform pose;  // the transform the points were found under
    bool filled = false;       // points hold an earlier search's answers

    explicit PointCorrespondences(std::size_t n)
        : points(n), distances(n), clearances(n), run_moves((n + QUERY_RUN_LENGTH - 1) / QUERY_RUN_LENGTH),
          to_search((n + 63) / 64) {}
};

// For every source point x, the tree's nearest point to T(x). Points are queried in
// `order` (any permutation of the source indices; a spatially coherent one keeps the
// tree in cache and the runs' balls small). Once `out` has been filled, a point whose
// query moved by less than its clearance keeps its answer without a search (the move
// is bounded once per run of the order); these tests run first, in index order, which
// streams through memory, and only the points that fail them are then searched in
// query order, each search starting from the distance to the previous answer. Each
// result is written to its own slot. None of this changes a single bit of the outcome.
void find_point_correspondences(const SimilarityTransform& t, std::span<const Point3> source,
                                const QueryOrder& order, const KdTree& tree, PointCorrespondences& out);

// Both clouds in the normalised frame; `tree` is built over `target`, `order` over
// `source`. Cannot fail.
SolverResult solve_point_to_point(std::span<const Point3> source, std::span<const Point3> target,
                                  const KdTree& tree, const QueryOrder& order, const RegisterOptions& options,
                                  const SimilarityTransform& initial);

}  // namespace tarvo
