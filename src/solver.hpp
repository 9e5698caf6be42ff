// What a solver hands back to the driver, in the driver's normalised frame.
#pragma once

#include "types.hpp"

#include <cstdint>
#include <optional>
#include <vector>

namespace tarvo {

struct SolverResult {
    std::optional<double> nu;        // final Welsch parameter, robust methods only
    LargeVector<double> residuals;   // one non-negative residual per source point
    SimilarityTransform transform;
    std::uint64_t iterations = 0;
    double energy = 0.0;
    bool converged = false;
};

}  // namespace tarvo
