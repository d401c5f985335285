// The text of a number read before its column turned out to hold text.
#pragma once

#include <string>

namespace kavrel {

// The shortest decimal digits that read back as the same double, laid out
// positionally, never with an exponent: 1.0 -> "1", 1e23 -> "1" and 23
// zeros, 1.5e-7 -> "0.00000015", -0.0 -> "-0".  NaN -> "NaN", infinities
// -> "inf" and "-inf".
std::string render_number(double value);

}  // namespace kavrel
