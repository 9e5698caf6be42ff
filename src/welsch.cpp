#include "welsch.hpp"

#include "util.hpp"

#include <vector>

namespace tarvo {

NuSchedule NuSchedule::begin(double spacing, std::span<const double> initial_residuals,
                             const RegisterOptions& options) {
    NuSchedule schedule;
    const double end = options.nu_end_k * spacing;
    schedule.nu_end_ = end > NU_FLOOR ? end : NU_FLOOR;

    // The median reorders its input; the caller's residuals stay as they are.
    LargeVector<double> residuals(initial_residuals.begin(), initial_residuals.end());
    const double first = options.nu_begin_k * median_in_place(residuals);
    schedule.nu_ = first > schedule.nu_end_ ? first : schedule.nu_end_;
    schedule.nu_alpha_ = options.nu_alpha;
    return schedule;
}

bool NuSchedule::advance() {
    if (!(nu_ > nu_end_)) return false;
    if (std::isinf(nu_)) {
        // An infinite nu never shrinks by multiplication: go straight to the last stage.
        nu_ = nu_end_;
        return true;
    }
    const double lowered = nu_ * nu_alpha_;
    nu_ = lowered > nu_end_ ? lowered : nu_end_;
    return true;
}

}  // namespace tarvo
