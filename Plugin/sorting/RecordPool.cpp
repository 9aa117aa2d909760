// Record memory kept between frames.
#include "sorting/RecordPool.h"

#include <algorithm>
#include <new>
#include <utility>

namespace korvane::utils {

namespace {

size_t Bytes(const std::vector<PixelRecord>& records) { return records.capacity() * sizeof(PixelRecord); }

}  // namespace

std::vector<PixelRecord> RecordPool::Take(size_t count) {
    std::lock_guard lock(mutex_);
    auto best = held_.end();
    for (auto it = held_.begin(); it != held_.end(); ++it) {
        if (it->capacity() >= count && (best == held_.end() || it->capacity() < best->capacity())) {
            best = it;
        }
    }
    if (best == held_.end()) {
        return {};
    }
    std::vector<PixelRecord> taken = std::move(*best);
    held_.erase(best);
    return taken;
}

void RecordPool::Give(std::vector<PixelRecord>&& records) noexcept {
    std::vector<PixelRecord> given = std::move(records);
    records.clear();
    if (given.capacity() == 0 || Bytes(given) > capBytes_) {
        return;  // freed here, outside the lock
    }
    std::vector<std::vector<PixelRecord>> freed;
    std::lock_guard lock(mutex_);
    try {
        held_.reserve(held_.size() + 1);
    } catch (const std::bad_alloc&) {
        return;
    }
    size_t held = Bytes(given);
    for (const auto& v : held_) held += Bytes(v);
    std::sort(held_.begin(), held_.end(), [](const auto& a, const auto& b) { return a.capacity() < b.capacity(); });
    while (held > capBytes_ && !held_.empty()) {
        held -= Bytes(held_.front());
        freed.push_back(std::move(held_.front()));
        held_.erase(held_.begin());
    }
    held_.push_back(std::move(given));
}

size_t RecordPool::HeldBytes() const {
    std::lock_guard lock(mutex_);
    size_t held = 0;
    for (const auto& v : held_) held += Bytes(v);
    return held;
}

void RecordPool::Release() noexcept {
    std::vector<std::vector<PixelRecord>> freed;
    std::lock_guard lock(mutex_);
    freed.swap(held_);
}

RecordPool& FrameRecordPool() {
    static RecordPool pool;
    return pool;
}

}  // namespace korvane::utils
