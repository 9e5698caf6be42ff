// Known motions for the solver tests, and the sources they carry onto a target.
#pragma once

#include "types.hpp"

#include <Eigen/Geometry>

#include <numbers>

namespace tarvo::motions {

inline SimilarityTransform motion(double degrees, const Vec3& axis, const Vec3& t, double scale = 1.0) {
    SimilarityTransform m;
    m.rotation = Eigen::AngleAxisd(degrees * std::numbers::pi / 180.0, axis.normalized()).toRotationMatrix();
    m.translation = t;
    m.scale = scale;
    return m;
}

// The source that `m` maps exactly onto `target`.
inline PointCloud pull_back(const PointCloud& target, const SimilarityTransform& m) {
    PointCloud out(target.size());
    const Mat3 inverse = m.rotation.transpose() / m.scale;
    for (std::size_t i = 0; i < target.size(); ++i) out[i] = to_point(inverse * (to_vec(target[i]) - m.translation));
    return out;
}

}  // namespace tarvo::motions
