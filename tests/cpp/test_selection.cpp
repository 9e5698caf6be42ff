#include "selection.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace tarvo {
namespace {

// An element the size of the tree build's records, so that the byte-wise swaps are
// exercised on the same shape; `id` tells equal keys apart.
struct Item {
    double key;
    double filler[2];
    std::uint32_t id;
    std::uint32_t unused;
};

double key_of(const Item& item) { return item.key; }

std::vector<Item> items_from(const std::vector<double>& keys) {
    std::vector<Item> items;
    for (std::size_t i = 0; i < keys.size(); ++i)
        items.push_back({keys[i], {double(i), -double(i)}, static_cast<std::uint32_t>(i), 0});
    return items;
}

struct Pattern {
    std::string name;
    std::function<double(std::size_t i, std::size_t n, std::mt19937_64&)> key;
};

std::vector<Pattern> patterns() {
    return {
        {"random", [](std::size_t, std::size_t, std::mt19937_64& r) { return std::uniform_real_distribution<double>(-1, 1)(r); }},
        {"ascending", [](std::size_t i, std::size_t, std::mt19937_64&) { return double(i); }},
        {"descending", [](std::size_t i, std::size_t n, std::mt19937_64&) { return double(n - i); }},
        {"all_equal", [](std::size_t, std::size_t, std::mt19937_64&) { return 2.5; }},
        {"two_values", [](std::size_t, std::size_t, std::mt19937_64& r) { return double(r() % 2); }},
        {"few_values", [](std::size_t, std::size_t, std::mt19937_64& r) { return double(r() % 5) - 2.0; }},
        {"organ_pipe", [](std::size_t i, std::size_t n, std::mt19937_64&) { return double(std::min(i, n - 1 - i)); }},
        {"sawtooth", [](std::size_t i, std::size_t, std::mt19937_64&) { return double(i % 37); }},
        {"signed_zeros", [](std::size_t i, std::size_t, std::mt19937_64&) { return i % 3 == 0 ? -0.0 : (i % 3 == 1 ? 0.0 : -1.0); }},
        {"minimum_repeated", [](std::size_t i, std::size_t, std::mt19937_64&) { return i % 2 == 0 ? -5.0 : double(i); }},
    };
}

// The element at k is the k-th smallest key, nothing before it is larger, nothing
// after it smaller, and no element was lost or duplicated.
void expect_selected(const std::vector<Item>& before, const std::vector<Item>& after, std::size_t k) {
    ASSERT_EQ(before.size(), after.size());
    std::vector<double> sorted;
    for (const Item& item : before) sorted.push_back(item.key);
    std::sort(sorted.begin(), sorted.end());
    const double kth = after[k].key;
    EXPECT_EQ(kth, sorted[k]);
    for (std::size_t i = 0; i < k; ++i) ASSERT_FALSE(after[i].key > kth) << i;
    for (std::size_t i = k + 1; i < after.size(); ++i) ASSERT_FALSE(after[i].key < kth) << i;
    std::vector<std::uint32_t> ids;
    for (const Item& item : after) {
        ASSERT_EQ(item.key, before[item.id].key);
        ASSERT_EQ(item.filler[0], double(item.id));
        ids.push_back(item.id);
    }
    std::sort(ids.begin(), ids.end());
    for (std::size_t i = 0; i < ids.size(); ++i) ASSERT_EQ(ids[i], i);
}

class SelectNth : public ::testing::TestWithParam<Pattern> {};

// Sizes around the block partition's thresholds (two blocks of 64) and beyond.
TEST_P(SelectNth, PlacesTheKthKeyLikeTheLibrarysIntroselect) {
    std::mt19937_64 rng(11);
    for (std::size_t n : {1u, 2u, 3u, 4u, 5u, 17u, 128u, 129u, 130u, 200u, 1000u, 65537u}) {
        std::vector<double> keys(n);
        for (std::size_t i = 0; i < n; ++i) keys[i] = GetParam().key(i, n, rng);
        for (std::size_t k : {std::size_t{0}, n / 2, n - 1}) {
            const std::vector<Item> before = items_from(keys);
            std::vector<Item> after = before;
            select_nth(after.data(), n, k, key_of);
            SCOPED_TRACE("n=" + std::to_string(n) + " k=" + std::to_string(k));
            expect_selected(before, after, k);
#if defined(__GLIBCXX__)
            std::vector<Item> library = before;
            std::nth_element(library.begin(), library.begin() + k, library.end(),
                             [](const Item& u, const Item& v) { return u.key < v.key; });
            for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(after[i].id, library[i].id) << i;
#endif
        }
    }
}


#if defined(__GLIBCXX__)
std::vector<std::uint32_t> ids_of(const std::vector<Item>& items) {
    std::vector<std::uint32_t> ids;
    for (const Item& item : items) ids.push_back(item.id);
    return ids;
}

// Short ranges of three distinct keys defeat the median of three now and then, and the
// selection finishes through the heap; every arrangement must still be the library's.
TEST(SelectNthShortRanges, MatchTheLibraryThroughTheHeapFinish) {
    std::mt19937_64 rng(13);
    const auto less = [](const Item& u, const Item& v) { return u.key < v.key; };
    for (std::size_t n = 1; n < 120; ++n) {
        for (int trial = 0; trial < 150; ++trial) {
            std::vector<double> keys(n);
            for (double& k : keys) k = double(rng() % 3);
            const std::vector<Item> before = items_from(keys);
            for (std::size_t k : {std::size_t{0}, n / 2, n - 1}) {
                std::vector<Item> ours = before, library = before;
                select_nth(ours.data(), n, k, key_of);
                std::nth_element(library.begin(), library.begin() + k, library.end(), less);
                ASSERT_EQ(ids_of(ours), ids_of(library)) << "n=" << n << " k=" << k;
            }
            std::vector<Item> ours = before, library = before;
            selection_detail::make_heap(ours.data(), std::ptrdiff_t(n), key_of);
            std::make_heap(library.begin(), library.end(), less);
            ASSERT_EQ(ids_of(ours), ids_of(library)) << "make_heap n=" << n;
            if (n < 2) continue;
            selection_detail::pop_heap_into(ours.data(), std::ptrdiff_t(n) - 1, ours.data() + n - 1, key_of);
            std::pop_heap(library.begin(), library.end(), less);
            ASSERT_EQ(ids_of(ours), ids_of(library)) << "pop_heap n=" << n;
        }
    }
}
#endif

INSTANTIATE_TEST_SUITE_P(Patterns, SelectNth, ::testing::ValuesIn(patterns()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace tarvo
