#include "clearance.hpp"

namespace tarvo {

namespace {

// Relative slack for the rounding of apply: about ten units in the last place of the
// largest term, many times over.
constexpr double kRoundingSlack = 1e-13;

double frobenius(const Mat3& m) { return std::sqrt(m.cwiseAbs2().sum()); }

}  // namespace

MotionBound::MotionBound(const SimilarityTransform& from, const SimilarityTransform& to) {
    const Mat3 a = from.scale * from.rotation;
    const Mat3 b = to.scale * to.rotation;
    // |ΔM s + Δt| <= |ΔM|_F |s| + |Δt|. Each application rounds by at most a few units
    // in the last place of |M| |s| + |t|; `rounding` charged per unit of |s| and once
    // more as a constant covers both.
    const double rounding = kRoundingSlack * (frobenius(a) + frobenius(b) + from.translation.norm() +
                                              to.translation.norm());
    linear_ = frobenius(b - a) + rounding;
    offset_ = (to.translation - from.translation).norm() + rounding;
}

}  // namespace tarvo
