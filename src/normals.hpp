// Unit surface normals from plane fits to each point's k nearest neighbours.
#pragma once

#include "kdtree.hpp"
#include "options.hpp"
#include "types.hpp"

#include <cstdint>
#include <limits>
#include <span>

namespace tarvo {

inline constexpr double NORMAL_FALLBACK_NORM = 1e-300;

// One unit normal per point, orientation arbitrary. Errors, checked in this order: an
// empty cloud, k < 3, a non-finite coordinate.
Expected<PointCloud, RegisterError> estimate_normals(std::span<const Point3> points, std::uint64_t k);

// The direction of least spread of point i's neighbourhood (buffer.k() neighbours),
// searched from `bound` as knn_into takes it.
Point3 fit_plane_normal(const KdTree& tree, std::span<const Point3> points, std::size_t i,
                        KnnBuffer& buffer, double bound = std::numeric_limits<double>::infinity());

}  // namespace tarvo
