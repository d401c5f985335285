#include "core/label_encode.hpp"

#include "helpers.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace {

using kavrel::label_encode;
using kavrel::missing_code;
using kavrel::TextColumn;

constexpr std::uint64_t nan_bits = 0x7FF8000000000000;

using kavrel::test_helpers::bits_of;
using kavrel::test_helpers::column_of;
using kavrel::test_helpers::labels_of;
using Strings = std::vector<std::string>;

kavrel::CodeList codes_of(std::initializer_list<std::string_view> cells) {
    return label_encode(column_of(cells)).codes;
}

// Codes compared by bit pattern, so a NaN must be the canonical one.
void expect_codes(const kavrel::CodeList& actual, std::initializer_list<double> expected) {
    std::vector<std::uint64_t> a, e;
    for (double x : actual) a.push_back(bits_of(x));
    for (double x : expected) e.push_back(bits_of(x));
    EXPECT_EQ(a, e);
}

TEST(LabelEncode, CodesAreByteWiseRanksOfTheDistinctStrings) {
    auto encoded = label_encode(column_of({"b", "a", "NaN", "a"}));
    expect_codes(encoded.codes, {1.0, 0.0, missing_code, 0.0});
    EXPECT_EQ(labels_of(encoded.labels), (Strings{"a", "b"}));

    // Digits order as text, not as numbers.
    expect_codes(codes_of({"10", "9", "2"}), {0.0, 2.0, 1.0});
    // Upper case sorts before lower case.
    expect_codes(codes_of({"b", "B", "a"}), {2.0, 0.0, 1.0});
    // Bytes from 0x80 on sort after ASCII: compared unsigned, not as char.
    expect_codes(codes_of({"\xc3\xa9t\xc3\xa9", "zebra", "\x7f", "A"}), {3.0, 1.0, 2.0, 0.0});
    // A prefix sorts first, the empty string before everything.
    expect_codes(codes_of({"ab", "a", "", "a\x01", "b"}), {3.0, 1.0, 0.0, 2.0, 4.0});
    // An embedded NUL is an ordinary byte.
    expect_codes(codes_of({std::string_view("a\0b", 3), "a", std::string_view("a\0", 2)}), {2.0, 0.0, 1.0});
}

TEST(LabelEncode, OnlyTheThreeExactMarkersGoWithoutACode) {
    auto encoded =
        label_encode(column_of({"NAN", "Nan", " nan", "nan ", "<na>", "None", "nan", "<NA>", "NaN", "nana"}));
    expect_codes(encoded.codes,
                 {2.0, 3.0, 0.0, 5.0, 1.0, 4.0, missing_code, missing_code, missing_code, 6.0});
    EXPECT_EQ(labels_of(encoded.labels), (Strings{" nan", "<na>", "NAN", "Nan", "None", "nan ", "nana"}));

    // A marker takes no rank: "NaN" sorts before "a" but "a" still gets 0.
    expect_codes(codes_of({"b", "NaN", "a", "<NA>"}), {1.0, missing_code, 0.0, missing_code});
    // A marker followed by NULs begins with the same sixteen bytes, zero-padded.
    expect_codes(codes_of({std::string_view("nan\0", 4), "nan", std::string_view("<NA>\0\0", 6)}),
                 {1.0, missing_code, 0.0});
    EXPECT_EQ(bits_of(missing_code), nan_bits);
}

TEST(LabelEncode, DegenerateColumns) {
    auto empty = label_encode(TextColumn{});
    EXPECT_TRUE(empty.codes.empty());
    EXPECT_TRUE(empty.labels.empty());
    EXPECT_EQ(empty.codes.capacity(), 0u);

    auto markers = label_encode(column_of({"nan", "<NA>", "nan"}));
    expect_codes(markers.codes, {missing_code, missing_code, missing_code});
    EXPECT_TRUE(markers.labels.empty());

    auto single = label_encode(column_of({"x", "x", "x", "x"}));
    expect_codes(single.codes, {0.0, 0.0, 0.0, 0.0});
    EXPECT_EQ(labels_of(single.labels), Strings{"x"});

    auto only_empty = label_encode(column_of({"", ""}));
    expect_codes(only_empty.codes, {0.0, 0.0});
    EXPECT_EQ(labels_of(only_empty.labels), Strings{""});
}

// Cells that share an entry (a str object met again) are encoded through
// their entry and get the codes their texts call for, also when two entries
// hold the same text and when copies come before and after new texts.
TEST(LabelEncode, CellsSharingEntriesGetTheirTextsCodes) {
    TextColumn column;
    column.push_back("pear");
    column.push_back("apple");
    column.push_back_copy_of(0);  // pear
    column.push_back("pear");     // an entry of its own, same text
    column.push_back("nan");
    column.push_back_copy_of(4);  // nan
    column.push_back_copy_of(1);  // apple
    column.push_back("fig");
    ASSERT_EQ(column.size(), 8u);
    EXPECT_EQ(column.entry_count(), 5u);
    EXPECT_EQ(column[2], "pear");
    EXPECT_EQ(column[6], "apple");

    auto encoded = label_encode(column);
    expect_codes(encoded.codes, {2.0, 0.0, 2.0, 2.0, missing_code, missing_code, 0.0, 1.0});
    EXPECT_EQ(labels_of(encoded.labels), (Strings{"apple", "fig", "pear"}));
}

// Parts read apart and joined: an aliased entry, even one that names
// another alias, leaves no entry of its own, and its cells (and their
// copies) take the text of the entry it names.
TEST(LabelEncode, JoinedPartsShareTheEntriesTheirAliasesName) {
    std::vector<TextColumn> parts(3);
    parts[0].push_back("pear");
    parts[0].push_back("fig");
    const std::size_t fig = parts[1].push_back_alias();  // part 0's entry 1
    parts[1].push_back("kiwi");
    parts[1].push_back_copy_of(0);                        // fig
    parts[2].push_back("apple");
    const std::size_t fig_again = parts[2].push_back_alias();  // part 1's alias
    const std::size_t kiwi = parts[2].push_back_alias();
    const std::vector<TextColumn::Alias> aliases = {{1, fig, 0, 1}, {2, fig_again, 1, fig}, {2, kiwi, 1, 1}};
    TextColumn column = TextColumn::join(parts, aliases);
    ASSERT_EQ(column.size(), 8u);
    EXPECT_EQ(column.entry_count(), 4u);
    const Strings texts = {"pear", "fig", "fig", "kiwi", "fig", "apple", "fig", "kiwi"};
    for (std::size_t i = 0; i < texts.size(); ++i) EXPECT_EQ(column[i], texts[i]) << i;

    auto encoded = label_encode(column);
    expect_codes(encoded.codes, {3.0, 1.0, 1.0, 2.0, 1.0, 0.0, 1.0, 2.0});
    EXPECT_EQ(encoded.counts, (kavrel::Counts{1, 4, 2, 1}));
}

// Counted per label over a column of many labels, each in three cells that
// share its entry: every count is three, whichever thread counted.
TEST(LabelEncode, CellsOfManyLabelsAreCountedOnceEach) {
    constexpr std::size_t labels = 50'000;
    TextColumn column;
    for (std::size_t k = 0; k < labels; ++k) column.push_back("label" + std::to_string(k));
    for (std::size_t round = 0; round < 2; ++round)
        for (std::size_t k = 0; k < labels; ++k) column.push_back_copy_of((k * 7919) % labels);
    auto encoded = label_encode(column);
    EXPECT_EQ(encoded.counts, kavrel::Counts(labels, 3));
}

// Ids that share their first eight bytes, in a column large enough to take
// the partitioned road: the ranks still follow the bytes past the prefix.
// Some cells repeat the cell before, in a text of their own or sharing its
// entry, and some are markers: each id keeps one code, counted per cell.
TEST(LabelEncode, LongSharedPrefixesRankByTheirLaterBytes) {
    constexpr std::size_t n = 400000;
    TextColumn column;
    std::vector<std::size_t> id(n);
    for (std::size_t j = 0; j < n; ++j) {
        id[j] = (j * 7919) % n;  // a permutation, n and 7919 coprime
        if (j % 50 == 1) {
            id[j] = id[j - 1];
            column.push_back_copy_of(j - 1);
        } else if (j % 1000 == 3) {
            id[j] = n;  // a marker
            column.push_back("NaN");
        } else {
            if (j % 50 == 2) id[j] = id[j - 2];
            char text[32];
            int size = std::snprintf(text, sizeof text, "id%017zu", id[j]);  // 19 bytes, the first 8 mostly equal
            column.push_back(std::string_view(text, static_cast<std::size_t>(size)));
        }
    }
    std::vector<std::size_t> sorted(id);
    std::sort(sorted.begin(), sorted.end());
    sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
    sorted.pop_back();  // the marker
    auto encoded = label_encode(column);
    ASSERT_EQ(encoded.labels.size(), sorted.size());
    kavrel::Counts counts(sorted.size(), 0);
    for (std::size_t j = 0; j < n; ++j) {
        if (id[j] == n) {
            ASSERT_EQ(bits_of(encoded.codes[j]), nan_bits) << j;
            continue;
        }
        const auto rank = std::lower_bound(sorted.begin(), sorted.end(), id[j]) - sorted.begin();
        const auto code = static_cast<std::size_t>(rank);
        ASSERT_EQ(encoded.codes[j], static_cast<double>(code)) << j;
        ++counts[code];
    }
    EXPECT_EQ(encoded.counts, counts);
}

// Labels of every length up to past sixteen bytes, NULs and high bytes
// among them, and markers spread over the sorted order: each label holds
// its text, and each cell its label's code.
TEST(LabelEncode, LabelsHoldTheirTextsWhateverTheirLength) {
    constexpr std::size_t n = 90000;
    Strings cells;
    std::uint64_t state = 1;
    for (std::size_t j = 0; j < n; ++j) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        if (j % 997 == 0) {
            cells.push_back(j % 2 ? "nan" : "<NA>");
            continue;
        }
        std::string text(static_cast<std::size_t>(state >> 59) % 21, '\0');
        for (std::size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>(state >> (8 * (i % 7)) ^ i);
        cells.push_back(text);
    }
    TextColumn column;
    for (const std::string& cell : cells) column.push_back(cell);
    Strings expected;
    for (const std::string& cell : cells)
        if (!kavrel::is_missing_marker(cell)) expected.push_back(cell);
    std::sort(expected.begin(), expected.end());
    expected.erase(std::unique(expected.begin(), expected.end()), expected.end());

    auto encoded = label_encode(column);
    ASSERT_EQ(labels_of(encoded.labels), expected);
    for (std::size_t j = 0; j < n; ++j) {
        if (kavrel::is_missing_marker(cells[j])) {
            ASSERT_EQ(bits_of(encoded.codes[j]), nan_bits) << j;
            continue;
        }
        const auto rank = std::lower_bound(expected.begin(), expected.end(), cells[j]) - expected.begin();
        ASSERT_EQ(encoded.codes[j], static_cast<double>(rank)) << j;
    }
}

// Few texts, many repeats, all alike in their first sixteen bytes: the
// first pass tells them apart by their later bytes alone.
TEST(LabelEncode, RepeatedLongTextsAlikeInSixteenBytesKeepTheirOwnCodes) {
    constexpr std::size_t distinct = 1000, n = 60000;
    TextColumn column;
    for (std::size_t j = 0; j < n; ++j) {
        char text[32];
        int size = std::snprintf(text, sizeof text, "sixteen bytes ..%03zu", (j * 7) % distinct);
        column.push_back(std::string_view(text, static_cast<std::size_t>(size)));
    }
    auto encoded = label_encode(column);
    ASSERT_EQ(encoded.labels.size(), distinct);
    for (std::size_t j = 0; j < n; ++j) ASSERT_EQ(encoded.codes[j], static_cast<double>((j * 7) % distinct)) << j;
}

}  // namespace
