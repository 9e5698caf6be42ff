#include "pose.hpp"

#include <algorithm>
#include <cmath>

namespace tarvo {
namespace {

Vec3 cross(const Vec3& a, const Vec3& b) {
    return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

double squared_norm(const Vec3& v) { return (v[0] * v[0] + v[1] * v[1]) + v[2] * v[2]; }

// I + a W + b W^2, entry by entry.
Mat3 identity_plus(double a, const Mat3& w, double b, const Mat3& w2) {
    Mat3 r;
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            r(i, j) = ((i == j ? 1.0 : 0.0) + a * w(i, j)) + b * w2(i, j);
        }
    }
    return r;
}

struct Quaternion {
    double w, x, y, z;
};

// 2 sqrt(q), with slightly negative q (a not quite orthonormal R) read as 0.
double quaternion_s(double q) { return 2.0 * std::sqrt(std::max(q, 0.0)); }

Quaternion with_non_negative_w(Quaternion q) {
    if (q.w < 0.0) return {-q.w, -q.x, -q.y, -q.z};
    return q;
}

// The first branch whose test holds, in the fixed order trace, R00, R11, otherwise.
Quaternion quaternion_from_rotation(const Mat3& r) {
    const double trace = (r(0, 0) + r(1, 1)) + r(2, 2);
    if (trace > 0.0) {
        const double s = quaternion_s(trace + 1.0);
        return {s / 4.0, (r(2, 1) - r(1, 2)) / s, (r(0, 2) - r(2, 0)) / s, (r(1, 0) - r(0, 1)) / s};
    }
    if (r(0, 0) > r(1, 1) && r(0, 0) > r(2, 2)) {
        const double s = quaternion_s(((1.0 + r(0, 0)) - r(1, 1)) - r(2, 2));
        return with_non_negative_w(
            {(r(2, 1) - r(1, 2)) / s, s / 4.0, (r(0, 1) + r(1, 0)) / s, (r(0, 2) + r(2, 0)) / s});
    }
    if (r(1, 1) > r(2, 2)) {
        const double s = quaternion_s(((1.0 + r(1, 1)) - r(0, 0)) - r(2, 2));
        return with_non_negative_w(
            {(r(0, 2) - r(2, 0)) / s, (r(0, 1) + r(1, 0)) / s, s / 4.0, (r(1, 2) + r(2, 1)) / s});
    }
    const double s = quaternion_s(((1.0 + r(2, 2)) - r(0, 0)) - r(1, 1));
    return with_non_negative_w(
        {(r(1, 0) - r(0, 1)) / s, (r(0, 2) + r(2, 0)) / s, (r(1, 2) + r(2, 1)) / s, s / 4.0});
}

Vec3 rotation_vector(const Quaternion& q) {
    const Vec3 axis(q.x, q.y, q.z);
    const double s = std::sqrt(squared_norm(axis));
    if (s < 1e-12) {
        // Near the identity 2 atan2(s, w) / s tends to 2 / w.
        if (std::fabs(q.w) < 1e-300) return Vec3::Zero();
        const double factor = 2.0 / q.w;
        return axis * factor;
    }
    const double factor = (2.0 * std::atan2(s, q.w)) / s;
    return axis * factor;
}

}  // namespace

PoseCoefficients pose_coefficients(double theta2) {
    if (theta2 < POSE_SERIES_THETA2) {
        return {1.0 - theta2 / 6.0, 0.5 - theta2 / 24.0, 1.0 / 6.0 - theta2 / 120.0,
                1.0 / 12.0 + theta2 / 720.0};
    }
    const double theta = std::sqrt(theta2);
    double sin_t = 0.0;
    double cos_t = 0.0;
    ::sincos(theta, &sin_t, &cos_t);
    const double one_minus_cos = 1.0 - cos_t;
    return {sin_t / theta, one_minus_cos / theta2, (theta - sin_t) / (theta2 * theta),
            (1.0 - (theta * sin_t) / (2.0 * one_minus_cos)) / theta2};
}

Mat3 skew(const Vec3& w) {
    Mat3 m;
    m << 0.0, -w[2], w[1],
         w[2], 0.0, -w[0],
         -w[1], w[0], 0.0;
    return m;
}

Mat3 left_jacobian(const Vec3& omega) {
    const PoseCoefficients k = pose_coefficients(squared_norm(omega));
    const Mat3 w = skew(omega);
    return identity_plus(k.b, w, k.c, product(w, w));
}

SimilarityTransform pose_exp(const PoseVector& x) {
    const Vec3 omega = x.head<3>();
    const Vec3 rho = x.tail<3>();
    const PoseCoefficients k = pose_coefficients(squared_norm(omega));
    const Mat3 w = skew(omega);
    const Mat3 w2 = product(w, w);
    SimilarityTransform t;
    t.rotation = identity_plus(k.a, w, k.b, w2);
    t.translation = product(identity_plus(k.b, w, k.c, w2), rho);
    t.scale = 1.0;
    return t;
}

PoseVector pose_log(const SimilarityTransform& t) {
    const Vec3 omega = rotation_vector(quaternion_from_rotation(t.rotation));
    const double d = pose_coefficients(squared_norm(omega)).d;
    const Vec3& tr = t.translation;
    const Vec3 w_t = cross(omega, tr);
    const Vec3 w_w_t = cross(omega, w_t);
    PoseVector x;
    x.head<3>() = omega;
    for (int i = 0; i < 3; ++i) x[3 + i] = (tr[i] - 0.5 * w_t[i]) + d * w_w_t[i];
    return x;
}

}  // namespace tarvo
