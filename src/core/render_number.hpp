// The text of a number read before its column turned out to hold text.
#pragma once

#include <cstddef>
#include <string>

namespace kavrel {

// The shortest decimal digits that read back as the same double, laid out
// positionally, never with an exponent: 1.0 -> "1", 1e23 -> "1" and 23
// zeros, 1.5e-7 -> "0.00000015", -0.0 -> "-0".  NaN -> "NaN", infinities
// -> "inf" and "-inf".
std::string render_number(double value);

// Room for any text that write_float_str writes.
inline constexpr std::size_t float_str_max = 32;

// Writes str() of a Python float of this value, as CPython writes it (its
// repr: the shortest round-trip digits, positional from 1e-4 up to below
// 1e16, else with an exponent of at least two digits; "1.0", "1e+16",
// "1e-05", "-0.0", "nan", "inf"), into `out`, which has room for
// float_str_max bytes; returns the bytes written.  Makes no allocation:
// the pool's threads write the text of float cells with it.
std::size_t write_float_str(double value, char* out) noexcept;

}  // namespace kavrel
