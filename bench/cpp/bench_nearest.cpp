// Nearest-neighbour throughput: 1,000,000 points on a smooth surface, queried by
// 1,000,000 nearby points, on one thread and on the whole pool; then, on one thread and
// for 100,000 and 1,000,000 points, the queries in Z-order, cold and seeded with the
// previous answer as a registration's later iterations run them.
//
//   bench_nearest [--dump DIR | --ordered]
//
// --dump writes DIR/points.f64 and DIR/queries.f64 (row-major (N, 3) doubles) so other
// tools can run the same queries.
#include "kdtree.hpp"
#include "parallel.hpp"
#include "spatial_order.hpp"

#include <tbb/global_control.h>
#include <tbb/info.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace {

using tarvo::Point3;
using tarvo::PointCloud;

constexpr std::size_t kPoints = 1'000'000;
constexpr std::size_t kQueries = 1'000'000;

Point3 surface(double u, double v) {
    return {u, v, 0.3 * std::sin(3.0 * u) * std::cos(2.0 * v) + 0.1 * u * v};
}

PointCloud surface_points(std::size_t n, unsigned seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> uv(-1.0, 1.0);
    PointCloud c(n);
    for (auto& p : c) p = surface(uv(rng), uv(rng));
    return c;
}

// Points near the surface: a fresh sample, moved a little off it and slightly rotated,
// as a source cloud looks late in a registration.
PointCloud nearby_queries(std::size_t n, unsigned seed) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> noise(0.0, 0.002);
    PointCloud c = surface_points(n, seed + 1);
    const double a = 0.01, ca = std::cos(a), sa = std::sin(a);
    for (auto& p : c) {
        const Point3 r{ca * p.x - sa * p.y, sa * p.x + ca * p.y, p.z};
        p = {r.x + 0.01 + noise(rng), r.y - 0.005 + noise(rng), r.z + noise(rng)};
    }
    return c;
}

void dump(const std::string& path, const PointCloud& c) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr || std::fwrite(c.data(), sizeof(Point3), c.size(), f) != c.size())
        std::fprintf(stderr, "could not write %s\n", path.c_str());
    if (f != nullptr) std::fclose(f);
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Runs every query through the pool; returns the elapsed seconds and a checksum that
// keeps the work observable.
double run_queries(const tarvo::KdTree& tree, const PointCloud& queries, double& checksum) {
    std::vector<double> dist2(queries.size());
    const auto start = std::chrono::steady_clock::now();
    tarvo::parallel_for(queries.size(), [&](std::size_t first, std::size_t last) {
        for (std::size_t i = first; i < last; ++i) dist2[i] = tarvo::nearest(tree, queries[i]).dist2;
    });
    const double elapsed = seconds_since(start);
    checksum = 0.0;
    for (double d : dist2) checksum += d;
    return elapsed;
}

void report(const char* label, std::size_t threads, double seconds, double checksum) {
    std::printf("%-10s threads=%-3zu %8.3f s  %12.0f queries/s  (checksum %.17g)\n", label, threads,
                seconds, static_cast<double>(kQueries) / seconds, checksum);
}

// `clearance`: the search a registration runs, which also reports each query's clearance.
double best_pass(int repeats, const tarvo::KdTree& tree, const PointCloud& queries,
                 const tarvo::LargeVector<std::uint32_t>& order, const std::vector<double>* seeds,
                 std::vector<double>& dist2, bool clearance = false) {
    double best = INFINITY;
    for (int r = 0; r < repeats; ++r) {
        const auto start = std::chrono::steady_clock::now();
        for (std::size_t k = 0; k < order.size(); ++k) {
            // The registration's passes request scattered queries ahead the same way.
            if (k + tarvo::PREFETCH_AHEAD < order.size()) tarvo::prefetch_for_reading(&queries[order[k + tarvo::PREFETCH_AHEAD]]);
            const std::uint32_t i = order[k];
            const double bound = seeds ? std::nextafter((*seeds)[i], INFINITY) : INFINITY;
            dist2[i] = clearance ? tarvo::nearest_with_clearance(tree, queries[i], bound).hit.dist2
                                 : tarvo::nearest_within(tree, queries[i], bound).dist2;
        }
        best = std::min(best, seconds_since(start));
    }
    return best;
}

void ordered_passes(std::size_t n) {
    const PointCloud points = surface_points(n, 1);
    const PointCloud queries = nearby_queries(n, 2);
    const tarvo::KdTree tree = tarvo::KdTree::build(points);
    const tarvo::LargeVector<std::uint32_t> order = tarvo::morton_order(queries);
    std::vector<double> cold(n), seeded(n);
    const double t_cold = best_pass(5, tree, queries, order, nullptr, cold);
    const double t_seeded = best_pass(5, tree, queries, order, &cold, seeded);
    std::vector<double> cleared(n);
    const double t_cleared = best_pass(5, tree, queries, order, nullptr, cleared, true);
    double checksum = 0.0;
    for (double d : seeded) checksum += d;
    std::printf("z-order   n=%-8zu cold %8.2f ms (%5.2f M/s)  seeded %8.2f ms (%5.2f M/s)  "
                "cold with clearance %8.2f ms (%5.2f M/s)  (checksum %.17g, same %d)\n", n,
                t_cold * 1e3, n / t_cold / 1e6, t_seeded * 1e3, n / t_seeded / 1e6, t_cleared * 1e3,
                n / t_cleared / 1e6, checksum, int(cleared == cold));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--ordered") == 0) {  // the ordered passes alone
        ordered_passes(100'000);
        return 0;
    }
    const PointCloud points = surface_points(kPoints, 1);
    const PointCloud queries = nearby_queries(kQueries, 2);
    if (argc == 3 && std::strcmp(argv[1], "--dump") == 0) {
        dump(std::string(argv[2]) + "/points.f64", points);
        dump(std::string(argv[2]) + "/queries.f64", queries);
    }

    const auto build_start = std::chrono::steady_clock::now();
    const tarvo::KdTree tree = tarvo::KdTree::build(points);
    std::printf("build      %zu points in %.3f s, %zu nodes\n", kPoints, seconds_since(build_start),
                tree.nodes().size());

    double checksum = 0.0;
    {
        tbb::global_control one(tbb::global_control::max_allowed_parallelism, 1);
        const double seconds = run_queries(tree, queries, checksum);
        report("nearest", 1, seconds, checksum);
    }
    const auto all = static_cast<std::size_t>(tbb::info::default_concurrency());
    {
        tbb::global_control every(tbb::global_control::max_allowed_parallelism, all);
        const double seconds = run_queries(tree, queries, checksum);
        report("nearest", all, seconds, checksum);
    }
    ordered_passes(100'000);
    ordered_passes(kPoints);
    return 0;
}
