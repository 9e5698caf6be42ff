// The option record of one registration run, its defaults, its validation, and the
// errors the driver reports.
#pragma once

#include "types.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tarvo {

enum class Method : std::uint8_t { Icp, FastIcp, RobustIcp, PointToPlane, RobustPointToPlane };

inline constexpr std::array<std::string_view, 5> METHOD_NAMES = {
    "icp", "fast_icp", "robust_icp", "point_to_plane", "robust_point_to_plane"};

inline std::string_view method_name(Method m) { return METHOD_NAMES[static_cast<std::size_t>(m)]; }
inline bool is_point_to_plane(Method m) {
    return m == Method::PointToPlane || m == Method::RobustPointToPlane;
}
inline bool is_robust(Method m) { return m == Method::RobustIcp || m == Method::RobustPointToPlane; }

// The method whose name equals `text` exactly (case-sensitive, no trimming).
std::optional<Method> parse_method(std::string_view text);

enum class InitKind : std::uint8_t { Centroids, Identity, Matrix };

struct InitMode {
    InitKind kind = InitKind::Centroids;
    SimilarityTransform matrix;  // meaningful only for InitKind::Matrix

    static InitMode centroids() { return {InitKind::Centroids, {}}; }
    static InitMode identity() { return {InitKind::Identity, {}}; }
    static InitMode from_matrix(const SimilarityTransform& t) { return {InitKind::Matrix, t}; }
};

struct ScaleBounds {
    double lower = 0.1;
    double upper = 10.0;

    // Clamp into [lower, upper]; NaN stays NaN.
    double clamp(double s) const { return s < lower ? lower : (s > upper ? upper : s); }
};

inline constexpr double NU_END_K_POINT_TO_POINT = 0.19245008972987526;  // 1 / (3 sqrt 3)
inline constexpr double NU_END_K_POINT_TO_PLANE = 0.16666666666666666;  // 1 / 6

struct RegisterOptions {
    InitMode init;
    std::uint64_t max_iterations = 100;
    double tolerance = 1e-5;
    std::uint64_t anderson_m = 5;
    double nu_begin_k = 3.0;
    double nu_end_k = NU_END_K_POINT_TO_POINT;
    double nu_alpha = 0.5;
    std::uint64_t nu_neighbors = 7;
    std::uint64_t max_line_search = 8;
    ScaleBounds scale_bounds;
    bool normalize = true;
    bool estimate_scale = false;
    Method method = Method::RobustIcp;
};

// Every option at its default for `method`, the method-dependent ones included
// (max_iterations, nu_end_k). estimate_scale is false: the caller turns it on when
// scale bounds were supplied.
RegisterOptions default_options(Method method);

enum class ErrorKind : std::uint8_t {
    EmptySource,
    EmptyTarget,
    NormalsRequired,
    NormalCountMismatch,
    NonFinite,
    ZeroNormal,
    InvalidConfig,
    ScaleUnsupported,
    TooManyPoints,
};

// The static subjects of NonFinite and TooManyPoints errors.
inline constexpr const char* SUBJECT_SOURCE = "the source point cloud";
inline constexpr const char* SUBJECT_TARGET = "the target point cloud";
inline constexpr const char* SUBJECT_NORMALS = "the target normals";
inline constexpr const char* SUBJECT_INIT = "the initial transform";
inline constexpr const char* SUBJECT_POINTS = "the point cloud";

struct RegisterError {
    ErrorKind kind;
    const char* text = nullptr;  // NonFinite or TooManyPoints subject, InvalidConfig message
    std::uint64_t first = 0;     // NormalCountMismatch: target count; ZeroNormal: index
    std::uint64_t second = 0;    // NormalCountMismatch: normal count

    static RegisterError empty_source() { return {ErrorKind::EmptySource}; }
    static RegisterError empty_target() { return {ErrorKind::EmptyTarget}; }
    static RegisterError normals_required() { return {ErrorKind::NormalsRequired}; }
    static RegisterError normal_count_mismatch(std::uint64_t targets, std::uint64_t normals) {
        return {ErrorKind::NormalCountMismatch, nullptr, targets, normals};
    }
    static RegisterError non_finite(const char* what) { return {ErrorKind::NonFinite, what}; }
    static RegisterError zero_normal(std::uint64_t index) {
        return {ErrorKind::ZeroNormal, nullptr, index};
    }
    static RegisterError invalid_config(const char* message) {
        return {ErrorKind::InvalidConfig, message};
    }
    static RegisterError scale_unsupported() { return {ErrorKind::ScaleUnsupported}; }
    static RegisterError too_many_points(const char* what) { return {ErrorKind::TooManyPoints, what}; }

    // The user-facing text: a lower-case sentence without a final period.
    std::string message() const;
};

// Checks every option in a fixed order and returns the first failure.
std::optional<RegisterError> validate_options(const RegisterOptions& options);

// TooManyPoints for `subject` when a cloud of `count` points exceeds MAX_CLOUD_POINTS.
std::optional<RegisterError> check_point_count(std::size_t count, const char* subject);

}  // namespace tarvo
