#include "large_buffer.hpp"

#include <cstdint>

#if defined(__SANITIZE_ADDRESS__)
#define TARVO_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TARVO_ADDRESS_SANITIZER 1
#endif
#endif

#if defined(__linux__) && !defined(TARVO_ADDRESS_SANITIZER)
#include <sys/mman.h>
#define TARVO_MAPPED_BUFFERS 1
#endif

namespace tarvo {

#if defined(TARVO_MAPPED_BUFFERS)
namespace {

constexpr std::size_t kPage = 4096;
constexpr std::size_t kHugePage = std::size_t{2} << 20;

std::uintptr_t round_up(std::uintptr_t v, std::size_t to) { return (v + to - 1) / to * to; }

std::size_t mapped_length(std::size_t bytes) { return round_up(bytes, kPage); }

}  // namespace

// Maps one huge page more than needed, keeps the stretch that starts on a huge-page
// boundary and returns the rest at once. Only whole 2 MiB pages inside a mapping can be
// huge, so the rounding costs no resident memory.
void* allocate_large(std::size_t bytes) {
    if (bytes < LARGE_BUFFER_BYTES) return ::operator new(bytes);
    const std::size_t length = mapped_length(bytes);
    if (length < bytes || length + kHugePage < length) throw std::bad_alloc();
    void* raw = mmap(nullptr, length + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) throw std::bad_alloc();
    const auto first = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t last = first + length + kHugePage;
    const std::uintptr_t start = round_up(first, kHugePage);
    const std::uintptr_t end = start + length;
    if (start > first) munmap(raw, start - first);
    if (last > end) munmap(reinterpret_cast<void*>(end), last - end);
    // A refusal (no huge pages on this kernel) leaves an ordinary mapping, only slower.
    madvise(reinterpret_cast<void*>(start), length, MADV_HUGEPAGE);
    return reinterpret_cast<void*>(start);
}

bool large_buffers_mapped() { return true; }

void release_large(void* p, std::size_t bytes) noexcept {
    if (p == nullptr) return;
    if (bytes < LARGE_BUFFER_BYTES) {
        ::operator delete(p);
        return;
    }
    munmap(p, mapped_length(bytes));
}

#else
void* allocate_large(std::size_t bytes) { return ::operator new(bytes); }
bool large_buffers_mapped() { return false; }
void release_large(void* p, std::size_t) noexcept { ::operator delete(p); }
#endif

}  // namespace tarvo
