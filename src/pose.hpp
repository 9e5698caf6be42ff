// Six coordinates of a rigid transform and the maps between them and transforms:
// rotation vector omega (axis times angle) then translation coordinate rho, t = V(omega) rho.
#pragma once

#include "types.hpp"

#include <Eigen/Core>

namespace tarvo {

using PoseVector = Eigen::Matrix<double, 6, 1>;

// Below this squared angle every coefficient uses its series.
inline constexpr double POSE_SERIES_THETA2 = 1e-8;

// The coefficients of the exponential map at squared angle theta2:
// A = sin t / t, B = (1 - cos t) / t^2, C = (t - sin t) / t^3,
// D = (1 - t sin t / (2 (1 - cos t))) / t^2.
struct PoseCoefficients {
    double a, b, c, d;
};
PoseCoefficients pose_coefficients(double theta2);

// The skew matrix W with W v = w x v.
Mat3 skew(const Vec3& w);

// V(omega) = I + B W + C W^2.
Mat3 left_jacobian(const Vec3& omega);

// Rotation by Rodrigues' formula, t = V(omega) rho, scale exactly 1.
SimilarityTransform pose_exp(const PoseVector& x);

// Coordinates of the rotation and translation of `t` (its scale is ignored); the angle
// lies in [0, pi].
PoseVector pose_log(const SimilarityTransform& t);

}  // namespace tarvo
