// Anderson acceleration of a fixed-point map on short real vectors (6 or 7 numbers):
// returns the combination of recent images that best cancels the recent residuals.
#pragma once

#include <Eigen/Core>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tarvo {

inline constexpr double ANDERSON_SCALE_FLOOR = 1e-14;
inline constexpr double SVD_RELATIVE_CUTOFF = 1e-12;

// Minimum-norm least-squares solution of A theta = b, singular values at or below
// SVD_RELATIVE_CUTOFF * sigma_max dropped; the zero vector whenever that is unusable.
Eigen::VectorXd solve_least_squares(const Eigen::MatrixXd& a, const Eigen::VectorXd& b);

// History slots worth allocating: max(anderson_m, 1), but never more than the
// iterations of one stage, since a stage calls `compute` at most once per iteration and
// every stage starts from a reset: slots beyond that are never filled, the ring never
// wraps, and the results are the same as with the full count.
inline std::size_t anderson_history_slots(std::uint64_t anderson_m, std::uint64_t max_iterations) {
    const std::uint64_t wanted = anderson_m > 1 ? anderson_m : 1;
    return static_cast<std::size_t>(wanted < max_iterations ? wanted : max_iterations);
}

template <int D>
class AndersonAccelerator {
public:
    using Vector = Eigen::Matrix<double, D, 1>;

    // m history slots (at least 1), current iterate u0. All storage is allocated here.
    AndersonAccelerator(std::size_t m, const Vector& u0);

    // The accelerated iterate for the plain image g of the current iterate; the first
    // call after creation or reset returns g unchanged.
    Vector compute(const Vector& g);

    // Restarts from u0 with an empty history.
    void reset(const Vector& u0);

    // Replaces the current iterate, keeping the history.
    void replace(const Vector& x);

    const Vector& current() const { return u_; }

private:
    using History = Eigen::Matrix<double, D, Eigen::Dynamic>;

    std::size_t m_;
    Vector u_;
    History d_f_;                 // normalised residual differences, one column per slot
    History d_g_;                 // image differences
    Eigen::VectorXd d_f_scale_;   // the norm each residual difference was divided by
    Eigen::MatrixXd gram_;        // gram(i, j) = d_f[i] . d_f[j]
    std::size_t iter_ = 0;
    std::size_t col_ = 0;
};

extern template class AndersonAccelerator<6>;
extern template class AndersonAccelerator<7>;

}  // namespace tarvo
