// Helpers shared by the core's unit tests.
#pragma once

#include "core/column_lists.hpp"
#include "core/encoding_info.hpp"
#include "core/text_column.hpp"

#include <bit>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

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

// The labels, code by code.
inline std::vector<std::string> labels_of(const Labels& labels) {
    std::vector<std::string> all;
    for (std::size_t k = 0; k < labels.size(); ++k) all.emplace_back(labels[k]);
    return all;
}

inline void add_numbers(ColumnLists& lists, std::size_t c, std::initializer_list<double> numbers) {
    for (double number : numbers) lists.add_number(c, number);
}

}  // namespace kavrel::test_helpers

namespace kavrel {

// Lists that no reading road can make, to reach the encoding's own guards.
struct ColumnListsTesting {
    // Columns from `c` on lose their text lists.
    static void drop_text_lists_from(ColumnLists& lists, std::size_t c) { lists.text_cells_.resize(c); }
};

}  // namespace kavrel
