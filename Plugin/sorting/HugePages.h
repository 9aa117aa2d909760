// Frame-sized vectors backed by huge pages where the kernel allows it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include <sys/mman.h>

namespace korvane::utils {

// Makes `values` hold `count` elements. Memory it already has room in is kept with the values in
// it (the callers overwrite every element before reading it) and only elements added past its size
// are value-initialised; otherwise fresh memory that the kernel is asked to back with huge pages
// (one fault per 2 MiB rather than per 4 KiB). Throws std::bad_alloc like resize.
template <typename T>
void SizeWithHugePages(std::vector<T>& values, size_t count) {
    if (values.capacity() >= count) {
        values.resize(count);
        return;
    }
    std::vector<T>().swap(values);
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
