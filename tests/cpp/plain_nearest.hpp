// The nearest-point query as plainly as it can be written: recursion on the near side,
// the far side entered only when its splitting plane is strictly nearer than the best,
// strict replacement so that the first of equidistant points stays. Every faster search
// must give exactly its answers.
#pragma once

#include "kdtree.hpp"

#include <limits>

namespace tarvo::plain {

inline void visit_nearest(const KdTree& t, std::uint32_t i, const Point3& q, NearestHit& best) {
    for (;;) {
        const KdNode& nd = t.nodes()[i];
        if (nd.kind == LEAF) {
            for (std::uint32_t p = nd.start; p < nd.end; ++p) {
                const Point3 c = t.point(p);
                const double dx = c.x - q.x, dy = c.y - q.y, dz = c.z - q.z;
                const double d = (dx * dx + dy * dy) + dz * dz;
                if (d < best.dist2) best = {c, d, t.indices()[p]};
            }
            return;
        }
        const double diff = q[nd.kind] - nd.split;
        const std::uint32_t near = diff < 0 ? i + 1 : nd.right;
        const std::uint32_t far = diff < 0 ? nd.right : i + 1;
        visit_nearest(t, near, q, best);
        if (!(diff * diff < best.dist2)) return;
        i = far;
    }
}

inline NearestHit nearest(const KdTree& t, const Point3& q) {
    NearestHit best{t.point(0), std::numeric_limits<double>::infinity(), t.indices()[0]};
    visit_nearest(t, 0, q, best);
    return best;
}

}  // namespace tarvo::plain
