// Squared distances from a query to runs of tree points, as the leaf scans compute them:
// each summed exactly as tree_distance2 sums it, two points at a time with SSE2.
#pragma once

#include "kdtree.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <cstdint>

namespace tarvo {

#if defined(__SSE2__)
// The query in both lanes of three registers.
struct QueryLanes {
    explicit QueryLanes(const Point3& q) : x(_mm_set1_pd(q.x)), y(_mm_set1_pd(q.y)), z(_mm_set1_pd(q.z)) {}
    __m128d x, y, z;
};

// Squared distances of tree points j and j + 1 from the query, one per lane.
inline __m128d two_distances2(const double* xs, const double* ys, const double* zs, std::uint32_t j,
                              const QueryLanes& q) {
    const __m128d dx = _mm_sub_pd(_mm_loadu_pd(xs + j), q.x);
    const __m128d dy = _mm_sub_pd(_mm_loadu_pd(ys + j), q.y);
    const __m128d dz = _mm_sub_pd(_mm_loadu_pd(zs + j), q.z);
    return _mm_add_pd(_mm_add_pd(_mm_mul_pd(dx, dx), _mm_mul_pd(dy, dy)), _mm_mul_pd(dz, dz));
}
#endif

// d[i] = the squared distance from q of the point at xs[i], ys[i], zs[i] (a tree's
// coordinate arrays from some position on), for i < count.
inline void block_distances2(const double* xs, const double* ys, const double* zs, std::uint32_t count,
                             const Point3& q, double* d) {
    std::uint32_t j = 0;
#if defined(__SSE2__)
    const QueryLanes lanes(q);
    for (; j + 2 <= count; j += 2) _mm_storeu_pd(d + j, two_distances2(xs, ys, zs, j, lanes));
#endif
    for (; j < count; ++j) d[j] = tree_distance2(q, {xs[j], ys[j], zs[j]});
}

}  // namespace tarvo
