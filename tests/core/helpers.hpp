// Helpers shared by the core's unit tests.
#pragma once

#include "core/text_column.hpp"

#include <bit>
#include <cstdint>
#include <initializer_list>
#include <string_view>

namespace kavrel::test_helpers {

// A double's bits, so that NaNs compare by their pattern.
inline std::uint64_t bits_of(double x) {
    return std::bit_cast<std::uint64_t>(x);
}

inline TextColumn column_of(std::initializer_list<std::string_view> cells) {
    TextColumn column;
    for (std::string_view cell : cells) column.push_back(cell);
    return column;
}

}  // namespace kavrel::test_helpers
