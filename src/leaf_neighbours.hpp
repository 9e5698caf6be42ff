// The k smallest squared distances from each point of a k-d tree to the tree's points,
// the point itself included, found a leaf at a time. One walk of the tree serves all the
// points of a leaf: a subtree is entered only while its box comes nearer to the leaf's
// box than the largest k-th distance found so far, and a leaf on the way is scanned only
// for the points whose own k-th distance its box can still beat.
//
// Only distances come out. A statistic of distances does not care which of several
// equidistant points was counted, and the k smallest values are the same whichever it
// is: for every point they equal knn_into's distances, bit for bit.
#pragma once

#include "kdtree.hpp"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tarvo {

// Scratch for one thread: reuse it for every leaf that thread takes.
class LeafNeighbourDistances {
public:
    // The most neighbours it keeps per point. Each offer of a distance touches all k
    // slots; beyond some 16 the per-point search, which shifts only the slots above the
    // new distance, is as fast.
    static constexpr std::size_t MAX_NEIGHBOURS = 16;

    // The tree must outlive this; k >= 1.
    LeafNeighbourDistances(const KdTree& tree, std::size_t k);

    // Whether run() takes this leaf. It takes leaves of at most LEAF_SIZE points (a leaf
    // of points that coincide on their widest axis can hold more) of a tree whose squared
    // distances are all finite, for k up to MAX_NEIGHBOURS. Ask knn_into for the points
    // of any other leaf.
    bool serves(const KdNode& leaf) const;

    // Finds the distances of the points of leaf node `leaf`, which serves() accepts.
    void run(std::uint32_t leaf);

    // For the j-th point of the last leaf run (tree position start + j): min(k, n)
    // squared distances, ascending.
    std::span<const double> distances(std::uint32_t j) const;

private:
    void start_leaf(const KdNode& leaf);
    std::uint32_t points_to_scan(const NodeBox& box) const;
    void scan_for(std::uint32_t j, const KdNode& leaf);
    void offer(std::uint32_t j, double d);
    double limit(std::uint32_t j) const { return dists_[j * k_ + k_ - 1]; }
    double reach() const;

    const KdTree& tree_;
    std::size_t k_;
    std::size_t found_;     // min(k, n): the distances every point ends with
    bool finite_;           // no squared distance between two tree points overflows
    std::uint32_t count_ = 0;  // points of the current leaf
    // The current leaf's points by axis, with one spare slot so that pairs never read
    // past the end.
    double qx_[LEAF_SIZE + 1], qy_[LEAF_SIZE + 1], qz_[LEAF_SIZE + 1];
    std::vector<double> dists_;  // k per point, ascending; +inf where none is found yet
};

}  // namespace tarvo
