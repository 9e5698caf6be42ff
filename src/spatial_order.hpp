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
std::vector<std::uint32_t> morton_order(std::span<const Point3> points);

}  // namespace tarvo
