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
    change_ = b - a;
    shift_ = to.translation - from.translation;
    // Each application, and the difference formed here, rounds by at most a few units in
    // the last place of |M| |s| + |t|; charged per unit of |s| and once more as a
    // constant, this covers all three many times over.
    rounding_ = kRoundingSlack * (frobenius(a) + frobenius(b) + from.translation.norm() + to.translation.norm());
}

}  // namespace tarvo
