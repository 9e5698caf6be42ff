// "point_to_plane" and "robust_point_to_plane": Gauss-Newton on point-to-plane distances
// in exponential coordinates, with a backtracking line search; the robust method adds
// Welsch stages and Anderson acceleration.
#pragma once

#include "kdtree.hpp"
#include "marked_search.hpp"
#include "options.hpp"
#include "pose.hpp"
#include "solver.hpp"
#include "spatial_order.hpp"
#include "types.hpp"

#include <cstdint>
#include <span>
#include <vector>

namespace tarvo {

// For one source point: the unit normal of its nearest target point and the signed
// residual n . (T(p) - q); the tree position of q, and the query's clearance (how far
// it may move and keep q; clearance.hpp).
struct PlaneCorrespondence {
    Point3 normal;
    double residual = 0.0;
    std::uint32_t position = 0;
    float clearance = 0.0f;
};

struct PlaneCorrespondences {
    LargeVector<PlaneCorrespondence> pairs;
    SimilarityTransform pose;  // the transform the pairs were found under
    bool filled = false;       // pairs hold an earlier search's answers
    // Scratch of a pass that fills this buffer: how far each run of the query order moved
    // since the pass it starts from, and a bit per point whose answer was not kept.
    std::vector<double> run_moves;
    std::vector<std::uint64_t> to_search;

    explicit PlaneCorrespondences(std::size_t n)
        : pairs(n), run_moves((n + QUERY_RUN_LENGTH - 1) / QUERY_RUN_LENGTH), to_search(mark_words(n)) {}
};

// For every source point x, the normal of the tree's nearest point q to T(x) and the
// residual n . (T(x) - q), written to `out`. Points are queried in `order` (any
// permutation of the source indices; a spatially coherent one keeps the tree in cache
// and the runs' balls small). If `previous` (which may be `out` itself) holds answers, a
// point whose query moved by less than its clearance keeps its answer without a search
// (the move is bounded once per run of the order; these tests run in index order), and
// any other search starts from the distance to the previous answer. Each result goes to
// its own slot, so none of this changes anything but the speed.
void find_plane_correspondences(const SimilarityTransform& t, std::span<const Point3> source,
                                const QueryOrder& order, const KdTree& tree,
                                std::span<const Point3> target_normals, const PlaneCorrespondences& previous,
                                PlaneCorrespondences& out);

inline void find_plane_correspondences(const SimilarityTransform& t, std::span<const Point3> source,
                                       const QueryOrder& order, const KdTree& tree,
                                       std::span<const Point3> target_normals, PlaneCorrespondences& out) {
    find_plane_correspondences(t, source, order, tree, target_normals, out, out);
}

// The exact derivative of n . (T(x) p - q) with respect to the six coordinates x,
// through the exponential map. Everything that depends only on x is formed once here,
// so that a row costs a few dozen flops and allocates nothing.
class PlaneJacobian {
public:
    explicit PlaneJacobian(const PoseVector& x);

    // J = [n . (dR/dw_k p + dt/dw_k) for k = 0, 1, 2, (V^T n)_0, (V^T n)_1, (V^T n)_2].
    PoseVector row(const Point3& p, const Point3& n) const;

private:
    Mat3 d_rotation_[3];    // dR/dw_k
    Vec3 d_translation_[3]; // dt/dw_k = dV/dw_k rho
    Mat3 v_;                // dt/drho
};

// One weighted Gauss-Newton increment of the pose coordinates x, with the residuals
// differentiated exactly through the exponential map; zero in every degenerate case.
PoseVector point_to_plane_step(std::span<const Point3> source,
                               std::span<const PlaneCorrespondence> correspondences,
                               std::span<const double> weights, const PoseVector& x);

// Both clouds in the normalised frame, `tree` over `target`, `order` over `source`, unit
// normals one per target point, a rigid initial transform. Cannot fail.
SolverResult solve_point_to_plane(std::span<const Point3> source, std::span<const Point3> target,
                                  const KdTree& tree, const QueryOrder& order, std::span<const Point3> target_normals,
                                  const RegisterOptions& options, const SimilarityTransform& initial);

}  // namespace tarvo
