// Queries: depth first, near side first, far cells pending on a small stack. A far cell
// is entered only when its lower bound beats the current best. The bound is the squared
// distance from the query to the cell over every splitting plane crossed on the way
// down, computed as (ox*ox + oy*oy) + oz*oz. Each offset is no larger in magnitude than
// the matching coordinate difference of any point in the cell, and rounding is
// monotone, so the bound never exceeds the computed distance of such a point; it is
// also never below the last plane's diff². Pruning with it therefore skips only cells
// that cannot hold a strictly better point: the result is the one the plain diff² test
// gives, ties included.
// Every node also keeps the tight box of its points. Once the best is farther than a
// typical leaf is wide, a far cell that passes its plane test and a leaf about to be
// scanned must also beat the best with their box, whose squared distance is computed
// the same way from per-axis offsets lo - q and q - hi: for a point in the box,
// monotone rounding again keeps the box's value at or below the point's. Cells are
// bounded by planes and reach into empty space; boxes do not, which spares a query far
// from the surface the leaves whose cells come near it but whose points do not. Near
// the surface the plane tests prune about as well, and the boxes are left out. A
// nearest-point search whose bound already reaches well past a typical leaf leaves out
// the planes instead and judges both children of every split by their boxes; it still
// goes near side first and skips only what cannot hold a strictly better point, so it
// finds the same point.
#include "kdtree.hpp"
#include "leaf_distances.hpp"

#include <algorithm>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

namespace tarvo {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// The offsets from the query to the planes crossed on the way to a cell, one per axis;
// each pending far cell keeps its own copy. No default member initializer, so that the
// stack of pending cells is not zeroed at every query.
struct CellOffsets {
    double o[3];

    double bound() const { return (o[0] * o[0] + o[1] * o[1]) + o[2] * o[2]; }
};

struct Descent {
    std::uint32_t near_child;
    std::uint32_t far_child;
    double diff;
};

inline Descent descend(const KdNode& node, std::uint32_t self, const Point3& q) {
    const double diff = q[node.kind] - node.split;
    if (diff < 0) return {self + 1, node.right, diff};
    return {node.right, self + 1, diff};  // diff >= 0 or NaN
}

// The squared distance from q to a box, summed as a point's distance is.
inline double box_bound(const NodeBox& box, const Point3& q) {
    double o[3];
    for (int a = 0; a < 3; ++a) {
        const double below = box.lo[a] - q[a];
        const double above = q[a] - box.hi[a];
        o[a] = below > 0 ? below : (above > 0 ? above : 0.0);
    }
    return (o[0] * o[0] + o[1] * o[1]) + o[2] * o[2];
}

// A far cell waiting for its near sibling's subtree to be done: the cell, and the
// offsets to the planes crossed on the way to it.
struct PendingCell {
    std::uint32_t node;
    std::uint8_t axis;  // of the plane between the cell and its near sibling
    CellOffsets offsets;
};

// A path from the root crosses at most 28 splits: a split of L > 16 points leaves at
// most ceil(L / 2) on either side, and 2^32 - 1 points fall to 16 in 28 halvings.
inline constexpr std::size_t kMaxPendingCells = 32;

// Depth first, near side first, for both queries: `search` scans leaves and decides,
// once the near side is done, whether the far cell can still hold a better point. The
// far cells wait on an explicit stack rather than in recursive calls: a descent then
// costs no call per level, and a cell is still decided only after the whole subtree on
// its near side, in the order recursion would decide it. Returns the least bound of the
// cells and boxes the search passed over, where the search reports them; it is kept in
// a local rather than in the search, since a member would go through memory at every
// cell passed over and chain the decisions together.
// Forced inline: left to the compiler, a search that can also take visit_by_boxes gets a
// plane walk some 5 % slower, and most searches take this one.
template <class Search>
[[gnu::always_inline]] inline double visit_depth_first(Search& search, const KdNode* nodes, const NodeBox* boxes,
                                                       const Point3& q) {
    PendingCell pending[kMaxPendingCells];
    std::size_t depth = 0;
    std::uint32_t node = 0;
    CellOffsets offsets{};
    double passed_over = kInf;
    bool box_passed = false;  // the far cell now in hand already beat the best with its box
    for (;;) {
        const KdNode* nd = &nodes[node];
        while (nd->kind != LEAF) {
            const Descent step = descend(*nd, node, q);
            PendingCell& far = pending[depth++];
            far.node = step.far_child;
            far.axis = nd->kind;
            far.offsets = offsets;
            far.offsets.o[nd->kind] = step.diff;
            node = step.near_child;
            nd = &nodes[node];
            box_passed = false;
        }
        if (box_passed || !search.prunes_by_boxes() ||
            search.enters_region(box_bound(boxes[node], q), passed_over))
            search.scan_leaf(*nd);
        for (;;) {
            if (depth == 0) return passed_over;
            const PendingCell& far = pending[--depth];
            if (!search.enters_far_cell(far.offsets, far.offsets.o[far.axis], passed_over)) continue;
            box_passed = search.prunes_by_boxes();
            if (box_passed && !search.enters_region(box_bound(boxes[far.node], q), passed_over)) continue;
            node = far.node;
            offsets = far.offsets;
            break;
        }
    }
}

// Both children's boxes at once, lane 0 the first box: per axis the larger of lo - q,
// q - hi and 0, which is box_bound's offset (when lo - q > 0, q - hi is below it), summed
// the same way, so each lane equals box_bound bit for bit.
#if defined(__SSE2__)
inline void box_bounds(const NodeBox& a, const NodeBox& b, const Point3& q, double out[2]) {
    const __m128d zero = _mm_setzero_pd();
    __m128d sum[3];
    for (int axis = 0; axis < 3; ++axis) {
        const __m128d c = _mm_set1_pd(q[axis]);
        const __m128d below = _mm_sub_pd(_mm_set_pd(b.lo[axis], a.lo[axis]), c);
        const __m128d above = _mm_sub_pd(c, _mm_set_pd(b.hi[axis], a.hi[axis]));
        const __m128d o = _mm_max_pd(_mm_max_pd(below, above), zero);
        sum[axis] = _mm_mul_pd(o, o);
    }
    _mm_storeu_pd(out, _mm_add_pd(_mm_add_pd(sum[0], sum[1]), sum[2]));
}
#else
inline void box_bounds(const NodeBox& a, const NodeBox& b, const Point3& q, double out[2]) {
    out[0] = box_bound(a, q);
    out[1] = box_bound(b, q);
}
#endif

// Depth first, near side first, as visit_depth_first, for a search that prunes by boxes
// from the start: a query far from the surface, whose bound reaches past many cells. At
// every split both children are judged by their boxes at once, the near one before it
// is entered and the far one before it is set aside with its bound, so that taking it up
// again is one comparison. No plane offsets: far from the surface the boxes prune all
// the plane tests would and more. A subtree is skipped only when its box does not beat
// the best, so the first of several equidistant points is still the one reached first.
template <class Search>
double visit_by_boxes(Search& search, const KdNode* nodes, const NodeBox* boxes, const Point3& q) {
    struct PendingBox {
        std::uint32_t node;
        double bound;
    };
    PendingBox pending[kMaxPendingCells];
    std::size_t depth = 0;
    std::uint32_t node = 0;
    double passed_over = kInf;
    for (;;) {
        const KdNode& nd = nodes[node];
        if (nd.kind == LEAF) {
            search.scan_leaf(nd);
        } else {
            const Descent step = descend(nd, node, q);
            double bound[2];
            box_bounds(boxes[step.near_child], boxes[step.far_child], q, bound);
            if (search.enters_region(bound[1], passed_over)) pending[depth++] = {step.far_child, bound[1]};
            if (search.enters_region(bound[0], passed_over)) {
                node = step.near_child;
                continue;
            }
        }
        for (;;) {
            if (depth == 0) return passed_over;
            const PendingBox& far = pending[--depth];
            if (!search.enters_region(far.bound, passed_over)) continue;
            node = far.node;
            break;
        }
    }
}

// The single nearest point: a far cell is entered only while its bound beats the best.
// With `Clearance`, the search also keeps the smallest distance of every other point it
// examines and the smallest bound of every cell it skips: together a lower limit on the
// distance from the query to any tree point but the answer.
template <bool Clearance>
class NearestSearch {
public:
    NearestSearch(const KdTree& tree, const Point3& q, double bound)
        : nodes_(tree.nodes().data()), boxes_(tree.boxes().data()), xs_(tree.xs()), ys_(tree.ys()),
          zs_(tree.zs()), q_(q), box_pruning_from_(tree.box_pruning_from()), best_(bound) {}

    // A search that starts out bounded beyond four typical leaf diagonals goes by the
    // boxes alone; nearer ones by the planes first. (A near query with a loose bound, as
    // at a jump of the query order, is served better by the planes.)
    void run() {
        constexpr double kBoxWalkFrom = 16.0;  // in squared leaf diagonals
        const double passed_over = best_ > kBoxWalkFrom * box_pruning_from_
                                       ? visit_by_boxes(*this, nodes_, boxes_, q_)
                                       : visit_depth_first(*this, nodes_, boxes_, q_);
        if constexpr (Clearance) skipped_ = passed_over;
    }

    bool prunes_by_boxes() const { return best_ > box_pruning_from_; }

    double best() const { return best_; }
    std::uint32_t best_position() const { return best_pos_; }
    double clearance2() const { return std::min(runner_up_, skipped_); }

    bool enters_far_cell(const CellOffsets& cell, double /*diff*/, double& passed_over) const {
        return enters_region(cell.bound(), passed_over);
    }

    // Whether to enter a cell or box none of whose points is nearer than `bound`; with
    // `Clearance`, a region passed over lowers `passed_over` to its bound.
    bool enters_region(double bound, double& passed_over) const {
        if (bound < best_) return true;
        if constexpr (Clearance) passed_over = std::min(passed_over, bound);
        return false;
    }

    void scan_leaf(const KdNode& leaf) {
        const std::uint32_t len = leaf.end - leaf.start;
        const double* xs = xs_ + leaf.start;
        const double* ys = ys_ + leaf.start;
        const double* zs = zs_ + leaf.start;
        std::uint32_t j = 0;
#if defined(__SSE2__)
        if (len >= 2) {
            // Two lanes, each keeping the first of its smallest distances below its start
            // (the bound, or +inf when the runner-up is wanted too); the lanes then merge
            // by value and, on a tie, by position: the point a sequential strict-less scan
            // would keep. A lane's runner-up is the smaller of its old runner-up and the
            // larger of (its best, the new distance).
            const QueryLanes q(q_);
            __m128d lane_best = _mm_set1_pd(Clearance ? kInf : best_);
            __m128d lane_second = _mm_set1_pd(kInf);
            __m128i lane_pos = _mm_set1_epi64x(-1);
            __m128i pos = _mm_set_epi64x(1, 0);
            const __m128i two = _mm_set1_epi64x(2);
            for (; j + 2 <= len; j += 2) {
                const __m128d d = two_distances2(xs, ys, zs, j, q);
                const __m128d closer = _mm_cmplt_pd(d, lane_best);
                if constexpr (Clearance) lane_second = _mm_min_pd(lane_second, _mm_max_pd(lane_best, d));
                lane_best = _mm_or_pd(_mm_and_pd(closer, d), _mm_andnot_pd(closer, lane_best));
                const __m128i c = _mm_castpd_si128(closer);
                lane_pos = _mm_or_si128(_mm_and_si128(c, pos), _mm_andnot_si128(c, lane_pos));
                pos = _mm_add_epi64(pos, two);
            }
            double b[2], second[2];
            std::int64_t at[2];
            _mm_storeu_pd(b, lane_best);
            _mm_storeu_pd(second, lane_second);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(at), lane_pos);
            int lane = -1;
            if (at[0] >= 0) lane = 0;
            if (at[1] >= 0 && (lane < 0 || b[1] < b[0] || (b[1] == b[0] && at[1] < at[0]))) lane = 1;
            if constexpr (Clearance) {
                runner_up_ = std::min({runner_up_, second[0], second[1]});
                if (lane >= 0) {
                    // The losing lane's best is another point's distance.
                    runner_up_ = std::min(runner_up_, b[1 - lane]);
                    offer(b[lane], leaf.start + static_cast<std::uint32_t>(at[lane]));
                }
            } else if (lane >= 0) {
                best_ = b[lane];
                best_pos_ = leaf.start + static_cast<std::uint32_t>(at[lane]);
            }
        }
#endif
        for (; j < len; ++j) {
            offer(tree_distance2(q_, {xs[j], ys[j], zs[j]}), leaf.start + j);
        }
    }

private:
    void offer(double d, std::uint32_t position) {
        if (d < best_) {
            if constexpr (Clearance) {
                // The bound the search started from is no point's distance.
                if (found_) runner_up_ = std::min(runner_up_, best_);
                found_ = true;
            }
            best_ = d;
            best_pos_ = position;
        } else if constexpr (Clearance) {
            runner_up_ = std::min(runner_up_, d);
        }
    }

    const KdNode* nodes_;
    const NodeBox* boxes_;
    const double *xs_, *ys_, *zs_;
    Point3 q_;
    double box_pruning_from_;
    double best_ = kInf;
    std::uint32_t best_pos_ = 0;
    bool found_ = false;
    double runner_up_ = kInf;  // the least distance examined, other than the best's
    double skipped_ = kInf;    // the least bound of a cell not entered
};

}  // namespace

NearestHit nearest(const KdTree& tree, const Point3& q) { return nearest_within(tree, q, kInf); }

NearestHit nearest_within(const KdTree& tree, const Point3& q, double bound) {
    NearestSearch<false> search(tree, q, bound);
    search.run();
    const std::uint32_t p = search.best_position();
    return {tree.point(p), search.best(), tree.indices()[p]};
}

ClearNearestHit nearest_with_clearance(const KdTree& tree, const Point3& q, double bound) {
    NearestSearch<true> search(tree, q, bound);
    search.run();
    const std::uint32_t p = search.best_position();
    return {{tree.point(p), search.best(), tree.indices()[p]}, p, search.clearance2()};
}

KnnBuffer::KnnBuffer(std::size_t k) {
    if (k == 0) precondition_failed("assertion failed: k > 0");
    dists_.assign(k, std::numeric_limits<double>::infinity());
    indices_.assign(k, 0);
}

// k-nearest traversal with sorted insertion into the caller's buffer: a candidate that
// only ties the k-th is rejected, and among equal distances the earlier one stays first.
// With a bound, the limit before the buffer is full is the bound instead of nothing:
// every point of the final buffer lies strictly within it, the cells and points it
// turns away hold none of them, and the points it lets through are met in the same
// order, so the buffer ends the same.
class KnnSearch {
public:
    KnnSearch(const KdTree& tree, const Point3& q, KnnBuffer& buffer, double bound)
        : nodes_(tree.nodes().data()), boxes_(tree.boxes().data()), xs_(tree.xs()), ys_(tree.ys()),
          zs_(tree.zs()), input_index_(tree.indices().data()), q_(q), box_pruning_from_(tree.box_pruning_from()),
          dists_(buffer.dists_.data()), indices_(buffer.indices_.data()), len_(buffer.len_),
          k_(buffer.dists_.size()), bound_(bound), bounded_(bound < kInf) {
        len_ = 0;
    }

    void run() { visit_depth_first(*this, nodes_, boxes_, q_); }

    // A box is passed over only once it cannot beat the limit: the last distance of a
    // full buffer, or the bound.
    bool enters_region(double bound, double& /*passed_over*/) const {
        if (len_ < k_) return !bounded_ || bound_ > bound;
        return dists_[len_ - 1] > bound;
    }
    bool prunes_by_boxes() const {
        if (len_ < k_) return bounded_ && bound_ > box_pruning_from_;
        return dists_[len_ - 1] > box_pruning_from_;
    }

    // Until the buffer is full every cell is entered, unless its plane is at an infinite
    // distance or the cell lies beyond the bound; afterwards only cells that may beat
    // the k-th distance.
    bool enters_far_cell(const CellOffsets& cell, double diff, double& /*passed_over*/) const {
        if (len_ < k_) return bounded_ ? bound_ > cell.bound() : kInf > diff * diff;
        return dists_[len_ - 1] > cell.bound();
    }

    // The distances of a block of points first, two at a time, and a bit for each that
    // passes the limit in force when the block starts; only those are offered, in order.
    // The limit never rises during a search (the bound, then the k-th distance, which
    // only falls), so a point that fails it then fails it when its turn comes: the
    // buffer ends as with every point offered.
    void scan_leaf(const KdNode& leaf) {
        constexpr std::uint32_t kBlock = LEAF_SIZE;  // a whole leaf, but for one of equal points
        double d[kBlock];
        for (std::uint32_t first = leaf.start; first < leaf.end; first += kBlock) {
            const std::uint32_t count = std::min(kBlock, leaf.end - first);
            block_distances2(xs_ + first, ys_ + first, zs_ + first, count, q_, d);
            std::uint32_t passing = 0;
            for (std::uint32_t j = 0; j < count; ++j) passing |= static_cast<std::uint32_t>(may_enter(d[j])) << j;
            for (; passing != 0; passing &= passing - 1) {
                const auto j = static_cast<std::uint32_t>(std::countr_zero(passing));
                offer(d[j], input_index_[first + j]);
            }
        }
    }

private:
    // Whether offer would take a point at squared distance d now: the negation of its
    // refusal, so that a NaN is treated alike.
    bool may_enter(double d) const {
        if (len_ == k_) return !(d >= dists_[k_ - 1]);
        return !bounded_ || d < bound_;
    }

    void offer(double d, std::uint32_t index) {
        if (!may_enter(d)) return;
        std::size_t h = len_ < k_ - 1 ? len_ : k_ - 1;
        while (h > 0 && dists_[h - 1] > d) {
            dists_[h] = dists_[h - 1];
            indices_[h] = indices_[h - 1];
            --h;
        }
        dists_[h] = d;
        indices_[h] = index;
        if (len_ < k_) ++len_;
    }

    const KdNode* nodes_;
    const NodeBox* boxes_;
    const double *xs_, *ys_, *zs_;
    const std::uint32_t* input_index_;
    Point3 q_;
    double box_pruning_from_;
    double* dists_;
    std::uint32_t* indices_;
    std::size_t& len_;
    std::size_t k_;
    double bound_;
    bool bounded_;
};

void knn_into(const KdTree& tree, const Point3& q, KnnBuffer& buffer, double bound) {
    KnnSearch(tree, q, buffer, bound).run();
}

double knn_bound_through(std::span<const Point3> cloud, const Point3& q, const KnnBuffer& buffer) {
    if (buffer.len() < buffer.k()) return kInf;
    double farthest = 0.0;
    for (const std::uint32_t i : buffer.indices()) {
        const double d = tree_distance2(q, cloud[i]);
        if (!(d < kInf)) return kInf;  // infinite or NaN: no bound
        farthest = std::max(farthest, d);
    }
    return next_above(farthest);
}

}  // namespace tarvo
