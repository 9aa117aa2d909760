// A small blocking queue between the decoding, rendering and encoding threads: at most `capacity`
// frames wait, so memory stays bounded whatever the length of the clip.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>

namespace korvane::cli {

template <typename T>
class BoundedQueue {
public:
    explicit BoundedQueue(std::size_t capacity) : capacity_(capacity) {}

    // Blocks while full; false once the queue is closed (the item is dropped). `poll` runs every
    // 100 ms while waiting and may throw to stop the wait.
    template <typename Poll>
    bool push(T item, Poll poll) {
        std::unique_lock lock(mutex_);
        while (!closed_ && items_.size() >= capacity_) {
            if (changed_.wait_for(lock, std::chrono::milliseconds(100)) == std::cv_status::timeout) {
                lock.unlock();
                poll();
                lock.lock();
            }
        }
        if (closed_) return false;
        items_.push_back(std::move(item));
        changed_.notify_all();
        return true;
    }
    bool push(T item) {
        return push(std::move(item), [] {});
    }

    // Blocks while empty and open; nothing once closed and drained.
    template <typename Poll>
    std::optional<T> pop(Poll poll) {
        std::unique_lock lock(mutex_);
        while (!closed_ && items_.empty()) {
            if (changed_.wait_for(lock, std::chrono::milliseconds(100)) == std::cv_status::timeout) {
                lock.unlock();
                poll();
                lock.lock();
            }
        }
        if (items_.empty()) return std::nullopt;
        T item = std::move(items_.front());
        items_.pop_front();
        changed_.notify_all();
        return item;
    }
    std::optional<T> pop() {
        return pop([] {});
    }

    // No more pushes; pops drain what is left. With `discard`, what is left is dropped too.
    void close(bool discard = false) {
        std::lock_guard lock(mutex_);
        closed_ = true;
        if (discard) items_.clear();
        changed_.notify_all();
    }

private:
    std::size_t capacity_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<T> items_;
    bool closed_ = false;
};

}  // namespace korvane::cli
