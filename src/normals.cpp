// Each point's normal is the eigenvector of least spread of its neighbourhood's scatter
// matrix. Eigen's iterative self-adjoint solver stops after a bounded number of sweeps,
// so no matrix can keep it running; a scatter that overflows (or underflows to nothing)
// is refitted from the neighbourhood scaled by a power of two, which changes no
// direction and keeps every ordinary fit bit-for-bit as it is.
#include "normals.hpp"

#include "parallel.hpp"

#include <Eigen/Eigenvalues>

#include <algorithm>
#include <cmath>

namespace tarvo {
namespace {

// Below this the squared offsets have lost precision to underflow.
constexpr double kTinyScatter = 1e-280;

struct Neighbourhood {
    std::span<const Point3> points;
    std::span<const std::uint32_t> members;  // input indices, in buffer order
};

// Centroid and (undivided) scatter of the neighbourhood, every coordinate multiplied by
// 2^exponent; both sums run in buffer order.
Mat3 scatter_matrix(const Neighbourhood& hood, int exponent) {
    const auto scaled = [&](std::uint32_t j) {
        const Point3& p = hood.points[j];
        if (exponent == 0) return p;
        return Point3{std::ldexp(p.x, exponent), std::ldexp(p.y, exponent), std::ldexp(p.z, exponent)};
    };
    double sx = 0.0, sy = 0.0, sz = 0.0;
    for (std::uint32_t j : hood.members) {
        const Point3 p = scaled(j);
        sx += p.x;
        sy += p.y;
        sz += p.z;
    }
    const auto c = static_cast<double>(hood.members.size());
    const double mu[3] = {sx / c, sy / c, sz / c};

    Mat3 scatter = Mat3::Zero();
    for (std::uint32_t j : hood.members) {
        const Point3 p = scaled(j);
        const double d[3] = {p.x - mu[0], p.y - mu[1], p.z - mu[2]};
        for (int col = 0; col < 3; ++col)
            for (int row = 0; row < 3; ++row) scatter(row, col) += d[row] * d[col];
    }
    return scatter;
}

bool scatter_is_usable(const Mat3& scatter) {
    return scatter.allFinite() && scatter.cwiseAbs().maxCoeff() >= kTinyScatter;
}

// The power of two that brings the largest coordinate of the neighbourhood into
// [0.5, 1), or 0 when there is nothing to gain (all zero, or non-finite).
int normalising_exponent(const Neighbourhood& hood) {
    double largest = 0.0;
    for (std::uint32_t j : hood.members) {
        const Point3& p = hood.points[j];
        largest = std::max({largest, std::fabs(p.x), std::fabs(p.y), std::fabs(p.z)});
    }
    if (!(largest > 0.0) || !std::isfinite(largest)) return 0;
    int exponent = 0;
    std::frexp(largest, &exponent);
    return -exponent;
}

// The eigenvector of the smallest eigenvalue, ties to the lower index, scaled to unit
// length; (0, 0, 1) when it has no usable length.
Point3 least_spread_direction(const Mat3& scatter) {
    Eigen::SelfAdjointEigenSolver<Mat3> solver;
    solver.compute(scatter);
    const Vec3& lambda = solver.eigenvalues();
    const double lambda01 = lambda[1] < lambda[0] ? lambda[1] : lambda[0];
    const int column = lambda[2] < lambda01 ? 2 : (lambda[1] < lambda[0] ? 1 : 0);
    const Vec3 v = solver.eigenvectors().col(column);
    const double length = std::sqrt((v[0] * v[0] + v[1] * v[1]) + v[2] * v[2]);
    if (length > NORMAL_FALLBACK_NORM || std::isnan(length))
        return {v[0] / length, v[1] / length, v[2] / length};
    return {0.0, 0.0, 1.0};
}

}  // namespace

Point3 fit_plane_normal(const KdTree& tree, std::span<const Point3> points, std::size_t i,
                        KnnBuffer& buffer, double bound) {
    knn_into(tree, points[i], buffer, bound);
    const Neighbourhood hood{points, buffer.indices()};
    Mat3 scatter = scatter_matrix(hood, 0);
    if (!scatter_is_usable(scatter)) {
        const int exponent = normalising_exponent(hood);
        if (exponent != 0) scatter = scatter_matrix(hood, exponent);
    }
    return least_spread_direction(scatter);
}

Expected<PointCloud, RegisterError> estimate_normals(std::span<const Point3> points, std::uint64_t k) {
    const std::size_t n = points.size();
    if (n == 0) return RegisterError::empty_target();
    if (auto error = check_point_count(n, SUBJECT_POINTS)) return *error;
    if (k < 3) return RegisterError::invalid_config("estimate_normals needs k >= 3 to fit a plane");
    for (const Point3& p : points)
        if (!std::isfinite(p.x) || !std::isfinite(p.y) || !std::isfinite(p.z))
            return RegisterError::non_finite(SUBJECT_POINTS);

    const KdTree tree = KdTree::build(points);
    const std::size_t k_eff = static_cast<std::size_t>(std::min<std::uint64_t>(n, k));
    PointCloud normals(n);
    // Points are visited in tree order, leaf by leaf, so that consecutive searches walk the
    // same nodes while they are in cache, and the neighbours of one point bound the search
    // of the next; each normal still lands in its own slot.
    const std::uint32_t* input_index = tree.indices().data();
    parallel_for(n, [&](std::size_t first, std::size_t last) {
        KnnBuffer buffer(k_eff);
        for (std::size_t p = first; p < last; ++p) {
            const std::uint32_t i = input_index[p];
            normals[i] = fit_plane_normal(tree, points, i, buffer, knn_bound_through(points, points[i], buffer));
        }
    });
    return normals;
}

}  // namespace tarvo
