#include "options.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace tarvo {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

std::string message_of(const RegisterOptions& o) {
    auto error = validate_options(o);
    return error ? error->message() : std::string("ok");
}

TEST(Options, DefaultsDependOnMethod) {
    for (Method m : {Method::Icp, Method::FastIcp, Method::RobustIcp}) {
        const RegisterOptions o = default_options(m);
        EXPECT_EQ(o.max_iterations, 100u);
        EXPECT_EQ(o.nu_end_k, 0.19245008972987526);
        EXPECT_EQ(o.method, m);
    }
    EXPECT_EQ(default_options(Method::PointToPlane).max_iterations, 100u);
    EXPECT_EQ(default_options(Method::RobustPointToPlane).max_iterations, 10u);
    EXPECT_EQ(default_options(Method::PointToPlane).nu_end_k, 1.0 / 6.0);
    const RegisterOptions o = default_options(Method::RobustIcp);
    EXPECT_EQ(o.tolerance, 1e-5);
    EXPECT_EQ(o.anderson_m, 5u);
    EXPECT_EQ(o.nu_begin_k, 3.0);
    EXPECT_EQ(o.nu_alpha, 0.5);
    EXPECT_EQ(o.nu_neighbors, 7u);
    EXPECT_EQ(o.max_line_search, 8u);
    EXPECT_EQ(o.scale_bounds.lower, 0.1);
    EXPECT_EQ(o.scale_bounds.upper, 10.0);
    EXPECT_TRUE(o.normalize);
    EXPECT_FALSE(o.estimate_scale);
    EXPECT_EQ(o.init.kind, InitKind::Centroids);
    EXPECT_FALSE(validate_options(o).has_value());
}

TEST(Options, ParseMethodIsExact) {
    EXPECT_EQ(parse_method("robust_point_to_plane"), Method::RobustPointToPlane);
    EXPECT_EQ(parse_method("icp"), Method::Icp);
    EXPECT_FALSE(parse_method("ICP").has_value());
    EXPECT_FALSE(parse_method(" icp").has_value());
    EXPECT_FALSE(parse_method("").has_value());
}

struct Case {
    const char* name;
    void (*mutate)(RegisterOptions&);
    const char* message;
};

class ValidationCase : public ::testing::TestWithParam<Case> {};

TEST_P(ValidationCase, ReportsExactMessage) {
    RegisterOptions o = default_options(Method::Icp);
    GetParam().mutate(o);
    EXPECT_EQ(message_of(o), GetParam().message);
}

const Case kCases[] = {
    {"iterations0", [](RegisterOptions& o) { o.max_iterations = 0; },
     "invalid configuration: max_iterations must be at least 1"},
    {"tolNaN", [](RegisterOptions& o) { o.tolerance = kNaN; },
     "invalid configuration: tolerance must be finite and >= 0"},
    {"tolInf", [](RegisterOptions& o) { o.tolerance = kInf; },
     "invalid configuration: tolerance must be finite and >= 0"},
    {"tolTinyNegative", [](RegisterOptions& o) { o.tolerance = -1e-300; },
     "invalid configuration: tolerance must be finite and >= 0"},
    {"tolNegZero", [](RegisterOptions& o) { o.tolerance = -0.0; }, "ok"},
    {"tolZero", [](RegisterOptions& o) { o.tolerance = 0.0; }, "ok"},
    {"tolSubnormal", [](RegisterOptions& o) { o.tolerance = 5e-324; }, "ok"},
    {"anderson0", [](RegisterOptions& o) { o.anderson_m = 0; },
     "invalid configuration: anderson_m must be at least 1"},
    {"beginZero", [](RegisterOptions& o) { o.nu_begin_k = 0.0; },
     "invalid configuration: nu_begin_k must be finite and > 0"},
    {"beginNegZero", [](RegisterOptions& o) { o.nu_begin_k = -0.0; },
     "invalid configuration: nu_begin_k must be finite and > 0"},
    {"beginSubnormal", [](RegisterOptions& o) { o.nu_begin_k = 5e-324; }, "ok"},
    {"endInf", [](RegisterOptions& o) { o.nu_end_k = kInf; },
     "invalid configuration: nu_end_k must be finite and > 0"},
    {"alphaOne", [](RegisterOptions& o) { o.nu_alpha = 1.0; },
     "invalid configuration: nu_alpha must lie in (0, 1)"},
    {"alphaZero", [](RegisterOptions& o) { o.nu_alpha = 0.0; },
     "invalid configuration: nu_alpha must lie in (0, 1)"},
    {"alphaNaN", [](RegisterOptions& o) { o.nu_alpha = kNaN; },
     "invalid configuration: nu_alpha must lie in (0, 1)"},
    {"alphaAlmostOne", [](RegisterOptions& o) { o.nu_alpha = 0.999; }, "ok"},
    {"neighbors1", [](RegisterOptions& o) { o.nu_neighbors = 1; },
     "invalid configuration: nu_neighbors must be at least 2"},
    {"scaleOnPlane",
     [](RegisterOptions& o) {
         o.method = Method::PointToPlane;
         o.estimate_scale = true;
         o.scale_bounds = {kNaN, -1.0};
     },
     "`estimate_scale` is only implemented for icp, fast_icp, robust_icp"},
    {"planeWithoutScale", [](RegisterOptions& o) { o.method = Method::RobustPointToPlane; }, "ok"},
    {"boundsZero",
     [](RegisterOptions& o) {
         o.estimate_scale = true;
         o.scale_bounds = {0.0, 1.0};
     },
     "invalid configuration: scale_bounds must be finite with a positive lower bound"},
    {"boundsNaN",
     [](RegisterOptions& o) {
         o.estimate_scale = true;
         o.scale_bounds = {kNaN, 1.0};
     },
     "invalid configuration: scale_bounds must be finite with a positive lower bound"},
    {"boundsUpperInf",
     [](RegisterOptions& o) {
         o.estimate_scale = true;
         o.scale_bounds = {1.0, kInf};
     },
     "invalid configuration: scale_bounds must be finite with a positive lower bound"},
    {"boundsIgnoredWithoutScale", [](RegisterOptions& o) { o.scale_bounds = {kNaN, 0.0}; }, "ok"},
    {"boundsReversed",
     [](RegisterOptions& o) {
         o.estimate_scale = true;
         o.scale_bounds = {3.0, 2.0};
     },
     "invalid configuration: scale_bounds lower bound exceeds the upper bound"},
    {"boundsEqual",
     [](RegisterOptions& o) {
         o.estimate_scale = true;
         o.scale_bounds = {2.0, 2.0};
     },
     "ok"},
    {"initNaN",
     [](RegisterOptions& o) {
         SimilarityTransform t;
         t.rotation(1, 2) = kNaN;
         o.init = InitMode::from_matrix(t);
     },
     "the initial transform contained a non-finite value"},
    {"initScaleInf",
     [](RegisterOptions& o) {
         SimilarityTransform t;
         t.scale = kInf;
         o.init = InitMode::from_matrix(t);
     },
     "the initial transform contained a non-finite value"},
    {"initScaleZero",
     [](RegisterOptions& o) {
         SimilarityTransform t;
         t.scale = 0.0;
         o.init = InitMode::from_matrix(t);
     },
     "invalid configuration: the initial transform must have a positive scale"},
    {"initScaleNegative",
     [](RegisterOptions& o) {
         SimilarityTransform t;
         t.scale = -2.0;
         o.init = InitMode::from_matrix(t);
     },
     "invalid configuration: the initial transform must have a positive scale"},
};

INSTANTIATE_TEST_SUITE_P(Rules, ValidationCase, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Options, ChecksRunInOrderAndStopAtTheFirst) {
    RegisterOptions o = default_options(Method::PointToPlane);
    o.max_iterations = 0;
    o.tolerance = -1.0;
    o.anderson_m = 0;
    o.nu_neighbors = 0;
    o.estimate_scale = true;
    EXPECT_EQ(message_of(o), "invalid configuration: max_iterations must be at least 1");
    o.max_iterations = 1;
    EXPECT_EQ(message_of(o), "invalid configuration: tolerance must be finite and >= 0");
    o.tolerance = 0.0;
    EXPECT_EQ(message_of(o), "invalid configuration: anderson_m must be at least 1");
    o.anderson_m = 1;
    EXPECT_EQ(message_of(o), "invalid configuration: nu_neighbors must be at least 2");
    o.nu_neighbors = 2;
    EXPECT_EQ(message_of(o), "`estimate_scale` is only implemented for icp, fast_icp, robust_icp");
}

TEST(Options, ErrorTexts) {
    EXPECT_EQ(RegisterError::empty_source().message(), "the source point cloud is empty");
    EXPECT_EQ(RegisterError::empty_target().message(), "the target point cloud is empty");
    EXPECT_EQ(RegisterError::normals_required().message(),
              "point-to-plane registration requires target normals; pass them to "
              "`register_with_normals` or estimate them with `estimate_normals`");
    EXPECT_EQ(RegisterError::normal_count_mismatch(10, 9).message(),
              "target has 10 points but 9 normals were supplied");
    EXPECT_EQ(RegisterError::zero_normal(4).message(), "target normal 4 has zero length");
    EXPECT_EQ(RegisterError::non_finite(SUBJECT_NORMALS).message(),
              "the target normals contained a non-finite value");
    EXPECT_EQ(RegisterError::non_finite(SUBJECT_POINTS).message(),
              "the point cloud contained a non-finite value");
}

// Trees and query orders number points with 32 bits: a larger cloud is an error, not
// an abort deep inside a build.
TEST(Options, CloudsBeyondThirtyTwoBitNumbersAreRefused) {
    EXPECT_FALSE(check_point_count(1, SUBJECT_SOURCE));
    EXPECT_FALSE(check_point_count(4294967295u, SUBJECT_SOURCE));
    const std::optional<RegisterError> over = check_point_count(4294967296u, SUBJECT_TARGET);
    ASSERT_TRUE(over);
    EXPECT_EQ(over->message(), "the target point cloud has more than 4294967295 points");
    const std::optional<RegisterError> far_over = check_point_count(SIZE_MAX, SUBJECT_POINTS);
    ASSERT_TRUE(far_over);
    EXPECT_EQ(far_over->message(), "the point cloud has more than 4294967295 points");
}

}  // namespace
}  // namespace tarvo
