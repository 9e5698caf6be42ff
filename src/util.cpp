// Per-point medians run on the worker pool, with neighbour buffers and scratch space
// made once per task; every per-point value lands in its own slot, and the final median
// runs on the calling thread, so the statistics do not depend on the thread count.
#include "util.hpp"

#include "leaf_neighbours.hpp"
#include "parallel.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace tarvo {
namespace {

bool contains_nan(std::span<const double> values) {
    for (double v : values)
        if (std::isnan(v)) return true;
    return false;
}

void select_rank(std::span<double> values, std::size_t mid) {
    if (!contains_nan(values)) {
        std::nth_element(values.begin(), values.begin() + mid, values.end());
        return;
    }
    // `<` orders nothing once NaN takes part, and selection under it may run past the
    // array; rank NaN above every number instead.
    std::nth_element(values.begin(), values.begin() + mid, values.end(), [](double u, double v) {
        return u < v || (!std::isnan(u) && std::isnan(v));
    });
}

// Largest of values[0 .. mid), NaN skipped.
double lower_middle(std::span<const double> values, std::size_t mid) {
    double lo = -std::numeric_limits<double>::infinity();
    for (std::size_t j = 0; j < mid; ++j)
        if (values[j] > lo) lo = values[j];
    return lo;
}

// v[i] = per_point(i, buffer, scratch) for every point of the tree's cloud, in parallel,
// then their median. Points are visited in tree order, leaf by leaf, so that consecutive
// searches walk the same nodes while they are in cache, and the neighbours one search
// leaves in the buffer bound the next (knn_bound_through); each value lands in its own
// slot.
template <class PerPoint>
double median_of_per_point(const KdTree& tree, std::size_t k, const PerPoint& per_point) {
    const std::uint32_t* input_index = tree.indices().data();
    LargeVector<double> values(tree.size());
    parallel_for(values.size(), [&](std::size_t first, std::size_t last) {
        KnnBuffer buffer(k);
        std::vector<double> scratch;
        scratch.reserve(k);
        for (std::size_t p = first; p < last; ++p) {
            const std::uint32_t i = input_index[p];
            scratch.clear();
            per_point(i, buffer, scratch);
            values[i] = median_in_place(scratch);
        }
    });
    return median_in_place(values);
}

// median_in_place of the square roots of all but the first (the point itself) of a
// point's squared neighbour distances, ascending as every neighbour search leaves them.
// Square roots keep that order, so the median is read off the middle: the lower middle
// of an even count is the largest value before the upper one.
double median_of_others(std::span<const double> ascending) {
    if (ascending.size() < 2) return 0.0;
    const std::span<const double> others = ascending.subspan(1);
    const std::size_t mid = others.size() / 2;
    if (others.size() % 2 == 1) return std::sqrt(others[mid]);
    return (std::sqrt(others[mid]) + std::sqrt(others[mid - 1])) * 0.5;
}

}  // namespace

double median_in_place(std::span<double> values) {
    const std::size_t len = values.size();
    if (len == 0) return 0.0;
    const std::size_t mid = len / 2;
    select_rank(values, mid);
    if (len % 2 == 1) return values[mid];
    return (values[mid] + lower_middle(values, mid)) * 0.5;
}

std::size_t neighbour_count(std::uint64_t nu_neighbors, std::size_t n) {
    const std::uint64_t wanted = std::max<std::uint64_t>(nu_neighbors, 2);
    const std::uint64_t available = std::max<std::uint64_t>(n, 2);
    return static_cast<std::size_t>(std::min(wanted, available));
}

// Only distances enter this statistic, so the leaves go through LeafNeighbourDistances,
// a walk of the tree per leaf; the rare leaf it does not take, one search per point.
double median_neighbour_distance(std::span<const Point3> points, const KdTree& tree, std::size_t k) {
    const std::span<const KdNode> nodes = tree.nodes();
    const std::uint32_t* input_index = tree.indices().data();
    LargeVector<double> values(tree.size());
    parallel_for(nodes.size(), [&](std::size_t first, std::size_t last) {
        LeafNeighbourDistances leaf_distances(tree, k);
        KnnBuffer buffer(k);
        for (std::size_t node = first; node < last; ++node) {
            const KdNode& leaf = nodes[node];
            if (leaf.kind != LEAF) continue;
            if (leaf_distances.serves(leaf)) {
                leaf_distances.run(static_cast<std::uint32_t>(node));
                for (std::uint32_t j = 0; j < leaf.end - leaf.start; ++j) {
                    values[input_index[leaf.start + j]] = median_of_others(leaf_distances.distances(j));
                }
                continue;
            }
            for (std::uint32_t p = leaf.start; p < leaf.end; ++p) {
                const Point3& q = points[input_index[p]];
                knn_into(tree, q, buffer, knn_bound_through(points, q, buffer));
                values[input_index[p]] = median_of_others(buffer.distances());
            }
        }
    });
    return median_in_place(values);
}

double median_neighbour_plane_distance(std::span<const Point3> points,
                                       std::span<const Point3> normals, const KdTree& tree,
                                       std::size_t k) {
    return median_of_per_point(
        tree, k, [&](std::size_t i, KnnBuffer& buffer, std::vector<double>& scratch) {
            const Point3& q = points[i];
            const Point3& n = normals[i];
            knn_into(tree, q, buffer, knn_bound_through(points, q, buffer));
            const auto found = buffer.indices();
            for (std::size_t j = 1; j < found.size(); ++j) {
                const Point3& c = points[found[j]];
                const double dx = c.x - q.x, dy = c.y - q.y, dz = c.z - q.z;
                scratch.push_back(std::fabs((dx * n.x + dy * n.y) + dz * n.z));
            }
        });
}

}  // namespace tarvo
