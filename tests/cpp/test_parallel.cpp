#include "parallel.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

namespace tarvo {
namespace {

// Sizes on both sides of the inline threshold and of the chunk boundary.
class ParallelForCovers : public ::testing::TestWithParam<std::size_t> {};

TEST_P(ParallelForCovers, EveryIndexExactlyOnce) {
    const std::size_t n = GetParam();
    std::vector<std::atomic<int>> visits(n);
    parallel_for(n, [&](std::size_t first, std::size_t last) {
        ASSERT_LE(first, last);
        ASSERT_LE(last, n);
        for (std::size_t i = first; i < last; ++i) visits[i].fetch_add(1);
    });
    for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(visits[i].load(), 1) << "index " << i;
}

INSTANTIATE_TEST_SUITE_P(Sizes, ParallelForCovers,
                         ::testing::Values(0, 1, MIN_PARALLEL_POINTS - 1, MIN_PARALLEL_POINTS, 100000));

// Aligned ranges cover [0, n) once, and every boundary between two of them is a
// multiple of the alignment.
TEST_P(ParallelForCovers, AlignedRangesSplitOnMultiples) {
    const std::size_t n = GetParam();
    std::vector<std::atomic<int>> visits(n);
    std::atomic<bool> misaligned{false};
    parallel_for_aligned(n, 64, [&](std::size_t first, std::size_t last) {
        if (first % 64 != 0 || (last % 64 != 0 && last != n) || first >= last) misaligned = true;
        for (std::size_t i = first; i < last; ++i) visits[i].fetch_add(1);
    });
    for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(visits[i].load(), 1) << "index " << i;
    EXPECT_FALSE(misaligned.load());
}

// Every index of a reversed order is visited once, with the state its run started;
// every prefetch names an index that is still to come, and only indices the loop visits.
TEST_P(ParallelForCovers, EveryIndexOfAnOrderOnceWithPrefetchesAhead) {
    const std::size_t n = GetParam();
    constexpr std::size_t run_length = 32;
    std::vector<std::uint32_t> order(n);
    for (std::size_t k = 0; k < n; ++k) order[k] = static_cast<std::uint32_t>(n - 1 - k);
    std::vector<std::atomic<int>> visits(n), prefetches(n), starts((n + run_length - 1) / run_length);
    std::atomic<bool> prefetched_a_visited_index{false}, wrong_run{false};
    parallel_for_in_runs(
        order, run_length,
        [&](std::uint32_t ahead) {
            ASSERT_LT(ahead, n);
            if (visits[ahead].load() != 0) prefetched_a_visited_index = true;
            prefetches[ahead].fetch_add(1);
        },
        [&](std::size_t run) {
            starts[run].fetch_add(1);
            return run;
        },
        [&](std::uint32_t i, std::size_t run) {
            if ((n - 1 - i) / run_length != run) wrong_run = true;
            visits[i].fetch_add(1);
        });
    for (std::size_t i = 0; i < n; ++i) {
        ASSERT_EQ(visits[i].load(), 1) << "index " << i;
        ASSERT_LE(prefetches[i].load(), 1) << "index " << i;
    }
    for (std::size_t r = 0; r < starts.size(); ++r) ASSERT_EQ(starts[r].load(), 1) << "run " << r;
    EXPECT_FALSE(prefetched_a_visited_index.load());
    EXPECT_FALSE(wrong_run.load());
}

// Both sides run; when the caller's side throws, the other side has either not started
// or finished by the time the exception arrives, since it may use the caller's frame.
TEST(RunBeside, BothSidesRunAndAThrowWaitsForTheOtherSide) {
    int beside = 0, caller = 0;
    run_beside([&] { beside = 1; }, [&] { caller = 2; });
    EXPECT_EQ(beside, 1);
    EXPECT_EQ(caller, 2);

    std::atomic<int> started{0}, finished{0};
    EXPECT_THROW(run_beside(
                     [&] {
                         started.fetch_add(1);
                         std::this_thread::sleep_for(std::chrono::milliseconds(20));
                         finished.fetch_add(1);
                     },
                     [&] {
                         // Throw once the other side runs (with one thread it cannot start).
                         const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(1);
                         while (started.load() == 0 && std::chrono::steady_clock::now() < give_up) {
                             std::this_thread::yield();
                         }
                         throw std::runtime_error("caller's side failed");
                     }),
                 std::runtime_error);
    EXPECT_EQ(started.load(), finished.load());
}

class MapChunksSplits : public ::testing::TestWithParam<std::size_t> {};

TEST_P(MapChunksSplits, FixedChunksInOrder) {
    const std::size_t n = GetParam();
    const auto ranges = map_chunks<std::pair<std::size_t, std::size_t>>(
        n, [](std::size_t begin, std::size_t end) { return std::make_pair(begin, end); });
    ASSERT_EQ(ranges.size(), chunk_count(n));
    std::size_t expected_begin = 0;
    for (const auto& [begin, end] : ranges) {
        EXPECT_EQ(begin, expected_begin);
        EXPECT_EQ(end - begin, std::min(CHUNK_SIZE, n - begin));
        expected_begin = end;
    }
    EXPECT_EQ(expected_begin, n);
}

INSTANTIATE_TEST_SUITE_P(Sizes, MapChunksSplits,
                         ::testing::Values(0, 1, CHUNK_SIZE - 1, CHUNK_SIZE, CHUNK_SIZE + 1, 5 * CHUNK_SIZE + 7));

// Terms whose sum depends on the order of the additions: it must be the sequential one.
// Each term is made from its point's value, which stays behind for the caller.
class OrderedSumAdds : public ::testing::TestWithParam<std::size_t> {};

TEST_P(OrderedSumAdds, LeftToRightLikeALoop) {
    const std::size_t n = GetParam();
    auto value = [](std::size_t i) { return i % 3 == 0 ? 1e16 : (i % 3 == 1 ? 1.0 + 1e-3 * i : -1e16); };
    auto term = [](double v) { return 0.75 - v; };
    double sequential = -0.0;
    for (std::size_t i = 0; i < n; ++i) sequential += term(value(i));
    LargeVector<double> values(5, 42.0);  // resized to n and overwritten
    const double got = ordered_sum(n, -0.0, values, value, term);
    EXPECT_EQ(std::memcmp(&got, &sequential, sizeof got), 0) << got << " vs " << sequential;
    ASSERT_EQ(values.size(), n);
    for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(values[i], value(i));
}

INSTANTIATE_TEST_SUITE_P(Sizes, OrderedSumAdds, ::testing::Values(0, 7, MIN_PARALLEL_POINTS + 1, 100003));

std::size_t parallel_sum(std::size_t n) {
    std::atomic<std::size_t> sum{0};
    parallel_for(n, [&](std::size_t first, std::size_t last) {
        std::size_t local = 0;
        for (std::size_t i = first; i < last; ++i) local += i;
        sum.fetch_add(local);
    });
    return sum.load();
}

TEST(WorkerPool, JoinNeedsAHold) { EXPECT_FALSE(join_worker_pool()); }

TEST(WorkerPool, JoinsAfterLoopsAndServesLoopsAgain) {
    constexpr std::size_t n = 200000;
    const std::size_t expected = n * (n - 1) / 2;
    for (int round = 0; round < 3; ++round) {
        hold_worker_pool();
        hold_worker_pool();  // a second hold is the same hold
        EXPECT_EQ(parallel_sum(n), expected);
        EXPECT_TRUE(join_worker_pool()) << "round " << round;
        EXPECT_FALSE(join_worker_pool()) << "the hold was dropped by the join";
    }
    EXPECT_EQ(parallel_sum(n), expected);  // a fresh pool after the last join
}

TEST(WorkerPool, JoinRefusedWhileAnotherThreadRunsALoop) {
    hold_worker_pool();
    std::atomic<bool> started{false};
    std::atomic<bool> release{false};
    std::thread busy([&] {
        parallel_for(MIN_PARALLEL_POINTS * 4, [&](std::size_t, std::size_t) {
            started = true;
            while (!release.load()) std::this_thread::yield();
        });
    });
    while (!started.load()) std::this_thread::yield();
    EXPECT_FALSE(join_worker_pool());
    release = true;
    busy.join();
}

}  // namespace
}  // namespace tarvo
