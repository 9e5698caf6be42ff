// The solvers as plainly as they can be written, for tests that hold the real ones to
// them bit for bit. The plain forms search every point afresh in every pass, in index
// order, with the tree walk pruned by the splitting planes alone; they keep the
// accelerator's full history and evaluate every line-search trial.
#pragma once

#include "anderson.hpp"
#include "kdtree.hpp"
#include "plain_nearest.hpp"
#include "point_to_plane.hpp"
#include "point_to_point.hpp"
#include "pose.hpp"
#include "registration.hpp"
#include "similarity.hpp"
#include "spatial_order.hpp"
#include "util.hpp"
#include "welsch.hpp"

#include <Eigen/Geometry>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <random>
#include <utility>
#include <vector>

namespace tarvo::plain {

inline constexpr double kInf = std::numeric_limits<double>::infinity();

inline bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

inline bool same_bits(const SimilarityTransform& a, const SimilarityTransform& b) {
    return std::memcmp(a.rotation.data(), b.rotation.data(), sizeof(double) * 9) == 0 &&
           std::memcmp(a.translation.data(), b.translation.data(), sizeof(double) * 3) == 0 &&
           same_bits(a.scale, b.scale);
}

inline AndersonAccelerator<7>::Vector anderson_vector(const SimilarityTransform& t) {
    AndersonAccelerator<7>::Vector v;
    v.head<6>() = pose_log(t);
    v[6] = std::log(std::max(t.scale, 1e-12));
    return v;
}

class PlainPointToPoint {
public:
    PlainPointToPoint(std::span<const Point3> source, std::span<const Point3> target, const KdTree& tree,
                      const RegisterOptions& o)
        : source_(source), target_(target), tree_(tree), o_(o), closest_(source.size()),
          distances_(source.size()), weights_(source.size(), 1.0) {}

    SolverResult solve(const SimilarityTransform& initial) {
        const bool accelerated = o_.method != Method::Icp;
        const bool robust = o_.method == Method::RobustIcp;
        SimilarityTransform t = initial, plain = initial, previous = initial;
        search(t);
        std::optional<NuSchedule> schedule;
        if (robust) {
            const std::size_t k = neighbour_count(o_.nu_neighbors, target_.size());
            schedule = NuSchedule::begin(median_neighbour_distance(target_, tree_, k), distances_, o_);
        }
        std::optional<AndersonAccelerator<7>> accelerator;
        if (accelerated) accelerator.emplace(std::max<std::uint64_t>(o_.anderson_m, 1), anderson_vector(t));
        SolverResult r;
        for (;;) {
            if (robust) c_ = 1.0 / ((schedule->nu() + schedule->nu()) * schedule->nu());
            double last_energy = kInf;
            r.converged = false;
            for (std::uint64_t it = 1;; ++it) {
                if (accelerated) {
                    const double e = energy(robust);
                    if (e < last_energy) {
                        last_energy = e;
                    } else {
                        t = plain;
                        accelerator->replace(anderson_vector(plain));
                        search(t);
                        last_energy = energy(robust);
                    }
                }
                if (robust) {
                    const double two_nu2 = (schedule->nu() + schedule->nu()) * schedule->nu();
                    for (std::size_t i = 0; i < weights_.size(); ++i)
                        weights_[i] = std::exp((-distances_[i] * distances_[i]) / two_nu2);
                }
                const auto fit = fit_similarity(source_, closest_, weights_, o_.estimate_scale, o_.scale_bounds);
                ++r.iterations;
                if (!fit) break;
                t = plain = *fit;
                if (accelerated) {
                    const AndersonAccelerator<7>::Vector u = accelerator->compute(anderson_vector(t));
                    SimilarityTransform candidate = pose_exp(u.head<6>());
                    candidate.scale = o_.estimate_scale ? o_.scale_bounds.clamp(std::exp(u[6])) : 1.0;
                    if (candidate.is_finite()) t = candidate;
                }
                search(t);
                const bool small = block_change(t, previous) < o_.tolerance;
                previous = t;
                if (small) {
                    r.converged = true;
                    break;
                }
                if (it == o_.max_iterations) break;
            }
            if (!robust || !schedule->advance()) break;
            accelerator->reset(anderson_vector(t));
        }
        if (robust) {
            c_ = 1.0 / ((schedule->nu() + schedule->nu()) * schedule->nu());
            r.nu = schedule->nu();
        }
        r.energy = energy(robust);
        r.transform = t;
        r.residuals.assign(distances_.begin(), distances_.end());
        return r;
    }

private:
    void search(const SimilarityTransform& t) {
        for (std::size_t i = 0; i < source_.size(); ++i) {
            const NearestHit best = plain::nearest(tree_, t.apply(source_[i]));
            closest_[i] = best.point;
            distances_[i] = std::sqrt(best.dist2);
        }
    }

    double energy(bool robust) const {
        double sum = -0.0;
        for (const double d : distances_) sum += robust ? 1.0 - std::exp((-d * d) * c_) : d * d;
        return sum;
    }

    std::span<const Point3> source_;
    std::span<const Point3> target_;
    const KdTree& tree_;
    const RegisterOptions& o_;
    PointCloud closest_;
    std::vector<double> distances_;
    std::vector<double> weights_;
    double c_ = 0.0;
};

class PlainPointToPlane {
public:
    PlainPointToPlane(std::span<const Point3> source, std::span<const Point3> target,
                      std::span<const Point3> normals, const KdTree& tree, const RegisterOptions& o)
        : source_(source), target_(target), normals_(normals), tree_(tree), o_(o), current_(source.size()),
          spare_(source.size()), weights_(source.size(), 1.0) {}

    SolverResult solve(const SimilarityTransform& initial) {
        const bool robust = o_.method == Method::RobustPointToPlane;
        SimilarityTransform t = initial, old = initial;
        search(t, current_);
        double nu = 0.0, nu_end = 0.0;
        if (robust) {
            const std::size_t k = neighbour_count(o_.nu_neighbors, target_.size());
            nu_end = std::max(o_.nu_end_k * median_neighbour_plane_distance(target_, normals_, tree_, k), NU_FLOOR);
            std::vector<double> magnitudes;
            for (const PlaneCorrespondence& c : current_) magnitudes.push_back(std::abs(c.residual));
            nu = std::max(o_.nu_begin_k * median_in_place(magnitudes), nu_end);
        }
        std::optional<AndersonAccelerator<6>> accelerator;
        if (robust) accelerator.emplace(std::max<std::uint64_t>(o_.anderson_m, 1), pose_log(initial));
        PoseVector x_ref = pose_log(initial), x_gn = x_ref;
        double previous = kInf;
        SolverResult r;
        for (std::uint64_t stage = 0;; ++stage) {
            const std::uint64_t limit = robust ? std::min<std::uint64_t>(o_.max_iterations, stage + 7) : o_.max_iterations;
            if (robust) h_ = 1.0 / (2.0 * nu * nu);
            r.converged = false;
            for (std::uint64_t it = 0; it < limit; ++it) {
                double e = energy(current_, robust);
                if (o_.max_line_search > 0 && e >= previous) {
                    ++line_searches_;
                    const SimilarityTransform from = t;
                    double alpha = 1.0;
                    std::optional<PoseVector> best_x;
                    for (std::uint64_t trials = 1;; ++trials, alpha *= 0.5) {
                        const PoseVector x = x_ref + alpha * (x_gn - x_ref);
                        const SimilarityTransform trial = pose_exp(x);
                        if (!trial.is_finite()) break;
                        trials_on_current_ += same_bits(trial, from);
                        search(trial, spare_);
                        const double trial_energy = energy(spare_, robust);
                        if (trial_energy < e) {
                            e = trial_energy;
                            best_x = x;
                            t = trial;
                            std::swap(current_, spare_);
                            if (trial_energy < previous) break;
                        }
                        if (trials == o_.max_line_search) break;
                    }
                    if (best_x && robust) accelerator->reset(*best_x);
                }
                if (robust) {
                    for (std::size_t i = 0; i < weights_.size(); ++i)
                        weights_[i] = std::exp(-(current_[i].residual * current_[i].residual) / (2.0 * nu * nu));
                }
                x_ref = pose_log(t);
                x_gn = x_ref + point_to_plane_step(source_, current_, weights_, x_ref);
                const SimilarityTransform next = pose_exp(robust ? accelerator->compute(x_gn) : x_gn);
                if (next.is_finite()) t = next;
                search(t, current_);
                ++r.iterations;
                const double change = block_change(t, old);
                old = t;
                previous = e;
                if (change < o_.tolerance) {
                    r.converged = true;
                    break;
                }
            }
            if (!robust || !(nu > nu_end)) break;
            nu = std::max(nu * o_.nu_alpha, nu_end);
            accelerator->reset(pose_log(t));
            previous = kInf;
        }
        r.energy = energy(current_, robust);
        for (const PlaneCorrespondence& c : current_) r.residuals.push_back(std::abs(c.residual));
        r.transform = t;
        if (robust) r.nu = nu;
        return r;
    }

    int line_searches() const { return line_searches_; }
    // Trials that land bit for bit on the transform the line search started from.
    int trials_on_current() const { return trials_on_current_; }

private:
    void search(const SimilarityTransform& t, std::vector<PlaneCorrespondence>& out) const {
        for (std::size_t i = 0; i < source_.size(); ++i) {
            const Point3 p = t.apply(source_[i]);
            const NearestHit q = plain::nearest(tree_, p);
            const Point3& n = normals_[q.index];
            out[i].normal = n;
            out[i].residual = ((p.x - q.point.x) * n.x + (p.y - q.point.y) * n.y) + (p.z - q.point.z) * n.z;
        }
    }

    double energy(const std::vector<PlaneCorrespondence>& pairs, bool robust) const {
        double sum = 0.0;
        for (const PlaneCorrespondence& c : pairs) {
            const double r2 = c.residual * c.residual;
            sum += robust ? 1.0 - std::exp(-r2 * h_) : r2;
        }
        return sum;
    }

    std::span<const Point3> source_;
    std::span<const Point3> target_;
    std::span<const Point3> normals_;
    const KdTree& tree_;
    const RegisterOptions& o_;
    std::vector<PlaneCorrespondence> current_;
    std::vector<PlaneCorrespondence> spare_;
    std::vector<double> weights_;
    double h_ = 0.0;
    int line_searches_ = 0;
    int trials_on_current_ = 0;
};

// ---- comparison -------------------------------------------------------------------------

inline void expect_same_outcome(const SolverResult& fast, const SolverResult& plain) {
    EXPECT_EQ(fast.iterations, plain.iterations);
    EXPECT_EQ(fast.converged, plain.converged);
    EXPECT_TRUE(same_bits(fast.energy, plain.energy)) << fast.energy << " vs " << plain.energy;
    ASSERT_EQ(fast.nu.has_value(), plain.nu.has_value());
    if (fast.nu) {
        EXPECT_TRUE(same_bits(*fast.nu, *plain.nu));
    }
    EXPECT_TRUE(same_bits(fast.transform.scale, plain.transform.scale));
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(same_bits(fast.transform.translation[i], plain.transform.translation[i])) << "t" << i;
        for (int j = 0; j < 3; ++j) {
            EXPECT_TRUE(same_bits(fast.transform.rotation(i, j), plain.transform.rotation(i, j))) << "R" << i << j;
        }
    }
    ASSERT_EQ(fast.residuals.size(), plain.residuals.size());
    std::size_t differing = 0;
    for (std::size_t i = 0; i < fast.residuals.size(); ++i)
        differing += !same_bits(fast.residuals[i], plain.residuals[i]);
    EXPECT_EQ(differing, 0u);
}

// ---- clouds -----------------------------------------------------------------------------

// A height field of two bumps on a jittered grid, with its exact unit normals.
struct Cloud {
    PointCloud points;
    PointCloud normals;
};

inline Cloud bumps(int side, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> jitter(-0.3, 0.3);
    Cloud c;
    const double step = 2.0 / (side - 1);
    for (int i = 0; i < side; ++i) {
        for (int j = 0; j < side; ++j) {
            const double x = -1.0 + step * (i + jitter(rng)), y = -1.0 + step * (j + jitter(rng));
            const double a = std::exp(-((x - 0.3) * (x - 0.3) + (y + 0.2) * (y + 0.2)) / 0.2);
            const double b = std::exp(-((x + 0.5) * (x + 0.5) + (y - 0.5) * (y - 0.5)) / 0.1);
            const double z = 0.5 * a + 0.3 * b + 0.1 * x * x - 0.1 * y * y * y;
            const double fx = -5.0 * (x - 0.3) * a - 6.0 * (x + 0.5) * b + 0.2 * x;
            const double fy = -5.0 * (y + 0.2) * a - 6.0 * (y - 0.5) * b - 0.3 * y * y;
            c.points.push_back({x, y, z});
            c.normals.push_back(to_point(Vec3(-fx, -fy, 1.0).normalized()));
        }
    }
    return c;
}

// Unit normals that vary from point to point, for clouds without a surface.
inline PointCloud turning_normals(std::size_t n) {
    PointCloud normals;
    for (std::size_t i = 0; i < n; ++i) {
        const double a = 0.7 * static_cast<double>(i);
        normals.push_back(to_point(Vec3(0.3 * std::cos(a), 0.3 * std::sin(a), 0.95).normalized()));
    }
    return normals;
}

}  // namespace tarvo::plain
