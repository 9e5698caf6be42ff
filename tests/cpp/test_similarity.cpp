#include "parallel.hpp"
#include "pose.hpp"
#include "similarity.hpp"

#include <Eigen/LU>
#include <gtest/gtest.h>
#include <tbb/global_control.h>
#include <tbb/task_arena.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

namespace tarvo {
namespace {

constexpr ScaleBounds kWideBounds{0.1, 10.0};

PointCloud random_cloud(std::size_t n, unsigned seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> coord(-1.0, 1.0);
    PointCloud cloud(n);
    for (Point3& p : cloud) p = {coord(rng), coord(rng), 0.5 * coord(rng)};
    return cloud;
}

std::vector<double> random_weights(std::size_t n, unsigned seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> weight(0.0, 1.0);
    std::vector<double> w(n);
    for (double& x : w) x = weight(rng);
    return w;
}

Mat3 rotation_of(double w0, double w1, double w2) {
    PoseVector x;
    x << w0, w1, w2, 0.0, 0.0, 0.0;
    return pose_exp(x).rotation;
}

SimilarityTransform make_transform(const Mat3& r, const Vec3& t, double s) {
    SimilarityTransform out;
    out.rotation = r;
    out.translation = t;
    out.scale = s;
    return out;
}

PointCloud transformed(const PointCloud& cloud, const SimilarityTransform& t) {
    PointCloud out(cloud.size());
    for (std::size_t i = 0; i < cloud.size(); ++i) out[i] = t.apply(cloud[i]);
    return out;
}

bool bit_identical(const SimilarityTransform& a, const SimilarityTransform& b) {
    return std::memcmp(a.rotation.data(), b.rotation.data(), sizeof(double) * 9) == 0 &&
           std::memcmp(a.translation.data(), b.translation.data(), sizeof(double) * 3) == 0 &&
           std::memcmp(&a.scale, &b.scale, sizeof(double)) == 0;
}

void expect_close(const SimilarityTransform& got, const SimilarityTransform& want, double tol) {
    EXPECT_LT((got.rotation - want.rotation).cwiseAbs().maxCoeff(), tol);
    EXPECT_LT((got.translation - want.translation).cwiseAbs().maxCoeff(), tol);
    EXPECT_NEAR(got.scale, want.scale, tol);
}

TEST(RotationFromSvd, KeepsProperProduct) {
    const Mat3 a = rotation_of(0.3, -0.2, 1.0), b = rotation_of(-1.0, 0.4, 0.2);
    const auto [r, flipped] = rotation_from_svd(a, b);
    EXPECT_FALSE(flipped);
    EXPECT_LT((r - a * b).cwiseAbs().maxCoeff(), 1e-15);
}

TEST(RotationFromSvd, FlipsThirdColumnOfFirstFactor) {
    const Mat3 a = rotation_of(0.3, -0.2, 1.0);
    const Mat3 mirror = Vec3(1.0, 1.0, -1.0).asDiagonal();
    const auto [r, flipped] = rotation_from_svd(a, mirror * rotation_of(0.5, 0.5, -0.5));
    EXPECT_TRUE(flipped);
    EXPECT_LT((r - a * mirror * mirror * rotation_of(0.5, 0.5, -0.5)).cwiseAbs().maxCoeff(), 1e-15);
    EXPECT_NEAR(r.determinant(), 1.0, 1e-15);
}

TEST(RotationFromSvd, NanDeterminantCountsAsFlipped) {
    Mat3 a = Mat3::Identity();
    a(0, 0) = std::numeric_limits<double>::quiet_NaN();
    EXPECT_TRUE(rotation_from_svd(a, Mat3::Identity()).second);
}

TEST(Svd3, ReconstructsMatrixWithNonNegativeValues) {
    Mat3 m;
    m << 1.0, -2.0, 0.5, 3.0, 0.25, -1.0, 0.0, 4.0, 2.0;
    const std::optional<Svd3> svd = svd3(m);
    ASSERT_TRUE(svd);
    EXPECT_TRUE((svd->singular_values.array() >= 0.0).all());
    const Mat3 back = svd->u * svd->singular_values.asDiagonal() * svd->v_transposed;
    EXPECT_LT((back - m).cwiseAbs().maxCoeff(), 1e-14);
}

TEST(Svd3, NonFiniteInputFails) {
    Mat3 m = Mat3::Identity();
    m(2, 1) = std::numeric_limits<double>::infinity();
    EXPECT_FALSE(svd3(m));
}

struct RecoveryCase {
    Vec3 omega;
    Vec3 translation;
    double scale;
    bool estimate_scale;
};

class FitRecovery : public ::testing::TestWithParam<RecoveryCase> {};

TEST_P(FitRecovery, RecoversExactTransform) {
    const RecoveryCase& c = GetParam();
    const SimilarityTransform truth =
        make_transform(rotation_of(c.omega[0], c.omega[1], c.omega[2]), c.translation, c.scale);
    const PointCloud p = random_cloud(500, 7);
    const PointCloud q = transformed(p, truth);
    const std::vector<double> w(p.size(), 1.0);
    const auto fit = fit_similarity(p, q, w, c.estimate_scale, kWideBounds);
    ASSERT_TRUE(fit);
    expect_close(*fit, truth, 1e-12);
    EXPECT_NEAR(fit->rotation.determinant(), 1.0, 1e-14);
    if (!c.estimate_scale) {
        EXPECT_EQ(fit->scale, 1.0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Transforms, FitRecovery,
    ::testing::Values(RecoveryCase{Vec3::Zero(), Vec3::Zero(), 1.0, false},
                      RecoveryCase{Vec3::Zero(), Vec3::Zero(), 1.0, true},
                      RecoveryCase{Vec3(0.2, -0.4, 0.9), Vec3(1.0, -2.0, 0.5), 1.0, false},
                      RecoveryCase{Vec3(0.0, 3.0, 0.0), Vec3(-5.0, 0.0, 2.0), 1.0, false},
                      RecoveryCase{Vec3(0.2, -0.4, 0.9), Vec3(1.0, -2.0, 0.5), 2.0, true},
                      RecoveryCase{Vec3(-1.0, 0.5, 0.1), Vec3(0.0, 0.3, -0.1), 0.4, true}));

TEST(FitSimilarity, ScaleClampedToUpperBoundWithMatchingTranslation) {
    const SimilarityTransform truth = make_transform(rotation_of(0.3, 0.1, -0.6), Vec3(2, 1, -1), 2.0);
    const PointCloud p = random_cloud(300, 11);
    const PointCloud q = transformed(p, truth);
    const std::vector<double> w(p.size(), 1.0);
    const auto fit = fit_similarity(p, q, w, true, ScaleBounds{0.1, 1.5});
    ASSERT_TRUE(fit);
    EXPECT_EQ(fit->scale, 1.5);
    EXPECT_LT((fit->rotation - truth.rotation).cwiseAbs().maxCoeff(), 1e-12);
    Vec3 p_bar = Vec3::Zero(), q_bar = Vec3::Zero();
    for (std::size_t i = 0; i < p.size(); ++i) {
        p_bar += to_vec(p[i]);
        q_bar += to_vec(q[i]);
    }
    p_bar /= static_cast<double>(p.size());
    q_bar /= static_cast<double>(p.size());
    EXPECT_LT((fit->translation - (q_bar - fit->rotation * (1.5 * p_bar))).norm(), 1e-13);
}

TEST(FitSimilarity, ScaleClampedToLowerBound) {
    const SimilarityTransform truth = make_transform(Mat3::Identity(), Vec3::Zero(), 0.05);
    const PointCloud p = random_cloud(100, 3);
    const std::vector<double> w(p.size(), 1.0);
    const auto fit = fit_similarity(p, transformed(p, truth), w, true, kWideBounds);
    ASSERT_TRUE(fit);
    EXPECT_EQ(fit->scale, 0.1);
}

TEST(FitSimilarity, ZeroWeightsIgnoreOutliers) {
    const SimilarityTransform truth = make_transform(rotation_of(-0.5, 0.2, 0.7), Vec3(0.1, 0.2, 0.3), 1.0);
    const PointCloud p = random_cloud(400, 5);
    PointCloud q = transformed(p, truth);
    std::vector<double> w = random_weights(p.size(), 6);
    for (std::size_t i = 0; i < q.size(); i += 7) {
        q[i].x += 10.0;  // gross outlier, switched off by its weight
        w[i] = 0.0;
    }
    const auto fit = fit_similarity(p, q, w, false, kWideBounds);
    ASSERT_TRUE(fit);
    expect_close(*fit, truth, 1e-12);
}

TEST(FitSimilarity, MirrorImageGivesProperRotation) {
    const PointCloud p = random_cloud(200, 9);
    PointCloud q = p;
    for (Point3& x : q) x.z = -x.z;
    const std::vector<double> w(p.size(), 1.0);
    const auto fit = fit_similarity(p, q, w, true, kWideBounds);
    ASSERT_TRUE(fit);
    EXPECT_NEAR(fit->rotation.determinant(), 1.0, 1e-14);
    EXPECT_LT((fit->rotation.transpose() * fit->rotation - Mat3::Identity()).cwiseAbs().maxCoeff(), 1e-14);
}

// No weights stand for a weight of 1 on every pair, to the last bit, on a noisy fit
// and on a non-finite pair alike.
class FitWithoutWeights : public ::testing::TestWithParam<bool> {};

TEST_P(FitWithoutWeights, EqualsExplicitOnes) {
    const bool estimate_scale = GetParam();
    const PointCloud p = random_cloud(20000, 31);
    PointCloud q = transformed(p, make_transform(rotation_of(0.3, -0.2, 0.5), Vec3(1, 2, -3), 1.3));
    std::mt19937_64 rng(32);
    std::normal_distribution<double> noise(0.0, 0.05);
    for (Point3& x : q) x = {x.x + noise(rng), x.y + noise(rng), x.z + noise(rng)};
    const std::vector<double> ones(p.size(), 1.0);
    const auto weighted = fit_similarity(p, q, ones, estimate_scale, kWideBounds);
    const auto unweighted = fit_similarity(p, q, {}, estimate_scale, kWideBounds);
    ASSERT_TRUE(weighted && unweighted);
    EXPECT_TRUE(bit_identical(*weighted, *unweighted));

    q[7].z = std::numeric_limits<double>::quiet_NaN();
    EXPECT_FALSE(fit_similarity(p, q, {}, estimate_scale, kWideBounds));
}

INSTANTIATE_TEST_SUITE_P(Scale, FitWithoutWeights, ::testing::Bool());

class FitDegenerateWeights : public ::testing::TestWithParam<double> {};

TEST_P(FitDegenerateWeights, ReturnsNothing) {
    const PointCloud p = random_cloud(50, 1);
    std::vector<double> w(p.size(), 0.0);
    w[3] = GetParam();
    EXPECT_FALSE(fit_similarity(p, p, w, false, kWideBounds));
}

INSTANTIATE_TEST_SUITE_P(TotalWeight, FitDegenerateWeights,
                         ::testing::Values(0.0, -1.0, std::numeric_limits<double>::infinity(),
                                           std::numeric_limits<double>::quiet_NaN()));

TEST(FitSimilarity, NonFiniteCorrespondenceGivesNothing) {
    const PointCloud p = random_cloud(50, 2);
    PointCloud q = p;
    q[10].y = std::numeric_limits<double>::quiet_NaN();
    const std::vector<double> w(p.size(), 1.0);
    EXPECT_FALSE(fit_similarity(p, q, w, false, kWideBounds));
}

TEST(FitSimilarity, CoincidentSourceKeepsUnitScaleOutsideBounds) {
    const PointCloud p(40, Point3{0.5, -0.25, 2.0});
    const PointCloud q = random_cloud(40, 4);
    const std::vector<double> w(p.size(), 1.0);
    const auto fit = fit_similarity(p, q, w, true, ScaleBounds{2.0, 10.0});
    ASSERT_TRUE(fit);
    EXPECT_EQ(fit->scale, 1.0);
    Vec3 q_bar = Vec3::Zero();
    for (const Point3& x : q) q_bar += to_vec(x);
    q_bar /= 40.0;
    EXPECT_LT((fit->translation - (q_bar - fit->rotation * to_vec(p[0]))).norm(), 1e-14);
}

// A straightforward sequential computation of the same chunked sums, then the same
// closing steps: what the parallel fit must reproduce to the last bit.
SimilarityTransform sequential_fit(const PointCloud& p, const PointCloud& q,
                                   const std::vector<double>& w, ScaleBounds bounds) {
    const std::size_t n = p.size();
    double total_w = 0.0;
    Vec3 total_p = Vec3::Zero(), total_q = Vec3::Zero();
    for (std::size_t begin = 0; begin < n; begin += CHUNK_SIZE) {
        double cw = 0.0;
        double cp[3] = {0, 0, 0}, cq[3] = {0, 0, 0};
        for (std::size_t i = begin; i < std::min(n, begin + CHUNK_SIZE); ++i) {
            cw += w[i];
            for (int a = 0; a < 3; ++a) {
                cp[a] += w[i] * p[i][a];
                cq[a] += w[i] * q[i][a];
            }
        }
        total_w += cw;
        for (int a = 0; a < 3; ++a) {
            total_p[a] += cp[a];
            total_q[a] += cq[a];
        }
    }
    const Vec3 p_bar(total_p[0] / total_w, total_p[1] / total_w, total_p[2] / total_w);
    const Vec3 q_bar(total_q[0] / total_w, total_q[1] / total_w, total_q[2] / total_w);
    double s[3][3] = {}, var = 0.0;
    for (std::size_t begin = 0; begin < n; begin += CHUNK_SIZE) {
        double cs[3][3] = {}, cvar = 0.0;
        for (std::size_t i = begin; i < std::min(n, begin + CHUNK_SIZE); ++i) {
            double u[3], v[3];
            for (int a = 0; a < 3; ++a) {
                u[a] = p[i][a] - p_bar[a];
                v[a] = w[i] * (q[i][a] - q_bar[a]);
            }
            for (int a = 0; a < 3; ++a)
                for (int b = 0; b < 3; ++b) cs[a][b] += u[a] * v[b];
            cvar += w[i] * ((u[0] * u[0] + u[1] * u[1]) + u[2] * u[2]);
        }
        for (int a = 0; a < 3; ++a)
            for (int b = 0; b < 3; ++b) s[a][b] += cs[a][b];
        var += cvar;
    }
    Mat3 m;
    for (int a = 0; a < 3; ++a)
        for (int b = 0; b < 3; ++b) m(a, b) = s[a][b] / total_w;
    const Svd3 svd = *svd3(m);
    SimilarityTransform t;
    t.rotation = rotation_from_svd(svd.v_transposed.transpose(), svd.u.transpose()).first;
    double trace = 0.0;
    for (int a = 0; a < 3; ++a)
        for (int b = 0; b < 3; ++b) trace += t.rotation(a, b) * m(b, a);
    t.scale = bounds.clamp(trace / (var / total_w));
    const Vec3 sp = t.scale * p_bar;
    for (int i = 0; i < 3; ++i)
        t.translation[i] =
            q_bar[i] - ((t.rotation(i, 0) * sp[0] + t.rotation(i, 1) * sp[1]) + t.rotation(i, 2) * sp[2]);
    return t;
}

class FitChunking : public ::testing::TestWithParam<std::size_t> {};

TEST_P(FitChunking, BitIdenticalForAnyThreadCount) {
    const std::size_t n = GetParam();
    const PointCloud p = random_cloud(n, 21);
    PointCloud q = transformed(p, make_transform(rotation_of(0.4, 0.3, -0.2), Vec3(3, -1, 7), 1.7));
    std::mt19937_64 rng(22);
    std::normal_distribution<double> noise(0.0, 0.01);
    for (Point3& x : q) x = {x.x + noise(rng), x.y + noise(rng), x.z + noise(rng)};
    const std::vector<double> w = random_weights(n, 23);

    const auto run = [&] { return fit_similarity(p, q, w, true, kWideBounds); };
    std::optional<SimilarityTransform> single;
    {
        tbb::global_control one(tbb::global_control::max_allowed_parallelism, 1);
        single = run();
    }
    std::optional<SimilarityTransform> several;
    {
        tbb::global_control many(tbb::global_control::max_allowed_parallelism, 4);
        tbb::task_arena arena(4);
        arena.execute([&] { several = run(); });
    }
    ASSERT_TRUE(single && several);
    EXPECT_TRUE(bit_identical(*single, *several));
    EXPECT_TRUE(bit_identical(*single, sequential_fit(p, q, w, kWideBounds)));
}

INSTANTIATE_TEST_SUITE_P(Sizes, FitChunking, ::testing::Values(16385u, 100000u));

}  // namespace
}  // namespace tarvo
