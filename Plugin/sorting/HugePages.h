// Frame-sized vectors backed by huge pages where the kernel allows it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include <sys/mman.h>

namespace korvane::utils {

// An allocator whose elements made without a value are default-initialised: a vector of plain
// numbers resized with it leaves the new elements as the memory holds them instead of zeroing
// them, for arrays whose every element is written before it is read.
template <typename T>
struct DefaultInitAllocator : std::allocator<T> {
    using value_type = T;
    template <typename U>
    struct rebind {
        using other = DefaultInitAllocator<U>;
    };
    DefaultInitAllocator() noexcept = default;
    template <typename U>
    explicit DefaultInitAllocator(const DefaultInitAllocator<U>& /*other*/) noexcept {}
    template <typename U>
    void construct(U* at) noexcept(std::is_nothrow_default_constructible_v<U>) {
        ::new (static_cast<void*>(at)) U;
    }
    template <typename U, typename... Args>
    void construct(U* at, Args&&... args) {
        ::new (static_cast<void*>(at)) U(std::forward<Args>(args)...);
    }
};

// A frame-sized array of plain numbers that SizeWithHugePages does not clear.
template <typename T>
using UnclearedVector = std::vector<T, DefaultInitAllocator<T>>;

// Makes `values` hold `count` elements. Memory it already has room in is kept with the values in
// it (the callers overwrite every element before reading it) and only elements added past its size
// are initialised as the allocator makes them (zeroed, but for an UnclearedVector); otherwise fresh
// memory that the kernel is asked to back with huge pages (one fault per 2 MiB rather than per 4
// KiB). Throws std::bad_alloc like resize.
template <typename T, typename Allocator>
void SizeWithHugePages(std::vector<T, Allocator>& values, size_t count) {
    if (values.capacity() >= count) {
        values.resize(count);
        return;
    }
    std::vector<T, Allocator>().swap(values);
    values.reserve(count);
#ifdef MADV_HUGEPAGE
    constexpr uintptr_t kHugePage = uintptr_t{2} << 20;
    const auto begin = reinterpret_cast<uintptr_t>(values.data());
    const uintptr_t end = begin + count * sizeof(T);
    const uintptr_t first = (begin + kHugePage - 1) & ~(kHugePage - 1);
    const uintptr_t last = end & ~(kHugePage - 1);
    if (last > first) {
        madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
    }
#endif
    values.resize(count);
}

}  // namespace korvane::utils
