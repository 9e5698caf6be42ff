// The only doorway to the worker pool. Every parallel loop of the core goes through
// these two helpers, so that each result has its own slot and every sum is reduced in
// a fixed order: results are bit-for-bit independent of the number of threads.
#pragma once

#include "large_buffer.hpp"

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/task_group.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tarvo {

// Points per chunk of every chunked sum.
inline constexpr std::size_t CHUNK_SIZE = 16384;

// Loops that visit points in spatial order touch their slots in index-ordered arrays at
// scattered places: they request a slot this many points ahead, and the work on the
// points in between hides the wait for memory.
inline constexpr std::size_t PREFETCH_AHEAD = 8;

#if defined(__GNUC__) || defined(__clang__)
// The empty asm uses the address: without it GCC 12 drops a prefetch that follows a
// branch on loaded data, as the one in a pass that searches only marked points.
inline void prefetch_line_for_reading(const void* p) {
    __builtin_prefetch(p, 0);
    asm volatile("" : : "r"(p));
}
inline void prefetch_line_for_writing(void* p) {
    __builtin_prefetch(p, 1);
    asm volatile("" : : "r"(p));
}
#else
inline void prefetch_line_for_reading(const void*) {}
inline void prefetch_line_for_writing(void*) {}
#endif

// The whole of *p: an object larger than its alignment, as a point (24 bytes) in an
// array, may straddle two cache lines, and the second one would miss.
template <class T>
void prefetch_for_reading(const T* p) {
    prefetch_line_for_reading(p);
    if constexpr (sizeof(T) > alignof(T)) prefetch_line_for_reading(reinterpret_cast<const char*>(p) + sizeof(T) - 1);
}
template <class T>
void prefetch_for_writing(T* p) {
    prefetch_line_for_writing(p);
    if constexpr (sizeof(T) > alignof(T)) prefetch_line_for_writing(reinterpret_cast<char*>(p) + sizeof(T) - 1);
}

// Per-point loops shorter than this run on the calling thread: waking the pool costs
// more than such a loop, and a short-lived process that made only small calls then
// never starts a worker at all.
inline constexpr std::size_t MIN_PARALLEL_POINTS = 512;

inline std::size_t chunk_count(std::size_t n) { return (n + CHUNK_SIZE - 1) / CHUNK_SIZE; }

// body(begin, end) on disjoint ranges covering [0, n), on the process-wide pool, split
// adaptively, with every boundary between two ranges a multiple of `align`: a range
// then owns whole words of a bitmap with `align` bits to the word.
template <class Body>
void parallel_for_aligned(std::size_t n, std::size_t align, const Body& body) {
    if (n == 0) return;
    if (n < MIN_PARALLEL_POINTS) {
        body(std::size_t{0}, n);
        return;
    }
    const std::size_t blocks = (n + align - 1) / align;
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, blocks, 1), [&](const tbb::blocked_range<std::size_t>& r) {
        body(r.begin() * align, r.end() * align < n ? r.end() * align : n);
    });
}

// Calls body(begin, end) on disjoint ranges covering [0, n), on the process-wide pool,
// split adaptively down to single indices. A body that needs scratch space (a
// neighbour buffer, say) creates it once per call and reuses it for its whole range.
template <class Body>
void parallel_for(std::size_t n, const Body& body) {
    parallel_for_aligned(n, 1, body);
}

// For every run of `run_length` consecutive places of `order` (a permutation of point
// indices; the last run may be shorter), in parallel over runs: state = start(r) once,
// then body(i, state) for each index i of run r in order, which may change the state
// for the places after. Spatially ordered indices touch index-ordered arrays at
// scattered places, so prefetch(j) is called for the index j that comes PREFETCH_AHEAD
// places later on the same thread, to request its slots while body works on the ones
// between.
template <class Prefetch, class Start, class Body>
void parallel_for_in_runs(std::span<const std::uint32_t> order, std::size_t run_length, const Prefetch& prefetch,
                          const Start& start, const Body& body) {
    parallel_for_aligned(order.size(), run_length, [&](std::size_t begin, std::size_t end) {
        for (std::size_t first = begin; first < end; first += run_length) {
            auto state = start(first / run_length);
            const std::size_t stop = first + run_length < end ? first + run_length : end;
            for (std::size_t k = first; k < stop; ++k) {
                if (k + PREFETCH_AHEAD < end) prefetch(order[k + PREFETCH_AHEAD]);
                body(order[k], state);
            }
        }
    });
}

// body(i) for every index i of `order`, with the prefetches of parallel_for_in_runs. The
// runs carry no state here; their length only sets the smallest task.
template <class Prefetch, class Body>
void parallel_for_in_order(std::span<const std::uint32_t> order, const Prefetch& prefetch, const Body& body) {
    constexpr std::size_t smallest_task = MIN_PARALLEL_POINTS;
    parallel_for_in_runs(
        order, smallest_task, prefetch, [](std::size_t) { return 0; },
        [&body](std::uint32_t i, int) { body(i); });
}

// Runs beside() on the pool while on_caller() runs on the calling thread, and returns
// once both are done: work that does not wait for a serial step fills the other threads
// meanwhile. With a single thread, beside() runs after on_caller(). If on_caller()
// throws, beside() is cancelled and waited for before the exception leaves.
template <class Beside, class OnCaller>
void run_beside(const Beside& beside, const OnCaller& on_caller) {
    tbb::task_group group;
    group.run([&beside] { beside(); });
    try {
        on_caller();
    } catch (...) {
        group.cancel();
        group.wait();
        throw;
    }
    group.wait();
}

// chunk_fn(begin, end) for every fixed chunk [CHUNK_SIZE*c, min(CHUNK_SIZE*(c+1), n)),
// run in parallel; the chunk results come back in chunk order for the caller to reduce
// in that order.
template <class T, class ChunkFn>
std::vector<T> map_chunks(std::size_t n, const ChunkFn& chunk_fn) {
    std::vector<T> partial(chunk_count(n));
    const auto run_chunks = [&](std::size_t first, std::size_t last) {
        for (std::size_t c = first; c < last; ++c) {
            const std::size_t begin = c * CHUNK_SIZE;
            const std::size_t end = begin + CHUNK_SIZE < n ? begin + CHUNK_SIZE : n;
            partial[c] = chunk_fn(begin, end);
        }
    };
    if (partial.size() <= 1) {
        run_chunks(0, partial.size());
    } else {
        tbb::parallel_for(tbb::blocked_range<std::size_t>(0, partial.size(), 1),
                          [&](const tbb::blocked_range<std::size_t>& r) { run_chunks(r.begin(), r.end()); });
    }
    return partial;
}

// start + term(value(0)) + ... + term(value(n-1)), added left to right exactly as a
// sequential loop adds them. Only the values are evaluated in parallel, each into its
// slot of `values` (resized to n), which is what pays when a value costs an exp(); they
// stay there for the caller.
template <class Value, class Term>
double ordered_sum(std::size_t n, double start, LargeVector<double>& values, const Value& value, const Term& term) {
    values.resize(n);
    parallel_for(n, [&](std::size_t first, std::size_t last) {
        for (std::size_t i = first; i < last; ++i) values[i] = value(i);
    });
    double sum = start;
    for (double v : values) sum += term(v);
    return sum;
}

// Keeps a reference on the pool from now until join_worker_pool(), so that the join
// can wait for the workers. Idempotent.
void hold_worker_pool();

// Waits until every worker thread has finished and drops the hold; a later loop starts
// a new pool. Returns false when the pool was not held, or when another thread still
// has a loop running (its workers then finish on their own). Call it before the
// process exits: a worker still starting up when the pool's libraries are unloaded
// crashes.
bool join_worker_pool();

}  // namespace tarvo
