#include "core/render_number.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>

namespace {

using kavrel::render_number;

TEST(RenderNumber, IntegralValuesHaveNoPointAndNoExponent) {
    EXPECT_EQ(render_number(1.0), "1");
    EXPECT_EQ(render_number(100.0), "100");
    EXPECT_EQ(render_number(0.0), "0");
    EXPECT_EQ(render_number(-0.0), "-0");
    EXPECT_EQ(render_number(-42.0), "-42");
    EXPECT_EQ(render_number(1e21), "1" + std::string(21, '0'));
    // The shortest digits, not the digits of the nearest double.
    EXPECT_EQ(render_number(1e23), "1" + std::string(23, '0'));
    EXPECT_EQ(render_number(9007199254740993.0), "9007199254740992");
    EXPECT_EQ(render_number(123456789012345680000.0), "123456789012345680000");
}

TEST(RenderNumber, FractionsUseTheShortestDigits) {
    EXPECT_EQ(render_number(0.5), "0.5");
    EXPECT_EQ(render_number(0.1), "0.1");
    EXPECT_EQ(render_number(2.5), "2.5");
    EXPECT_EQ(render_number(-1.25), "-1.25");
    EXPECT_EQ(render_number(1.5e-7), "0.00000015");
    EXPECT_EQ(render_number(123.456), "123.456");
    EXPECT_EQ(render_number(0.30000000000000004), "0.30000000000000004");
    EXPECT_EQ(render_number(5e-324), "0." + std::string(323, '0') + "5");
}

TEST(RenderNumber, SpecialValues) {
    EXPECT_EQ(render_number(std::numeric_limits<double>::quiet_NaN()), "NaN");
    EXPECT_EQ(render_number(-std::numeric_limits<double>::quiet_NaN()), "NaN");
    EXPECT_EQ(render_number(std::numeric_limits<double>::infinity()), "inf");
    EXPECT_EQ(render_number(-std::numeric_limits<double>::infinity()), "-inf");
}

TEST(RenderNumber, ReadsBackAsTheSameDouble) {
    std::mt19937_64 rng(12345);
    for (int i = 0; i < 20000; ++i) {
        double v = std::bit_cast<double>(rng());
        if (!std::isfinite(v)) continue;
        std::string text = render_number(v);
        ASSERT_EQ(text.find('e'), std::string::npos) << text;
        double back = 0;
        auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), back);
        ASSERT_EQ(ec, std::errc()) << text;
        ASSERT_EQ(ptr, text.data() + text.size()) << text;
        ASSERT_EQ(std::bit_cast<std::uint64_t>(back), std::bit_cast<std::uint64_t>(v)) << text;
    }
}

// Python's repr() of the same floats is what these expect (CPython
// writes str() of a float so).
std::string float_str(double v) {
    char out[kavrel::float_str_max];
    return std::string(out, kavrel::write_float_str(v, out));
}

TEST(FloatStr, WritesWhatPythonsReprWrites) {
    EXPECT_EQ(float_str(1.0), "1.0");
    EXPECT_EQ(float_str(-0.0), "-0.0");
    EXPECT_EQ(float_str(0.1), "0.1");
    EXPECT_EQ(float_str(1e+16), "1e+16");
    EXPECT_EQ(float_str(1000000000000000.0), "1000000000000000.0");
    EXPECT_EQ(float_str(9999999999999998.0), "9999999999999998.0");
    EXPECT_EQ(float_str(1.2345678901234568e+17), "1.2345678901234568e+17");
    EXPECT_EQ(float_str(0.0001), "0.0001");
    EXPECT_EQ(float_str(0.00012345), "0.00012345");
    EXPECT_EQ(float_str(1e-05), "1e-05");
    EXPECT_EQ(float_str(1.5e-07), "1.5e-07");
    EXPECT_EQ(float_str(1e+23), "1e+23");
    EXPECT_EQ(float_str(5e-324), "5e-324");
    EXPECT_EQ(float_str(-1.7976931348623157e+308), "-1.7976931348623157e+308");
    EXPECT_EQ(float_str(65504.0), "65504.0");
    EXPECT_EQ(float_str(-std::numeric_limits<double>::quiet_NaN()), "nan");
    EXPECT_EQ(float_str(-std::numeric_limits<double>::infinity()), "-inf");
}

}  // namespace
