// A value's bits as another type of the same size, through the compiler's built-in: what
// std::bit_cast does, which emscripten's libc++ lacks.
#pragma once

#include <type_traits>

namespace korvane::utils {

template <typename To, typename From>
constexpr To BitCast(const From& from) noexcept {
    static_assert(sizeof(To) == sizeof(From) && std::is_trivially_copyable_v<To> && std::is_trivially_copyable_v<From>);
    return __builtin_bit_cast(To, from);
}

}  // namespace korvane::utils
