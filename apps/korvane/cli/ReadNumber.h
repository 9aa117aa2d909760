// Decimal numbers from text as std::from_chars reads them. Emscripten's libc++ has no floating-point
// from_chars; there strtod reads the same forms (digits, point, exponent, a leading minus).
#pragma once

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <string>
#include <system_error>

namespace korvane::cli {

inline std::from_chars_result readDouble(const char* begin, const char* end, double& value) {
#ifdef __EMSCRIPTEN__
    std::size_t length = 0;
    while (begin + length != end) {
        const char c = begin[length];
        const bool sign = (c == '-' && length == 0) || ((c == '-' || c == '+') && length > 0 &&
                                                        (begin[length - 1] == 'e' || begin[length - 1] == 'E'));
        if (!((c >= '0' && c <= '9') || c == '.' || c == 'e' || c == 'E' || sign)) break;
        ++length;
    }
    const std::string text(begin, length);
    char* stop = nullptr;
    errno = 0;
    const double parsed = std::strtod(text.c_str(), &stop);
    if (stop == text.c_str()) return {begin, std::errc::invalid_argument};
    const char* ptr = begin + (stop - text.c_str());
    if (errno == ERANGE) return {ptr, std::errc::result_out_of_range};
    value = parsed;
    return {ptr, std::errc()};
#else
    return std::from_chars(begin, end, value);
#endif
}

}  // namespace korvane::cli
