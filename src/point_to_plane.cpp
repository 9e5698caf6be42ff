#include "point_to_plane.hpp"

#include "anderson.hpp"
#include "clearance.hpp"
#include "parallel.hpp"
#include "spatial_order.hpp"
#include "util.hpp"
#include "welsch.hpp"

#include <Eigen/SVD>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <utility>

namespace tarvo {

namespace {

using Mat6 = Eigen::Matrix<double, 6, 6>;

constexpr double STEP_SVD_RELATIVE_CUTOFF = 1e-12;
constexpr double LINE_SEARCH_SHRINK = 0.5;
constexpr std::uint64_t ROBUST_FIRST_STAGE_BUDGET = 7;

// The exponential map's coefficients A, B, C and their derivatives divided by theta:
// A1 = A'/theta, B1 = B'/theta, C1 = C'/theta, so that dA/dw_k = A1 w_k, and so on.
struct StepCoefficients {
    double a, b, c, a1, b1, c1;
};

StepCoefficients step_coefficients(double theta2) {
    if (theta2 < POSE_SERIES_THETA2) {
        // The closed forms cancel catastrophically near zero; the series are exact there.
        return {1.0 - theta2 / 6.0,          0.5 - theta2 / 24.0,
                1.0 / 6.0 - theta2 / 120.0,  -1.0 / 3.0 + theta2 / 30.0,
                -1.0 / 12.0 + theta2 / 180.0, -1.0 / 60.0 + theta2 / 1260.0};
    }
    const double theta = std::sqrt(theta2);
    double sin_t = 0.0, cos_t = 0.0;
    ::sincos(theta, &sin_t, &cos_t);
    const double theta3 = theta2 * theta;
    const double theta4 = theta2 * theta2;
    const double theta5 = theta4 * theta;
    const double one_minus_cos = 1.0 - cos_t;
    const double theta_minus_sin = theta - sin_t;
    return {sin_t / theta,
            one_minus_cos / theta2,
            theta_minus_sin / theta3,
            (theta * cos_t - sin_t) / theta3,
            (theta * sin_t - 2.0 * one_minus_cos) / theta4,
            (theta * one_minus_cos - 3.0 * theta_minus_sin) / theta5};
}

// (a0 b0 + a1 b1) + a2 b2, the one summation order used for every row.
inline double dot3(double a0, double a1, double a2, double b0, double b1, double b2) {
    return (a0 * b0 + a1 * b1) + a2 * b2;
}

// n . (m p + t)
inline double plane_derivative(const Mat3& m, const Vec3& t, const Point3& p, const Point3& n) {
    const double v0 = dot3(m(0, 0), m(0, 1), m(0, 2), p.x, p.y, p.z) + t[0];
    const double v1 = dot3(m(1, 0), m(1, 1), m(1, 2), p.x, p.y, p.z) + t[1];
    const double v2 = dot3(m(2, 0), m(2, 1), m(2, 2), p.x, p.y, p.z) + t[2];
    return dot3(n.x, n.y, n.z, v0, v1, v2);
}

// Pass 1: the weights of every chunk summed in index order, the chunk sums in chunk order.
double total_weight(std::span<const double> weights) {
    const std::vector<double> partial =
        map_chunks<double>(weights.size(), [&](std::size_t begin, std::size_t end) {
            double sum = 0.0;
            for (std::size_t i = begin; i < end; ++i) sum += weights[i];
            return sum;
        });
    double total = 0.0;
    for (double s : partial) total += s;
    return total;
}

struct NormalEquations {
    Mat6 h = Mat6::Zero();
    PoseVector g = PoseVector::Zero();
};

// Pass 2: H = sum (w/Omega) J^T J and g = -sum (w/Omega) r J^T, per chunk from zero in
// index order, the chunk records added in chunk order.
NormalEquations normal_equations(std::span<const Point3> source,
                                 std::span<const PlaneCorrespondence> corr,
                                 std::span<const double> weights, double total,
                                 const PlaneJacobian& jacobian) {
    const std::vector<NormalEquations> partial = map_chunks<NormalEquations>(
        source.size(), [&](std::size_t begin, std::size_t end) {
            NormalEquations chunk;
            for (std::size_t i = begin; i < end; ++i) {
                const double s = weights[i] / total;
                if (s == 0.0) continue;
                const double c = std::sqrt(s);
                const PoseVector j = c * jacobian.row(source[i], corr[i].normal);
                const double r = c * corr[i].residual;
                for (int col = 0; col < 6; ++col) {
                    for (int row = 0; row < 6; ++row) chunk.h(row, col) += j[row] * j[col];
                }
                for (int a = 0; a < 6; ++a) chunk.g[a] -= r * j[a];
            }
            return chunk;
        });
    NormalEquations sum;
    for (const NormalEquations& chunk : partial) {
        sum.h += chunk.h;
        sum.g += chunk.g;
    }
    return sum;
}

// The thirteen numbers of both transforms agree bit for bit, so a buffer filled for
// one holds exactly the correspondences of the other.
bool same_bits(const SimilarityTransform& a, const SimilarityTransform& b) {
    return std::memcmp(a.rotation.data(), b.rotation.data(), sizeof(double) * 9) == 0 &&
           std::memcmp(a.translation.data(), b.translation.data(), sizeof(double) * 3) == 0 &&
           std::memcmp(&a.scale, &b.scale, sizeof(double)) == 0;
}

// Minimum-norm solution of H delta = g, singular values at or below 1e-12 sigma_max
// dropped; zero when H vanishes, the decomposition fails or the answer is not finite.
PoseVector solve_truncated(const Mat6& h, const PoseVector& g) {
    const PoseVector zero = PoseVector::Zero();
    const Eigen::JacobiSVD<Mat6> svd(h, Eigen::ComputeFullU | Eigen::ComputeFullV);
    // Non-finite entries in H leave the singular values undefined.
    if (svd.info() != Eigen::Success) return zero;
    const auto& sigma = svd.singularValues();
    double sigma_max = 0.0;
    for (int i = 0; i < 6; ++i) sigma_max = sigma[i] > sigma_max ? sigma[i] : sigma_max;
    if (!(sigma_max > 0.0)) return zero;
    const double cutoff = STEP_SVD_RELATIVE_CUTOFF * sigma_max;
    PoseVector delta = zero;
    for (int i = 0; i < 6; ++i) {
        if (!(sigma[i] > cutoff)) continue;
        const double coefficient = svd.matrixU().col(i).dot(g) / sigma[i];
        delta += coefficient * svd.matrixV().col(i);
    }
    return delta.allFinite() ? delta : zero;
}

}  // namespace

PlaneJacobian::PlaneJacobian(const PoseVector& x) {
    const Vec3 omega = x.head<3>();
    const Vec3 rho = x.tail<3>();
    const StepCoefficients k = step_coefficients(omega.dot(omega));
    const Mat3 w = skew(omega);
    const Mat3 w2 = w * w;
    v_ = left_jacobian(omega);
    for (int axis = 0; axis < 3; ++axis) {
        const Mat3 e = skew(Vec3::Unit(axis));
        const Mat3 sym = e * w + w * e;  // d(W^2)/dw_k
        const double wk = omega[axis];
        d_rotation_[axis] = (k.a1 * wk) * w + k.a * e + (k.b1 * wk) * w2 + k.b * sym;
        const Mat3 d_v = (k.b1 * wk) * w + k.b * e + (k.c1 * wk) * w2 + k.c * sym;
        d_translation_[axis] = d_v * rho;
    }
}

PoseVector PlaneJacobian::row(const Point3& p, const Point3& n) const {
    PoseVector j;
    for (int axis = 0; axis < 3; ++axis) {
        j[axis] = plane_derivative(d_rotation_[axis], d_translation_[axis], p, n);
        j[3 + axis] = dot3(v_(0, axis), v_(1, axis), v_(2, axis), n.x, n.y, n.z);
    }
    return j;
}

namespace {

double plane_residual(const Point3& moved, const Point3& q, const Point3& n) {
    return dot3(moved.x - q.x, moved.y - q.y, moved.z - q.z, n.x, n.y, n.z);
}

// How many points ahead the first phase asks for the coordinates of a previous answer:
// in index order the answers lie at scattered tree positions.
constexpr std::size_t kGatherAhead = 16;

// The first phase of a seeded pass, in index order: a point whose query moved by less
// than its clearance allows keeps its answer, with the residual and clearance of its new
// place; every other point gets its bit in out.to_search and is left as it was, so that
// `previous` still holds its old answer when `out` is `previous`.
void keep_plane_answers(const SimilarityTransform& t, std::span<const Point3> source, const QueryOrder& order,
                        const KdTree& tree, const PlaneCorrespondences& previous, PlaneCorrespondences& out) {
    bound_run_moves(previous.pose, t, order, out.run_moves);
    const std::span<const std::uint32_t> run_of = order.run_of_point();
    parallel_for_aligned(source.size(), 64, [&](std::size_t first, std::size_t last) {
        for (std::size_t word = first; word < last; word += 64) {
            std::uint64_t failed = 0;
            for (std::size_t i = word; i < std::min(word + 64, last); ++i) {
                if (i + kGatherAhead < last) {
                    const std::uint32_t p = previous.pairs[i + kGatherAhead].position;
                    prefetch_line_for_reading(tree.xs() + p);
                    prefetch_line_for_reading(tree.ys() + p);
                    prefetch_line_for_reading(tree.zs() + p);
                }
                const PlaneCorrespondence was = previous.pairs[i];  // a copy: `out` may be `previous`
                const Point3 moved = t.apply(source[i]);
                const Point3 q = tree.point(was.position);
                const SquaredKeepTest test = keep_test_squared(moved, q, was.clearance, out.run_moves[run_of[i]]);
                if (test.kept) {
                    out.pairs[i] = {was.normal, plane_residual(moved, q, was.normal), was.position, clearance_left(test)};
                } else {
                    failed |= std::uint64_t{1} << (i - word);
                }
            }
            out.to_search[word / 64] = failed;
        }
    });
}

}  // namespace

void find_plane_correspondences(const SimilarityTransform& t, std::span<const Point3> source,
                                const QueryOrder& order, const KdTree& tree,
                                std::span<const Point3> target_normals, const PlaneCorrespondences& previous,
                                PlaneCorrespondences& out) {
    const bool seeded = previous.filled;
    if (seeded) keep_plane_answers(t, source, order, tree, previous, out);
    const auto prefetch = [&](std::uint32_t ahead) {
        prefetch_for_reading(&source[ahead]);
        prefetch_for_reading(&previous.pairs[ahead]);
        prefetch_for_writing(&out.pairs[ahead]);
    };
    // Every search starts from the distance to the point's previous answer, if it has
    // one, and to the answer of the point before it, found or kept in this pass.
    const auto search = [&](std::uint32_t i, std::uint32_t before) {
        const Point3 moved = t.apply(source[i]);
        double bound = std::numeric_limits<double>::infinity();
        if (seeded) bound = bound_through(moved, tree.point(previous.pairs[i].position));
        if (before != NO_PLACE) bound = std::min(bound, bound_through(moved, tree.point(out.pairs[before].position)));
        const ClearNearestHit found = nearest_with_clearance(tree, moved, bound);
        const Point3& n = target_normals[found.hit.index];
        out.pairs[i] = {n, plane_residual(moved, found.hit.point, n), found.position,
                        clearance_of_search(found.clearance2)};
    };
    search_points(order, seeded ? std::span<const std::uint64_t>(out.to_search) : std::span<const std::uint64_t>(),
                  prefetch, search);
    out.pose = t;
    out.filled = true;
}

PoseVector point_to_plane_step(std::span<const Point3> source,
                               std::span<const PlaneCorrespondence> correspondences,
                               std::span<const double> weights, const PoseVector& x) {
    const double total = total_weight(weights);
    if (!std::isfinite(total) || !(total > 0.0)) return PoseVector::Zero();
    const PlaneJacobian jacobian(x);
    const NormalEquations eq = normal_equations(source, correspondences, weights, total, jacobian);
    return solve_truncated(eq.h, eq.g);
}

namespace {

// One run of either point-to-plane method; owns every buffer it uses, each allocated once.
class PlaneSolver {
public:
    PlaneSolver(std::span<const Point3> source, std::span<const Point3> target, const KdTree& tree,
                const QueryOrder& order, std::span<const Point3> normals, const RegisterOptions& options,
                const SimilarityTransform& initial)
        : source_(source), target_(target), tree_(tree), normals_(normals), options_(options),
          robust_(options.method == Method::RobustPointToPlane), order_(order),
          current_(source.size()),
          spare_(source.size()), weights_(source.size(), 1.0), t_(initial), t_old_(initial) {
        fill(t_, current_, current_);
        if (robust_) begin_schedule();
        const PoseVector x0 = pose_log(initial);
        if (robust_) accelerator_.emplace(anderson_history_slots(options.anderson_m, options.max_iterations), x0);
        x_ref_ = x0;
        x_gn_ = x0;
    }

    SolverResult run() {
        for (std::uint64_t stage = 0;; ++stage) {
            if (robust_) h_ = 1.0 / two_nu_squared(schedule_.nu());
            converged_ = run_stage(stage_budget(stage));
            if (!robust_ || !schedule_.advance()) break;
            accelerator_->reset(pose_log(t_));
            e_prev_ = INF;
        }
        return finish();
    }

private:
    static constexpr double INF = std::numeric_limits<double>::infinity();

    // Correspondences under t into `out`, starting from those in `previous`.
    void fill(const SimilarityTransform& t, const PlaneCorrespondences& previous, PlaneCorrespondences& out) const {
        find_plane_correspondences(t, source_, order_, tree_, normals_, previous, out);
    }

    // nu_end from how far the target's neighbours lie off its tangent planes, the first
    // nu from the median initial residual magnitude.
    void begin_schedule() {
        const std::size_t k = neighbour_count(options_.nu_neighbors, target_.size());
        const double spacing = median_neighbour_plane_distance(target_, normals_, tree_, k);
        LargeVector<double> magnitudes(current_.pairs.size());
        for (std::size_t i = 0; i < magnitudes.size(); ++i) {
            magnitudes[i] = std::abs(current_.pairs[i].residual);
        }
        schedule_ = NuSchedule::begin(spacing, magnitudes, options_);
    }

    std::uint64_t stage_budget(std::uint64_t stage) const {
        if (!robust_) return options_.max_iterations;
        return std::min(options_.max_iterations, stage + ROBUST_FIRST_STAGE_BUDGET);
    }

    double energy(const PlaneCorrespondences& correspondences) {
        const LargeVector<PlaneCorrespondence>& corr = correspondences.pairs;
        if (robust_) {
            exps_pose_ = correspondences.pose;
            exps_h_ = h_;
            return ordered_sum(
                corr.size(), 0.0, energy_exps_, [&](std::size_t i) { return welsch_exp(corr[i].residual, h_); },
                [](double e) { return welsch_term_from(e); });
        }
        double sum = 0.0;
        for (const PlaneCorrespondence& c : corr) sum += c.residual * c.residual;
        return sum;
    }

    void update_weights() {
        const double two_nu_sq = two_nu_squared(schedule_.nu());
        const LargeVector<PlaneCorrespondence>& corr = current_.pairs;
        // The pairs are a function of the pose they were found under, so exponentials
        // made for that pose and this stage's h belong to these residuals.
        const bool exps_fit =
            energy_exps_.size() == corr.size() && same_bits(exps_pose_, current_.pose) && exps_h_ == h_;
        parallel_for(corr.size(), [&](std::size_t first, std::size_t last) {
            for (std::size_t i = first; i < last; ++i) {
                weights_[i] = exps_fit ? welsch_weight_from(energy_exps_[i], corr[i].residual, two_nu_sq, h_)
                                       : welsch_weight(corr[i].residual, two_nu_sq);
            }
        });
    }

    // Returns true when the stage ends through the tolerance test.
    bool run_stage(std::uint64_t limit) {
        for (std::uint64_t done = 0; done < limit; ++done) {
            if (iterate()) return true;
        }
        return false;
    }

    // One Gauss-Newton iteration; true when the transform moved by less than tolerance.
    bool iterate() {
        double e = energy(current_);
        if (options_.max_line_search > 0 && e >= e_prev_) line_search(e);
        if (robust_) update_weights();
        x_ref_ = pose_log(t_);
        x_gn_ = x_ref_ + point_to_plane_step(source_, current_.pairs, weights_, x_ref_);
        const PoseVector x_next = robust_ ? accelerator_->compute(x_gn_) : x_gn_;
        const SimilarityTransform candidate = pose_exp(x_next);
        if (candidate.is_finite()) t_ = candidate;
        fill(t_, current_, current_);
        ++iterations_;
        const double change = block_change(t_, t_old_);
        t_old_ = t_;
        e_prev_ = e;
        return change < options_.tolerance;
    }

    // Backtracks along the previous Gauss-Newton step d = x_gn - x_ref from the full
    // step, halving; adopts the lowest-energy trial if any beat `e`. Trials write into
    // the spare buffer, and an improving one is adopted by swapping the buffers.
    // For plain point-to-plane the full step usually lands on the current transform
    // itself (x_ref + (x_gn - x_ref) rounds back to x_gn): that trial's energy is then
    // `e`, which cannot beat `e`, so its search is skipped, to the same outcome.
    void line_search(double& e) {
        const PoseVector d = x_gn_ - x_ref_;
        double best = e;
        std::optional<std::pair<PoseVector, SimilarityTransform>> best_trial;
        double alpha = 1.0;
        for (std::uint64_t trials = 0;;) {
            const PoseVector x_c = x_ref_ + alpha * d;
            const SimilarityTransform t_c = pose_exp(x_c);
            if (!t_c.is_finite()) break;
            double e_c = e;
            if (!same_bits(t_c, t_)) {
                fill(t_c, current_, spare_);
                e_c = energy(spare_);
            }
            ++trials;
            if (e_c < best) {
                best = e_c;
                best_trial.emplace(x_c, t_c);
                std::swap(current_, spare_);
                if (e_c < e_prev_) break;
            }
            alpha *= LINE_SEARCH_SHRINK;
            if (trials == options_.max_line_search) break;
        }
        if (!best_trial) return;
        t_ = best_trial->second;
        e = best;
        if (robust_) accelerator_->reset(best_trial->first);
    }

    SolverResult finish() {
        SolverResult result;
        result.energy = energy(current_);
        // The weights are not needed any more; their storage becomes the residual array.
        for (std::size_t i = 0; i < current_.pairs.size(); ++i) {
            weights_[i] = std::abs(current_.pairs[i].residual);
        }
        result.residuals = std::move(weights_);
        result.transform = t_;
        result.iterations = iterations_;
        result.converged = converged_;
        if (robust_) result.nu = schedule_.nu();
        return result;
    }

    std::span<const Point3> source_;
    std::span<const Point3> target_;
    const KdTree& tree_;
    std::span<const Point3> normals_;
    const RegisterOptions& options_;
    const bool robust_;

    const QueryOrder& order_;  // spatially coherent, fixed per run
    PlaneCorrespondences current_;
    PlaneCorrespondences spare_;
    LargeVector<double> weights_;
    LargeVector<double> energy_exps_;  // robust runs: the exponentials of the latest energy,
    SimilarityTransform exps_pose_;    // made on the pairs found under this pose
    double exps_h_ = 0.0;              // with this h
    NuSchedule schedule_;
    std::optional<AndersonAccelerator<6>> accelerator_;
    double h_ = 0.0;  // 1 / (2 nu^2) of the current stage

    SimilarityTransform t_;
    SimilarityTransform t_old_;
    PoseVector x_ref_;
    PoseVector x_gn_;
    double e_prev_ = INF;
    std::uint64_t iterations_ = 0;
    bool converged_ = false;
};

}  // namespace

SolverResult solve_point_to_plane(std::span<const Point3> source, std::span<const Point3> target,
                                  const KdTree& tree, const QueryOrder& order, std::span<const Point3> target_normals,
                                  const RegisterOptions& options, const SimilarityTransform& initial) {
    return PlaneSolver(source, target, tree, order, target_normals, options, initial).run();
}

}  // namespace tarvo
