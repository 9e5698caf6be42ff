#include "welsch.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

namespace tarvo {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

RegisterOptions schedule_options(double begin_k, double end_k, double alpha) {
    RegisterOptions o = default_options(Method::RobustIcp);
    o.nu_begin_k = begin_k;
    o.nu_end_k = end_k;
    o.nu_alpha = alpha;
    return o;
}

// Every nu the schedule runs a stage with, the first included.
std::vector<double> stages(NuSchedule schedule, std::size_t limit = 1000) {
    std::vector<double> nus{schedule.nu()};
    while (schedule.advance() && nus.size() < limit) nus.push_back(schedule.nu());
    return nus;
}

TEST(NuSchedule, FiveStageExample) {
    const std::vector<double> residuals{0.9, 0.5, 0.1};
    const NuSchedule s = NuSchedule::begin(0.1, residuals, schedule_options(3.0, 1.0, 0.5));
    EXPECT_EQ(s.nu_end(), 0.1);
    EXPECT_EQ(stages(s), (std::vector<double>{1.5, 0.75, 0.375, 0.1875, 0.1}));
}

TEST(NuSchedule, FinishedRunKeepsNuEnd) {
    NuSchedule s = NuSchedule::begin(0.1, std::vector<double>{0.5}, schedule_options(3.0, 1.0, 0.5));
    while (s.advance()) {
    }
    EXPECT_FALSE(s.advance());
    EXPECT_EQ(s.nu(), s.nu_end());
}

TEST(NuSchedule, ZeroResidualsGiveSingleStage) {
    const std::vector<double> residuals(10, 0.0);
    NuSchedule s = NuSchedule::begin(0.2, residuals, schedule_options(3.0, 0.5, 0.5));
    EXPECT_EQ(s.nu(), 0.1);
    EXPECT_EQ(s.nu(), s.nu_end());
    EXPECT_FALSE(s.advance());
    EXPECT_EQ(s.nu(), 0.1);
}

TEST(NuSchedule, EvenCountUsesMeanOfMiddleValues) {
    const std::vector<double> residuals{4.0, 1.0, 3.0, 2.0};
    const NuSchedule s = NuSchedule::begin(1.0, residuals, schedule_options(2.0, 0.01, 0.5));
    EXPECT_EQ(s.nu(), 5.0);
}

TEST(NuSchedule, LeavesResidualsInPlace) {
    const std::vector<double> original{5.0, 1.0, 4.0, 2.0, 3.0};
    std::vector<double> residuals = original;
    NuSchedule::begin(1.0, residuals, schedule_options(3.0, 0.1, 0.5));
    EXPECT_EQ(residuals, original);
}

struct FloorCase {
    double spacing;
    double end_k;
};

class NuEndFloor : public ::testing::TestWithParam<FloorCase> {};

TEST_P(NuEndFloor, FallsBackToFloor) {
    const NuSchedule s = NuSchedule::begin(GetParam().spacing, std::vector<double>{0.0},
                                           schedule_options(3.0, GetParam().end_k, 0.5));
    EXPECT_EQ(s.nu_end(), NU_FLOOR);
    EXPECT_EQ(s.nu(), NU_FLOOR);
}

INSTANTIATE_TEST_SUITE_P(Products, NuEndFloor,
                         ::testing::Values(FloorCase{0.0, 0.19245008972987526},  // coincident target
                                           FloorCase{1e-12, 1.0},               // below the floor
                                           FloorCase{kNaN, 1.0},                // NaN product
                                           FloorCase{kInf, 0.0}));              // 0 * inf

class NanFirstNu : public ::testing::TestWithParam<std::vector<double>> {};

TEST_P(NanFirstNu, FallsBackToNuEnd) {
    // 0 * inf and a NaN median both leave the first product NaN.
    const double begin_k = std::isinf(GetParam()[0]) ? 0.0 : 3.0;
    NuSchedule s = NuSchedule::begin(1.0, GetParam(), schedule_options(begin_k, 0.25, 0.5));
    EXPECT_EQ(s.nu(), 0.25);
    EXPECT_FALSE(s.advance());
}

INSTANTIATE_TEST_SUITE_P(Residuals, NanFirstNu,
                         ::testing::Values(std::vector<double>{kNaN}, std::vector<double>{kInf}));

TEST(NuSchedule, InfiniteFirstNuEndsAfterTwoStages) {
    const std::vector<double> residuals{1e308, 1e308, 1e308};
    const NuSchedule s = NuSchedule::begin(1.0, residuals, schedule_options(10.0, 0.5, 0.5));
    EXPECT_EQ(s.nu(), kInf);
    EXPECT_EQ(stages(s), (std::vector<double>{kInf, 0.5}));
}

// Each nu is the previous one times alpha (one multiplication), floored at nu_end, and the
// run ends with the first nu equal to nu_end; for these values that is also the formula
// 1 + ceil(ln(nu_end / nu0) / ln(alpha)).
struct SequenceCase {
    double median;
    double spacing;
    double alpha;
    std::size_t expected_stages;
};

class NuSequence : public ::testing::TestWithParam<SequenceCase> {};

TEST_P(NuSequence, ShrinksGeometricallyToNuEnd) {
    const SequenceCase& c = GetParam();
    const NuSchedule s = NuSchedule::begin(c.spacing, std::vector<double>{c.median},
                                           schedule_options(3.0, 0.2, c.alpha));
    const std::vector<double> nus = stages(s);
    ASSERT_EQ(nus.size(), c.expected_stages);
    EXPECT_EQ(nus.front(), 3.0 * c.median);
    for (std::size_t j = 1; j + 1 < nus.size(); ++j) {
        EXPECT_EQ(nus[j], nus[j - 1] * c.alpha);
        EXPECT_GT(nus[j], s.nu_end());
    }
    EXPECT_EQ(nus.back(), s.nu_end());
    EXPECT_GT(nus[nus.size() - 2] * c.alpha, 0.0);
    EXPECT_LE(nus[nus.size() - 2] * c.alpha, s.nu_end());
    const double formula = 1.0 + std::ceil(std::log(s.nu_end() / nus.front()) / std::log(c.alpha));
    EXPECT_EQ(static_cast<double>(nus.size()), formula);
}

INSTANTIATE_TEST_SUITE_P(Rates, NuSequence,
                         ::testing::Values(SequenceCase{1.0, 0.5, 0.5, 6},     // 3 -> 0.1
                                           SequenceCase{2.0, 0.05, 0.3, 7},    // 6 -> 0.01
                                           SequenceCase{0.7, 1.0, 0.9, 24},    // 2.1 -> 0.2
                                           SequenceCase{10.0, 0.01, 0.05, 5}));// 30 -> 0.002

TEST(Welsch, WeightAndTermFollowTheirFormulas) {
    const double nu = 0.5;
    const double two_nu_sq = two_nu_squared(nu);
    EXPECT_EQ(two_nu_sq, 0.5);
    EXPECT_EQ(welsch_weight(0.0, two_nu_sq), 1.0);
    EXPECT_NEAR(welsch_weight(1.0, two_nu_sq), std::exp(-2.0), 1e-16);
    EXPECT_EQ(welsch_term(0.0, 1.0 / two_nu_sq), 0.0);
    EXPECT_NEAR(welsch_term(1.0, 1.0 / two_nu_sq), 1.0 - std::exp(-2.0), 1e-16);
}

// A weight taken from the energy's exponential is the weight itself, bit for bit: the
// exponential is used only when both arguments are the same number, which they are for
// most distances but not all (the fallback is taken too).
TEST(Welsch, WeightFromTheEnergysExponentialIsTheWeight) {
    std::mt19937_64 rng(5);
    std::uniform_real_distribution<double> log_nu(-12.0, 3.0), ratio(0.0, 40.0);
    int shared = 0, computed = 0;
    for (int k = 0; k < 20000; ++k) {
        const double nu = std::pow(10.0, log_nu(rng));
        const double d = k % 100 == 0 ? 0.0 : ratio(rng) * nu;
        const double two_nu_sq = two_nu_squared(nu), c = 1.0 / two_nu_sq;
        const double want = welsch_weight(d, two_nu_sq);
        const double got = welsch_weight_from(welsch_exp(d, c), d, two_nu_sq, c);
        ASSERT_EQ(std::memcmp(&got, &want, sizeof got), 0) << "d " << d << ", nu " << nu;
        // A stand-in no exp() returns shows which way the weight was made.
        (welsch_weight_from(-1.0, d, two_nu_sq, c) == -1.0 ? shared : computed) += 1;
    }
    EXPECT_GT(shared, 10000);
    EXPECT_GT(computed, 1000);
}

}  // namespace
}  // namespace tarvo
