#include "large_buffer.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <new>
#include <numeric>

namespace tarvo {
namespace {

constexpr std::size_t kDoublesAtThreshold = LARGE_BUFFER_BYTES / sizeof(double);

// Sizes on both sides of the threshold, and one whose bytes are not a whole page.
class LargeVectorSizes : public ::testing::TestWithParam<std::size_t> {};

TEST_P(LargeVectorSizes, HoldsAndMovesItsValues) {
    const std::size_t n = GetParam();
    LargeVector<double> v(n);
    std::iota(v.begin(), v.end(), 0.5);
    if (large_buffers_mapped() && n * sizeof(double) >= LARGE_BUFFER_BYTES) {
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(v.data()) % LARGE_BUFFER_BYTES, 0u);
    }
    // Growing past the capacity moves everything into a new buffer, possibly of the
    // other kind; so does shrinking.
    v.push_back(-1.0);
    ASSERT_EQ(v.size(), n + 1);
    for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(v[i], static_cast<double>(i) + 0.5) << i;
    EXPECT_EQ(v.back(), -1.0);
    v.resize(n / 3);
    v.shrink_to_fit();
    for (std::size_t i = 0; i < v.size(); ++i) ASSERT_EQ(v[i], static_cast<double>(i) + 0.5) << i;
}

INSTANTIATE_TEST_SUITE_P(Sizes, LargeVectorSizes,
                         ::testing::Values(0u, 1u, kDoublesAtThreshold - 1, kDoublesAtThreshold,
                                           kDoublesAtThreshold + 1, 3 * kDoublesAtThreshold + 77));

TEST(LargeAllocator, RefusesWhatCannotBeHad) {
    LargeAllocator<double> allocator;
    EXPECT_THROW(static_cast<void>(allocator.allocate(std::size_t{1} << 61)), std::bad_array_new_length);
    // AddressSanitizer stops the process on such a request instead of throwing.
    if (large_buffers_mapped()) {
        EXPECT_THROW(static_cast<void>(allocator.allocate((std::size_t{1} << 60) / sizeof(double))), std::bad_alloc);
    }
}

}  // namespace
}  // namespace tarvo
