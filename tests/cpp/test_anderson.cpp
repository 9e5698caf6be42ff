#include "anderson.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>

namespace tarvo {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

template <int D>
using Vec = Eigen::Matrix<double, D, 1>;

template <int D>
Vec<D> ramp(double start, double step) {
    Vec<D> v;
    for (int i = 0; i < D; ++i) v[i] = start + step * i;
    return v;
}

template <class T>
class AndersonTyped : public ::testing::Test {};

using Dimensions = ::testing::Types<std::integral_constant<int, 6>, std::integral_constant<int, 7>>;
TYPED_TEST_SUITE(AndersonTyped, Dimensions);

TYPED_TEST(AndersonTyped, FirstCallAfterCreationOrResetReturnsArgument) {
    constexpr int D = TypeParam::value;
    AndersonAccelerator<D> acc(5, ramp<D>(0.0, 1.0));
    const Vec<D> g = ramp<D>(0.3, -0.7);
    EXPECT_EQ(acc.compute(g), g);
    EXPECT_EQ(acc.current(), g);
    acc.compute(ramp<D>(1.0, 0.1));
    acc.reset(ramp<D>(5.0, 0.0));
    EXPECT_EQ(acc.current(), ramp<D>(5.0, 0.0));
    const Vec<D> h = ramp<D>(-2.0, 0.25);
    EXPECT_EQ(acc.compute(h), h);
}

// G(u) = a u + c: one secant step lands on the fixed point c / (1 - a), for contracting
// and expanding maps alike, whatever the history length.
TYPED_TEST(AndersonTyped, SecondCallSolvesScalarAffineMap) {
    constexpr int D = TypeParam::value;
    const Vec<D> c = ramp<D>(1.0, -0.5);
    for (double a : {0.5, -0.3, 0.95, 2.0}) {
        for (std::size_t m : {1u, 5u}) {
            const auto g_of = [&](const Vec<D>& u) -> Vec<D> { return a * u + c; };
            AndersonAccelerator<D> acc(m, ramp<D>(3.0, 1.0));
            const Vec<D> first = acc.compute(g_of(acc.current()));
            const Vec<D> second = acc.compute(g_of(first));
            const Vec<D> fixed = c / (1.0 - a);
            EXPECT_LT((second - fixed).cwiseAbs().maxCoeff(), 1e-12) << "a=" << a << " m=" << m;
        }
    }
}

TYPED_TEST(AndersonTyped, FixedPointInputIsReturned) {
    constexpr int D = TypeParam::value;
    const Vec<D> x = ramp<D>(0.5, 0.5);
    AndersonAccelerator<D> acc(3, x);
    EXPECT_EQ(acc.compute(x), x);
    EXPECT_EQ(acc.compute(x), x);
    EXPECT_EQ(acc.compute(x), x);
}

// The second residual equals the first: the completed difference is zero, the whole
// Gram block is zero, and the plain image comes back unchanged.
TYPED_TEST(AndersonTyped, RepeatedResidualGivesPlainImage) {
    constexpr int D = TypeParam::value;
    AndersonAccelerator<D> acc(4, Vec<D>::Zero());
    const Vec<D> f = ramp<D>(0.1, 0.2);
    const Vec<D> g1 = acc.compute(f);
    const Vec<D> g2 = g1 + f;
    EXPECT_EQ(acc.compute(g2), g2);
}

TYPED_TEST(AndersonTyped, NanImageGivesNonFiniteResult) {
    constexpr int D = TypeParam::value;
    AndersonAccelerator<D> acc(3, Vec<D>::Zero());
    acc.compute(ramp<D>(1.0, 1.0));
    Vec<D> g = ramp<D>(2.0, 0.5);
    g[2] = kNaN;
    EXPECT_FALSE(acc.compute(g).allFinite());
    Vec<D> first_nan = Vec<D>::Zero();
    first_nan[0] = kNaN;
    AndersonAccelerator<D> fresh(3, Vec<D>::Zero());
    EXPECT_FALSE(fresh.compute(first_nan).allFinite());
}

// After a non-finite image the very next finite image comes back as a plain step, and
// acceleration resumes once the poisoned slots have left the ring.
TYPED_TEST(AndersonTyped, RecoversAfterNonFiniteImage) {
    constexpr int D = TypeParam::value;
    const Vec<D> c = ramp<D>(1.0, 1.0);
    const auto g_of = [&](const Vec<D>& u) -> Vec<D> { return 0.5 * u + c; };
    AndersonAccelerator<D> acc(2, Vec<D>::Zero());
    Vec<D> u = acc.compute(g_of(acc.current()));
    Vec<D> bad = g_of(u);
    bad[1] = kNaN;
    ASSERT_FALSE(acc.compute(bad).allFinite());
    const Vec<D> g = g_of(u);
    EXPECT_EQ(acc.compute(g), g);
    u = g;
    for (int i = 0; i < 3; ++i) u = acc.compute(g_of(u));
    EXPECT_LT((u - 2.0 * c).cwiseAbs().maxCoeff(), 1e-12);
}

TYPED_TEST(AndersonTyped, ReplaceMeasuresResidualFromNewIterateAndKeepsHistory) {
    constexpr int D = TypeParam::value;
    const double a = 0.2;
    const Vec<D> c = ramp<D>(-1.0, 0.3);
    const Vec<D> fixed = c / (1.0 - a);
    const auto g_of = [&](const Vec<D>& u) -> Vec<D> { return a * u + c; };
    AndersonAccelerator<D> acc(5, Vec<D>::Zero());
    acc.compute(g_of(Vec<D>::Zero()));
    // On the line through the start and the fixed point, the secant through the first
    // (kept) history entry and the replaced iterate lands on the fixed point; measured
    // from the stale iterate it would not.
    const Vec<D> x = 0.5 * fixed;
    acc.replace(x);
    EXPECT_EQ(acc.current(), x);
    const Vec<D> out = acc.compute(g_of(x));
    EXPECT_LT((out - fixed).cwiseAbs().maxCoeff(), 1e-12);
    EXPECT_GT((out - g_of(x)).cwiseAbs().maxCoeff(), 1e-3);
}

// Different factors per component: a short history cannot capture both at once, two
// slots solve the linear map exactly in three calls.
TEST(Anderson, HistoryLengthMattersForMixedFactors) {
    using V = Vec<6>;
    V factors;
    factors << 0.5, 0.5, 0.5, -0.4, -0.4, -0.4;
    const V c = ramp<6>(1.0, 1.0);
    const V fixed = c.cwiseQuotient(V::Ones() - factors);
    const auto g_of = [&](const V& u) -> V { return factors.cwiseProduct(u) + c; };
    const auto third_iterate = [&](std::size_t m) {
        AndersonAccelerator<6> acc(m, V::Zero());
        V u = acc.compute(g_of(acc.current()));
        u = acc.compute(g_of(u));
        return acc.compute(g_of(u));
    };
    EXPECT_GT((third_iterate(1) - fixed).cwiseAbs().maxCoeff(), 1e-3);
    EXPECT_LT((third_iterate(2) - fixed).cwiseAbs().maxCoeff(), 1e-12);
    EXPECT_LT((third_iterate(5) - fixed).cwiseAbs().maxCoeff(), 1e-12);
}

TEST(Anderson, ZeroHistoryLengthActsAsOne) {
    const Vec<7> c = ramp<7>(0.5, 0.5);
    AndersonAccelerator<7> zero(0, Vec<7>::Zero()), one(1, Vec<7>::Zero());
    Vec<7> u0 = Vec<7>::Zero(), u1 = Vec<7>::Zero();
    for (int i = 0; i < 6; ++i) {
        u0 = zero.compute(0.3 * u0.array().sin().matrix() + c);
        u1 = one.compute(0.3 * u1.array().sin().matrix() + c);
        EXPECT_EQ(u0, u1);
    }
}

// A coupled contractive nonlinear map: the accelerated sequence reaches the fixed point
// in far fewer evaluations than plain iteration.
TEST(Anderson, AcceleratesNonlinearContraction) {
    using V = Vec<7>;
    const V c = ramp<7>(0.2, 0.1);
    const auto g_of = [&](const V& u) -> V {
        V out;
        for (int i = 0; i < 7; ++i) out[i] = 0.9 * std::cos(u[(i + 1) % 7]) * 0.5 + 0.45 * u[i] + c[i];
        return out;
    };
    const auto iterations_to_converge = [&](const std::function<V(const V&)>& step) {
        V u = V::Zero();
        for (int k = 1; k <= 2000; ++k) {
            const V g = g_of(u);
            if ((g - u).norm() < 1e-10) return k;
            u = step(g);
        }
        return 2001;
    };
    AndersonAccelerator<7> acc(5, V::Zero());
    const int plain = iterations_to_converge([](const V& g) { return g; });
    const int accelerated = iterations_to_converge([&](const V& g) { return acc.compute(g); });
    EXPECT_LT(plain, 2001);
    EXPECT_LT(accelerated * 2, plain) << "plain " << plain << " accelerated " << accelerated;
}

TEST(SolveLeastSquares, DropsSmallSingularValues) {
    Eigen::MatrixXd a(2, 2);
    a << 1.0, 0.0, 0.0, 1e-13;
    Eigen::VectorXd b(2);
    b << 2.0, 5.0;
    const Eigen::VectorXd theta = solve_least_squares(a, b);
    EXPECT_NEAR(theta[0], 2.0, 1e-15);
    EXPECT_EQ(theta[1], 0.0);
}

TEST(SolveLeastSquares, SolvesRegularSystem) {
    Eigen::MatrixXd a(3, 3);
    a << 4.0, 1.0, 0.5, 1.0, 3.0, 0.2, 0.5, 0.2, 2.0;
    Eigen::VectorXd x(3);
    x << 1.0, -2.0, 0.5;
    EXPECT_LT((solve_least_squares(a, a * x) - x).norm(), 1e-14);
}

TEST(SolveLeastSquares, UnusableSystemsGiveZero) {
    const Eigen::VectorXd b = Eigen::VectorXd::Ones(2);
    EXPECT_EQ(solve_least_squares(Eigen::MatrixXd::Zero(2, 2), b), Eigen::VectorXd::Zero(2));
    Eigen::MatrixXd nan_matrix = Eigen::MatrixXd::Identity(2, 2);
    nan_matrix(0, 1) = kNaN;
    EXPECT_EQ(solve_least_squares(nan_matrix, b), Eigen::VectorXd::Zero(2));
    Eigen::VectorXd nan_rhs = b;
    nan_rhs[1] = kNaN;
    EXPECT_EQ(solve_least_squares(Eigen::MatrixXd::Identity(2, 2), nan_rhs), Eigen::VectorXd::Zero(2));
}

}  // namespace
}  // namespace tarvo
