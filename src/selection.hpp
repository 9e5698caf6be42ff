// Partial selection by a floating-point key, for the k-d tree build's median splits.
//
// select_nth leaves the element of rank k at position k, with no larger key before it
// and no smaller key after it; how the elements inside each side are arranged, and
// which of several equal keys lands at k, is left open. Keys must not be NaN.
//
// Each round partitions around a sampled pivot without a data-dependent branch: the
// split of a k-d tree's points is as good as a coin toss for a branch predictor, and a
// comparison-driven selection spends most of its time recovering from mispredictions.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace tarvo {
namespace selection_detail {

// Below this many elements an insertion sort finishes the range.
inline constexpr std::size_t SMALL_RANGE = 24;

inline double median_of(double x, double y, double z) {
    return std::max(std::min(x, y), std::min(std::max(x, y), z));
}

// A key of the range near its median: of three keys, or of three such medians (the
// ninther) for longer ranges, spread over the whole range.
template <class T, class Key>
double sampled_pivot(const T* a, std::size_t n, const Key& key) {
    auto med3 = [&](std::size_t i, std::size_t j, std::size_t k) { return median_of(key(a[i]), key(a[j]), key(a[k])); };
    const std::size_t mid = n / 2;
    if (n < 128) return med3(0, mid, n - 1);
    const std::size_t s = n / 8;
    return median_of(med3(0, s, 2 * s), med3(mid - s, mid, mid + s), med3(n - 1 - 2 * s, n - 1 - s, n - 1));
}

// Exchanges two elements as raw bytes. The partitions below often reload a slot just
// stored; a load is forwarded from a store only when both cover the same bytes, and the
// field-by-field copy a compiler prefers for a typed swap would stall every such reload.
template <class T>
void swap_bytes(T* a, T* b) {
    static_assert(std::is_trivially_copyable_v<T>);
    alignas(T) unsigned char held[sizeof(T)];
    std::memcpy(held, a, sizeof(T));
    std::memcpy(a, b, sizeof(T));
    std::memcpy(b, held, sizeof(T));
}

// Moves the elements satisfying `goes_left` to the front, in a loop without a
// data-dependent branch: every element is swapped to the boundary and the boundary
// advances by the predicate. Returns how many went left. Used for short ranges.
template <class T, class Pred>
std::size_t partition_lomuto(T* a, std::size_t n, const Pred& goes_left) {
    std::size_t boundary = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const bool left = goes_left(a[i]);
        swap_bytes(a + i, a + boundary);
        boundary += left;
    }
    return boundary;
}

// The same partition over blocks: the predicate is evaluated for a block of elements
// from each end, the positions of the misplaced ones are recorded without branching,
// and then they are swapped pairwise. Comparisons never wait on the swaps, and only
// misplaced elements move.
template <class T, class Pred>
std::size_t partition_branch_free(T* a, std::size_t n, const Pred& goes_left) {
    constexpr std::size_t BLOCK = 64;
    std::uint8_t misplaced_left[BLOCK], misplaced_right[BLOCK];
    std::size_t lo = 0, hi = n;  // [0, lo) goes left, [hi, n) goes right
    std::size_t count_left = 0, first_left = 0, count_right = 0, first_right = 0;
    while (hi - lo > 2 * BLOCK) {
        if (count_left == 0) {
            first_left = 0;
            for (std::size_t i = 0; i < BLOCK; ++i) {
                misplaced_left[count_left] = static_cast<std::uint8_t>(i);
                count_left += !goes_left(a[lo + i]);
            }
        }
        if (count_right == 0) {
            first_right = 0;
            for (std::size_t i = 0; i < BLOCK; ++i) {
                misplaced_right[count_right] = static_cast<std::uint8_t>(i);
                count_right += goes_left(a[hi - 1 - i]);
            }
        }
        const std::size_t pairs = std::min(count_left, count_right);
        for (std::size_t j = 0; j < pairs; ++j)
            swap_bytes(a + lo + misplaced_left[first_left + j], a + hi - 1 - misplaced_right[first_right + j]);
        count_left -= pairs;
        count_right -= pairs;
        first_left += pairs;
        first_right += pairs;
        if (count_left == 0) lo += BLOCK;
        if (count_right == 0) hi -= BLOCK;
    }
    // A block with misplaced elements left over is still inside [lo, hi).
    return lo + partition_lomuto(a + lo, hi - lo, goes_left);
}

template <class T, class Key>
void insertion_sort(T* a, std::size_t n, const Key& key) {
    for (std::size_t i = 1; i < n; ++i) {
        const T item = a[i];
        const double k = key(item);
        std::size_t j = i;
        for (; j > 0 && k < key(a[j - 1]); --j) a[j] = a[j - 1];
        a[j] = item;
    }
}

}  // namespace selection_detail

// select_nth with at most `rounds` partitions before the library's introselect takes
// over the remaining range.
template <class T, class Key>
void select_nth_within_rounds(T* a, std::size_t n, std::size_t k, const Key& key, int rounds) {
    using namespace selection_detail;
    while (n > SMALL_RANGE) {
        if (rounds-- <= 0) {
            std::nth_element(a, a + k, a + n, [&key](const T& u, const T& v) { return key(u) < key(v); });
            return;
        }
        const double pivot = sampled_pivot(a, n, key);
        // The pivot is one of the keys, so at least one element stays right: every
        // round shrinks the range.
        const std::size_t less = partition_branch_free(a, n, [&](const T& t) { return key(t) < pivot; });
        if (k < less) {
            n = less;
            continue;
        }
        std::size_t settled = less;
        if (less == 0) {
            // The pivot is the smallest key: split off the block of keys equal to it,
            // which either holds position k or lies wholly before it.
            settled = partition_branch_free(a, n, [&](const T& t) { return !(pivot < key(t)); });
            if (k < settled) return;
        }
        a += settled;
        n -= settled;
        k -= settled;
    }
    insertion_sort(a, n, key);
}

// Precondition k < n. Sampled pivots can be defeated by adversarial orders; after
// 2 log2(n) rounds the library's introselect takes over, which keeps the worst case
// O(n log n).
template <class T, class Key>
void select_nth(T* a, std::size_t n, std::size_t k, const Key& key) {
    select_nth_within_rounds(a, n, k, key, 2 * static_cast<int>(std::bit_width(n)));
}

}  // namespace tarvo
