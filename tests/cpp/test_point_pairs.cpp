// Two points in the lanes of one register come out of a transform with the bits the
// scalar transform gives each of them, whatever their magnitude.
#include "point_pairs.hpp"

#include <gtest/gtest.h>

#include <Eigen/Geometry>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>

namespace tarvo {
namespace {

#if defined(__SSE2__)

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

Point3 lane(const PointPair& p, int k) {
    double x[2], y[2], z[2];
    _mm_storeu_pd(x, p.x);
    _mm_storeu_pd(y, p.y);
    _mm_storeu_pd(z, p.z);
    return {x[k], y[k], z[k]};
}

void expect_same_bits(const Point3& a, const Point3& b) {
    EXPECT_EQ(bits(a.x), bits(b.x));
    EXPECT_EQ(bits(a.y), bits(b.y));
    EXPECT_EQ(bits(a.z), bits(b.z));
}

TEST(PointPairs, LoadKeepsEachPointInItsLane) {
    const Point3 points[2] = {{1.0, -0.0, 3.5}, {std::numeric_limits<double>::infinity(), 2.0, -7.25}};
    const PointPair pair = load_pair(points);
    expect_same_bits(lane(pair, 0), points[0]);
    expect_same_bits(lane(pair, 1), points[1]);
}

TEST(PointPairs, TransformGivesTheScalarBits) {
    std::mt19937_64 rng(3);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    for (int k = 0; k < 2000; ++k) {
        SimilarityTransform t;
        t.rotation = Eigen::AngleAxisd(3.0 * u(rng), Vec3(u(rng), u(rng), u(rng)).normalized()).toRotationMatrix();
        t.translation = Vec3(u(rng), u(rng), u(rng)) * std::pow(10.0, k % 7 - 3);
        t.scale = k % 2 == 0 ? 1.0 : std::exp(u(rng));
        const double magnitude = std::pow(10.0, 4 * (k % 9) - 16);
        Point3 points[2];
        for (Point3& p : points) p = {magnitude * u(rng), magnitude * u(rng), magnitude * u(rng)};
        if (k % 50 == 0) points[1].y = std::numeric_limits<double>::quiet_NaN();
        const PointPair moved = PairTransform(t).apply(load_pair(points));
        for (int lane_index = 0; lane_index < 2; ++lane_index) {
            const Point3 want = t.apply(points[lane_index]);
            const Point3 got = lane(moved, lane_index);
            if (std::isnan(want.x) || std::isnan(want.y) || std::isnan(want.z)) {
                EXPECT_EQ(std::isnan(want.x), std::isnan(got.x));
                EXPECT_EQ(std::isnan(want.y), std::isnan(got.y));
                EXPECT_EQ(std::isnan(want.z), std::isnan(got.z));
                continue;
            }
            expect_same_bits(got, want);
        }
    }
}

#endif

}  // namespace
}  // namespace tarvo
