#include "point_to_point.hpp"

#include "anderson.hpp"
#include "clearance.hpp"
#include "marked_search.hpp"
#include "parallel.hpp"
#include "pose.hpp"
#include "similarity.hpp"
#include "spatial_order.hpp"
#include "util.hpp"
#include "welsch.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <optional>
#include <utility>

namespace tarvo {

namespace {

// The first phase of a seeded pass: every point whose answer is kept gets its new
// distance and clearance; every other point gets its bit in `to_search`. A kept point
// stays anchored at its last search, unless that pass is about to leave the ring of
// recent transforms: then it moves its anchor here, with the clearance that is left.
// A word of 64 points goes through three loops: the cheap test for all of them, without
// a branch on its outcome; the test from the anchor for the few that failed it; and the
// writes.
class AnswerKeeping {
public:
    AnswerKeeping(const SimilarityTransform& t, std::span<const Point3> source, const QueryOrder& order,
                  PointCorrespondences& out)
        : t_(t), source_(source), run_of_(order.run_of_point()), rounding_(apply_rounding(t)), pass_(out.passes),
          out_(out) {}

    void word(std::size_t first, std::size_t last) const {
        WordTests tests;  // left uninitialised: every slot of the word is written before it is read
        std::uint64_t failed = test_moves(first, last, tests);
        for (std::uint64_t bits = failed; bits != 0; bits &= bits - 1) {
            const int j = std::countr_zero(bits);
            if (test_from_anchor(first + static_cast<std::size_t>(j), tests, j)) failed &= ~(std::uint64_t{1} << j);
        }
        write(first, last, tests, failed);
    }

private:
    struct WordTests {
        double distance2[64];
        double room[64];
    };

    // The test against the clearance shrunk pass by pass; a bit for each point it fails.
    std::uint64_t test_moves(std::size_t first, std::size_t last, WordTests& tests) const {
        std::uint64_t failed = 0;
        std::size_t i = first;
#if defined(__SSE2__)
        const PairTransform pair_transform(t_);
        for (; i + 2 <= last; i += 2) {
            const std::size_t j = i - first;
            const PointPair y = pair_transform.apply(load_pair(&source_[i]));
            const __m128d clearances = load_two_floats(&out_.clearances[i]);
            const __m128d run_moves = _mm_set_pd(out_.run_moves[run_of_[i + 1]], out_.run_moves[run_of_[i]]);
            const SquaredKeepTests test = keep_tests_squared(y, load_pair(&out_.points[i]), clearances, run_moves);
            _mm_storeu_pd(&tests.distance2[j], test.distance2);
            _mm_storeu_pd(&tests.room[j], test.room);
            failed |= static_cast<std::uint64_t>(~test.kept & 3) << j;
        }
#endif
        for (; i < last; ++i) {
            const std::size_t j = i - first;
            const SquaredKeepTest test =
                keep_test_squared(t_.apply(source_[i]), out_.points[i], out_.clearances[i], out_.run_moves[run_of_[i]]);
            tests.distance2[j] = test.distance2;
            tests.room[j] = test.room;
            failed |= std::uint64_t{!test.kept} << j;
        }
        return failed;
    }

    // The test against the clearance of the point's last search, by its net move since.
    bool test_from_anchor(std::size_t i, WordTests& tests, int j) const {
        const Point3& s = source_[i];
        const PassPose& then = out_.recent[out_.anchored_in[i] % RECENT_PASSES];
        const Point3 y = t_.apply(s), y_then = then.transform.apply(s);
        const float clearance = out_.anchor_clearances[i];
        if (moved_past(y, y_then, clearance)) return false;  // as in the passes after a large step
        const double slack = (rounding_ + then.rounding) * ((std::abs(s.x) + std::abs(s.y)) + std::abs(s.z) + 1.0);
        const SquaredKeepTest test = keep_test_squared(y, out_.points[i], clearance, move_between(y, y_then, slack));
        tests.room[j] = test.room;
        return test.kept;
    }

    // Written whatever the outcome: a point that is not kept is searched next, and the
    // search writes both again.
    void write(std::size_t first, std::size_t last, const WordTests& tests, std::uint64_t failed) const {
        double* distances = out_.distances.data() + first;
        for (std::size_t j = 0; j < last - first; ++j) distances[j] = std::sqrt(tests.distance2[j]);
        for (std::size_t i = first; i < last; ++i) {
            const std::size_t j = i - first;
            const bool kept = (failed >> j & 1) == 0;
            const float left = kept ? clearance_left({tests.distance2[j], tests.room[j], true}) : 0.0f;
            out_.clearances[i] = left;
            if (pass_ - out_.anchored_in[i] == RECENT_PASSES && kept) {
                out_.anchor_clearances[i] = left;
                out_.anchored_in[i] = pass_;
            }
        }
        out_.to_search[first / 64] = failed;
    }

    const SimilarityTransform& t_;
    std::span<const Point3> source_;
    std::span<const std::uint32_t> run_of_;
    double rounding_;
    std::uint32_t pass_;
    PointCorrespondences& out_;
};

void keep_answers(const SimilarityTransform& t, std::span<const Point3> source, const QueryOrder& order,
                  PointCorrespondences& out) {
    const SimilarityTransform& last_pass = out.recent[(out.passes - 1) % RECENT_PASSES].transform;
    bound_run_moves(last_pass, t, order, out.run_moves);
    const AnswerKeeping keeping(t, source, order, out);
    parallel_for_aligned(source.size(), 64, [&](std::size_t first, std::size_t last) {
        for (std::size_t word = first; word < last; word += 64) keeping.word(word, std::min(word + 64, last));
    });
}

// One search of a pass. It starts from the distance to the point's previous answer, or
// to the answer of the point the pass visited just before, whichever is nearer: any
// tree point's distance, nudged up, is a bound the nearest point lies strictly within,
// and a query far from the surface that has no answer yet gets a tight one from its
// neighbour.
class PassSearch {
public:
    PassSearch(const SimilarityTransform& t, std::span<const Point3> source, const KdTree& tree, bool seeded,
               PointCorrespondences& out)
        : t_(t), source_(source), tree_(tree), seeded_(seeded), pass_(out.passes), out_(out) {}

    void prefetch(std::uint32_t i) const {
        prefetch_for_reading(&source_[i]);
        prefetch_for_writing(&out_.points[i]);
        prefetch_for_writing(&out_.distances[i]);
        prefetch_for_writing(&out_.clearances[i]);
        prefetch_for_writing(&out_.anchor_clearances[i]);
        prefetch_for_writing(&out_.anchored_in[i]);
    }

    void operator()(std::uint32_t i, std::uint32_t before) const {
        const Point3 y = t_.apply(source_[i]);
        double bound = seeded_ ? bound_through(y, out_.points[i]) : std::numeric_limits<double>::infinity();
        if (before != NO_PLACE) bound = std::min(bound, bound_through(y, out_.points[before]));
        const ClearNearestHit found = nearest_with_clearance(tree_, y, bound);
        out_.points[i] = found.hit.point;
        out_.distances[i] = std::sqrt(found.hit.dist2);
        const float clearance = clearance_of_search(found.clearance2);
        out_.clearances[i] = clearance;
        out_.anchor_clearances[i] = clearance;
        out_.anchored_in[i] = pass_;
    }

private:
    const SimilarityTransform& t_;
    std::span<const Point3> source_;
    const KdTree& tree_;
    bool seeded_;
    std::uint32_t pass_;
    PointCorrespondences& out_;
};

}  // namespace

void find_point_correspondences(const SimilarityTransform& t, std::span<const Point3> source,
                                const QueryOrder& order, const KdTree& tree, PointCorrespondences& out) {
    const bool seeded = out.filled;
    if (seeded) keep_answers(t, source, order, out);
    const PassSearch search(t, source, tree, seeded, out);
    search_points(
        order, seeded ? std::span<const std::uint64_t>(out.to_search) : std::span<const std::uint64_t>(),
        [&](std::uint32_t i) { search.prefetch(i); }, search);
    out.recent[out.passes % RECENT_PASSES] = {t, apply_rounding(t)};
    ++out.passes;
    out.filled = true;
}

namespace {

using AndersonVector = Eigen::Matrix<double, 7, 1>;
constexpr double kInfinity = std::numeric_limits<double>::infinity();

// The pose coordinates of the rotation and translation, then the log of the scale.
AndersonVector to_anderson_vector(const SimilarityTransform& t) {
    AndersonVector v;
    v.head<6>() = pose_log(t);
    v[6] = std::log(std::max(t.scale, 1e-12));
    return v;
}

SimilarityTransform from_anderson_vector(const AndersonVector& u, const RegisterOptions& options) {
    SimilarityTransform t = pose_exp(u.head<6>());
    t.scale = options.estimate_scale ? options.scale_bounds.clamp(std::exp(u[6])) : 1.0;
    return t;
}

// One run of the point-to-point solver: the state the iterations share.
class PointToPointRun {
public:
    PointToPointRun(std::span<const Point3> source, std::span<const Point3> target, const KdTree& tree,
                    const QueryOrder& order, const RegisterOptions& options, const SimilarityTransform& initial)
        : source_(source),
          tree_(tree),
          options_(options),
          accelerated_(options.method != Method::Icp),
          robust_(options.method == Method::RobustIcp),
          order_(order),
          corr_(source.size()),
          weights_(robust_ ? source.size() : 0, 1.0),
          t_(initial),
          t_plain_(initial),
          t_prev_(initial) {
        find_point_correspondences(t_, source_, order_, tree_, corr_);
        if (robust_) {
            const std::size_t k = neighbour_count(options.nu_neighbors, target.size());
            const double spacing = median_neighbour_distance(target, tree, k);
            schedule_ = NuSchedule::begin(spacing, corr_.distances, options);
        }
        if (accelerated_) accelerator_.emplace(anderson_history_slots(options.anderson_m, options.max_iterations), to_anderson_vector(t_));
    }

    SolverResult run() {
        for (;;) {
            run_stage();
            if (!robust_ || !schedule_->advance()) break;
            accelerator_->reset(to_anderson_vector(t_));
        }
        SolverResult result;
        set_stage_parameter();
        result.energy = energy();
        if (robust_) result.nu = schedule_->nu();
        result.transform = t_;
        result.iterations = iterations_;
        result.converged = converged_;
        result.residuals = std::move(corr_.distances);
        return result;
    }

private:
    void set_stage_parameter() {
        if (!robust_) return;
        const double nu = schedule_->nu();
        two_nu_sq_ = two_nu_squared(nu);
        c_ = 1.0 / two_nu_sq_;
    }

    // Sum over all points in index order from -0.0: squared distances, or Welsch terms,
    // whose exponentials are kept for the weights of the same pass.
    double energy() {
        const LargeVector<double>& d = corr_.distances;
        if (robust_) {
            return ordered_sum(
                d.size(), -0.0, energy_exps_, [&](std::size_t i) { return welsch_exp(d[i], c_); },
                [](double e) { return welsch_term_from(e); });
        }
        double sum = -0.0;
        for (double di : d) sum += di * di;
        return sum;
    }

    // Accepts the current (possibly extrapolated) transform if it lowered the energy;
    // otherwise falls back to the last plain fit and takes its energy as the reference.
    void guard_energy() {
        const double e = energy();
        if (e < e_prev_) {
            e_prev_ = e;
            return;
        }
        t_ = t_plain_;
        accelerator_->replace(to_anderson_vector(t_plain_));
        find_point_correspondences(t_, source_, order_, tree_, corr_);
        e_prev_ = energy();
    }

    // Robust runs are accelerated, so the energy guard has just summed the energy of
    // these distances with this stage's c, and its exponentials are at hand.
    void update_weights() {
        const LargeVector<double>& d = corr_.distances;
        parallel_for(weights_.size(), [&](std::size_t first, std::size_t last) {
            for (std::size_t i = first; i < last; ++i)
                weights_[i] = welsch_weight_from(energy_exps_[i], d[i], two_nu_sq_, c_);
        });
    }

    void accelerate() {
        const AndersonVector u = accelerator_->compute(to_anderson_vector(t_));
        const SimilarityTransform candidate = from_anderson_vector(u, options_);
        if (candidate.is_finite()) t_ = candidate;
    }

    void run_stage() {
        set_stage_parameter();
        e_prev_ = kInfinity;
        converged_ = false;
        for (std::uint64_t it = 1;; ++it) {
            if (accelerated_) guard_energy();
            if (robust_) update_weights();
            const std::optional<SimilarityTransform> fit = fit_similarity(
                source_, corr_.points, weights_, options_.estimate_scale, options_.scale_bounds);
            ++iterations_;
            if (!fit) return;
            t_ = t_plain_ = *fit;
            if (accelerated_) accelerate();
            find_point_correspondences(t_, source_, order_, tree_, corr_);
            const double change = block_change(t_, t_prev_);
            t_prev_ = t_;
            if (change < options_.tolerance) {
                converged_ = true;
                return;
            }
            if (it == options_.max_iterations) return;
        }
    }

    std::span<const Point3> source_;
    const KdTree& tree_;
    const RegisterOptions& options_;
    const bool accelerated_;
    const bool robust_;
    const QueryOrder& order_;  // spatially coherent, fixed per run
    PointCorrespondences corr_;
    LargeVector<double> weights_;       // robust runs only; the others fit unweighted
    LargeVector<double> energy_exps_;  // robust runs: the exponentials of the latest energy
    SimilarityTransform t_;
    SimilarityTransform t_plain_;
    SimilarityTransform t_prev_;
    std::optional<NuSchedule> schedule_;
    std::optional<AndersonAccelerator<7>> accelerator_;
    double two_nu_sq_ = 0.0;
    double c_ = 0.0;
    double e_prev_ = kInfinity;
    std::uint64_t iterations_ = 0;
    bool converged_ = false;
};

}  // namespace

SolverResult solve_point_to_point(std::span<const Point3> source, std::span<const Point3> target,
                                  const KdTree& tree, const QueryOrder& order, const RegisterOptions& options,
                                  const SimilarityTransform& initial) {
    return PointToPointRun(source, target, tree, order, options, initial).run();
}

}  // namespace tarvo
