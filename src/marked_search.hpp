// The searches of a pass whose answers could not be kept. A pass first tests every point
// in index order (the arrays it reads and writes then stream through memory) and marks
// the points that failed, a bit each, 64 to a word; then it searches the marked points.
// Whether a point was kept or searched changes no result, only the speed.
#pragma once

#include "clearance.hpp"
#include "parallel.hpp"
#include "spatial_order.hpp"

#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>

namespace tarvo {

// For each run of `order`, a bound on how far its points move from transform `from` to
// `to` (MotionBound::over), in `run_moves` (one slot per run): the first phase of a
// pass tests each point against its run's bound.
inline void bound_run_moves(const SimilarityTransform& from, const SimilarityTransform& to, const QueryOrder& order,
                            std::span<double> run_moves) {
    const MotionBound motion(from, to);
    const std::span<const QueryRun> runs = order.runs();
    parallel_for(runs.size(), [&](std::size_t first, std::size_t last) {
        for (std::size_t r = first; r < last; ++r) run_moves[r] = motion.over(runs[r]);
    });
}

// Bitmap words for n points.
inline std::size_t mark_words(std::size_t n) { return (n + 63) / 64; }

inline bool is_marked(std::span<const std::uint64_t> marks, std::uint32_t i) {
    return (marks[i / 64] >> (i % 64) & 1) != 0;
}

inline std::size_t marked_count(std::span<const std::uint64_t> marks) {
    std::size_t count = 0;
    for (const std::uint64_t word : marks) count += static_cast<std::size_t>(std::popcount(word));
    return count;
}

// A pass in which fewer than one point in this many is marked searches them in index
// order: going through every place of the query order would cost more than their
// searches.
inline constexpr std::size_t kSparseSearchShare = 16;

// search(i, before) for every point of `order`, or with `marks` (empty: every point)
// only for the marked ones. `before` is the point searched or passed just before i in
// the same task (NO_PLACE at a task's start): its answer, already final, may bound i's
// search. prefetch(i) is called ahead of each point that will be searched.
template <class Prefetch, class Search>
void search_points(const QueryOrder& order, std::span<const std::uint64_t> marks, const Prefetch& prefetch,
                   const Search& search) {
    const std::span<const std::uint32_t> places = order.indices();
    const bool all = marks.empty();
    if (!all && marked_count(marks) * kSparseSearchShare < places.size()) {
        parallel_for_aligned(places.size(), 64, [&](std::size_t first, std::size_t last) {
            std::uint32_t before = NO_PLACE;
            for (std::size_t word = first / 64; word * 64 < last; ++word) {
                for (std::uint64_t bits = marks[word]; bits != 0; bits &= bits - 1) {
                    const auto i =
                        static_cast<std::uint32_t>(word * 64 + static_cast<std::size_t>(std::countr_zero(bits)));
                    search(i, before);
                    before = i;
                }
            }
        });
        return;
    }
    parallel_for_in_runs(
        places, MIN_PARALLEL_POINTS,
        [&](std::uint32_t ahead) {
            if (all || is_marked(marks, ahead)) prefetch(ahead);
        },
        [](std::size_t) { return NO_PLACE; },
        [&](std::uint32_t i, std::uint32_t& place_before) {
            const std::uint32_t before = std::exchange(place_before, i);
            if (all || is_marked(marks, i)) search(i, before);
        });
}

}  // namespace tarvo
