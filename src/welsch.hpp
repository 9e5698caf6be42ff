// The Welsch robust function and the schedule of its parameter nu: from a multiple of
// the median initial residual down to a floor set by the target's point spacing.
#pragma once

#include "options.hpp"

#include <cmath>
#include <span>

namespace tarvo {

inline constexpr double NU_FLOOR = 1e-9;

// 2 nu^2, formed as (nu + nu) * nu.
inline double two_nu_squared(double nu) { return (nu + nu) * nu; }

// w = exp((-d * d) / (2 nu^2)).
inline double welsch_weight(double d, double two_nu_sq) { return std::exp((-d * d) / two_nu_sq); }

// The exponential in an energy term, exp((-d * d) * c) with c = 1 / (2 nu^2).
inline double welsch_exp(double d, double c) { return std::exp((-d * d) * c); }

// One energy term from its exponential: 1 - exp((-d * d) * c).
inline double welsch_term_from(double energy_exp) { return 1.0 - energy_exp; }

// One energy term 1 - exp((-d * d) * c).
inline double welsch_term(double d, double c) { return welsch_term_from(welsch_exp(d, c)); }

// welsch_weight(d, two_nu_sq), taken from `energy_exp` = welsch_exp(d, c) whenever the
// weight's argument (-d * d) / two_nu_sq is the same number as the energy's
// (-d * d) * c, as it is about three times in four: the same argument, the same exp.
inline double welsch_weight_from(double energy_exp, double d, double two_nu_sq, double c) {
    const double m = -d * d;
    const double x = m / two_nu_sq;
    return x == m * c ? energy_exp : std::exp(x);
}

class NuSchedule {
public:
    // nu_end = nu_end_k * spacing (at least NU_FLOOR); first nu = nu_begin_k times the
    // median of the initial residuals (at least nu_end). NaN products fall back to the
    // floor and to nu_end respectively.
    static NuSchedule begin(double spacing, std::span<const double> initial_residuals,
                            const RegisterOptions& options);

    double nu() const { return nu_; }
    double nu_end() const { return nu_end_; }

    // Called at the end of every stage: lowers nu and returns true when another stage
    // follows, false when the run finishes (nu then equals nu_end). A finite nu becomes
    // max(nu * nu_alpha, nu_end). An infinite nu, which multiplication cannot lower,
    // becomes nu_end at once, so a run that starts at +inf has exactly two stages.
    bool advance();

private:
    double nu_ = 0.0;
    double nu_end_ = 0.0;
    double nu_alpha_ = 0.5;
};

}  // namespace tarvo
