#include "pose.hpp"

#include <Eigen/Geometry>
#include <Eigen/LU>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>

namespace tarvo {
namespace {

constexpr double kPi = std::numbers::pi;

PoseVector pose(double w0, double w1, double w2, double r0, double r1, double r2) {
    PoseVector x;
    x << w0, w1, w2, r0, r1, r2;
    return x;
}

SimilarityTransform rigid(const Mat3& r, const Vec3& t, double scale = 1.0) {
    SimilarityTransform out;
    out.rotation = r;
    out.translation = t;
    out.scale = scale;
    return out;
}

double max_abs_diff(const Mat3& a, const Mat3& b) { return (a - b).cwiseAbs().maxCoeff(); }

TEST(Pose, ZeroIsIdentityBothWays) {
    const SimilarityTransform t = pose_exp(PoseVector::Zero());
    EXPECT_EQ(t.rotation, Mat3::Identity());
    EXPECT_EQ(t.translation, Vec3::Zero());
    EXPECT_EQ(t.scale, 1.0);
    EXPECT_EQ(pose_log(SimilarityTransform::identity()), PoseVector::Zero());
}

TEST(Pose, TranslationOnlyKeepsTranslationAsRho) {
    const PoseVector x = pose_log(rigid(Mat3::Identity(), Vec3(1.5, -2.0, 3.25)));
    EXPECT_EQ(x, pose(0, 0, 0, 1.5, -2.0, 3.25));
}

TEST(Pose, SkewMatchesCrossProduct) {
    const Vec3 w(0.3, -1.2, 2.5);
    const Vec3 v(-4.0, 0.5, 1.0);
    EXPECT_LT((skew(w) * v - w.cross(v)).norm(), 1e-15);
    EXPECT_EQ(skew(w).transpose(), -skew(w));
}

// Half turns have trace -1 and exercise the three quaternion branches that do not
// start from the trace.
struct HalfTurnCase {
    Mat3 rotation;
    Vec3 omega;
};

class PoseHalfTurn : public ::testing::TestWithParam<HalfTurnCase> {};

TEST_P(PoseHalfTurn, GivesAngleExactlyPi) {
    const PoseVector x = pose_log(rigid(GetParam().rotation, Vec3::Zero()));
    EXPECT_EQ(Vec3(x.head<3>()), GetParam().omega);
    EXPECT_EQ(Vec3(x.tail<3>()), Vec3::Zero());
}

INSTANTIATE_TEST_SUITE_P(
    Branches, PoseHalfTurn,
    ::testing::Values(HalfTurnCase{Vec3(1, -1, -1).asDiagonal(), Vec3(kPi, 0, 0)},
                      HalfTurnCase{Vec3(-1, 1, -1).asDiagonal(), Vec3(0, kPi, 0)},
                      HalfTurnCase{Vec3(-1, -1, 1).asDiagonal(), Vec3(0, 0, kPi)}));

// Coordinates with |omega| < pi come back from exp then log. The cases cover every
// quaternion branch, both signs of the quaternion's w, and the series region.
class PoseRoundTrip : public ::testing::TestWithParam<PoseVector> {};

TEST_P(PoseRoundTrip, LogOfExpReturnsCoordinates) {
    const PoseVector x = GetParam();
    const SimilarityTransform t = pose_exp(x);
    EXPECT_EQ(t.scale, 1.0);
    EXPECT_LT(max_abs_diff(t.rotation.transpose() * t.rotation, Mat3::Identity()), 1e-15);
    EXPECT_NEAR(t.rotation.determinant(), 1.0, 1e-15);
    const PoseVector back = pose_log(t);
    EXPECT_LT((back - x).cwiseAbs().maxCoeff(), 1e-12 * (1.0 + x.norm())) << back.transpose();
}

TEST_P(PoseRoundTrip, ExpOfLogReproducesTransformWithUnitScale) {
    SimilarityTransform t = pose_exp(GetParam());
    t.scale = 3.0;  // ignored by the logarithm
    const SimilarityTransform back = pose_exp(pose_log(t));
    EXPECT_EQ(back.scale, 1.0);
    EXPECT_LT(max_abs_diff(back.rotation, t.rotation), 1e-14);
    EXPECT_LT((back.translation - t.translation).norm(), 1e-13);
}

INSTANTIATE_TEST_SUITE_P(
    Coordinates, PoseRoundTrip,
    ::testing::Values(pose(0.1, -0.2, 0.3, 1.0, 2.0, -3.0),       // trace branch
                      pose(1e-5, 2e-5, -3e-5, 0.5, -0.5, 0.25),   // series coefficients
                      pose(1e-9, 0.0, 0.0, 4.0, 0.0, 0.0),        // s < 1e-12 in the log
                      pose(2.5, 0.0, 0.0, 0.1, 0.2, 0.3),         // R00 branch, w > 0
                      pose(-2.5, 0.0, 0.0, 0.1, 0.2, 0.3),        // R00 branch, sign fixed
                      pose(0.0, 2.8, 0.0, -1.0, 0.0, 1.0),        // R11 branch
                      pose(0.0, -2.8, 0.0, -1.0, 0.0, 1.0),       // R11 branch, sign fixed
                      pose(0.0, 0.0, 3.0, 2.0, 2.0, 2.0),         // R22 branch
                      pose(0.0, 0.0, -3.0, 2.0, 2.0, 2.0),        // R22 branch, sign fixed
                      pose(1.2, -1.7, 1.9, -0.3, 0.8, 5.0),       // large general angle
                      pose(3.1, 0.01, -0.02, 1.0, -1.0, 1.0)));   // near the half turn

// The closed forms of B and D cancel near the threshold (1 - cos t loses about half of
// its digits at t = 1e-4), so V agrees to about eps / theta and rho, where D is scaled by
// theta^2, to about eps / theta^2 relative.
TEST(Pose, ContinuousAcrossSeriesThreshold) {
    const Vec3 axis = Vec3(1.0, -2.0, 0.5).normalized();
    const double theta = std::sqrt(POSE_SERIES_THETA2);
    const Vec3 rho(0.7, -1.1, 2.3);
    const Vec3 below_w = axis * std::nextafter(theta, 0.0) * (1.0 - 1e-12);
    const Vec3 above_w = axis * theta * (1.0 + 1e-12);
    ASSERT_LT(below_w.squaredNorm(), POSE_SERIES_THETA2);
    ASSERT_GT(above_w.squaredNorm(), POSE_SERIES_THETA2);

    PoseVector below, above;
    below << below_w, rho;
    above << above_w, rho;
    SimilarityTransform tb = pose_exp(below);
    const SimilarityTransform ta = pose_exp(above);
    EXPECT_LT(max_abs_diff(tb.rotation, ta.rotation), 1e-15);
    EXPECT_LT(max_abs_diff(left_jacobian(below_w), left_jacobian(above_w)), 1e-12);
    EXPECT_LT((tb.translation - ta.translation).norm(), 1e-11);

    SimilarityTransform tr = ta;
    tr.translation = Vec3(3.0, -1.0, 0.5);
    tb.translation = tr.translation;
    const PoseVector log_below = pose_log(tb), log_above = pose_log(tr);
    EXPECT_LT((log_below - log_above).head<3>().norm(), 1e-15);
    EXPECT_LT((log_below - log_above).tail<3>().norm(), 1e-7);
}

// The threshold is strict: theta^2 equal to it already takes the closed forms.
TEST(Pose, CoefficientsAtThresholdUseClosedForm) {
    const double below_t2 = std::nextafter(POSE_SERIES_THETA2, 0.0);
    const PoseCoefficients series = pose_coefficients(below_t2);
    EXPECT_EQ(series.a, 1.0 - below_t2 / 6.0);
    EXPECT_EQ(series.b, 0.5 - below_t2 / 24.0);
    EXPECT_EQ(series.c, 1.0 / 6.0 - below_t2 / 120.0);
    EXPECT_EQ(series.d, 1.0 / 12.0 + below_t2 / 720.0);

    const double t2 = POSE_SERIES_THETA2;
    const double theta = std::sqrt(t2);
    const double sin_t = std::sin(theta), cos_t = std::cos(theta);
    const PoseCoefficients closed = pose_coefficients(t2);
    EXPECT_EQ(closed.a, sin_t / theta);
    EXPECT_EQ(closed.b, (1.0 - cos_t) / t2);
    EXPECT_EQ(closed.c, (theta - sin_t) / (t2 * theta));
    EXPECT_EQ(closed.d, (1.0 - (theta * sin_t) / (2.0 * (1.0 - cos_t))) / t2);
    EXPECT_NE(closed.b, series.b);
}

TEST(Pose, ClosedFormCoefficientsAtLargeAngle) {
    const double theta = 2.0;
    const PoseCoefficients k = pose_coefficients(theta * theta);
    EXPECT_NEAR(k.a, std::sin(theta) / theta, 1e-15);
    EXPECT_NEAR(k.b, (1.0 - std::cos(theta)) / 4.0, 1e-15);
    EXPECT_NEAR(k.c, (theta - std::sin(theta)) / 8.0, 1e-15);
    EXPECT_NEAR(k.d, (1.0 - theta * std::sin(theta) / (2.0 * (1.0 - std::cos(theta)))) / 4.0, 1e-15);
}

TEST(Pose, TranslationIsLeftJacobianTimesRho) {
    const PoseVector x = pose(0.4, -0.9, 1.3, 2.0, -1.0, 0.5);
    const Vec3 omega = x.head<3>();
    const Vec3 expected = left_jacobian(omega) * Vec3(x.tail<3>());
    EXPECT_LT((pose_exp(x).translation - expected).norm(), 1e-15);
    // V(omega) = I + B W + C W^2 against the series definition sum W^n / (n+1)!
    Mat3 series = Mat3::Zero(), power = Mat3::Identity();
    double factorial = 1.0;
    for (int n = 0; n < 30; ++n) {
        factorial *= n + 1;
        series += power / factorial;
        power = power * skew(omega);
    }
    EXPECT_LT(max_abs_diff(left_jacobian(omega), series), 1e-14);
}

TEST(Pose, NonFiniteRotationPropagates) {
    Mat3 r = Mat3::Identity();
    r(1, 2) = std::numeric_limits<double>::quiet_NaN();
    const PoseVector x = pose_log(rigid(r, Vec3(1, 2, 3)));
    EXPECT_FALSE(x.allFinite());
}

}  // namespace
}  // namespace tarvo
