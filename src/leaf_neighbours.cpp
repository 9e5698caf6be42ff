// Why the values are knn_into's. A point of the leaf is offered every tree point its
// k-th distance so far does not rule out, and keeps the k smallest distances it was
// offered; what is ruled out is never among a point's k nearest:
// - the bound of a box from a point, or from the leaf's box, is summed from per-axis
//   offsets no larger than the matching coordinate differences of any point inside, as
//   (x² + y²) + z² like a distance; rounding is monotone, so the bound never exceeds the
//   computed distance of such a point;
// - a subtree is skipped when its bound from the leaf's box is at or beyond the largest
//   k-th distance of the leaf's points, a leaf is skipped for one point when its bound
//   from that point is at or beyond that point's k-th distance, and a scanned point is
//   offered only below it: knn_into turns all of these away too;
// - until a point has k distances its k-th is +inf, and every finite bound is below it.
// Which of several equal distances is kept makes no difference to the values kept.
#include "leaf_neighbours.hpp"

#include "leaf_distances.hpp"

#include <algorithm>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <bit>
#include <cmath>
#include <limits>

namespace tarvo {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// Per axis the larger of lo - hi' and lo' - hi, or 0 where the two ranges overlap.
double box_gap2(const NodeBox& a, const NodeBox& b) {
    double o[3];
    for (int axis = 0; axis < 3; ++axis) {
        o[axis] = std::max({b.lo[axis] - a.hi[axis], a.lo[axis] - b.hi[axis], 0.0});
    }
    return (o[0] * o[0] + o[1] * o[1]) + o[2] * o[2];
}

// No squared distance between two points of the tree overflows: its box's squared
// diagonal, summed the same way, is finite.
bool finite_distances(const KdTree& tree) {
    const NodeBox& root = tree.boxes()[0];
    double e[3];
    for (int axis = 0; axis < 3; ++axis) e[axis] = root.hi[axis] - root.lo[axis];
    return std::isfinite((e[0] * e[0] + e[1] * e[1]) + e[2] * e[2]);
}

}  // namespace

LeafNeighbourDistances::LeafNeighbourDistances(const KdTree& tree, std::size_t k)
    : tree_(tree),
      k_(k),
      found_(std::min(k, tree.size())),
      finite_(finite_distances(tree)),
      dists_(k <= MAX_NEIGHBOURS ? (LEAF_SIZE + 1) * k : 0, kInf) {
    if (k == 0) precondition_failed("assertion failed: k > 0");
}

bool LeafNeighbourDistances::serves(const KdNode& leaf) const {
    return k_ <= MAX_NEIGHBOURS && finite_ && leaf.end - leaf.start <= LEAF_SIZE;
}

std::span<const double> LeafNeighbourDistances::distances(std::uint32_t j) const {
    return {dists_.data() + j * k_, found_};
}

void LeafNeighbourDistances::run(std::uint32_t leaf) {
    const KdNode* nodes = tree_.nodes().data();
    const NodeBox* boxes = tree_.boxes().data();
    const KdNode& own = nodes[leaf];
    start_leaf(own);
    for (std::uint32_t j = 0; j < count_; ++j) scan_for(j, own);

    // Depth first from the root, the child nearer the leaf's box first.
    struct Pending {
        std::uint32_t node;
        double gap2;
    };
    Pending pending[64];  // a path crosses at most 28 splits, each setting one child aside
    std::size_t depth = 0;
    double reach = this->reach();
    std::uint32_t node = 0;
    for (;;) {
        const KdNode& nd = nodes[node];
        if (nd.kind == LEAF) {
            if (node != leaf) {
                for (std::uint32_t scan = points_to_scan(boxes[node]); scan != 0; scan &= scan - 1) {
                    scan_for(static_cast<std::uint32_t>(std::countr_zero(scan)), nd);
                }
                reach = this->reach();
            }
        } else {
            const std::uint32_t left = node + 1, right = nd.right;
            const double left_gap2 = box_gap2(boxes[leaf], boxes[left]);
            const double right_gap2 = box_gap2(boxes[leaf], boxes[right]);
            const bool left_first = left_gap2 <= right_gap2;
            const Pending near = left_first ? Pending{left, left_gap2} : Pending{right, right_gap2};
            const Pending far = left_first ? Pending{right, right_gap2} : Pending{left, left_gap2};
            if (far.gap2 < reach) pending[depth++] = far;
            if (near.gap2 < reach) {
                node = near.node;
                continue;
            }
        }
        for (;;) {
            if (depth == 0) return;
            const Pending& next = pending[--depth];
            if (next.gap2 < reach) {
                node = next.node;
                break;
            }
        }
    }
}

void LeafNeighbourDistances::start_leaf(const KdNode& leaf) {
    count_ = leaf.end - leaf.start;
    for (std::uint32_t j = 0; j < count_; ++j) {
        qx_[j] = tree_.xs()[leaf.start + j];
        qy_[j] = tree_.ys()[leaf.start + j];
        qz_[j] = tree_.zs()[leaf.start + j];
    }
    qx_[count_] = qy_[count_] = qz_[count_] = 0.0;
    std::fill(dists_.begin(), dists_.begin() + static_cast<std::ptrdiff_t>((count_ + 1) * k_), kInf);
}

// A bit for each point of the leaf whose k-th distance the box's bound beats.
std::uint32_t LeafNeighbourDistances::points_to_scan(const NodeBox& box) const {
    std::uint32_t scan = 0;
#if defined(__SSE2__)
    const __m128d zero = _mm_setzero_pd();
    const __m128d lo_x = _mm_set1_pd(box.lo[0]), lo_y = _mm_set1_pd(box.lo[1]), lo_z = _mm_set1_pd(box.lo[2]);
    const __m128d hi_x = _mm_set1_pd(box.hi[0]), hi_y = _mm_set1_pd(box.hi[1]), hi_z = _mm_set1_pd(box.hi[2]);
    for (std::uint32_t j = 0; j < count_; j += 2) {
        const __m128d x = _mm_loadu_pd(qx_ + j), y = _mm_loadu_pd(qy_ + j), z = _mm_loadu_pd(qz_ + j);
        const __m128d ox = _mm_max_pd(_mm_max_pd(_mm_sub_pd(lo_x, x), _mm_sub_pd(x, hi_x)), zero);
        const __m128d oy = _mm_max_pd(_mm_max_pd(_mm_sub_pd(lo_y, y), _mm_sub_pd(y, hi_y)), zero);
        const __m128d oz = _mm_max_pd(_mm_max_pd(_mm_sub_pd(lo_z, z), _mm_sub_pd(z, hi_z)), zero);
        const __m128d bound = _mm_add_pd(_mm_add_pd(_mm_mul_pd(ox, ox), _mm_mul_pd(oy, oy)), _mm_mul_pd(oz, oz));
        const __m128d limits = _mm_set_pd(limit(j + 1), limit(j));
        scan |= static_cast<std::uint32_t>(_mm_movemask_pd(_mm_cmplt_pd(bound, limits))) << j;
    }
    return scan & ((std::uint32_t{1} << count_) - 1);  // the spare slot's bit
#else
    for (std::uint32_t j = 0; j < count_; ++j) {
        const double q[3] = {qx_[j], qy_[j], qz_[j]};
        double o[3];
        for (int a = 0; a < 3; ++a) o[a] = std::max({box.lo[a] - q[a], q[a] - box.hi[a], 0.0});
        scan |= static_cast<std::uint32_t>((o[0] * o[0] + o[1] * o[1]) + o[2] * o[2] < limit(j)) << j;
    }
    return scan;
#endif
}

// The distances of the leaf's points from point j, computed as tree_distance2 computes
// them, a block at a time (a leaf of coinciding points can hold any number); those below
// its k-th distance are offered.
void LeafNeighbourDistances::scan_for(std::uint32_t j, const KdNode& leaf) {
    const Point3 q{qx_[j], qy_[j], qz_[j]};
    double d[LEAF_SIZE];
    for (std::uint32_t first = leaf.start; first < leaf.end; first += LEAF_SIZE) {
        const std::uint32_t count = std::min(LEAF_SIZE, leaf.end - first);
        block_distances2(tree_.xs() + first, tree_.ys() + first, tree_.zs() + first, count, q, d);
        const double below = limit(j);
        std::uint32_t offered = 0;
        for (std::uint32_t i = 0; i < count; ++i) offered |= static_cast<std::uint32_t>(d[i] < below) << i;
        for (; offered != 0; offered &= offered - 1) offer(j, d[std::countr_zero(offered)]);
    }
}

// Keeps the k smallest of point j's distances and d, ascending, without a branch: slot h
// becomes the smaller of its value and the larger of d and the value before it. Slots go
// upward, each read and written once as a whole double: vectorised, the loop would read
// pairs that straddle the pairs the previous offer to this point just wrote, and wait on
// every such read.
void LeafNeighbourDistances::offer(std::uint32_t j, double d) {
    double* kept = dists_.data() + j * k_;
    double before = kept[0];
    kept[0] = std::min(before, d);
    for (std::size_t h = 1; h < k_; ++h) {
        const double old = kept[h];
        kept[h] = std::min(old, std::max(before, d));
        before = old;
    }
}

// The largest k-th distance of the leaf's points: a subtree whose box is no nearer to
// the leaf's box than that holds nothing for any of them.
double LeafNeighbourDistances::reach() const {
    double largest = 0.0;
    for (std::uint32_t j = 0; j < count_; ++j) largest = std::max(largest, limit(j));
    return largest;
}

}  // namespace tarvo
