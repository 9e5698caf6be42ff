// "icp", "fast_icp" and "robust_icp" end to end: through the driver on synthetic
// surfaces with known motions, and through the solver for the iteration accounting.
#include "anderson.hpp"
#include "kdtree.hpp"
#include "motions.hpp"
#include "point_to_point.hpp"
#include "registration.hpp"
#include "spatial_order.hpp"
#include "util.hpp"
#include "welsch.hpp"

#include <Eigen/Geometry>
#include <gtest/gtest.h>
#include <tbb/global_control.h>

#include <cmath>
#include <cstring>
#include <random>

namespace tarvo {
namespace {

using motions::motion;
using motions::pull_back;

// A smooth height field of two bumps on a gentle slope, sampled on a jittered grid;
// free of the near-symmetries that give plain ICP false minima.
PointCloud surface(std::size_t side, unsigned seed, double x0 = -1.0, double x1 = 1.0) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> jitter(-0.3, 0.3);
    PointCloud c;
    c.reserve(side * side);
    const double step = (x1 - x0) / static_cast<double>(side - 1);
    for (std::size_t i = 0; i < side; ++i) {
        for (std::size_t j = 0; j < side; ++j) {
            const double x = x0 + step * (static_cast<double>(i) + jitter(rng));
            const double y = -1.0 + 2.0 / static_cast<double>(side - 1) * (static_cast<double>(j) + jitter(rng));
            const double z = 0.5 * std::exp(-((x - 0.3) * (x - 0.3) + (y + 0.2) * (y + 0.2)) / 0.2) +
                             0.3 * std::exp(-((x + 0.5) * (x + 0.5) + (y - 0.5) * (y - 0.5)) / 0.1) +
                             0.1 * x * x - 0.1 * y * y * y;
            c.push_back({x, y, z});
        }
    }
    return c;
}

double rotation_error(const Mat3& a, const Mat3& b) {
    return Eigen::AngleAxisd(a.transpose() * b).angle();
}

RegistrationResult run(const PointCloud& source, const PointCloud& target, const RegisterOptions& o) {
    auto r = register_with_normals(source, target, std::nullopt, o);
    EXPECT_TRUE(r.has_value()) << (r ? "" : r.error().message());
    return r.value();
}

class RecoversMotion : public ::testing::TestWithParam<Method> {};

TEST_P(RecoversMotion, ExactCorrespondences) {
    const PointCloud target = surface(40, 1);
    const SimilarityTransform m = motion(12.0, Vec3(0.3, -0.5, 1.0), Vec3(0.2, -0.1, 0.15));
    const PointCloud source = pull_back(target, m);
    RegisterOptions o = default_options(GetParam());
    o.tolerance = 1e-10;
    o.max_iterations = 300;
    const RegistrationResult r = run(source, target, o);
    EXPECT_LT(rotation_error(r.rotation, m.rotation), 1e-6);
    EXPECT_LT((r.translation - m.translation).norm(), 1e-6);
    EXPECT_EQ(r.scale, 1.0);
    EXPECT_LT(r.rmse, 1e-6);
    EXPECT_EQ(r.nu.has_value(), GetParam() == Method::RobustIcp);
}

INSTANTIATE_TEST_SUITE_P(PointToPoint, RecoversMotion,
                         ::testing::Values(Method::Icp, Method::FastIcp, Method::RobustIcp));

TEST(Robustness, FarOutliersDefeatIcpButNotRobustIcp) {
    const PointCloud target = surface(40, 2);
    const SimilarityTransform m = motion(8.0, Vec3(1, 1, 0), Vec3(0.1, 0.05, -0.05));
    PointCloud source = pull_back(target, m);
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> far(-3.0, 3.0);
    for (std::size_t i = 0; i < source.size(); i += 10) {
        for (std::size_t j = i; j < i + 3 && j < source.size(); ++j) {  // 30 % replaced
            source[j] = {far(rng), far(rng), 2.0 + far(rng)};
        }
    }
    const RegistrationResult robust = run(source, target, default_options(Method::RobustIcp));
    const RegistrationResult plain = run(source, target, default_options(Method::Icp));
    EXPECT_LT(rotation_error(robust.rotation, m.rotation), 1e-4);
    EXPECT_LT((robust.translation - m.translation).norm(), 1e-4);
    EXPECT_GT(rotation_error(plain.rotation, m.rotation), 1e-2);
    EXPECT_NEAR(robust.inlier_ratio, 0.7, 0.02);
}

TEST(Robustness, PartialOverlapBiasesIcpButNotRobustIcp) {
    // Source covers x in [-1, 0.6], target x in [-0.6, 1]: the shared band is 60 %.
    const PointCloud target = surface(50, 3, -0.6, 1.0);
    const SimilarityTransform m = motion(6.0, Vec3(0, 1, 1), Vec3(0.05, 0.02, 0.03));
    const PointCloud source = pull_back(surface(50, 3, -1.0, 0.6), m);
    const RegistrationResult robust = run(source, target, default_options(Method::RobustIcp));
    const RegistrationResult plain = run(source, target, default_options(Method::Icp));
    EXPECT_LT(rotation_error(robust.rotation, m.rotation), 5e-3);
    EXPECT_GT(rotation_error(plain.rotation, m.rotation), 3.0 * rotation_error(robust.rotation, m.rotation));
}

TEST(Similarity, RecoversScaleAndClampsIt) {
    const PointCloud target = surface(30, 4);
    const SimilarityTransform m = motion(10.0, Vec3(1, 0, 1), Vec3(0.1, 0.2, 0.0), 1.7);
    const PointCloud source = pull_back(target, m);
    for (Method method : {Method::Icp, Method::FastIcp, Method::RobustIcp}) {
        RegisterOptions o = default_options(method);
        o.estimate_scale = true;
        o.tolerance = 1e-10;
        o.max_iterations = 300;
        const RegistrationResult r = run(source, target, o);
        EXPECT_NEAR(r.scale, 1.7, 1e-6) << method_name(method);
        EXPECT_LT(rotation_error(r.rotation, m.rotation), 1e-6);

        o.scale_bounds = {0.5, 1.2};
        EXPECT_EQ(run(source, target, o).scale, 1.2) << method_name(method);
    }
}

TEST(Iterations, SingleIterationBudget) {
    const PointCloud target = surface(20, 5);
    const PointCloud source = pull_back(target, motion(5.0, Vec3(0, 0, 1), Vec3(0.1, 0, 0)));
    RegisterOptions o = default_options(Method::Icp);
    o.max_iterations = 1;
    const RegistrationResult r = run(source, target, o);
    EXPECT_EQ(r.iterations, 1u);
    EXPECT_FALSE(r.converged);
}

class IdenticalClouds : public ::testing::TestWithParam<Method> {};

TEST_P(IdenticalClouds, OneIterationAndConverged) {
    const PointCloud cloud = surface(20, 6);
    RegisterOptions o = default_options(GetParam());
    o.init = InitMode::identity();
    const RegistrationResult r = run(cloud, cloud, o);
    EXPECT_EQ(r.iterations, 1u);
    EXPECT_TRUE(r.converged);
    EXPECT_LT((r.rotation - Mat3::Identity()).norm(), 1e-12);
}

INSTANTIATE_TEST_SUITE_P(PointToPoint, IdenticalClouds,
                         ::testing::Values(Method::Icp, Method::FastIcp, Method::RobustIcp));

// Stage count of a robust run, from the same schedule the solver uses.
std::size_t stage_count(const PointCloud& source, const PointCloud& target, const KdTree& tree,
                        const RegisterOptions& o, const SimilarityTransform& initial) {
    PointCorrespondences corr(source.size());
    find_point_correspondences(initial, source, QueryOrder::spatial(source), tree, corr);
    const double spacing = median_neighbour_distance(target, tree, neighbour_count(o.nu_neighbors, target.size()));
    NuSchedule schedule = NuSchedule::begin(spacing, corr.distances, o);
    std::size_t stages = 1;
    while (schedule.advance()) ++stages;
    return stages;
}

TEST(Iterations, ZeroToleranceRunsEveryStageToItsBudget) {
    const PointCloud target = surface(20, 7);
    const PointCloud source = pull_back(target, motion(5.0, Vec3(1, 2, 3), Vec3(0.05, 0, 0)));
    const KdTree tree = KdTree::build(target);
    for (Method method : {Method::Icp, Method::FastIcp, Method::RobustIcp}) {
        RegisterOptions o = default_options(method);
        o.tolerance = 0.0;
        o.max_iterations = 4;
        const SolverResult r = solve_point_to_point(source, target, tree, QueryOrder::spatial(source), o, SimilarityTransform{});
        const std::size_t stages =
            method == Method::RobustIcp ? stage_count(source, target, tree, o, SimilarityTransform{}) : 1;
        EXPECT_EQ(r.iterations, 4u * stages) << method_name(method);
        EXPECT_FALSE(r.converged);
    }
}

TEST(Iterations, UnderflowingWeightsEndEveryStageAfterOneFit) {
    const PointCloud target = surface(20, 8);
    PointCloud source = target;
    for (auto& p : source) p.x += 5.0;  // far away: every distance is about 5
    const KdTree tree = KdTree::build(target);
    RegisterOptions o = default_options(Method::RobustIcp);
    o.nu_begin_k = 1e-3;  // nu0 is 1/1000 of the distances: every weight is exp(-500000) = 0
    o.nu_end_k = 1e-6;    // and several stages follow, each as degenerate
    const SolverResult r = solve_point_to_point(source, target, tree, QueryOrder::spatial(source), o, SimilarityTransform{});
    EXPECT_EQ(r.iterations, stage_count(source, target, tree, o, SimilarityTransform{}));
    EXPECT_GT(r.iterations, 1u);
    EXPECT_FALSE(r.converged);
    EXPECT_EQ(r.transform.rotation, Mat3::Identity());
    EXPECT_EQ(r.transform.translation, Vec3::Zero());
}

TEST(Scale, StaysExactlyOneWithoutEstimation) {
    const PointCloud target = surface(20, 9);
    const PointCloud source = pull_back(target, motion(20.0, Vec3(1, 0, 0), Vec3(0, 0.3, 0), 1.3));
    for (Method method : {Method::Icp, Method::FastIcp, Method::RobustIcp}) {
        EXPECT_EQ(run(source, target, default_options(method)).scale, 1.0) << method_name(method);
    }
}

TEST(Acceleration, FastIcpMatchesIcpInFewerIterations) {
    // A large rotation: plain ICP creeps towards it with ever smaller steps.
    const PointCloud target = surface(40, 10);
    const PointCloud source = pull_back(target, motion(25.0, Vec3(0.3, -0.5, 1.0), Vec3(0.2, -0.1, 0.15)));
    RegisterOptions o = default_options(Method::Icp);
    o.tolerance = 1e-9;
    o.max_iterations = 2000;
    const RegistrationResult plain = run(source, target, o);
    o.method = Method::FastIcp;
    const RegistrationResult fast = run(source, target, o);
    ASSERT_TRUE(plain.converged);
    ASSERT_TRUE(fast.converged);
    EXPECT_LT(rotation_error(plain.rotation, fast.rotation), 1e-6);
    EXPECT_LT((plain.translation - fast.translation).norm(), 1e-6);
    EXPECT_LT(2 * fast.iterations, plain.iterations)
        << "icp " << plain.iterations << ", fast_icp " << fast.iterations;
    std::printf("slow problem: icp %llu iterations, fast_icp %llu\n",
                static_cast<unsigned long long>(plain.iterations),
                static_cast<unsigned long long>(fast.iterations));
}

bool same_bits(const RegistrationResult& a, const RegistrationResult& b) {
    return std::memcmp(a.rotation.data(), b.rotation.data(), sizeof(double) * 9) == 0 &&
           std::memcmp(a.translation.data(), b.translation.data(), sizeof(double) * 3) == 0 &&
           std::memcmp(&a.rmse, &b.rmse, sizeof(double)) == 0 &&
           std::memcmp(&a.energy, &b.energy, sizeof(double)) == 0 && a.iterations == b.iterations;
}

TEST(Determinism, OneThreadAndAllThreadsAgreeBitForBit) {
    const PointCloud target = surface(200, 11);  // 40 000 points: three fit chunks
    const PointCloud source = pull_back(target, motion(7.0, Vec3(1, -1, 2), Vec3(0.1, 0.0, 0.05), 1.1));
    for (Method method : {Method::Icp, Method::FastIcp, Method::RobustIcp}) {
        RegisterOptions o = default_options(method);
        o.estimate_scale = true;
        o.max_iterations = 15;
        const RegistrationResult all = run(source, target, o);
        RegistrationResult one;
        {
            tbb::global_control single(tbb::global_control::max_allowed_parallelism, 1);
            one = run(source, target, o);
        }
        EXPECT_TRUE(same_bits(all, one)) << method_name(method);
    }
}

}  // namespace
}  // namespace tarvo

namespace tarvo {
namespace {

// A history longer than a stage is never filled: within one stage (at most one
// `compute` per iteration) an accelerator with as many slots as iterations gives the
// same bits as a longer one, so the solvers allocate no more than that.
TEST(Acceleration, HistoryBeyondTheStageBudgetChangesNothing) {
    using Vector = AndersonAccelerator<7>::Vector;
    constexpr int kIterations = 12;
    auto map = [](const Vector& u) {  // a smooth contraction
        Vector g;
        for (int i = 0; i < 7; ++i) g[i] = 0.6 * std::sin(u[(i + 1) % 7]) + 0.1 * i;
        return g;
    };
    const Vector u0 = Vector::Constant(0.3);
    AndersonAccelerator<7> longer(40, u0), capped(anderson_history_slots(40, kIterations), u0);
    Vector a = u0, b = u0;
    for (int it = 0; it < kIterations; ++it) {
        a = longer.compute(map(a));
        b = capped.compute(map(b));
        ASSERT_EQ(std::memcmp(a.data(), b.data(), sizeof(double) * 7), 0) << "iteration " << it;
    }

    const PointCloud target = surface(30, 12);
    const PointCloud source = pull_back(target, motion(20.0, Vec3(1, 2, 0), Vec3(0.1, 0.0, 0.1)));
    RegisterOptions o = default_options(Method::RobustIcp);
    o.anderson_m = std::uint64_t{1} << 40;  // 2^80 doubles if it were allocated
    EXPECT_LT(run(source, target, o).rmse, 1e-6);
    EXPECT_EQ(anderson_history_slots(0, 100), 1u);
    EXPECT_EQ(anderson_history_slots(5, 100), 5u);
    EXPECT_EQ(anderson_history_slots(1000, 10), 10u);
}

}  // namespace
}  // namespace tarvo
