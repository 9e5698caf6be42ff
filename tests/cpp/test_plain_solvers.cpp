// Both solvers against their plain forms on fixed clouds: kept answers, query orders,
// seeded bounds, cell and box pruning, the capped history and the skipped trials must
// all leave every bit of the outcome as the plain forms give it.
#include "motions.hpp"
#include "plain_solvers.hpp"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <tuple>
#include <vector>

namespace tarvo {
namespace {

using motions::motion;
using motions::pull_back;
using namespace plain;

Cloud integer_grid() {  // a query half way between grid points ties with up to eight
    Cloud c;
    for (int i = 0; i < 12; ++i)
        for (int j = 0; j < 12; ++j)
            for (int k = 0; k < 12; ++k) c.points.push_back({double(i), double(j), double(k)});
    c.normals = turning_normals(c.points.size());
    return c;
}

Cloud doubled() {  // every point twice, with different normals
    Cloud c;
    for (const Point3& p : bumps(20, 21).points) c.points.insert(c.points.end(), {p, p});
    c.normals = turning_normals(c.points.size());
    return c;
}

Cloud line() {
    Cloud c;
    for (int i = 0; i < 300; ++i) c.points.push_back({0.01 * i, 0.0, 0.0});
    c.normals = turning_normals(c.points.size());
    return c;
}

struct SolverCase {
    const char* name;
    Cloud (*target)();
    SimilarityTransform source_to_target;
};

void PrintTo(const SolverCase& c, std::ostream* os) { *os << c.name; }

std::vector<SolverCase> solver_cases() {
    return {
        {"bumps", [] { return bumps(30, 31); }, motion(12.0, Vec3(1, 2, 3), Vec3(0.1, -0.05, 0.08))},
        {"grid", integer_grid, motion(0.0, Vec3(0, 0, 1), Vec3(0.5, 0.5, 0.5))},
        {"tilted_grid", integer_grid, motion(4.0, Vec3(1, 0, 1), Vec3(0.3, -0.2, 0.4), 1.05)},
        {"doubled", doubled, motion(9.0, Vec3(0, 1, 1), Vec3(0.05, 0.0, -0.1))},
        {"line", line, motion(3.0, Vec3(0, 0, 1), Vec3(0.2, 0.01, 0.0))},
        // Past one chunk of 16384 points of the parallel sums.
        {"large", [] { return bumps(130, 32); }, motion(5.0, Vec3(2, -1, 1), Vec3(0.02, 0.03, 0.0))},
    };
}

std::string case_name(const SolverCase& c, Method m) { return std::string(c.name) + "_" + std::string(method_name(m)); }

// ---- point to point ---------------------------------------------------------------------

class PointToPointAgainstPlain : public ::testing::TestWithParam<std::tuple<SolverCase, Method>> {};

// To convergence from a moderate start, and for a fixed budget with tolerance 0, which
// for "robust_icp" makes far more passes than the ring of recent transforms holds.
TEST_P(PointToPointAgainstPlain, GivesTheSameBits) {
    const auto& [c, method] = GetParam();
    const PointCloud target = c.target().points;
    const PointCloud source = pull_back(target, c.source_to_target);
    const KdTree tree = KdTree::build(target);
    const QueryOrder order = QueryOrder::spatial(source);
    for (const bool scale : {false, true}) {
        for (const bool budget : {false, true}) {
            SCOPED_TRACE(std::string(scale ? "scale" : "rigid") + (budget ? ", fixed budget" : ", converging"));
            RegisterOptions o = default_options(method);
            o.estimate_scale = scale;
            if (budget) {
                o.tolerance = 0.0;
                o.max_iterations = 25;
            }
            PlainPointToPoint plain(source, target, tree, o);
            expect_same_outcome(solve_point_to_point(source, target, tree, order, o, SimilarityTransform::identity()),
                                plain.solve(SimilarityTransform::identity()));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Clouds, PointToPointAgainstPlain,
                         ::testing::Combine(::testing::ValuesIn(solver_cases()),
                                            ::testing::Values(Method::Icp, Method::FastIcp, Method::RobustIcp)),
                         [](const auto& info) { return case_name(std::get<0>(info.param), std::get<1>(info.param)); });

// ---- point to plane ---------------------------------------------------------------------

class PointToPlaneAgainstPlain : public ::testing::TestWithParam<std::tuple<SolverCase, Method>> {};

// From a moderate start to convergence; for a fixed budget; and from a hair off the
// answer, where the energy stalls and line searches run (and trials land on the current
// transform) in most iterations.
TEST_P(PointToPlaneAgainstPlain, GivesTheSameBits) {
    const auto& [c, method] = GetParam();
    const Cloud target = c.target();
    SimilarityTransform rigid = c.source_to_target;
    rigid.scale = 1.0;
    const PointCloud source = pull_back(target.points, rigid);
    const KdTree tree = KdTree::build(target.points);
    const QueryOrder order = QueryOrder::spatial(source);
    SimilarityTransform near_answer = rigid;
    near_answer.translation += Vec3(1e-9, 0.0, -1e-9);
    const std::pair<const char*, SimilarityTransform> starts[] = {{"identity", SimilarityTransform::identity()},
                                                                  {"near the answer", near_answer}};
    for (const auto& [start_name, start] : starts) {
        for (const bool budget : {false, true}) {
            SCOPED_TRACE(std::string(start_name) + (budget ? ", fixed budget" : ", converging"));
            RegisterOptions o = default_options(method);
            if (budget) {
                o.tolerance = 0.0;
                o.max_iterations = 25;
            }
            PlainPointToPlane plain(source, target.points, target.normals, tree, o);
            expect_same_outcome(
                solve_point_to_plane(source, target.points, tree, order, target.normals, o, start),
                plain.solve(start));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Clouds, PointToPlaneAgainstPlain,
                         ::testing::Combine(::testing::ValuesIn(solver_cases()),
                                            ::testing::Values(Method::PointToPlane, Method::RobustPointToPlane)),
                         [](const auto& info) { return case_name(std::get<0>(info.param), std::get<1>(info.param)); });

// Plain point-to-plane from far off (a few line searches) and from a hair off the answer
// (line searches in most iterations, whose full step lands on the current transform:
// the trial whose search the solver skips).
class PlaneLineSearch : public ::testing::TestWithParam<bool> {};

TEST_P(PlaneLineSearch, RunsAsThePlainOneDoes) {
    const bool near_answer = GetParam();
    const Cloud target = bumps(20, 33);
    const SimilarityTransform truth = motion(8.6, Vec3(0.3, -0.5, 1.0), Vec3(0.08, -0.05, 0.12));
    const PointCloud source = pull_back(target.points, truth);
    const KdTree tree = KdTree::build(target.points);
    RegisterOptions o = default_options(Method::PointToPlane);
    o.tolerance = 0.0;
    o.max_iterations = 40;
    SimilarityTransform start;
    if (near_answer) {
        start = truth;
        start.translation += Vec3(1e-9, 0.0, -1e-9);
    }
    PlainPointToPlane plain(source, target.points, target.normals, tree, o);
    expect_same_outcome(solve_point_to_plane(source, target.points, tree, QueryOrder::spatial(source),
                                             target.normals, o, start),
                        plain.solve(start));
    EXPECT_GT(plain.line_searches(), 0);
    if (near_answer) {
        EXPECT_GT(plain.trials_on_current(), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Starts, PlaneLineSearch, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "NearTheAnswer" : "FarOff"; });

}  // namespace
}  // namespace tarvo
