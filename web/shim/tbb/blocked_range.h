// oneTBB's blocked_range for the WebAssembly build (see parallel_for.h).
#pragma once

#include <cstddef>

namespace tbb {

template <typename Value>
class blocked_range {
public:
    blocked_range(Value begin, Value end, std::size_t /*grain*/ = 1) : begin_(begin), end_(end) {}
    Value begin() const { return begin_; }
    Value end() const { return end_; }

private:
    Value begin_, end_;
};

}  // namespace tbb
