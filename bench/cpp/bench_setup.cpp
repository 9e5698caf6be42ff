// The fixed cost of a registration before its first iteration: the target tree build,
// the source query order and, for robust_icp, the target's neighbour-spacing statistic
// (7 neighbours), on one thread, for 100,000 and 1,000,000 points on a smooth surface in
// random order.
//
//   bench_setup
#include "kdtree.hpp"
#include "spatial_order.hpp"
#include "util.hpp"

#include <tbb/global_control.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

namespace {

using tarvo::Point3;
using tarvo::PointCloud;

PointCloud surface_points(std::size_t n, unsigned seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> uv(-1.0, 1.0);
    PointCloud c(n);
    for (auto& p : c) {
        const double u = uv(rng), v = uv(rng);
        p = {u, v, 0.3 * std::sin(3.0 * u) * std::cos(2.0 * v) + 0.1 * u * v};
    }
    return c;
}

template <class Fn>
double best_of(int repeats, const Fn& fn) {
    double best = INFINITY;
    for (int r = 0; r < repeats; ++r) {
        const auto start = std::chrono::steady_clock::now();
        fn();
        best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    return best;
}

}  // namespace

int main() {
    tbb::global_control one(tbb::global_control::max_allowed_parallelism, 1);
    for (std::size_t n : {std::size_t{100'000}, std::size_t{1'000'000}}) {
        const PointCloud cloud = surface_points(n, 7);
        std::size_t sink = 0;
        const double build = best_of(5, [&] { sink += tarvo::KdTree::build(cloud).nodes().size(); });
        const double order = best_of(5, [&] { sink += tarvo::morton_order(cloud)[n / 2]; });
        const double runs = best_of(5, [&] { sink += tarvo::QueryOrder::spatial(cloud).runs().size(); });
        const tarvo::KdTree tree = tarvo::KdTree::build(cloud);
        double spacing = 0.0;
        const double statistic = best_of(5, [&] { spacing += tarvo::median_neighbour_distance(cloud, tree, 7); });
        std::printf("%8zu points: tree build %7.2f ms, query order %6.2f ms, with its runs %6.2f ms, "
                    "spacing statistic %7.2f ms  (%zu, %.3g)\n",
                    n, build * 1e3, order * 1e3, runs * 1e3, statistic * 1e3, sink, spacing);
    }
    return 0;
}
