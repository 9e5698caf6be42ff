// Two points at once, one in each lane of an SSE2 register: the loops that stream over a
// whole cloud every pass (the keep tests) do half the instructions. Every operation is
// the scalar one, in the scalar order, so each lane holds the bits the scalar code would.
#pragma once

#include "types.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>

namespace tarvo {

struct PointPair {
    __m128d x, y, z;  // lane 0: the first point, lane 1: the second
};

// p[0] and p[1], from the usual array of points.
inline PointPair load_pair(const Point3* p) {
    const __m128d xy0 = _mm_loadu_pd(&p[0].x), xy1 = _mm_loadu_pd(&p[1].x);
    return {_mm_unpacklo_pd(xy0, xy1), _mm_unpackhi_pd(xy0, xy1), _mm_loadh_pd(_mm_load_sd(&p[0].z), &p[1].z)};
}

// f[0] and f[1], widened to doubles (exactly).
inline __m128d load_two_floats(const float* f) {
    return _mm_cvtps_pd(_mm_castpd_ps(_mm_load_sd(reinterpret_cast<const double*>(f))));
}

// SimilarityTransform::apply for two points.
class PairTransform {
public:
    explicit PairTransform(const SimilarityTransform& t) : scale_(_mm_set1_pd(t.scale)) {
        for (int r = 0; r < 3; ++r) {
            for (int c = 0; c < 3; ++c) rotation_[r][c] = _mm_set1_pd(t.rotation(r, c));
            translation_[r] = _mm_set1_pd(t.translation[r]);
        }
    }

    PointPair apply(const PointPair& p) const {
        const __m128d sx = _mm_mul_pd(scale_, p.x), sy = _mm_mul_pd(scale_, p.y), sz = _mm_mul_pd(scale_, p.z);
        return {row(0, sx, sy, sz), row(1, sx, sy, sz), row(2, sx, sy, sz)};
    }

private:
    // (r2 sz + (r1 sy + r0 sx)) + t, as apply sums a row.
    __m128d row(int r, __m128d sx, __m128d sy, __m128d sz) const {
        const __m128d inner = _mm_add_pd(_mm_mul_pd(rotation_[r][1], sy), _mm_mul_pd(rotation_[r][0], sx));
        return _mm_add_pd(_mm_add_pd(_mm_mul_pd(rotation_[r][2], sz), inner), translation_[r]);
    }

    __m128d scale_;
    __m128d rotation_[3][3];
    __m128d translation_[3];
};

}  // namespace tarvo

#endif
