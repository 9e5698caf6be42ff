#include "number_format.hpp"

#include <charconv>
#include <cmath>
#include <string_view>

namespace tarvo::python {

namespace {

constexpr int DIGITS = 4;

const char* special_text(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
    return nullptr;
}

// "e-03" -> "e-3", "e+00" -> "e0", "e+123" -> "e123".
std::string bare_exponent(std::string_view exponent_digits, bool negative) {
    std::size_t first = 0;
    while (first + 1 < exponent_digits.size() && exponent_digits[first] == '0') ++first;
    std::string out = negative ? "e-" : "e";
    out += exponent_digits.substr(first);
    return out;
}

}  // namespace

std::string format_scientific4(double value) {
    if (const char* special = special_text(value)) return special;
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific, DIGITS);
    const std::string_view text(buffer, static_cast<std::size_t>(result.ptr - buffer));
    const std::size_t e = text.find('e');
    const bool negative_exponent = text[e + 1] == '-';
    return std::string(text.substr(0, e)) + bare_exponent(text.substr(e + 2), negative_exponent);
}

std::string format_fixed4(double value) {
    if (const char* special = special_text(value)) return special;
    // Large enough for the widest double (309 integer digits) and the fraction.
    char buffer[400];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, DIGITS);
    return std::string(buffer, result.ptr);
}

}  // namespace tarvo::python
