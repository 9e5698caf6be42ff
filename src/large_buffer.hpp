// Storage for the large arrays of a call: clouds, the tree, query orders and per-point
// results. A registration of a million points fills some hundred megabytes of fresh
// memory. In 4 KiB pages that costs tens of thousands of page faults, and the tree's
// scattered reads miss the TLB on most leaves; arrays of 2 MiB and more are therefore
// mapped on 2 MiB boundaries and offered to the kernel for huge pages.
#pragma once

#include <cstddef>
#include <new>
#include <vector>

namespace tarvo {

// Arrays of at least this many bytes are mapped apart; smaller ones use operator new.
inline constexpr std::size_t LARGE_BUFFER_BYTES = std::size_t{2} << 20;

// `bytes` of memory aligned for any type, or std::bad_alloc. Release it with the same
// size.
void* allocate_large(std::size_t bytes);
void release_large(void* p, std::size_t bytes) noexcept;

// Whether large arrays are mapped apart on huge-page boundaries: on Linux, except under
// AddressSanitizer, which checks their bounds and leaks only when they come from
// operator new.
bool large_buffers_mapped();

template <class T>
struct LargeAllocator {
    static_assert(alignof(T) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__);
    using value_type = T;

    LargeAllocator() = default;
    template <class U>
    LargeAllocator(const LargeAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
        return static_cast<T*>(allocate_large(n * sizeof(T)));
    }
    void deallocate(T* p, std::size_t n) noexcept { release_large(p, n * sizeof(T)); }

    template <class U>
    friend bool operator==(const LargeAllocator&, const LargeAllocator<U>&) noexcept {
        return true;
    }
};

template <class T>
using LargeVector = std::vector<T, LargeAllocator<T>>;

}  // namespace tarvo
