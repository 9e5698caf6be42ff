#include "anderson.hpp"

#include <Eigen/SVD>

#include <algorithm>
#include <cmath>

namespace tarvo {
namespace {

// Plain sum in index order; the library's dot product may reassociate.
template <class A, class B>
double dot(const A& a, const B& b) {
    double sum = 0.0;
    for (Eigen::Index i = 0; i < a.size(); ++i) sum += a[i] * b[i];
    return sum;
}

}  // namespace

Eigen::VectorXd solve_least_squares(const Eigen::MatrixXd& a, const Eigen::VectorXd& b) {
    const Eigen::Index k = a.rows();
    const Eigen::VectorXd zero = Eigen::VectorXd::Zero(k);
    const Eigen::JacobiSVD<Eigen::MatrixXd> svd(a, Eigen::ComputeFullU | Eigen::ComputeFullV);
    // A non-finite matrix leaves the decomposition's outputs unset; nothing to read there.
    if (svd.info() != Eigen::Success) return zero;
    if (!svd.computeU() || !svd.computeV()) return zero;
    const Eigen::VectorXd& sigma = svd.singularValues();
    const double sigma_max = sigma[0];
    if (!(sigma_max > 0.0)) return zero;

    const double cutoff = SVD_RELATIVE_CUTOFF * sigma_max;
    const Eigen::MatrixXd& u = svd.matrixU();
    const Eigen::MatrixXd& v = svd.matrixV();
    Eigen::VectorXd y(k);  // diag(d) U^T b
    for (Eigen::Index i = 0; i < k; ++i) {
        const double d = sigma[i] > cutoff ? 1.0 / sigma[i] : 0.0;
        y[i] = dot(u.col(i), b) * d;
    }
    Eigen::VectorXd theta(k);
    for (Eigen::Index r = 0; r < k; ++r) theta[r] = dot(v.row(r), y);
    if (!theta.allFinite()) return zero;
    return theta;
}

template <int D>
AndersonAccelerator<D>::AndersonAccelerator(std::size_t m, const Vector& u0)
    : m_(std::max<std::size_t>(m, 1)),
      u_(u0),
      d_f_(History::Zero(D, static_cast<Eigen::Index>(m_))),
      d_g_(History::Zero(D, static_cast<Eigen::Index>(m_))),
      d_f_scale_(Eigen::VectorXd::Zero(static_cast<Eigen::Index>(m_))),
      gram_(Eigen::MatrixXd::Zero(static_cast<Eigen::Index>(m_), static_cast<Eigen::Index>(m_))) {}

template <int D>
typename AndersonAccelerator<D>::Vector AndersonAccelerator<D>::compute(const Vector& g) {
    const Vector f = g - u_;
    if (iter_ == 0) {
        d_f_.col(0) = -f;
        d_g_.col(0) = -g;
        u_ = g;
        iter_ = 1;
        return g;
    }

    // The slot held -F and -G of the previous call: it becomes the differences.
    const auto c = static_cast<Eigen::Index>(col_);
    d_f_.col(c) += f;
    d_g_.col(c) += g;
    const double scale = std::max(std::sqrt(dot(d_f_.col(c), d_f_.col(c))), ANDERSON_SCALE_FLOOR);
    d_f_scale_[c] = scale;
    d_f_.col(c) /= scale;

    const auto k = static_cast<Eigen::Index>(std::min(iter_, m_));
    for (Eigen::Index j = 0; j < k; ++j) {
        const double entry = dot(d_f_.col(j), d_f_.col(c));
        gram_(c, j) = entry;
        gram_(j, c) = entry;
    }
    Eigen::VectorXd rhs(k);
    for (Eigen::Index j = 0; j < k; ++j) rhs[j] = dot(d_f_.col(j), f);
    const Eigen::VectorXd theta = solve_least_squares(gram_.topLeftCorner(k, k), rhs);

    Vector mix = Vector::Zero();
    for (Eigen::Index j = 0; j < k; ++j) {
        // A zero coefficient contributes nothing, also from a slot that is not finite:
        // the zero fallback of the solve then really is the plain iterate g.
        if (theta[j] == 0.0) continue;
        const double coefficient = theta[j] / d_f_scale_[j];
        for (int i = 0; i < D; ++i) mix[i] += d_g_(i, j) * coefficient;
    }
    const Vector u_new = g - mix;

    col_ = (col_ + 1) % m_;
    d_f_.col(static_cast<Eigen::Index>(col_)) = -f;
    d_g_.col(static_cast<Eigen::Index>(col_)) = -g;
    u_ = u_new;
    ++iter_;
    return u_new;
}

template <int D>
void AndersonAccelerator<D>::reset(const Vector& u0) {
    u_ = u0;
    iter_ = 0;
    col_ = 0;
}

template <int D>
void AndersonAccelerator<D>::replace(const Vector& x) {
    u_ = x;
}

template class AndersonAccelerator<6>;
template class AndersonAccelerator<7>;

}  // namespace tarvo
