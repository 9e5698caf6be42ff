// A static 3-D k-d tree over one point cloud, and its exact queries.
//
// Nodes live in one flat array in depth-first pre-order (the left child of node i is
// node i + 1, so a split stores only its right child); points are copied into tree
// order, one array per coordinate, so that a leaf is a contiguous run of each and a
// leaf scan reads whole vectors of x, y and z; every index is 32-bit. Beside the nodes,
// a parallel array keeps each node's tight box, by which the queries prune as well as by
// the splitting planes. All distances are squared.
#pragma once

#include "types.hpp"

#include <bit>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

namespace tarvo {

inline constexpr std::uint32_t LEAF_SIZE = 16;

enum NodeKind : std::uint8_t { SPLIT_X = 0, SPLIT_Y = 1, SPLIT_Z = 2, LEAF = 3 };

struct KdNode {
    double split = 0.0;       // split nodes: coordinate of the median on the split axis
    std::uint32_t right = 0;  // split nodes: index of the right child
    std::uint32_t start = 0;  // leaves: first tree position
    std::uint32_t end = 0;    // leaves: one past the last tree position
    std::uint8_t kind = LEAF; // 0, 1, 2: split on x, y, z; 3: leaf
};

// The smallest axis-aligned box holding every point below a node (NaN coordinates
// left out; a box with no number on an axis is empty there: lo = +inf, hi = -inf).
struct NodeBox {
    double lo[3];
    double hi[3];
};

class KdTree {
public:
    // Builds the tree over `points` (at least one point; an empty input stops the
    // process with "k-d tree needs at least one point").
    static KdTree build(std::span<const Point3> points);

    std::size_t size() const { return indices_.size(); }
    // The point at tree position p.
    Point3 point(std::size_t p) const { return {xs()[p], ys()[p], zs()[p]}; }
    // Coordinates in tree order, one array per axis.
    const double* xs() const { return coords_.data(); }
    const double* ys() const { return coords_.data() + size(); }
    const double* zs() const { return coords_.data() + 2 * size(); }
    std::span<const std::uint32_t> indices() const { return indices_; }
    std::span<const KdNode> nodes() const { return nodes_; }
    // Tight boxes, one per node, in node order.
    std::span<const NodeBox> boxes() const { return boxes_; }
    // The squared distance beyond which a search also prunes by the boxes: the median
    // squared diagonal of a leaf's box. Nearer than that, a query's ball hardly reaches
    // past the leaves it must scan anyway, and testing boxes would cost more than it saves.
    double box_pruning_from() const { return box_pruning_from_; }

private:
    void fit_boxes();
    double median_leaf_diagonal2() const;

    LargeVector<double> coords_;          // tree order: all x, then all y, then all z
    LargeVector<std::uint32_t> indices_;  // tree position -> input index
    LargeVector<KdNode> nodes_;           // depth-first pre-order, root first
    LargeVector<NodeBox> boxes_;          // parallel to nodes_
    double box_pruning_from_ = 0.0;
};

struct NearestHit {
    Point3 point;
    double dist2 = 0.0;
    std::uint32_t index = 0;
};

// The closest tree point to q; of several at the same distance, the first reached.
NearestHit nearest(const KdTree& tree, const Point3& q);

// The same answer, found faster from a known upper limit: `bound` must be strictly
// greater than the squared distance of the nearest point (the distance to any tree
// point, nudged up by one ulp, will do). Cells at or beyond the bound are skipped from
// the start; since the nearest point lies strictly inside it, and the first of several
// equidistant points is reached before any of them can be pruned, the result is
// exactly that of nearest(tree, q).
NearestHit nearest_within(const KdTree& tree, const Point3& q, double bound);

// nearest_within's answer, with its tree position and the query's clearance: a squared
// distance, computed as the tree computes distances, that no tree point other than the
// answer comes below (every other point the search examines, and every cell it skips,
// is at or beyond it). A query that moves by less than the clearance allows keeps its
// answer, which is what lets a later search be skipped (see clearance.hpp).
struct ClearNearestHit {
    NearestHit hit;
    std::uint32_t position = 0;
    double clearance2 = 0.0;
};

ClearNearestHit nearest_with_clearance(const KdTree& tree, const Point3& q, double bound);

// The squared distance from q to p, computed exactly as the tree computes it.
inline double tree_distance2(const Point3& q, const Point3& p) {
    const double dx = p.x - q.x, dy = p.y - q.y, dz = p.z - q.z;
    return (dx * dx + dy * dy) + dz * dz;
}

// std::nextafter(d, +inf) for a squared distance d >= 0 (or +inf, or NaN), inline: the
// bound for nearest_within, taken once per query.
inline double next_above(double d) {
    if (d == 0.0) return std::numeric_limits<double>::denorm_min();
    if (!(d < std::numeric_limits<double>::infinity())) return d;
    return std::bit_cast<double>(std::bit_cast<std::uint64_t>(d) + 1);
}

// Reusable result of knn_into for a fixed k: squared distances ascending, with the
// matching input indices. A buffer serves one thread at a time.
class KnnBuffer {
public:
    // k = 0 stops the process with "assertion failed: k > 0".
    explicit KnnBuffer(std::size_t k);

    std::size_t k() const { return dists_.size(); }
    std::size_t len() const { return len_; }
    std::span<const double> distances() const { return {dists_.data(), len_}; }
    std::span<const std::uint32_t> indices() const { return {indices_.data(), len_}; }

private:
    friend void knn_into(const KdTree& tree, const Point3& q, KnnBuffer& buffer, double bound);
    friend class KnnSearch;

    std::vector<double> dists_;
    std::vector<std::uint32_t> indices_;
    std::size_t len_ = 0;
};

// Fills `buffer` with the min(k, n) closest tree points to q, ascending; a later point
// that only ties the k-th distance does not displace it. A finite `bound` must lie
// strictly above the k-th smallest squared distance (knn_bound_through gives one); the
// search then skips what lies beyond it from the start, and fills the buffer the same.
void knn_into(const KdTree& tree, const Point3& q, KnnBuffer& buffer,
              double bound = std::numeric_limits<double>::infinity());

// A bound for knn_into from the k points a full `buffer` holds (input indices into
// `cloud`, the points the tree was built over), as the previous of a walk of nearby
// queries left them: the largest of their squared distances from q, nudged up. +inf when
// the buffer holds fewer than k points or a distance is not finite.
double knn_bound_through(std::span<const Point3> cloud, const Point3& q, const KnnBuffer& buffer);

}  // namespace tarvo
