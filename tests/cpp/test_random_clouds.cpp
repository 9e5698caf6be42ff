// Both solvers against their plain forms on many small random cases.
#include "motions.hpp"
#include "plain_solvers.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>

namespace tarvo {
namespace {

using motions::motion;
using motions::pull_back;
using namespace plain;

// Many small random cases beside the fixed ones of test_plain_solvers.cpp: lattices
// whose queries tie, repeated points, points on a sphere, a handful of points, each
// cloud possibly scaled by a power of two (which keeps its ties); a random motion, a
// subset or a noisy copy as the source; a random method, budget, history length and
// start.
class RandomCase {
public:
    explicit RandomCase(unsigned seed) : rng_(seed) {}

    Cloud target() {
        Cloud c;
        switch (rng_() % 5) {
            case 0: c = bumps(8 + static_cast<int>(rng_() % 24), rng_()); break;
            case 1: c.points = lattice(2 + rng_() % 9, 2 + rng_() % 9, 1 + rng_() % 9, rng_() % 2 ? 1.0 : 0.5); break;
            case 2:
                for (const Point3& p : bumps(6 + static_cast<int>(rng_() % 15), rng_()).points)
                    c.points.insert(c.points.end(), 1 + rng_() % 3, p);
                break;
            case 3:
                for (std::size_t i = 20 + rng_() % 1000; i-- > 0;)
                    c.points.push_back(to_point(Vec3(uniform(-1, 1), uniform(-1, 1), uniform(0.1, 1)).normalized()));
                break;
            default:
                for (std::size_t i = 2 + rng_() % 40; i-- > 0;)
                    c.points.push_back({uniform(-1, 1), uniform(-1, 1), uniform(-1, 1)});
        }
        if (c.normals.size() != c.points.size()) c.normals = turning_normals(c.points.size());
        if (rng_() % 4 == 0) scale_by(c, std::ldexp(1.0, static_cast<int>(rng_() % 121) - 60));
        return c;
    }

    Method method() {
        const Method all[] = {Method::Icp, Method::FastIcp, Method::RobustIcp, Method::PointToPlane,
                              Method::RobustPointToPlane};
        return all[rng_() % 5];
    }

    SimilarityTransform source_to_target(double extent, bool rigid) {
        const double degrees = rng_() % 3 == 0 ? 0.0 : uniform(0, 30);
        const Vec3 axis(uniform(-1, 1), uniform(-1, 1), uniform(0.1, 1));
        // Half a lattice step apart, where every query of a lattice ties.
        const Vec3 shift = rng_() % 3 == 0 ? Vec3(0.5, 0.5, 0.5) : extent * Vec3(uniform(-0.2, 0.2), uniform(-0.2, 0.2),
                                                                             uniform(-0.2, 0.2));
        return motion(degrees, axis, shift, rigid || rng_() % 3 ? 1.0 : uniform(0.95, 1.05));
    }

    PointCloud source(const PointCloud& target, const SimilarityTransform& m, double extent) {
        PointCloud all = pull_back(target, m), kept;
        for (const Point3& p : all)
            if (rng_() % 3 != 0) kept.push_back(p);
        PointCloud s = rng_() % 2 && !kept.empty() ? kept : all;
        if (rng_() % 3 == 0) {
            const double noise = 1e-3 * extent;
            for (Point3& p : s) p = {p.x + uniform(-noise, noise), p.y + uniform(-noise, noise), p.z + uniform(-noise, noise)};
        }
        return s;
    }

    RegisterOptions options(Method m) {
        RegisterOptions o = default_options(m);
        o.estimate_scale = m != Method::PointToPlane && m != Method::RobustPointToPlane && rng_() % 2;
        if (rng_() % 2) {
            o.tolerance = 0.0;
            o.max_iterations = 3 + rng_() % 40;
        }
        if (rng_() % 3 == 0) o.anderson_m = 1 + rng_() % 10;
        return o;
    }

    SimilarityTransform start(const SimilarityTransform& answer, double extent) {
        if (rng_() % 4 != 0) return SimilarityTransform::identity();
        SimilarityTransform near = answer;
        near.translation += std::max(1.0, extent) * Vec3(1e-9, 0.0, -1e-9);
        return near;
    }

private:
    double uniform(double a, double b) { return std::uniform_real_distribution<double>(a, b)(rng_); }

    static PointCloud lattice(std::size_t nx, std::size_t ny, std::size_t nz, double step) {
        PointCloud points;
        for (std::size_t i = 0; i < nx; ++i)
            for (std::size_t j = 0; j < ny; ++j)
                for (std::size_t k = 0; k < nz; ++k) points.push_back({step * i, step * j, step * k});
        return points;
    }

    static void scale_by(Cloud& c, double factor) {
        for (Point3& p : c.points) p = {p.x * factor, p.y * factor, p.z * factor};
    }

    std::mt19937 rng_;
};

double largest_coordinate(const PointCloud& points) {
    double extent = 0.0;
    for (const Point3& p : points) extent = std::max({extent, std::abs(p.x), std::abs(p.y), std::abs(p.z)});
    return extent;
}

TEST(RandomClouds, GiveThePlainFormsBits) {
    for (unsigned seed = 1; seed <= 300; ++seed) {
        RandomCase r(seed);
        const Cloud target = r.target();
        const Method method = r.method();
        const bool plane = method == Method::PointToPlane || method == Method::RobustPointToPlane;
        const double extent = largest_coordinate(target.points);
        SimilarityTransform answer = r.source_to_target(extent, plane);
        const PointCloud source = r.source(target.points, answer, extent);
        const RegisterOptions o = r.options(method);
        const SimilarityTransform start = r.start(answer, extent);
        const KdTree tree = KdTree::build(target.points);
        const QueryOrder order = QueryOrder::spatial(source);
        SCOPED_TRACE("seed " + std::to_string(seed) + ", " + std::string(method_name(method)));
        if (plane) {
            PlainPointToPlane plain(source, target.points, target.normals, tree, o);
            expect_same_outcome(solve_point_to_plane(source, target.points, tree, order, target.normals, o, start),
                                plain.solve(start));
        } else {
            PlainPointToPoint plain(source, target.points, tree, o);
            expect_same_outcome(solve_point_to_point(source, target.points, tree, order, o, start), plain.solve(start));
        }
        if (HasFailure()) return;
    }
}

}  // namespace
}  // namespace tarvo
