#include "similarity.hpp"

#include "parallel.hpp"

#include <Eigen/LU>
#include <Eigen/SVD>

#include <cmath>

namespace tarvo {
namespace {

struct WeightSums {
    double w = 0.0;
    double p[3] = {0.0, 0.0, 0.0};
    double q[3] = {0.0, 0.0, 0.0};
};

struct CovarianceSums {
    double s[3][3] = {{0.0, 0.0, 0.0}, {0.0, 0.0, 0.0}, {0.0, 0.0, 0.0}};
    double variance = 0.0;  // sum of w |p - p_bar|^2
};

// The weight of point i: weights[i], or 1 when there are no weights. Products with the
// 1 are exact, so an unweighted fit has the bits of one with every weight 1, without an
// array of ones to fill and stream through.
template <bool Weighted>
double weight_at(std::span<const double> weights, std::size_t i) {
    if constexpr (Weighted) return weights[i];
    return 1.0;
}

template <bool Weighted>
WeightSums weight_sums(std::span<const Point3> points, std::span<const Point3> corr,
                       std::span<const double> weights, std::size_t begin, std::size_t end) {
    WeightSums sums;
    for (std::size_t i = begin; i < end; ++i) {
        const double w = weight_at<Weighted>(weights, i);
        const Point3& p = points[i];
        const Point3& q = corr[i];
        sums.w += w;
        sums.p[0] += w * p.x;
        sums.p[1] += w * p.y;
        sums.p[2] += w * p.z;
        sums.q[0] += w * q.x;
        sums.q[1] += w * q.y;
        sums.q[2] += w * q.z;
    }
    return sums;
}

template <bool Weighted>
CovarianceSums covariance_sums(std::span<const Point3> points, std::span<const Point3> corr,
                               std::span<const double> weights, const Vec3& p_bar,
                               const Vec3& q_bar, std::size_t begin, std::size_t end) {
    CovarianceSums sums;
    for (std::size_t i = begin; i < end; ++i) {
        const double w = weight_at<Weighted>(weights, i);
        const double u[3] = {points[i].x - p_bar[0], points[i].y - p_bar[1], points[i].z - p_bar[2]};
        const double v[3] = {w * (corr[i].x - q_bar[0]), w * (corr[i].y - q_bar[1]),
                             w * (corr[i].z - q_bar[2])};
        for (int a = 0; a < 3; ++a) {
            for (int b = 0; b < 3; ++b) sums.s[a][b] += u[a] * v[b];
        }
        sums.variance += w * ((u[0] * u[0] + u[1] * u[1]) + u[2] * u[2]);
    }
    return sums;
}

// Chunk results added in chunk order, starting from zero.
WeightSums total(const std::vector<WeightSums>& chunks) {
    WeightSums t;
    for (const WeightSums& c : chunks) {
        t.w += c.w;
        for (int a = 0; a < 3; ++a) {
            t.p[a] += c.p[a];
            t.q[a] += c.q[a];
        }
    }
    return t;
}

CovarianceSums total(const std::vector<CovarianceSums>& chunks) {
    CovarianceSums t;
    for (const CovarianceSums& c : chunks) {
        for (int a = 0; a < 3; ++a) {
            for (int b = 0; b < 3; ++b) t.s[a][b] += c.s[a][b];
        }
        t.variance += c.variance;
    }
    return t;
}

// trace(R M) = sum over a, b of R_ab M_ba.
double trace_of_product(const Mat3& r, const Mat3& m) {
    double sum = 0.0;
    for (int a = 0; a < 3; ++a) {
        for (int b = 0; b < 3; ++b) sum += r(a, b) * m(b, a);
    }
    return sum;
}

}  // namespace

std::pair<Mat3, bool> rotation_from_svd(const Mat3& a, const Mat3& b) {
    const Mat3 r = product(a, b);
    if (r.determinant() >= 0.0) return {r, false};
    // Also reached for a NaN determinant: the flipped product is then NaN as well.
    Mat3 flipped_a = a;
    flipped_a.col(2) = -a.col(2);
    return {product(flipped_a, b), true};
}

std::optional<Svd3> svd3(const Mat3& m) {
    const Eigen::JacobiSVD<Mat3> svd(m, Eigen::ComputeFullU | Eigen::ComputeFullV);
    if (svd.info() != Eigen::Success || !svd.computeU() || !svd.computeV()) return std::nullopt;
    return Svd3{svd.matrixU(), svd.singularValues(), svd.matrixV().transpose()};
}

std::optional<SimilarityTransform> fit_similarity(std::span<const Point3> points,
                                                  std::span<const Point3> correspondences,
                                                  std::span<const double> weights,
                                                  bool estimate_scale, ScaleBounds bounds) {
    const std::size_t n = points.size();
    const bool weighted = !weights.empty();
    const WeightSums first = total(map_chunks<WeightSums>(n, [&](std::size_t b, std::size_t e) {
        return weighted ? weight_sums<true>(points, correspondences, weights, b, e)
                        : weight_sums<false>(points, correspondences, weights, b, e);
    }));
    const double w = first.w;
    if (!(w > 0.0) || !std::isfinite(w)) return std::nullopt;

    const Vec3 p_bar(first.p[0] / w, first.p[1] / w, first.p[2] / w);
    const Vec3 q_bar(first.q[0] / w, first.q[1] / w, first.q[2] / w);
    const CovarianceSums second =
        total(map_chunks<CovarianceSums>(n, [&](std::size_t b, std::size_t e) {
            return weighted ? covariance_sums<true>(points, correspondences, weights, p_bar, q_bar, b, e)
                            : covariance_sums<false>(points, correspondences, weights, p_bar, q_bar, b, e);
        }));

    Mat3 m;
    for (int a = 0; a < 3; ++a) {
        for (int b = 0; b < 3; ++b) m(a, b) = second.s[a][b] / w;
    }
    const double sigma2 = second.variance / w;

    const std::optional<Svd3> svd = svd3(m);
    if (!svd) return std::nullopt;

    SimilarityTransform t;
    t.rotation = rotation_from_svd(svd->v_transposed.transpose(), svd->u.transpose()).first;
    t.scale = 1.0;
    if (estimate_scale && sigma2 > 0.0) {
        t.scale = bounds.clamp(trace_of_product(t.rotation, m) / sigma2);
    }
    const Vec3 scaled_p_bar = t.scale * p_bar;
    const Mat3& r = t.rotation;
    for (int i = 0; i < 3; ++i) {
        const double rotated =
            (r(i, 0) * scaled_p_bar[0] + r(i, 1) * scaled_p_bar[1]) + r(i, 2) * scaled_p_bar[2];
        t.translation[i] = q_bar[i] - rotated;
    }
    if (!t.is_finite()) return std::nullopt;
    return t;
}

}  // namespace tarvo
