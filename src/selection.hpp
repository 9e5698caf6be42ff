// Partial selection by a floating-point key, for the k-d tree build's median splits.
//
// select_nth leaves the element of rank k at position k, with no larger key before it
// and no smaller key after it. It runs the introselect of the GNU C++ library's
// std::nth_element step for step (median of three moved to the front, Hoare partition,
// heap selection past the depth limit, insertion sort below four elements) and so
// leaves every element where that would:
// the tree, and with it the order in which equidistant points are found, is the one a
// plain build over std::nth_element gives. Keys must not be NaN.
//
// What differs is how the partition runs. A comparison-driven scan mispredicts about
// every other branch on the coin-toss comparisons of a median split; here the
// comparisons of a block of elements from each end are evaluated without a branch, the
// misplaced ones are recorded, and they are swapped pairwise - the same pairs, in the
// same order, as the scan would swap.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace tarvo {
namespace selection_detail {

// Exchanges two elements as raw bytes. A partition often reloads a slot just stored; a
// load is forwarded from a store only when both cover the same bytes, and the
// field-by-field copy a compiler prefers for a typed swap can stall every such reload.
template <class T>
void swap_bytes(T* a, T* b) {
    static_assert(std::is_trivially_copyable_v<T>);
    alignas(T) unsigned char held[sizeof(T)];
    std::memcpy(held, a, sizeof(T));
    std::memcpy(a, b, sizeof(T));
    std::memcpy(b, held, sizeof(T));
}

// Moves the median of *a, *b, *c to *result (by swapping), with the library's
// comparisons and tie choices.
template <class T, class Key>
void move_median_to_first(T* result, T* a, T* b, T* c, const Key& key) {
    const double ka = key(*a), kb = key(*b), kc = key(*c);
    if (ka < kb) {
        if (kb < kc) swap_bytes(result, b);
        else if (ka < kc) swap_bytes(result, c);
        else swap_bytes(result, a);
    } else if (ka < kc) {
        swap_bytes(result, a);
    } else if (kb < kc) {
        swap_bytes(result, c);
    } else {
        swap_bytes(result, b);
    }
}

// Hoare's partition of [first, last) around `pivot`, without bounds checks (a key not
// below the pivot lies ahead of the rising scan, one not above it behind the falling
// one): the rising scan stops at keys >= pivot, the falling scan at keys <= pivot, the
// two are swapped, until the scans cross. Returns where the rising scan stopped.
//
// While more than two blocks remain unscanned, a block from each end is classified at
// once and its misplaced elements are swapped in scan order, which pairs exactly the
// elements the scans would pair; the scans then continue from the first element still
// waiting on either side.
template <class T, class Key>
T* hoare_partition(T* first, T* last, double pivot, const Key& key) {
    constexpr std::ptrdiff_t BLOCK = 32;
    std::uint8_t rising[BLOCK], falling[BLOCK];
    std::ptrdiff_t rising_count = 0, rising_next = 0, falling_count = 0, falling_next = 0;
    while (last - first > 2 * BLOCK) {
        if (rising_count == 0) {
            rising_next = 0;
            for (std::ptrdiff_t i = 0; i < BLOCK; ++i) {
                rising[rising_count] = static_cast<std::uint8_t>(i);
                rising_count += !(key(first[i]) < pivot);
            }
        }
        if (falling_count == 0) {
            falling_next = 0;
            for (std::ptrdiff_t i = 0; i < BLOCK; ++i) {
                falling[falling_count] = static_cast<std::uint8_t>(i);
                falling_count += !(pivot < key(last[-1 - i]));
            }
        }
        const std::ptrdiff_t pairs = std::min(rising_count, falling_count);
        for (std::ptrdiff_t j = 0; j < pairs; ++j)
            swap_bytes(first + rising[rising_next + j], last - 1 - falling[falling_next + j]);
        rising_count -= pairs;
        falling_count -= pairs;
        rising_next += pairs;
        falling_next += pairs;
        if (rising_count == 0) first += BLOCK;
        if (falling_count == 0) last -= BLOCK;
    }
    if (rising_count > 0) first += rising[rising_next];
    if (falling_count > 0) last -= falling[falling_next];
    for (;;) {
        while (key(*first) < pivot) ++first;
        --last;
        while (pivot < key(*last)) --last;
        if (!(first < last)) return first;
        swap_bytes(first, last);
        ++first;
    }
}

// The library's binary max-heap on [first, first + len) by key, for its heap selection:
// the hole at `hole` is filled by sifting down to a leaf and then `value` up again.
template <class T, class Key>
void adjust_heap(T* first, std::ptrdiff_t hole, std::ptrdiff_t len, T value, const Key& key) {
    const std::ptrdiff_t top = hole;
    std::ptrdiff_t child = hole;
    while (child < (len - 1) / 2) {
        child = 2 * (child + 1);
        if (key(first[child]) < key(first[child - 1])) --child;
        first[hole] = first[child];
        hole = child;
    }
    if ((len & 1) == 0 && child == (len - 2) / 2) {
        child = 2 * (child + 1);
        first[hole] = first[child - 1];
        hole = child - 1;
    }
    std::ptrdiff_t parent = (hole - 1) / 2;
    while (hole > top && key(first[parent]) < key(value)) {
        first[hole] = first[parent];
        hole = parent;
        parent = (hole - 1) / 2;
    }
    first[hole] = value;
}

template <class T, class Key>
void make_heap(T* first, std::ptrdiff_t len, const Key& key) {
    if (len < 2) return;
    for (std::ptrdiff_t parent = (len - 2) / 2;; --parent) {
        adjust_heap(first, parent, len, first[parent], key);
        if (parent == 0) return;
    }
}

// The heap's top moves to *result and *result's element into the heap.
template <class T, class Key>
void pop_heap_into(T* first, std::ptrdiff_t len, T* result, const Key& key) {
    const T value = *result;
    *result = *first;
    adjust_heap(first, 0, len, value, key);
}

// Leaves the middle - first smallest elements in [first, middle), the largest of them
// at first.
template <class T, class Key>
void heap_select(T* first, T* middle, T* last, const Key& key) {
    make_heap(first, middle - first, key);
    for (T* i = middle; i < last; ++i)
        if (key(*i) < key(*first)) pop_heap_into(first, middle - first, i, key);
}

// Stable insertion sort by key.
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

// Precondition k < n.
template <class T, class Key>
void select_nth(T* a, std::size_t n, std::size_t k, const Key& key) {
    using namespace selection_detail;
    T* first = a;
    T* last = a + n;
    T* const nth = a + k;
    int depth_limit = 2 * (static_cast<int>(std::bit_width(n)) - 1);
    while (last - first > 3) {
        if (depth_limit == 0) {
            // Too many lopsided partitions: finish by heap selection.
            heap_select(first, nth + 1, last, key);
            swap_bytes(first, nth);
            return;
        }
        --depth_limit;
        move_median_to_first(first, first + 1, first + (last - first) / 2, last - 1, key);
        T* const cut = hoare_partition(first + 1, last, key(*first), key);
        if (cut <= nth) first = cut;
        else last = cut;
    }
    insertion_sort(first, static_cast<std::size_t>(last - first), key);
}

}  // namespace tarvo
