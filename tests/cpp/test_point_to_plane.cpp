// The point-to-plane Gauss-Newton step (its exact Jacobian, the truncated solve and the
// thread-independent sums) and the two point-to-plane methods end to end.
#include "point_to_plane.hpp"
#include "spatial_order.hpp"

#include "kdtree.hpp"
#include "registration.hpp"

#include <Eigen/Geometry>
#include <gtest/gtest.h>
#include <tbb/global_control.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <numbers>
#include <random>
#include <vector>

namespace tarvo {
namespace {

constexpr double kPi = std::numbers::pi;

Point3 unit_point(const Vec3& v) { return to_point(v.normalized()); }

Point3 random_unit(std::mt19937_64& rng) {
    std::normal_distribution<double> g(0.0, 1.0);
    return unit_point(Vec3(g(rng), g(rng), g(rng)));
}

Point3 random_point(std::mt19937_64& rng, double spread = 1.0) {
    std::uniform_real_distribution<double> u(-spread, spread);
    return {u(rng), u(rng), u(rng)};
}

PoseVector pose_with_angle(const Vec3& axis, double angle, const Vec3& rho) {
    PoseVector x;
    x << axis.normalized() * angle, rho;
    return x;
}

// r(x) = n . (exp(x) p - q): the residual the Jacobian differentiates.
double plane_residual(const PoseVector& x, const Point3& p, const Point3& n, const Point3& q) {
    const Point3 moved = pose_exp(x).apply(p);
    return (moved.x - q.x) * n.x + (moved.y - q.y) * n.y + (moved.z - q.z) * n.z;
}

// ---------------------------------------------------------------------------------------
// Jacobian

struct PoseCase {
    const char* name;
    double angle;
};

class JacobianAtPose : public testing::TestWithParam<PoseCase> {};

TEST_P(JacobianAtPose, MatchesCentralDifferencesOfTheExponentialMap) {
    std::mt19937_64 rng(17);
    for (int trial = 0; trial < 8; ++trial) {
        const Vec3 axis = to_vec(random_unit(rng));
        const PoseVector x = pose_with_angle(axis, GetParam().angle, to_vec(random_point(rng, 0.7)));
        const PlaneJacobian jacobian(x);
        for (int point = 0; point < 4; ++point) {
            const Point3 p = random_point(rng);
            const Point3 n = random_unit(rng);
            const Point3 q = random_point(rng);
            const PoseVector row = jacobian.row(p, n);
            for (int k = 0; k < 6; ++k) {
                const double h = 1e-6;
                PoseVector up = x, down = x;
                up[k] += h;
                down[k] -= h;
                const double fd = (plane_residual(up, p, n, q) - plane_residual(down, p, n, q)) / (2 * h);
                EXPECT_NEAR(row[k], fd, 1e-8) << "coordinate " << k << " angle " << GetParam().angle;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Angles, JacobianAtPose,
                         testing::Values(PoseCase{"zero", 0.0}, PoseCase{"series", 3e-5},
                                         PoseCase{"small", 2e-3}, PoseCase{"moderate", 0.9},
                                         PoseCase{"large", 2.5}, PoseCase{"near_pi", kPi - 1e-4},
                                         PoseCase{"pi", kPi}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(PlaneJacobian, SeriesAndClosedFormMeetAtTheThreshold) {
    std::mt19937_64 rng(5);
    for (int trial = 0; trial < 16; ++trial) {
        const Vec3 axis = to_vec(random_unit(rng));
        const Vec3 rho = to_vec(random_point(rng));
        // Squared angles one part in 1e9 below and above the switch at 1e-8.
        const PlaneJacobian below(pose_with_angle(axis, std::sqrt(1e-8 * (1 - 1e-9)), rho));
        const PlaneJacobian above(pose_with_angle(axis, std::sqrt(1e-8 * (1 + 1e-9)), rho));
        const Point3 p = random_point(rng), n = random_unit(rng);
        const PoseVector a = below.row(p, n), b = above.row(p, n);
        // Just above the switch (1 - cos t) / t^2 keeps only about eight digits, and B
        // enters dt/dw_k = (B E_k + ...) rho undamped; in V it is damped by W.
        const double tolerance = 2e-8 * (1.0 + rho.norm());
        for (int k = 0; k < 3; ++k) EXPECT_NEAR(a[k], b[k], tolerance) << k;
        for (int k = 3; k < 6; ++k) EXPECT_NEAR(a[k], b[k], 1e-12) << k;  // V = I + B W + ...
    }
}

TEST(PlaneJacobian, RowAtZeroRotationIsCrossProductAndNormal) {
    std::mt19937_64 rng(9);
    for (int trial = 0; trial < 16; ++trial) {
        const Vec3 rho = trial == 0 ? Vec3::Zero() : to_vec(random_point(rng, 2.0));
        PoseVector x;
        x << Vec3::Zero(), rho;
        const Point3 p = random_point(rng), n = random_unit(rng);
        const PoseVector row = PlaneJacobian(x).row(p, n);
        const Vec3 rotation = (to_vec(p) + rho / 2).cross(to_vec(n));
        for (int k = 0; k < 3; ++k) {
            EXPECT_NEAR(row[k], rotation[k], 1e-15);
            EXPECT_EQ(row[3 + k], n[k]);
        }
    }
}

// ---------------------------------------------------------------------------------------
// Step

struct StepProblem {
    PointCloud source;
    std::vector<PlaneCorrespondence> correspondences;
    std::vector<double> weights;
    PoseVector x;
};

StepProblem random_problem(std::size_t n, unsigned seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    StepProblem problem;
    problem.x = pose_with_angle(to_vec(random_unit(rng)), 0.4, Vec3(0.1, -0.2, 0.05));
    for (std::size_t i = 0; i < n; ++i) {
        problem.source.push_back(random_point(rng));
        problem.correspondences.push_back({random_unit(rng), 0.1 * (unit(rng) - 0.5)});
        problem.weights.push_back(unit(rng));
    }
    return problem;
}

PoseVector step_of(const StepProblem& p) {
    return point_to_plane_step(p.source, p.correspondences, p.weights, p.x);
}

TEST(PlaneStep, ReducesTheLinearisedResiduals) {
    StepProblem problem = random_problem(200, 3);
    const PoseVector delta = step_of(problem);
    // The step solves the normal equations: the weighted gradient of the linear model
    // sum w (r + J delta)^2 vanishes at delta.
    const PlaneJacobian jacobian(problem.x);
    PoseVector gradient = PoseVector::Zero();
    for (std::size_t i = 0; i < problem.source.size(); ++i) {
        const PoseVector j = jacobian.row(problem.source[i], problem.correspondences[i].normal);
        gradient += problem.weights[i] * (problem.correspondences[i].residual + j.dot(delta)) * j;
    }
    EXPECT_GT(delta.norm(), 1e-3);
    EXPECT_LT(gradient.norm(), 1e-12);
}

TEST(PlaneStep, DegenerateWeightsGiveZeroStep) {
    StepProblem problem = random_problem(50, 4);
    std::fill(problem.weights.begin(), problem.weights.end(), 0.0);
    EXPECT_EQ(step_of(problem), PoseVector::Zero());
    // A total weight that overflows is not a usable normaliser either.
    std::fill(problem.weights.begin(), problem.weights.end(), 1e307);
    EXPECT_EQ(step_of(problem), PoseVector::Zero());
}

TEST(PlaneStep, ZeroResidualsGiveZeroStep) {
    StepProblem problem = random_problem(50, 6);
    for (auto& c : problem.correspondences) c.residual = 0.0;
    EXPECT_EQ(step_of(problem), PoseVector::Zero());
}

TEST(PlaneStep, NonFiniteSystemGivesZeroStep) {
    StepProblem problem = random_problem(20, 7);
    problem.source[3] = {1e300, -1e300, 1e300};  // its Jacobian row overflows
    EXPECT_EQ(step_of(problem), PoseVector::Zero());
}

class WeightScaling : public testing::TestWithParam<double> {};

TEST_P(WeightScaling, LeavesTheStepUnchanged) {
    StepProblem problem = random_problem(300, 8);
    const PoseVector reference = step_of(problem);
    for (double& w : problem.weights) w *= GetParam();
    const PoseVector scaled = step_of(problem);
    const double factor = GetParam();
    if (std::exp2(std::round(std::log2(factor))) == factor) {
        // A power of two scales every weight and the total exactly.
        EXPECT_EQ(scaled, reference);
    } else {
        EXPECT_LT((scaled - reference).norm(), 1e-13 * reference.norm());
    }
}

INSTANTIATE_TEST_SUITE_P(Factors, WeightScaling, testing::Values(1024.0, 0.125, 3.7, 1e-5, 1e200));

class SinglePlane : public testing::TestWithParam<int> {};

TEST_P(SinglePlane, StepHasNoComponentAlongUnconstrainedDirections) {
    std::mt19937_64 rng(100 + GetParam());
    const Vec3 normal = to_vec(random_unit(rng));
    const Vec3 rho = to_vec(random_point(rng, 0.3));
    StepProblem problem;
    problem.x << Vec3::Zero(), rho;
    for (int i = 0; i < 100; ++i) {
        problem.source.push_back(random_point(rng));
        problem.correspondences.push_back({to_point(normal), 0.05 * normal.dot(to_vec(random_point(rng)))});
        problem.weights.push_back(1.0);
    }
    const PoseVector delta = step_of(problem);
    // Sliding within the plane and turning about its normal leave every residual as it is.
    const Vec3 slide_a = normal.unitOrthogonal();
    const Vec3 slide_b = normal.cross(slide_a);
    EXPECT_LT(std::abs(delta.head<3>().dot(normal)), 1e-12);
    EXPECT_LT(std::abs(delta.tail<3>().dot(slide_a)), 1e-12);
    EXPECT_LT(std::abs(delta.tail<3>().dot(slide_b)), 1e-12);
    EXPECT_GT(delta.norm(), 1e-3);
}

INSTANTIATE_TEST_SUITE_P(Normals, SinglePlane, testing::Range(0, 4));

class SinglePoint : public testing::TestWithParam<double> {};

TEST_P(SinglePoint, StepIsTheMinimumNormSolution) {
    std::mt19937_64 rng(11);
    const PoseVector x = pose_with_angle(Vec3(1, 2, -1), 0.8, Vec3(0.3, 0.1, -0.4));
    const Point3 p = random_point(rng), n = random_unit(rng);
    const double r = GetParam();
    const std::vector<Point3> source{p};
    const std::vector<PlaneCorrespondence> corr{{n, r}};
    const std::vector<double> weights{0.25};
    const PoseVector delta = point_to_plane_step(source, corr, weights, x);
    // Rank one: the only solution of J delta = -r without a null-space part.
    const PoseVector j = PlaneJacobian(x).row(p, n);
    const PoseVector expected = (-r / j.squaredNorm()) * j;
    EXPECT_LT((delta - expected).norm(), 1e-14 * (1 + expected.norm()));
}

INSTANTIATE_TEST_SUITE_P(Residuals, SinglePoint, testing::Values(-1.0, 0.3, 1e-9, 250.0));

class StepThreads : public testing::TestWithParam<std::size_t> {};

TEST_P(StepThreads, IsBitIdenticalForAnyNumberOfThreads) {
    const StepProblem problem = random_problem(GetParam(), 21);
    PoseVector single;
    {
        tbb::global_control one(tbb::global_control::max_allowed_parallelism, 1);
        single = step_of(problem);
    }
    const PoseVector parallel = step_of(problem);
    EXPECT_EQ(std::memcmp(single.data(), parallel.data(), sizeof(double) * 6), 0)
        << single.transpose() << "\n" << parallel.transpose();
    EXPECT_GT(parallel.norm(), 0.0);
}

INSTANTIATE_TEST_SUITE_P(Sizes, StepThreads, testing::Values(16384, 16385, 40000));

// ---------------------------------------------------------------------------------------
// Iteration, end to end

// z = f(x, y) on a square grid, with its exact unit normals.
struct Surface {
    PointCloud points;
    PointCloud normals;
};

Surface smooth_surface(int side) {
    Surface s;
    for (int a = 0; a < side; ++a) {
        for (int b = 0; b < side; ++b) {
            const double x = -1.0 + 2.0 * a / (side - 1), y = -1.0 + 2.0 * b / (side - 1);
            const double z = 0.3 * std::sin(2 * x) * std::cos(1.5 * y) + 0.2 * x * y;
            const double fx = 0.6 * std::cos(2 * x) * std::cos(1.5 * y) + 0.2 * y;
            const double fy = -0.45 * std::sin(2 * x) * std::sin(1.5 * y) + 0.2 * x;
            s.points.push_back({x, y, z});
            s.normals.push_back(unit_point(Vec3(-fx, -fy, 1.0)));
        }
    }
    return s;
}

struct Motion {
    Mat3 rotation;
    Vec3 translation;

    // The source point that this motion carries onto q.
    Point3 preimage(const Point3& q) const { return to_point(rotation.transpose() * (to_vec(q) - translation)); }
};

Motion known_motion() {
    return {Eigen::AngleAxisd(0.15, Vec3(0.3, -0.5, 1.0).normalized()).toRotationMatrix(),
            Vec3(0.08, -0.05, 0.12)};
}

double rotation_error(const RegistrationResult& r, const Motion& m) { return (r.rotation - m.rotation).norm(); }
double translation_error(const RegistrationResult& r, const Motion& m) {
    return (r.translation - m.translation).norm();
}

RegistrationResult run(std::span<const Point3> source, const Surface& target, const RegisterOptions& o) {
    auto result = register_with_normals(source, target.points, std::span<const Point3>(target.normals), o);
    EXPECT_TRUE(result.has_value());
    return result.value();
}

class PlaneMethods : public testing::TestWithParam<Method> {};

TEST_P(PlaneMethods, RecoverAKnownMotionOfASmoothSurface) {
    const Surface target = smooth_surface(40);
    const Motion motion = known_motion();
    PointCloud source;
    for (const Point3& q : target.points) source.push_back(motion.preimage(q));
    const RegistrationResult r = run(source, target, default_options(GetParam()));
    EXPECT_LT(rotation_error(r, motion), 1e-6);
    EXPECT_LT(translation_error(r, motion), 1e-6);
    EXPECT_LT(r.rmse, 1e-6);
    EXPECT_EQ(r.scale, 1.0);
    EXPECT_EQ(r.nu.has_value(), GetParam() == Method::RobustPointToPlane);
}

TEST_P(PlaneMethods, ZeroInitialResidualsConvergeInOneIteration) {
    // Each source point slides within the tangent plane of its nearest target point.
    PointCloud target, normals, source;
    for (int a = 0; a < 20; ++a) {
        for (int b = 0; b < 20; ++b) {
            target.push_back({0.1 * a, 0.1 * b, 0.0});
            normals.push_back({0.0, 0.0, 1.0});
            source.push_back({0.1 * a + 0.01, 0.1 * b - 0.02, 0.0});
        }
    }
    RegisterOptions o = default_options(GetParam());
    o.init = InitMode::identity();
    auto r = register_with_normals(source, target, std::span<const Point3>(normals), o);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r.value().iterations, 1u);
    EXPECT_TRUE(r.value().converged);
    EXPECT_EQ(r.value().rmse, 0.0);
}

TEST_P(PlaneMethods, ResidualsAreNonNegativeDistancesAtTheFinalTransform) {
    const Surface target = smooth_surface(25);
    const Motion motion = known_motion();
    std::mt19937_64 rng(2);
    PointCloud source;
    for (const Point3& q : target.points) {
        const Point3 noisy = to_point(to_vec(q) + 0.02 * to_vec(random_point(rng)));
        source.push_back(motion.preimage(noisy));
    }
    const KdTree tree = KdTree::build(target.points);
    RegisterOptions o = default_options(GetParam());
    o.max_iterations = 5;
    SimilarityTransform initial;
    initial.translation = motion.translation;
    const SolverResult result = solve_point_to_plane(source, target.points, tree, QueryOrder::spatial(source), target.normals, o, initial);
    ASSERT_EQ(result.residuals.size(), source.size());
    PlaneCorrespondences final_corr(source.size());
    find_plane_correspondences(result.transform, source, QueryOrder::spatial(source), tree, target.normals, final_corr);
    int negative_before_abs = 0;
    for (std::size_t i = 0; i < source.size(); ++i) {
        EXPECT_GE(result.residuals[i], 0.0);
        EXPECT_EQ(result.residuals[i], std::abs(final_corr.pairs[i].residual));
        negative_before_abs += final_corr.pairs[i].residual < 0;
    }
    EXPECT_GT(negative_before_abs, 0);
    EXPECT_EQ(result.nu.has_value(), GetParam() == Method::RobustPointToPlane);
}

INSTANTIATE_TEST_SUITE_P(Methods, PlaneMethods,
                         testing::Values(Method::PointToPlane, Method::RobustPointToPlane),
                         [](const auto& info) { return std::string(method_name(info.param)); });

// A source that covers part of the surface plus far outliers: plain Gauss-Newton from
// the identity overshoots there, so some iterations raise the energy.
PointCloud partial_source_with_outliers(const Surface& target, const Motion& motion) {
    PointCloud source;
    for (const Point3& q : target.points) {
        if (q.x < 0.2) source.push_back(motion.preimage(q));
    }
    std::mt19937_64 rng(77);
    const std::size_t outliers = source.size() * 3 / 7;  // 30 % of the source
    for (std::size_t i = 0; i < outliers; ++i) {
        const Point3 far = to_point(to_vec(random_point(rng, 0.5)) + Vec3(0.0, 0.0, 3.0));
        source.push_back(motion.preimage(far));
    }
    return source;
}

TEST(RobustPointToPlane, SurvivesOutliersAndPartialOverlapWherePlainFails) {
    const Surface target = smooth_surface(30);
    const Motion motion = known_motion();
    const PointCloud source = partial_source_with_outliers(target, motion);
    RegisterOptions robust = default_options(Method::RobustPointToPlane);
    RegisterOptions plain = default_options(Method::PointToPlane);
    robust.init = plain.init = InitMode::identity();
    plain.max_iterations = 30;  // it does not improve with more
    const RegistrationResult r = run(source, target, robust);
    const RegistrationResult p = run(source, target, plain);
    EXPECT_LT(rotation_error(r, motion), 1e-6);
    EXPECT_LT(translation_error(r, motion), 1e-6);
    EXPECT_GT(rotation_error(p, motion) + translation_error(p, motion), 0.05);
    EXPECT_NEAR(r.inlier_ratio, 0.7, 0.02);
}

TEST(PointToPlane, WithoutLineSearchEveryIterationIsAPlainGaussNewtonStep) {
    const Surface target = smooth_surface(20);
    const PointCloud source = partial_source_with_outliers(target, known_motion());
    const KdTree tree = KdTree::build(target.points);
    RegisterOptions o = default_options(Method::PointToPlane);
    o.tolerance = 0.0;
    o.max_iterations = 12;
    o.max_line_search = 0;
    const SimilarityTransform initial;
    const SolverResult solved = solve_point_to_plane(source, target.points, tree, QueryOrder::spatial(source), target.normals, o, initial);

    SimilarityTransform t = initial;
    PlaneCorrespondences corr(source.size());
    const std::vector<double> ones(source.size(), 1.0);
    find_plane_correspondences(t, source, QueryOrder::spatial(source), tree, target.normals, corr);
    double energy = 0.0, previous = std::numeric_limits<double>::infinity();
    int rises = 0;
    for (int it = 0; it < 12; ++it) {
        energy = 0.0;
        for (const auto& c : corr.pairs) energy += c.residual * c.residual;
        rises += energy >= previous;
        previous = energy;
        const PoseVector x = pose_log(t);
        t = pose_exp(x + point_to_plane_step(source, corr.pairs, ones, x));
        find_plane_correspondences(t, source, QueryOrder::spatial(source), tree, target.normals, corr);
    }
    EXPECT_GT(rises, 0);  // so a line search would have run
    EXPECT_EQ(solved.transform.rotation, t.rotation);
    EXPECT_EQ(solved.transform.translation, t.translation);
    EXPECT_EQ(solved.iterations, 12u);

    o.max_line_search = 8;
    const SolverResult searched = solve_point_to_plane(source, target.points, tree, QueryOrder::spatial(source), target.normals, o, initial);
    EXPECT_NE(searched.transform.translation, t.translation);
}

// A plane target and a source lifted by exactly 1 off it: every initial residual is 1,
// the plane statistic is 0 so nu_end is the 1e-9 floor, and nu_begin_k = 16e-9 gives
// five stages, 16, 8, 4, 2, 1 times 1e-9, each factor exact.
struct LiftedPlane {
    PointCloud target, normals, source;

    explicit LiftedPlane(double lift = 1.0) {
        for (int a = 0; a < 12; ++a) {
            for (int b = 0; b < 12; ++b) {
                target.push_back({0.25 * a, 0.25 * b, 0.0});
                normals.push_back({0.0, 0.0, 1.0});
                source.push_back({0.25 * a, 0.25 * b, lift});
            }
        }
    }

    RegistrationResult run(const RegisterOptions& o) const {
        auto r = register_with_normals(source, target, std::span<const Point3>(normals), o);
        EXPECT_TRUE(r.has_value());
        return r.value();
    }
};

RegisterOptions five_stage_options() {
    RegisterOptions o = default_options(Method::RobustPointToPlane);
    o.normalize = false;
    o.init = InitMode::identity();
    o.tolerance = 0.0;
    o.nu_begin_k = 16e-9;
    return o;
}

struct BudgetCase {
    std::uint64_t max_iterations;
    std::uint64_t expected_iterations;
};

class RobustStageBudgets : public testing::TestWithParam<BudgetCase> {};

TEST_P(RobustStageBudgets, GrowFromSevenAndAreCappedByMaxIterations) {
    RegisterOptions o = five_stage_options();
    o.max_iterations = GetParam().max_iterations;
    const RegistrationResult r = LiftedPlane().run(o);
    EXPECT_EQ(r.iterations, GetParam().expected_iterations);
    EXPECT_FALSE(r.converged);
    EXPECT_EQ(r.nu, 1e-9);
}

INSTANTIATE_TEST_SUITE_P(Budgets, RobustStageBudgets,
                         testing::Values(BudgetCase{10, 7 + 8 + 9 + 10 + 10}, BudgetCase{1, 5},
                                         BudgetCase{8, 7 + 8 + 8 + 8 + 8},
                                         BudgetCase{100, 7 + 8 + 9 + 10 + 11}));

TEST(PointToPlane, ZeroToleranceRunsTheWholeBudget) {
    RegisterOptions o = default_options(Method::PointToPlane);
    o.tolerance = 0.0;
    o.max_iterations = 12;
    const RegistrationResult r = LiftedPlane().run(o);
    EXPECT_EQ(r.iterations, 12u);
    EXPECT_FALSE(r.converged);
    EXPECT_LT(r.rmse, 1e-12);  // the centroid start already undoes the lift
}

TEST(RobustPointToPlane, InfiniteFirstNuStillEnds) {
    RegisterOptions o = five_stage_options();
    o.nu_begin_k = 1e308;
    o.tolerance = 1e-5;
    // 1e308 times the initial residual 100 overflows.
    const RegistrationResult r = LiftedPlane(100.0).run(o);
    EXPECT_LE(r.iterations, 7u + 8u);
    EXPECT_EQ(r.nu, 1e-9);
}

}  // namespace
}  // namespace tarvo
