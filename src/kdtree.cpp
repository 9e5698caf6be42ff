// Build: median splits on the widest axis, nodes appended in pre-order, then the tight
// box of every node: a leaf's from its points, a split's from its children's boxes.
// The queries are in kdtree_queries.cpp.
#include "kdtree.hpp"

#include "selection.hpp"

#include <algorithm>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <cmath>
#include <limits>
#include <vector>

namespace tarvo {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

using Coordinate = double Point3::*;

constexpr Coordinate axis_member(int axis) {
    return axis == 0 ? &Point3::x : (axis == 1 ? &Point3::y : &Point3::z);
}

struct SplitChoice {
    int axis = 0;
    bool splittable = false;  // max > min on the chosen axis
    bool has_nan = false;     // a NaN coordinate on the chosen axis
};

// A point travelling with its input index through the selection: the coordinates a
// split compares are then read in slice order, not gathered through the index array.
// The explicit padding makes a record 32 bytes of data, so that a copy moves two whole
// 16-byte halves; with 28 bytes the compiler copies two overlapping halves, and a load
// of a just-stored record cannot be forwarded from the store.
struct BuildRecord {
    Point3 point;
    std::uint32_t index;
    std::uint32_t unused = 0;
};

template <int Axis>
void select_rank(BuildRecord* first, std::uint32_t length, std::uint32_t rank) {
    select_nth(first, length, rank, [](const BuildRecord& r) { return r.point[Axis]; });
}

class TreeBuilder {
public:
    TreeBuilder(LargeVector<BuildRecord>& records, LargeVector<KdNode>& nodes)
        : records_(records), nodes_(nodes), any_nan_(contains_nan(records)) {}

    std::uint32_t build_node(std::uint32_t offset, std::uint32_t length) {
        const auto self = static_cast<std::uint32_t>(nodes_.size());
        if (length <= LEAF_SIZE) return append_leaf(offset, length);
        const SplitChoice choice = choose_split(offset, length);
        if (!choice.splittable) return append_leaf(offset, length);

        const std::uint32_t mid = length / 2;
        select_median(offset, length, mid, choice);
        KdNode node;
        node.split = records_[offset + mid].point[choice.axis];
        node.kind = static_cast<std::uint8_t>(choice.axis);
        nodes_.push_back(node);
        build_node(offset, mid);  // becomes node self + 1
        const std::uint32_t right = build_node(offset + mid, length - mid);
        nodes_[self].right = right;
        return self;
    }

private:
    std::uint32_t append_leaf(std::uint32_t offset, std::uint32_t length) {
        const auto self = static_cast<std::uint32_t>(nodes_.size());
        KdNode leaf;
        leaf.start = offset;
        leaf.end = offset + length;
        leaf.kind = LEAF;
        nodes_.push_back(leaf);
        return self;
    }

    // Lowers lo and raises hi to the slice's coordinates, an axis at a time as
    // `if (c < lo) lo = c` would: NaN and equal values leave them as they are. The SSE2
    // minimum and maximum return their second operand in exactly those cases, so x and y
    // go two at a time with the same result.
    static void slice_box(const BuildRecord* records, std::uint32_t length, double lo[3], double hi[3]) {
#if defined(__SSE2__)
        __m128d lo_xy = _mm_loadu_pd(lo), hi_xy = _mm_loadu_pd(hi);
        __m128d lo_z = _mm_load_sd(lo + 2), hi_z = _mm_load_sd(hi + 2);
        for (std::uint32_t j = 0; j < length; ++j) {
            const __m128d xy = _mm_loadu_pd(&records[j].point.x);
            const __m128d z = _mm_load_sd(&records[j].point.z);
            lo_xy = _mm_min_pd(xy, lo_xy);
            hi_xy = _mm_max_pd(xy, hi_xy);
            lo_z = _mm_min_sd(z, lo_z);
            hi_z = _mm_max_sd(z, hi_z);
        }
        _mm_storeu_pd(lo, lo_xy);
        _mm_storeu_pd(hi, hi_xy);
        _mm_store_sd(lo + 2, lo_z);
        _mm_store_sd(hi + 2, hi_z);
#else
        for (std::uint32_t j = 0; j < length; ++j) {
            const Point3& p = records[j].point;
            const double c[3] = {p.x, p.y, p.z};
            for (int a = 0; a < 3; ++a) {
                if (c[a] < lo[a]) lo[a] = c[a];
                if (c[a] > hi[a]) hi[a] = c[a];
            }
        }
#endif
    }

    static bool contains_nan(const LargeVector<BuildRecord>& records) {
        return std::any_of(records.begin(), records.end(), [](const BuildRecord& r) {
            return std::isnan(r.point.x) || std::isnan(r.point.y) || std::isnan(r.point.z);
        });
    }

    // Widest axis of the slice's bounding box; NaN coordinates leave the box unchanged
    // and ties go to the lower axis. Whether a slice holds NaN is asked only when the
    // whole cloud does: the common case keeps the box loop to its minima and maxima.
    SplitChoice choose_split(std::uint32_t offset, std::uint32_t length) const {
        double lo[3] = {kInf, kInf, kInf};
        double hi[3] = {-kInf, -kInf, -kInf};
        bool nan[3] = {false, false, false};
        if (any_nan_) {
            for (std::uint32_t j = offset; j < offset + length; ++j) {
                const Point3& p = records_[j].point;
                for (int a = 0; a < 3; ++a) nan[a] = nan[a] || std::isnan(p[a]);
            }
        }
        slice_box(records_.data() + offset, length, lo, hi);
        const double extent[3] = {hi[0] - lo[0], hi[1] - lo[1], hi[2] - lo[2]};
        int axis = 0;
        if (extent[1] > extent[axis]) axis = 1;
        if (extent[2] > extent[axis]) axis = 2;
        return {axis, hi[axis] > lo[axis], nan[axis]};
    }

    // Moves the element of rank `mid` (by the chosen coordinate) to slice position mid,
    // with no larger coordinate before it and no smaller one after it, as the library's
    // std::nth_element would. Its moves depend only on the outcomes of its comparisons,
    // so moving whole records permutes the indices exactly as moving indices alone would.
    void select_median(std::uint32_t offset, std::uint32_t length, std::uint32_t mid,
                       const SplitChoice& choice) {
        BuildRecord* first = records_.data() + offset;
        if (!choice.has_nan) {
            switch (choice.axis) {
                case 0: return select_rank<0>(first, length, mid);
                case 1: return select_rank<1>(first, length, mid);
                default: return select_rank<2>(first, length, mid);
            }
        }
        // Plain `<` is not an ordering once NaN takes part, and selection under it may
        // run past the slice; rank NaN above every number instead.
        const Coordinate member = axis_member(choice.axis);
        std::nth_element(first, first + mid, first + length,
                         [member](const BuildRecord& a, const BuildRecord& b) {
                             const double u = a.point.*member, v = b.point.*member;
                             return u < v || (!std::isnan(u) && std::isnan(v));
                         });
    }

    LargeVector<BuildRecord>& records_;
    LargeVector<KdNode>& nodes_;
    bool any_nan_;  // some coordinate of the cloud is NaN
};

}  // namespace

KdTree KdTree::build(std::span<const Point3> points) {
    const std::size_t n = points.size();
    if (n == 0) precondition_failed("k-d tree needs at least one point");
    if (n > MAX_CLOUD_POINTS) precondition_failed("k-d tree holds at most 4294967295 points");

    KdTree tree;
    {
        LargeVector<BuildRecord> records(n);
        for (std::size_t i = 0; i < n; ++i) records[i] = {points[i], static_cast<std::uint32_t>(i), 0};
        tree.nodes_.reserve(n / 8 + 1);
        TreeBuilder(records, tree.nodes_).build_node(0, static_cast<std::uint32_t>(n));

        tree.coords_.resize(3 * n);
        tree.indices_.resize(n);
        for (std::size_t p = 0; p < n; ++p) {
            tree.coords_[p] = records[p].point.x;
            tree.coords_[n + p] = records[p].point.y;
            tree.coords_[2 * n + p] = records[p].point.z;
            tree.indices_[p] = records[p].index;
        }
    }
    tree.fit_boxes();
    return tree;
}

// Children follow their parent in pre-order, so a backward sweep meets both children of
// a split before the split itself.
void KdTree::fit_boxes() {
    boxes_.resize(nodes_.size());
    const double* axes[3] = {xs(), ys(), zs()};
    for (std::size_t i = nodes_.size(); i-- > 0;) {
        const KdNode& nd = nodes_[i];
        NodeBox& box = boxes_[i];
        if (nd.kind == LEAF) {
            for (int a = 0; a < 3; ++a) {
                double lo = kInf, hi = -kInf;
                for (std::uint32_t p = nd.start; p < nd.end; ++p) {
                    const double c = axes[a][p];
                    if (c < lo) lo = c;
                    if (c > hi) hi = c;
                }
                box.lo[a] = lo;
                box.hi[a] = hi;
            }
        } else {
            const NodeBox &left = boxes_[i + 1], &right = boxes_[nd.right];
            for (int a = 0; a < 3; ++a) {
                box.lo[a] = std::min(left.lo[a], right.lo[a]);
                box.hi[a] = std::max(left.hi[a], right.hi[a]);
            }
        }
    }
    box_pruning_from_ = median_leaf_diagonal2();
}

double KdTree::median_leaf_diagonal2() const {
    std::vector<double> diagonals;
    diagonals.reserve(nodes_.size() / 2 + 1);
    for (std::size_t i = 0; i < nodes_.size(); ++i) {
        if (nodes_[i].kind != LEAF) continue;
        const NodeBox& box = boxes_[i];
        double d2 = 0.0;
        for (int a = 0; a < 3; ++a) {
            const double e = box.hi[a] - box.lo[a];
            if (e > 0.0) d2 += e * e;  // an axis without numbers adds nothing
        }
        diagonals.push_back(d2);
    }
    const auto mid = diagonals.begin() + static_cast<std::ptrdiff_t>(diagonals.size() / 2);
    std::nth_element(diagonals.begin(), mid, diagonals.end());
    return *mid;
}

}  // namespace tarvo
