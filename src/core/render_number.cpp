#include "render_number.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
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

namespace kavrel {

std::size_t write_float_str(double value, char* out) noexcept {
    char* p = out;
    auto put = [&](std::string_view s) {
        std::memcpy(p, s.data(), s.size());
        p += s.size();
    };
    // A NaN's sign is not written.
    if (std::isnan(value)) {
        put("nan");
        return 3;
    }
    if (std::isinf(value)) {
        put(value > 0 ? "inf" : "-inf");
        return static_cast<std::size_t>(p - out);
    }
    // The shortest round-trip digits, as in render_number; CPython's repr
    // takes the same digits from its own dtoa (mode 0).
    char sci[float_str_max];
    auto end = std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific).ptr;
    std::string_view text(sci, static_cast<std::size_t>(end - sci));
    if (text.front() == '-') {
        *p++ = '-';
        text.remove_prefix(1);
    }
    const std::size_t e_pos = text.find('e');
    char digits[24];
    std::size_t k = 0;
    for (char ch : text.substr(0, e_pos))
        if (ch != '.') digits[k++] = ch;
    int exponent = 0;
    std::string_view e_text = text.substr(e_pos + 1);
    std::from_chars(e_text.data() + (e_text.front() == '+'), e_text.data() + e_text.size(), exponent);

    // CPython's rule (format_float_short, 'r'): with the point after
    // `decpt` digits, an exponent when decpt <= -4 or decpt > 16.
    const int decpt = exponent + 1;
    const std::string_view ds(digits, k);
    if (decpt <= -4 || decpt > 16) {
        *p++ = ds[0];
        if (k > 1) {
            *p++ = '.';
            put(ds.substr(1));
        }
        *p++ = 'e';
        *p++ = exponent < 0 ? '-' : '+';
        const int magnitude = exponent < 0 ? -exponent : exponent;
        if (magnitude < 10) *p++ = '0';
        p = std::to_chars(p, out + float_str_max, magnitude).ptr;
    } else if (decpt <= 0) {
        put("0.");
        for (int i = 0; i < -decpt; ++i) *p++ = '0';
        put(ds);
    } else if (static_cast<std::size_t>(decpt) >= k) {
        put(ds);
        for (std::size_t i = k; i < static_cast<std::size_t>(decpt); ++i) *p++ = '0';
        put(".0");
    } else {
        put(ds.substr(0, static_cast<std::size_t>(decpt)));
        *p++ = '.';
        put(ds.substr(static_cast<std::size_t>(decpt)));
    }
    return static_cast<std::size_t>(p - out);
}

}  // namespace kavrel
