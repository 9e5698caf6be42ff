#include "options.hpp"

#include <cmath>

namespace tarvo {

std::optional<Method> parse_method(std::string_view text) {
    for (std::size_t i = 0; i < METHOD_NAMES.size(); ++i) {
        if (METHOD_NAMES[i] == text) return static_cast<Method>(i);
    }
    return std::nullopt;
}

RegisterOptions default_options(Method method) {
    RegisterOptions options;
    options.method = method;
    options.max_iterations = method == Method::RobustPointToPlane ? 10 : 100;
    options.nu_end_k = is_point_to_plane(method) ? NU_END_K_POINT_TO_PLANE : NU_END_K_POINT_TO_POINT;
    return options;
}

std::string RegisterError::message() const {
    switch (kind) {
        case ErrorKind::EmptySource:
            return "the source point cloud is empty";
        case ErrorKind::EmptyTarget:
            return "the target point cloud is empty";
        case ErrorKind::NormalsRequired:
            return "point-to-plane registration requires target normals; pass them to "
                   "`register_with_normals` or estimate them with `estimate_normals`";
        case ErrorKind::NormalCountMismatch:
            return "target has " + std::to_string(first) + " points but " + std::to_string(second) +
                   " normals were supplied";
        case ErrorKind::NonFinite:
            return std::string(text) + " contained a non-finite value";
        case ErrorKind::ZeroNormal:
            return "target normal " + std::to_string(first) + " has zero length";
        case ErrorKind::InvalidConfig:
            return std::string("invalid configuration: ") + text;
        case ErrorKind::ScaleUnsupported:
            return "`estimate_scale` is only implemented for icp, fast_icp, robust_icp";
        case ErrorKind::TooManyPoints:
            return std::string(text) + " has more than " + std::to_string(MAX_CLOUD_POINTS) + " points";
    }
    return "unknown error";
}

namespace {

bool finite_positive(double v) { return std::isfinite(v) && v > 0.0; }

std::optional<RegisterError> validate_scale(const RegisterOptions& o) {
    if (is_point_to_plane(o.method)) return RegisterError::scale_unsupported();
    const ScaleBounds& b = o.scale_bounds;
    if (!std::isfinite(b.lower) || !std::isfinite(b.upper) || !(b.lower > 0.0)) {
        return RegisterError::invalid_config("scale_bounds must be finite with a positive lower bound");
    }
    if (b.lower > b.upper) {
        return RegisterError::invalid_config("scale_bounds lower bound exceeds the upper bound");
    }
    return std::nullopt;
}

std::optional<RegisterError> validate_init(const SimilarityTransform& t) {
    if (!t.is_finite()) return RegisterError::non_finite(SUBJECT_INIT);
    if (!(t.scale > 0.0)) {
        return RegisterError::invalid_config("the initial transform must have a positive scale");
    }
    return std::nullopt;
}

}  // namespace

std::optional<RegisterError> validate_options(const RegisterOptions& o) {
    using E = RegisterError;
    if (o.max_iterations == 0) return E::invalid_config("max_iterations must be at least 1");
    if (!std::isfinite(o.tolerance) || o.tolerance < 0.0) {
        return E::invalid_config("tolerance must be finite and >= 0");
    }
    if (o.anderson_m == 0) return E::invalid_config("anderson_m must be at least 1");
    if (!finite_positive(o.nu_begin_k)) return E::invalid_config("nu_begin_k must be finite and > 0");
    if (!finite_positive(o.nu_end_k)) return E::invalid_config("nu_end_k must be finite and > 0");
    if (!(o.nu_alpha > 0.0 && o.nu_alpha < 1.0)) return E::invalid_config("nu_alpha must lie in (0, 1)");
    if (o.nu_neighbors < 2) return E::invalid_config("nu_neighbors must be at least 2");
    if (o.estimate_scale) {
        if (auto error = validate_scale(o)) return error;
    }
    if (o.init.kind == InitKind::Matrix) {
        if (auto error = validate_init(o.init.matrix)) return error;
    }
    return std::nullopt;
}

std::optional<RegisterError> check_point_count(std::size_t count, const char* subject) {
    if (count > MAX_CLOUD_POINTS) return RegisterError::too_many_points(subject);
    return std::nullopt;
}

}  // namespace tarvo
