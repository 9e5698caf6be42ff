#include "registration.hpp"

#include "kdtree.hpp"
#include "parallel.hpp"
#include "point_to_plane.hpp"
#include "point_to_point.hpp"
#include "spatial_order.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>

namespace tarvo {

namespace {

bool is_finite_point(const Point3& p) {
    return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z);
}

bool all_finite(std::span<const Point3> points) {
    return std::all_of(points.begin(), points.end(), is_finite_point);
}

Point3 divided(const Point3& p, double divisor) { return {p.x / divisor, p.y / divisor, p.z / divisor}; }

// R (s c): the product s c first, then each row summed left to right, as a transform
// maps a point.
Vec3 rotate_scaled(const Mat3& r, double s, const Point3& c) {
    return product(r, Vec3(s * c.x, s * c.y, s * c.z));
}

// n / |n|, the squared length formed as (x² + y²) + z². A normal whose squared length
// overflows is first brought to unit scale by its largest component, so that a long
// but finite normal keeps its direction instead of collapsing to zero.
Point3 unit_normal(const Point3& n, double length2) {
    if (std::isinf(length2)) {
        const double largest = std::max({std::abs(n.x), std::abs(n.y), std::abs(n.z)});
        const Point3 m = divided(n, largest);
        return unit_normal(m, (m.x * m.x + m.y * m.y) + m.z * m.z);
    }
    return divided(n, std::sqrt(length2));
}

}  // namespace

Point3 centroid(std::span<const Point3> points) {
    double sx = 0.0, sy = 0.0, sz = 0.0;
    for (const Point3& p : points) {
        sx += p.x;
        sy += p.y;
        sz += p.z;
    }
    const double n = static_cast<double>(points.size());
    return {sx / n, sy / n, sz / n};
}

double bounding_box_diagonal(std::span<const Point3> points) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    Point3 lo{inf, inf, inf};
    Point3 hi{-inf, -inf, -inf};
    for (const Point3& p : points) {
        lo = {std::min(lo.x, p.x), std::min(lo.y, p.y), std::min(lo.z, p.z)};
        hi = {std::max(hi.x, p.x), std::max(hi.y, p.y), std::max(hi.z, p.z)};
    }
    const double ex = hi.x - lo.x, ey = hi.y - lo.y, ez = hi.z - lo.z;
    const double plain = std::sqrt((ex * ex + ey * ey) + ez * ez);
    if (plain > 0.0 && std::isfinite(plain)) return plain;
    // The squares overflowed (extents beyond about 1e154) or underflowed (below about
    // 1e-162): measure in units of the largest extent, so that such a cloud is still
    // brought to unit size instead of keeping squared distances that overflow in
    // every later search. Ordinary clouds never come here.
    const double largest = std::max({ex, ey, ez});
    if (!(largest > 0.0) || !std::isfinite(largest)) return plain;
    const double ux = ex / largest, uy = ey / largest, uz = ez / largest;
    return largest * std::sqrt((ux * ux + uy * uy) + uz * uz);
}

Normalization compute_normalization(std::span<const Point3> source, std::span<const Point3> target,
                                    bool normalize) {
    Normalization norm;
    norm.source_centroid = centroid(source);
    norm.target_centroid = centroid(target);
    if (!normalize) return norm;  // scale 1, centres 0
    double scale = std::max(bounding_box_diagonal(source), bounding_box_diagonal(target));
    if (scale == 0.0 || !std::isfinite(scale)) scale = 1.0;
    norm.scale = scale;
    norm.source_centre = divided(norm.source_centroid, scale);
    norm.target_centre = divided(norm.target_centroid, scale);
    return norm;
}

PointCloud normalise_cloud(std::span<const Point3> points, double scale, const Point3& centre) {
    PointCloud out(points.size());
    // Each point on its own: the same bits on any number of threads.
    parallel_for(points.size(), [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            const Point3& p = points[i];
            out[i] = {p.x / scale - centre.x, p.y / scale - centre.y, p.z / scale - centre.z};
        }
    });
    return out;
}

std::optional<RegisterError> check_clouds(std::span<const Point3> source, std::span<const Point3> target) {
    if (source.empty()) return RegisterError::empty_source();
    if (target.empty()) return RegisterError::empty_target();
    if (auto error = check_point_count(source.size(), SUBJECT_SOURCE)) return error;
    if (auto error = check_point_count(target.size(), SUBJECT_TARGET)) return error;
    if (!all_finite(source)) return RegisterError::non_finite(SUBJECT_SOURCE);
    if (!all_finite(target)) return RegisterError::non_finite(SUBJECT_TARGET);
    return std::nullopt;
}

Expected<PointCloud, RegisterError> unit_normals(std::span<const Point3> normals) {
    if (!all_finite(normals)) return RegisterError::non_finite(SUBJECT_NORMALS);
    PointCloud unit(normals.size());
    for (std::size_t i = 0; i < normals.size(); ++i) {
        const Point3& n = normals[i];
        const double length2 = (n.x * n.x + n.y * n.y) + n.z * n.z;
        if (length2 == 0.0) return RegisterError::zero_normal(i);
        unit[i] = unit_normal(n, length2);
    }
    return unit;
}

SimilarityTransform initial_transform(const RegisterOptions& options, const Normalization& norm) {
    SimilarityTransform caller;  // rotation, translation and given scale in the caller's units
    switch (options.init.kind) {
        case InitKind::Centroids:
            caller.translation = to_vec(norm.target_centroid) - to_vec(norm.source_centroid);
            break;
        case InitKind::Identity:
            break;
        case InitKind::Matrix:
            caller = options.init.matrix;
            break;
    }
    const double s0 = options.estimate_scale ? options.scale_bounds.clamp(caller.scale) : 1.0;
    SimilarityTransform t;
    t.rotation = caller.rotation;
    t.scale = s0;
    const Vec3 moved_centre = rotate_scaled(caller.rotation, s0, norm.source_centre);
    for (int a = 0; a < 3; ++a) {
        t.translation[a] = (caller.translation[a] / norm.scale + moved_centre[a]) - norm.target_centre[a];
    }
    return t;
}

SimilarityTransform to_caller_frame(const SimilarityTransform& solved, const Normalization& norm) {
    SimilarityTransform t = solved;
    const Vec3 moved_centre = rotate_scaled(solved.rotation, solved.scale, norm.source_centre);
    for (int a = 0; a < 3; ++a) {
        t.translation[a] = norm.scale * ((solved.translation[a] - moved_centre[a]) + norm.target_centre[a]);
    }
    return t;
}

RegistrationResult make_result(const SolverResult& solved, const Normalization& norm) {
    const SimilarityTransform caller = to_caller_frame(solved.transform, norm);
    RegistrationResult r;
    r.rotation = caller.rotation;
    r.translation = caller.translation;
    r.scale = caller.scale;
    r.iterations = solved.iterations;
    r.converged = solved.converged;

    const LargeVector<double>& res = solved.residuals;
    const double n = static_cast<double>(res.size());
    const double L = norm.scale;
    double sum_sq = 0.0;
    for (double v : res) sum_sq += v * v;
    r.rmse = std::sqrt(sum_sq / n) * L;

    if (solved.nu) {
        const double nu = *solved.nu;
        const double threshold = 3.0 * nu;
        double inlier_sq = 0.0;
        std::size_t inliers = 0;
        for (double v : res) {
            if (v < threshold) {
                inlier_sq += v * v;
                ++inliers;
            }
        }
        r.inlier_rmse = inliers == 0 ? std::numeric_limits<double>::quiet_NaN()
                                     : std::sqrt(inlier_sq / static_cast<double>(inliers)) * L;
        r.inlier_ratio = static_cast<double>(inliers) / n;
        r.energy = solved.energy;
        r.nu = nu * L;
    } else {
        r.inlier_rmse = r.rmse;
        r.inlier_ratio = 1.0;
        r.energy = solved.energy * L * L;
    }
    return r;
}

Expected<RegistrationResult, RegisterError> register_with_normals(
    std::span<const Point3> source, std::span<const Point3> target,
    std::optional<std::span<const Point3>> target_normals, const RegisterOptions& options) {
    if (auto error = validate_options(options)) return *error;
    if (auto error = check_clouds(source, target)) return *error;

    const bool plane = is_point_to_plane(options.method);
    PointCloud normals;
    if (!target_normals) {
        if (plane) return RegisterError::normals_required();
    } else {
        if (target_normals->size() != target.size()) {
            return RegisterError::normal_count_mismatch(target.size(), target_normals->size());
        }
        if (plane) {
            auto unit = unit_normals(*target_normals);
            if (!unit) return unit.error();
            normals = std::move(unit.value());
        }
    }

    const Normalization norm = compute_normalization(source, target, options.normalize);
    const PointCloud dst = normalise_cloud(target, norm.scale, norm.target_centre);
    const SimilarityTransform initial = initial_transform(options, norm);

    SolverResult solved;
    {
        // The tree is built on this thread alone; the source side is made meanwhile.
        PointCloud src;
        std::optional<QueryOrder> order;
        std::optional<KdTree> tree;
        run_beside(
            [&] {
                src = normalise_cloud(source, norm.scale, norm.source_centre);
                order.emplace(QueryOrder::spatial(src));
            },
            [&] { tree.emplace(KdTree::build(dst)); });
        solved = plane ? solve_point_to_plane(src, dst, *tree, *order, normals, options, initial)
                       : solve_point_to_point(src, dst, *tree, *order, options, initial);
    }
    return make_result(solved, norm);
}

}  // namespace tarvo
