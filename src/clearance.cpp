#include "clearance.hpp"

namespace tarvo {

namespace {

double frobenius(const Mat3& m) { return std::sqrt(m.cwiseAbs2().sum()); }

}  // namespace

double apply_rounding(const SimilarityTransform& t) {
    constexpr double slack = 1e-13;
    return slack * (frobenius(t.scale * t.rotation) + t.translation.norm());
}

MotionBound::MotionBound(const SimilarityTransform& from, const SimilarityTransform& to) {
    change_ = to.scale * to.rotation - from.scale * from.rotation;
    shift_ = to.translation - from.translation;
    // Each application, and the difference formed here, rounds by at most a few units in
    // the last place of |M| |s| + |t|; charged per unit of |s| and once more as a
    // constant, this covers all three many times over.
    rounding_ = apply_rounding(from) + apply_rounding(to);
    change_size_ = frobenius(change_);
}

double MotionBound::over(const QueryRun& run) const {
    const Point3& c = run.center;
    const double x = (change_(0, 0) * c.x + change_(0, 1) * c.y) + change_(0, 2) * c.z + shift_.x();
    const double y = (change_(1, 0) * c.x + change_(1, 1) * c.y) + change_(1, 2) * c.z + shift_.y();
    const double z = (change_(2, 0) * c.x + change_(2, 1) * c.y) + change_(2, 2) * c.z + shift_.z();
    const double center_size = std::abs(c.x) + std::abs(c.y) + std::abs(c.z);
    const double at_center = std::sqrt((x * x + y * y) + z * z);
    return (at_center + change_size_ * run.radius + rounding_ * (run.size + center_size + 2.0)) *
           clearance_detail::kWiden;
}

}  // namespace tarvo
