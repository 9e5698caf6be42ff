// Value types shared by every part of the registration core.
#pragma once

#include "large_buffer.hpp"

#include <Eigen/Core>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstdint>
#include <optional>
#include <utility>
#include <variant>
#include <vector>

namespace tarvo {

struct Point3 {
    double x = 0.0;
    double y = 0.0;
    double z = 0.0;

    double operator[](int axis) const { return axis == 0 ? x : (axis == 1 ? y : z); }
    friend bool operator==(const Point3&, const Point3&) = default;
};

// An owned, contiguous cloud: bit-for-bit a row-major (N, 3) array of doubles.
using PointCloud = LargeVector<Point3>;

// The most points a cloud that is searched or queried may have: trees and query orders
// number points with 32 bits.
inline constexpr std::size_t MAX_CLOUD_POINTS = 4294967295;

using Mat3 = Eigen::Matrix3d;
using Vec3 = Eigen::Vector3d;

inline Vec3 to_vec(const Point3& p) { return {p.x, p.y, p.z}; }
inline Point3 to_point(const Vec3& v) { return {v[0], v[1], v[2]}; }

// Matrix products with every entry summed left to right, (a0 b0 + a1 b1) + a2 b2, so
// results do not depend on how the linear-algebra library vectorises.
inline Mat3 product(const Mat3& a, const Mat3& b) {
    Mat3 r;
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            r(i, j) = (a(i, 0) * b(0, j) + a(i, 1) * b(1, j)) + a(i, 2) * b(2, j);
        }
    }
    return r;
}

inline Vec3 product(const Mat3& a, const Vec3& v) {
    Vec3 r;
    for (int i = 0; i < 3; ++i) r[i] = (a(i, 0) * v[0] + a(i, 1) * v[1]) + a(i, 2) * v[2];
    return r;
}

// Maps x to rotation * (scale * x) + translation, the product scale * x formed first.
struct SimilarityTransform {
    Mat3 rotation = Mat3::Identity();
    Vec3 translation = Vec3::Zero();
    double scale = 1.0;

    static SimilarityTransform identity() { return {}; }

    Point3 apply(const Point3& p) const {
        const double sx = scale * p.x, sy = scale * p.y, sz = scale * p.z;
        Point3 q;
        q.x = (rotation(0, 2) * sz + (rotation(0, 1) * sy + rotation(0, 0) * sx)) + translation[0];
        q.y = (rotation(1, 2) * sz + (rotation(1, 1) * sy + rotation(1, 0) * sx)) + translation[1];
        q.z = (rotation(2, 2) * sz + (rotation(2, 1) * sy + rotation(2, 0) * sx)) + translation[2];
        return q;
    }

    // All thirteen numbers (rotation, translation, scale) are finite.
    bool is_finite() const {
        return rotation.allFinite() && translation.allFinite() && std::isfinite(scale);
    }
};

// Stops the process with `message`: for internal preconditions that validation makes
// unreachable from the public entry points.
[[noreturn]] inline void precondition_failed(const char* message) {
    std::fprintf(stderr, "%s\n", message);
    std::abort();
}

// Frobenius norm of the difference of the 3x4 blocks [s R | t]: the nine entries of
// s R row by row, then the three of t, in one running sum.
inline double block_change(const SimilarityTransform& a, const SimilarityTransform& b) {
    double sum = 0.0;
    for (int row = 0; row < 3; ++row) {
        for (int col = 0; col < 3; ++col) {
            const double d = a.scale * a.rotation(row, col) - b.scale * b.rotation(row, col);
            sum += d * d;
        }
    }
    for (int row = 0; row < 3; ++row) {
        const double d = a.translation[row] - b.translation[row];
        sum += d * d;
    }
    return std::sqrt(sum);
}

// Either a value or an error; the numerical code reports failures only through this.
template <class T, class E>
class Expected {
public:
    Expected(T value) : state_(std::move(value)) {}
    Expected(E error) : state_(std::move(error)) {}

    bool has_value() const { return state_.index() == 0; }
    explicit operator bool() const { return has_value(); }
    T& value() { return std::get<0>(state_); }
    const T& value() const { return std::get<0>(state_); }
    const E& error() const { return std::get<1>(state_); }

private:
    std::variant<T, E> state_;
};

}  // namespace tarvo
