#include "render_number.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string_view>
#include <system_error>

namespace kavrel {

std::string render_number(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";

    // The shortest round-trip digits come from the scientific form: the
    // fixed form is the fewest characters, which for 1e23 are the digits of
    // the nearest double (99999999999999991611392), not the shortest ones.
    char sci[32];
    auto [end, ec] = std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific);
    (void)ec;  // 32 bytes always hold a shortest double
    std::string_view text(sci, static_cast<std::size_t>(end - sci));

    std::string out;
    if (text.front() == '-') {
        out.push_back('-');
        text.remove_prefix(1);
    }
    std::size_t e_pos = text.find('e');
    std::string digits;
    for (char ch : text.substr(0, e_pos))
        if (ch != '.') digits.push_back(ch);
    long exponent = std::strtol(std::string(text.substr(e_pos + 1)).c_str(), nullptr, 10);

    // value = 0.d1d2...dk * 10^(exponent + 1): the point goes after `point` digits.
    long k = static_cast<long>(digits.size());
    long point = exponent + 1;
    if (point >= k) {
        out += digits;
        out.append(static_cast<std::size_t>(point - k), '0');
    } else if (point > 0) {
        out.append(digits, 0, static_cast<std::size_t>(point));
        out.push_back('.');
        out.append(digits, static_cast<std::size_t>(point));
    } else {
        out += "0.";
        out.append(static_cast<std::size_t>(-point), '0');
        out += digits;
    }
    return out;
}

}  // namespace kavrel
