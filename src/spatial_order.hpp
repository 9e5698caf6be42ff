// A spatially coherent visiting order for a cloud: consecutive entries are close in
// space, so consecutive tree queries walk the same nodes and leaves while they are
// still in cache. Only the order of independent queries changes, never a result.
#pragma once

#include "types.hpp"

#include <cstdint>
#include <span>
#include <vector>

namespace tarvo {

// The indices 0 .. n-1 sorted along a Z-order (Morton) curve through the cloud's
// bounding box; equal codes keep index order. Non-finite coordinates land at the ends.
LargeVector<std::uint32_t> morton_order(std::span<const Point3> points);

// Places per run of a query order.
inline constexpr std::size_t QUERY_RUN_LENGTH = 32;

// A ball around the points of one run: every point s of the run has |s - center| <=
// radius and |s.x| + |s.y| + |s.z| <= size. A pass bounds the move of all of them at
// once from it (MotionBound::over). Infinite when a point is too far out to say.
struct QueryRun {
    Point3 center;
    double radius = 0.0;
    double size = 0.0;
};

// The order in which a pass visits a cloud's points, cut into runs of QUERY_RUN_LENGTH
// places (the last may be shorter), each with its ball.
class QueryOrder {
public:
    // `indices`: any permutation of 0 .. cloud.size() - 1.
    QueryOrder(std::span<const Point3> cloud, LargeVector<std::uint32_t> indices);
    // Along a Z-order curve (morton_order), which keeps the runs' balls small.
    static QueryOrder spatial(std::span<const Point3> cloud) { return {cloud, morton_order(cloud)}; }

    std::span<const std::uint32_t> indices() const { return indices_; }
    // Run r covers places r * QUERY_RUN_LENGTH up to the next run's first place.
    std::span<const QueryRun> runs() const { return runs_; }
    // For each point (by index), the run that holds its place.
    std::span<const std::uint32_t> run_of_point() const { return run_of_point_; }

private:
    LargeVector<std::uint32_t> indices_;
    LargeVector<QueryRun> runs_;
    LargeVector<std::uint32_t> run_of_point_;
};

}  // namespace tarvo
