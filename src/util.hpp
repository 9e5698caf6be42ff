// Medians and the neighbour-spacing statistics of a target cloud that set the end of
// the Welsch schedule.
#pragma once

#include "kdtree.hpp"
#include "types.hpp"

#include <cstdint>
#include <span>

namespace tarvo {

// The median by selection (reorders `values`); even lengths average the two middle
// values; an empty array gives 0.
double median_in_place(std::span<double> values);

// min(nu_neighbors, max(n, 2)): neighbours per point, the point itself included.
std::size_t neighbour_count(std::uint64_t nu_neighbors, std::size_t n);

// Median over the points of the median distance to their k - 1 nearest other points.
// `tree` is the tree built over `points`.
double median_neighbour_distance(std::span<const Point3> points, const KdTree& tree, std::size_t k);

// As median_neighbour_distance, but each neighbour contributes its distance from the
// tangent plane of the query point (the query point's own unit normal).
double median_neighbour_plane_distance(std::span<const Point3> points,
                                       std::span<const Point3> normals, const KdTree& tree,
                                       std::size_t k);

}  // namespace tarvo
