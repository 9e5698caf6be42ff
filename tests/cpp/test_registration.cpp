// The driver's own steps: checks and their order, normalisation, the initial transform
// and the way back to the caller's frame, and the metrics.
#include "registration.hpp"

#include <Eigen/Geometry>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

namespace tarvo {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

PointCloud random_cloud(std::size_t n, unsigned seed, double spread = 1.0) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(-spread, spread);
    PointCloud c(n);
    for (auto& p : c) p = {u(rng), u(rng), u(rng)};
    return c;
}

std::string error_of(std::span<const Point3> source, std::span<const Point3> target,
                     std::optional<std::span<const Point3>> normals, const RegisterOptions& o) {
    auto r = register_with_normals(source, target, normals, o);
    return r ? std::string("ok") : r.error().message();
}

TEST(DriverChecks, OptionErrorsComeBeforeCloudErrors) {
    RegisterOptions o = default_options(Method::Icp);
    o.anderson_m = 0;
    EXPECT_EQ(error_of({}, {}, std::nullopt, o), "invalid configuration: anderson_m must be at least 1");
}

TEST(DriverChecks, CloudErrorsInOrder) {
    const RegisterOptions o = default_options(Method::Icp);
    PointCloud good = random_cloud(5, 1);
    PointCloud bad = good;
    bad[3].y = kNaN;
    PointCloud infinite = good;
    infinite[0].z = -kInf;
    EXPECT_EQ(error_of({}, {}, std::nullopt, o), "the source point cloud is empty");
    EXPECT_EQ(error_of(bad, {}, std::nullopt, o), "the target point cloud is empty");
    EXPECT_EQ(error_of(bad, infinite, std::nullopt, o), "the source point cloud contained a non-finite value");
    EXPECT_EQ(error_of(good, infinite, std::nullopt, o), "the target point cloud contained a non-finite value");
}

TEST(DriverChecks, NormalErrors) {
    const PointCloud cloud = random_cloud(6, 2);
    PointCloud normals(6, Point3{0, 0, 1});
    const PointCloud short_normals(5, Point3{0, 0, 1});
    RegisterOptions plane = default_options(Method::PointToPlane);
    RegisterOptions icp = default_options(Method::Icp);

    EXPECT_EQ(error_of(cloud, cloud, std::nullopt, plane),
              RegisterError::normals_required().message());
    EXPECT_EQ(error_of(cloud, cloud, short_normals, icp), "target has 6 points but 5 normals were supplied");
    EXPECT_EQ(error_of(cloud, cloud, short_normals, plane), "target has 6 points but 5 normals were supplied");

    normals[4] = {0, 0, 0};
    EXPECT_EQ(error_of(cloud, cloud, normals, plane), "target normal 4 has zero length");
    normals[5] = {kNaN, 0, 0};  // the whole array is checked for finiteness first
    EXPECT_EQ(error_of(cloud, cloud, normals, plane), "the target normals contained a non-finite value");
}

TEST(UnitNormals, DividesByLength) {
    const PointCloud normals{{0, 0, 5}, {3, 4, 0}, {1e200, 0, 0}, {0, -1e-150, 0}};
    auto unit = unit_normals(normals);
    ASSERT_TRUE(unit);
    EXPECT_EQ(unit.value()[0], (Point3{0, 0, 1}));
    EXPECT_EQ(unit.value()[1], (Point3{0.6, 0.8, 0}));
    // A finite normal whose squared length overflows keeps its direction.
    EXPECT_EQ(unit.value()[2], (Point3{1, 0, 0}));
    EXPECT_EQ(unit.value()[3], (Point3{0, -1, 0}));
}

TEST(UnitNormals, UnderflowingLengthIsZero) {
    const PointCloud normals{{0, 1, 0}, {1e-200, 0, 0}};
    auto unit = unit_normals(normals);
    ASSERT_FALSE(unit);
    EXPECT_EQ(unit.error().message(), "target normal 1 has zero length");
}

TEST(Normalization, UsesTheLargerDiagonalAndOwnCentroids) {
    const PointCloud source{{0, 0, 0}, {1, 2, 2}};      // diagonal 3
    const PointCloud target{{10, 0, 0}, {10, 0, 4}, {10, 3, 0}};  // diagonal 5
    const Normalization n = compute_normalization(source, target, true);
    EXPECT_EQ(n.scale, 5.0);
    EXPECT_EQ(n.source_centroid, (Point3{0.5, 1, 1}));
    EXPECT_EQ(n.target_centroid, (Point3{10, 1, 4.0 / 3.0}));
    EXPECT_EQ(n.source_centre, (Point3{0.1, 0.2, 0.2}));
    const PointCloud moved = normalise_cloud(source, n.scale, n.source_centre);
    EXPECT_EQ(moved[1], (Point3{1.0 / 5 - 0.1, 2.0 / 5 - 0.2, 2.0 / 5 - 0.2}));

    const Normalization off = compute_normalization(source, target, false);
    EXPECT_EQ(off.scale, 1.0);
    EXPECT_EQ(off.source_centre, (Point3{}));
    EXPECT_EQ(off.target_centroid, n.target_centroid);
}

TEST(Normalization, DegenerateDiagonalsFallBackToOne) {
    const PointCloud one{{3, 4, 5}};
    const PointCloud other{{-1, 2, 7}};
    const Normalization single = compute_normalization(one, other, true);
    EXPECT_EQ(single.scale, 1.0);
    EXPECT_EQ(single.source_centre, (Point3{3, 4, 5}));  // only centred
    EXPECT_EQ(normalise_cloud(one, single.scale, single.source_centre)[0], (Point3{}));

    // Extents that are themselves infinite leave no length to divide by.
    const PointCloud endless{{1.5e308, 0, 0}, {-1.5e308, 1, 0}};
    EXPECT_EQ(compute_normalization(endless, endless, true).scale, 1.0);
}

// Squared extents that overflow or underflow must not switch normalisation off: the
// diagonal is measured in units of the largest extent instead, and a cloud at such a
// scale registers like any other.
class ExtremeScale : public ::testing::TestWithParam<double> {};

TEST_P(ExtremeScale, DiagonalSurvivesTheSquares) {
    const double unit = GetParam();
    const PointCloud box{{unit, 0, 0}, {-unit, unit, 0}, {0, 0, -unit}};
    // extents 2u, u, u: diagonal u * sqrt(6)
    EXPECT_NEAR(bounding_box_diagonal(box) / unit, std::sqrt(6.0), 1e-15);
    EXPECT_NEAR(compute_normalization(box, box, true).scale / unit, std::sqrt(6.0), 1e-15);
}

TEST_P(ExtremeScale, RecoversATranslation) {
    const double unit = GetParam();
    PointCloud source = random_cloud(300, 21);
    PointCloud target = source;
    const Vec3 shift(0.05, -0.02, 0.03);
    for (std::size_t i = 0; i < source.size(); ++i) {
        source[i] = {source[i].x * unit, source[i].y * unit, source[i].z * unit};
        target[i] = {(target[i].x + shift[0]) * unit, (target[i].y + shift[1]) * unit,
                     (target[i].z + shift[2]) * unit};
    }
    RegisterOptions o = default_options(Method::Icp);
    o.init = InitMode::identity();
    const auto r = register_with_normals(source, target, std::nullopt, o);
    ASSERT_TRUE(r);
    EXPECT_TRUE(r.value().converged);
    EXPECT_NEAR((r.value().translation / unit - shift).norm(), 0.0, 1e-9);
    EXPECT_LT(r.value().rmse / unit, 1e-9);
}

INSTANTIATE_TEST_SUITE_P(Units, ExtremeScale, ::testing::Values(1e-170, 1e160, 1e200, 1e300));

SimilarityTransform random_similarity(unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    SimilarityTransform t;
    t.rotation = Eigen::Quaterniond(u(rng), u(rng), u(rng), u(rng)).normalized().toRotationMatrix();
    t.translation = Vec3(u(rng), u(rng), u(rng)) * 3.0;
    t.scale = 1.0 + 0.5 * u(rng);
    return t;
}

class FrameRoundTrip : public ::testing::TestWithParam<unsigned> {};

// A caller-frame transform taken into the normalised frame and back is unchanged, and
// in between it maps normalised source points onto normalised images.
TEST_P(FrameRoundTrip, InitialMatrixSurvivesBothWays) {
    const PointCloud source = random_cloud(50, GetParam(), 4.0);
    const PointCloud target = random_cloud(40, GetParam() + 100, 7.0);
    const Normalization norm = compute_normalization(source, target, true);
    const SimilarityTransform caller = random_similarity(GetParam());

    RegisterOptions o = default_options(Method::Icp);
    o.estimate_scale = true;
    o.scale_bounds = {0.1, 10.0};
    o.init = InitMode::from_matrix(caller);
    const SimilarityTransform normalised = initial_transform(o, norm);
    EXPECT_EQ(normalised.scale, caller.scale);
    EXPECT_EQ(normalised.rotation, caller.rotation);

    const SimilarityTransform back = to_caller_frame(normalised, norm);
    EXPECT_NEAR((back.translation - caller.translation).norm(), 0.0, 1e-12);
    EXPECT_EQ(back.rotation, caller.rotation);
    EXPECT_EQ(back.scale, caller.scale);

    for (const Point3& x : source) {
        const Point3 y = caller.apply(x);
        const Point3 xn{x.x / norm.scale - norm.source_centre.x, x.y / norm.scale - norm.source_centre.y,
                        x.z / norm.scale - norm.source_centre.z};
        const Point3 yn = normalised.apply(xn);
        EXPECT_NEAR(yn.x, y.x / norm.scale - norm.target_centre.x, 1e-12);
        EXPECT_NEAR(yn.y, y.y / norm.scale - norm.target_centre.y, 1e-12);
        EXPECT_NEAR(yn.z, y.z / norm.scale - norm.target_centre.z, 1e-12);
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, FrameRoundTrip, ::testing::Values(1u, 2u, 3u, 4u));

// Both frame changes rotate s c exactly as a transform maps a point: s c first, each row
// summed left to right, then t0 / L added and the target centre subtracted (initial),
// or t' - R (s c) then + target centre, times L (way back). Checked to the last bit.
class FrameArithmetic : public ::testing::TestWithParam<unsigned> {};

TEST_P(FrameArithmetic, FollowsTheWrittenOrderBitForBit) {
    const PointCloud source = random_cloud(20, GetParam() + 200, 3.0);
    const PointCloud target = random_cloud(20, GetParam() + 300, 5.0);
    const Normalization norm = compute_normalization(source, target, true);
    const SimilarityTransform m = random_similarity(GetParam() + 400);
    RegisterOptions o = default_options(Method::Icp);
    o.estimate_scale = true;
    o.scale_bounds = {0.1, 10.0};
    o.init = InitMode::from_matrix(m);

    const Point3 c = norm.source_centre;
    const auto moved = [&](const SimilarityTransform& t, int a) {
        const double sx = t.scale * c.x, sy = t.scale * c.y, sz = t.scale * c.z;
        return (t.rotation(a, 0) * sx + t.rotation(a, 1) * sy) + t.rotation(a, 2) * sz;
    };
    const SimilarityTransform initial = initial_transform(o, norm);
    const SimilarityTransform back = to_caller_frame(initial, norm);
    for (int a = 0; a < 3; ++a) {
        const double expected_initial =
            (m.translation[a] / norm.scale + moved(m, a)) - to_vec(norm.target_centre)[a];
        EXPECT_EQ(initial.translation[a], expected_initial) << "axis " << a;
        const double expected_back =
            norm.scale * ((initial.translation[a] - moved(initial, a)) + to_vec(norm.target_centre)[a]);
        EXPECT_EQ(back.translation[a], expected_back) << "axis " << a;
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, FrameArithmetic, ::testing::Range(1u, 25u));

TEST(InitialTransform, CentroidsIgnoreTheClampedScale) {
    const PointCloud source = random_cloud(30, 7, 2.0);
    const PointCloud target = random_cloud(30, 8, 3.0);
    const Normalization norm = compute_normalization(source, target, true);
    RegisterOptions o = default_options(Method::RobustIcp);
    o.estimate_scale = true;
    o.scale_bounds = {2.0, 3.0};
    const SimilarityTransform t = initial_transform(o, norm);
    EXPECT_EQ(t.scale, 2.0);
    const SimilarityTransform back = to_caller_frame(t, norm);
    const Vec3 expected = to_vec(norm.target_centroid) - to_vec(norm.source_centroid);
    EXPECT_NEAR((back.translation - expected).norm(), 0.0, 1e-12);
    EXPECT_EQ(back.rotation, Mat3::Identity());
}

TEST(InitialTransform, MatrixScaleIsDroppedWithoutScaleEstimation) {
    const PointCloud cloud = random_cloud(10, 9);
    const Normalization norm = compute_normalization(cloud, cloud, true);
    SimilarityTransform m = random_similarity(11);
    m.scale = 2.0;
    RegisterOptions o = default_options(Method::Icp);
    o.init = InitMode::from_matrix(m);
    const SimilarityTransform t = initial_transform(o, norm);
    EXPECT_EQ(t.scale, 1.0);
    EXPECT_EQ(t.rotation, m.rotation);
    EXPECT_NEAR((to_caller_frame(t, norm).translation - m.translation).norm(), 0.0, 1e-12);

    o.init = InitMode::identity();
    const SimilarityTransform id = to_caller_frame(initial_transform(o, norm), norm);
    EXPECT_NEAR(id.translation.norm(), 0.0, 1e-15);
}

SolverResult solved_with(std::vector<double> residuals, std::optional<double> nu, double energy) {
    SolverResult s;
    s.residuals.assign(residuals.begin(), residuals.end());
    s.nu = nu;
    s.energy = energy;
    s.iterations = 17;
    s.converged = true;
    return s;
}

TEST(Metrics, NonRobustRunCountsEveryPoint) {
    Normalization norm;
    norm.scale = 2.0;
    const RegistrationResult r = make_result(solved_with({3.0, 4.0}, std::nullopt, 25.0), norm);
    EXPECT_DOUBLE_EQ(r.rmse, std::sqrt(12.5) * 2.0);
    EXPECT_EQ(r.inlier_rmse, r.rmse);
    EXPECT_EQ(r.inlier_ratio, 1.0);
    EXPECT_EQ(r.energy, 100.0);
    EXPECT_FALSE(r.nu.has_value());
    EXPECT_EQ(r.iterations, 17u);
    EXPECT_TRUE(r.converged);
}

TEST(Metrics, RobustInliersAreStrictlyBelowThreeNu) {
    Normalization norm;
    norm.scale = 10.0;
    // 3 nu = 0.375: 0.1 and 0.2 are inliers, 0.375 (equal) and NaN are not.
    const RegistrationResult r = make_result(solved_with({0.1, 0.375, 0.2, kNaN}, 0.125, 1.5), norm);
    EXPECT_DOUBLE_EQ(r.inlier_rmse, std::sqrt((0.01 + 0.04) / 2) * 10.0);
    EXPECT_EQ(r.inlier_ratio, 0.5);
    EXPECT_EQ(r.energy, 1.5);
    ASSERT_TRUE(r.nu.has_value());
    EXPECT_EQ(*r.nu, 1.25);

    const RegistrationResult none = make_result(solved_with({5.0, 6.0}, 0.125, 2.0), norm);
    EXPECT_TRUE(std::isnan(none.inlier_rmse));
    EXPECT_EQ(none.inlier_ratio, 0.0);
}

TEST(Metrics, TranslationReturnsToCallerUnits) {
    Normalization norm;
    norm.scale = 4.0;
    norm.source_centre = {1, 0, 0};
    norm.target_centre = {0, 2, 0};
    SolverResult s = solved_with({0.0}, std::nullopt, 0.0);
    s.transform.scale = 2.0;
    s.transform.translation = {1, 1, 1};
    const RegistrationResult r = make_result(s, norm);
    // L * (t' - s R c_s + c_t) = 4 * ((1,1,1) - (2,0,0) + (0,2,0))
    EXPECT_EQ(r.translation, Vec3(-4, 12, 4));
    EXPECT_EQ(r.scale, 2.0);
}

}  // namespace
}  // namespace tarvo
