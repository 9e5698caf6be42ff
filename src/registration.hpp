// The registration driver: validation, checks on the clouds, the shared normalised
// frame, the initial transform, the solver dispatch and the way back to the caller's
// units with the fit's metrics.
#pragma once

#include "options.hpp"
#include "solver.hpp"
#include "types.hpp"

#include <cstdint>
#include <optional>
#include <span>

namespace tarvo {

// The driver's answer, in the caller's units.
struct RegistrationResult {
    std::optional<double> nu;
    Mat3 rotation = Mat3::Identity();
    Vec3 translation = Vec3::Zero();
    double scale = 1.0;
    std::uint64_t iterations = 0;
    double energy = 0.0;
    double rmse = 0.0;
    double inlier_rmse = 0.0;
    double inlier_ratio = 0.0;
    bool converged = false;
};

// Both clouds share the divisor `scale`; each is centred on its own centroid.
struct Normalization {
    double scale = 1.0;
    Point3 source_centroid;
    Point3 target_centroid;
    Point3 source_centre;
    Point3 target_centre;
};

// Component-wise mean, summed in index order (the cloud is not empty).
Point3 centroid(std::span<const Point3> points);

// Length of the diagonal of the axis-aligned bounding box, √((ex² + ey²) + ez²); when
// those squares overflow or underflow, the same length measured in units of the
// largest extent (infinite only when the length itself exceeds the double range).
double bounding_box_diagonal(std::span<const Point3> points);

Normalization compute_normalization(std::span<const Point3> source, std::span<const Point3> target,
                                    bool normalize);

// p / scale - centre for every point: the divisor first, the centre second.
PointCloud normalise_cloud(std::span<const Point3> points, double scale, const Point3& centre);

// Empty clouds, then non-finite coordinates in the source, then in the target.
std::optional<RegisterError> check_clouds(std::span<const Point3> source, std::span<const Point3> target);

// For the point-to-plane methods: the normals divided by their length into a new
// cloud. Errors: a non-finite coordinate anywhere, then a zero-length normal.
Expected<PointCloud, RegisterError> unit_normals(std::span<const Point3> normals);

// The initial transform of `options` in the normalised frame.
SimilarityTransform initial_transform(const RegisterOptions& options, const Normalization& norm);

// A transform of the normalised frame expressed in the caller's units.
SimilarityTransform to_caller_frame(const SimilarityTransform& solved, const Normalization& norm);

// The transform in the caller's units and rmse, inlier figures, energy and nu.
RegistrationResult make_result(const SolverResult& solved, const Normalization& norm);

// The one entry of every registration. `target_normals`, when given, holds one normal
// per target point; it is required by the point-to-plane methods and ignored (after
// its count is checked) by the others.
Expected<RegistrationResult, RegisterError> register_with_normals(
    std::span<const Point3> source, std::span<const Point3> target,
    std::optional<std::span<const Point3>> target_normals, const RegisterOptions& options);

}  // namespace tarvo
