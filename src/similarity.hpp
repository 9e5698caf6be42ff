// The closed-form weighted fit of a similarity (or rigid) transform to paired points,
// and the reflection-safe rotation rule it shares with the 4x4 initial-matrix parser.
#pragma once

#include "options.hpp"
#include "types.hpp"

#include <optional>
#include <span>
#include <utility>

namespace tarvo {

// R = A B when det(A B) >= 0 (flipped false); otherwise A with its third column negated,
// times B (flipped true, also for a NaN determinant).
std::pair<Mat3, bool> rotation_from_svd(const Mat3& a, const Mat3& b);

// Full 3x3 SVD M = U diag(sigma) V^T, or nothing when the decomposition fails.
struct Svd3 {
    Mat3 u;
    Vec3 singular_values;
    Mat3 v_transposed;
};
std::optional<Svd3> svd3(const Mat3& m);

// Minimises sum w_i |s R p_i + t - q_i|^2 over proper rotations R, translations t and,
// when estimate_scale is set, a scale s clamped into `bounds` (else s = 1); empty
// `weights` weigh every pair 1, with the same result as explicit ones. Returns
// nothing when the weight sum is not a positive finite number, the SVD fails or the
// result is not finite. Both passes run over fixed chunks of CHUNK_SIZE points.
std::optional<SimilarityTransform> fit_similarity(std::span<const Point3> points,
                                                  std::span<const Point3> correspondences,
                                                  std::span<const double> weights,
                                                  bool estimate_scale, ScaleBounds bounds);

}  // namespace tarvo
