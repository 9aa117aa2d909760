// Record memory kept between the frames of a run, so that a frame after the first finds its image
// records and line grid already mapped instead of faulting in and zeroing fresh memory.
#pragma once

#include <cstddef>
#include <mutex>
#include <vector>

#include "sorting/PixelRecord.h"

namespace korvane::utils {

class RecordPool {
public:
    // Memory the pool keeps at most; a vector that would take it past the cap is freed instead.
    static constexpr size_t kDefaultCapBytes = size_t{2} << 30;

    explicit RecordPool(size_t capBytes = kDefaultCapBytes) : capBytes_(capBytes) {}

    // The held vector with the smallest capacity of at least `count` records (its size and values
    // are those it came back with), or an empty vector when none is large enough.
    std::vector<PixelRecord> Take(size_t count);

    // Keeps `records` for a later frame; the smallest held vectors are freed first when the cap
    // would be passed, and `records` itself when it alone passes it (or when the pool cannot grow
    // its list). Never throws: the render gives its records back on every way out.
    void Give(std::vector<PixelRecord>&& records) noexcept;

    size_t HeldBytes() const;

    // Frees every vector held.
    void Release() noexcept;

private:
    mutable std::mutex mutex_;
    std::vector<std::vector<PixelRecord>> held_;
    size_t capBytes_;
};

// The pool the renders of this module share: the memory it holds is kept from one frame to the
// next and freed at global set-down. A module-wide object rather than one behind the global data,
// so that a host that ends without global set-down leaves reachable memory, not a leak.
RecordPool& FrameRecordPool();

}  // namespace korvane::utils
