// Coding with learned labels: what encode learned from a column codes that
// column as encode did, and nothing else gets a code.
#include "core/transform.hpp"
#include "core/failure.hpp"
#include "core/label_encode.hpp"

#include "helpers.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

namespace kavrel {
namespace {

using test_helpers::add_numbers;
using test_helpers::bits_of;
using test_helpers::column_of;

std::vector<double> coded(const TextColumn& cells, const Labels& labels) {
    std::vector<double> out(cells.size());
    code_by_labels(cells, LabelIndex(labels), out);
    return out;
}

void transform_columns(const ColumnLists& lists, const EncodingInfo& learned, Matrix& out) {
    LabelIndexes indexes(learned);
    TableTransform(lists, learned, indexes, out).finish();
}

// Texts drawn from few bytes, high ones included, so that prefixes, byte
// order above 0x7F and the markers all come up; some cells share entries.
TextColumn random_column(std::mt19937& rng, std::size_t n) {
    static const std::vector<std::string> pieces = {"a", "b", "\xc3\xa9", "\xff", "n", "N", "<NA>", "nan", "NaN", ""};
    std::uniform_int_distribution<std::size_t> piece(0, pieces.size() - 1), length(0, 3), share(0, 3);
    TextColumn column;
    for (std::size_t i = 0; i < n; ++i) {
        if (i > 0 && share(rng) == 0) {
            column.push_back_copy_of(std::uniform_int_distribution<std::size_t>(0, i - 1)(rng));
            continue;
        }
        std::string text;
        for (std::size_t k = length(rng); k > 0; --k) text += pieces[piece(rng)];
        column.push_back(text);
    }
    return column;
}

TEST(Transform, LearnedLabelsCodeTheirColumnAsEncodeDid) {
    std::mt19937 rng(18);
    for (std::size_t n : {0u, 1u, 7u, 200u, 5000u}) {
        TextColumn column = random_column(rng, n);
        LabelEncoding encoded = label_encode(column);
        std::vector<double> codes = coded(column, encoded.labels);
        ASSERT_EQ(codes.size(), n);
        for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(bits_of(codes[i]), bits_of(encoded.codes[i])) << i;
    }
}

TEST(Transform, UnknownTextsAndMarkersHaveNoCode) {
    TextColumn learned_from = column_of({"b", "a", "\xc3\xa9", "B"});
    Labels labels = label_encode(learned_from).labels;  // B a b é
    TextColumn cells = column_of({"a", "c", "nan", "NaN", "<NA>", "", "\xc3\xa9", "ab", "B"});
    std::vector<double> codes = coded(cells, labels);
    const std::uint64_t nan = bits_of(missing_code);
    std::vector<std::uint64_t> expected = {bits_of(1.0), nan, nan, nan, nan, nan, bits_of(3.0), nan, bits_of(0.0)};
    for (std::size_t i = 0; i < cells.size(); ++i) EXPECT_EQ(bits_of(codes[i]), expected[i]) << i;
    EXPECT_TRUE(std::isnan(coded(column_of({"a"}), Labels())[0]));
    // A marker among labels made elsewhere still gets no code.
    Labels with_marker(std::string("anan"), {1, 4});
    EXPECT_EQ(LabelIndex(with_marker).find("a"), 0u);
    EXPECT_FALSE(LabelIndex(with_marker).find("nan"));
}

TEST(Transform, TableKeepsNumbersAndCodesLearnedTextColumns) {
    ColumnLists lists(3);
    lists.write_numbers_to(nullptr, 2);
    add_numbers(lists, 0, {1.5, std::nan("")});
    lists.text_column(1).push_back("b");
    lists.text_column(1).push_back("z");
    // Numbers in a column learned as text are coded by their texts.
    add_numbers(lists, 2, {-0.0, 2.0});
    EncodingInfo learned;
    learned.object_columns = {1, 2};
    learned.labels.emplace(1, label_encode(column_of({"a", "b"})).labels);
    learned.labels.emplace(2, label_encode(column_of({"-0", "x"})).labels);
    Matrix out = Matrix::zeros(2, 3);
    transform_columns(lists, learned, out);
    EXPECT_EQ(out.at(0, 0), 1.5);
    EXPECT_TRUE(std::isnan(out.at(1, 0)));
    EXPECT_EQ(out.at(0, 1), 1.0);
    EXPECT_TRUE(std::isnan(out.at(1, 1)));
    EXPECT_EQ(out.at(0, 2), 0.0);
    EXPECT_TRUE(std::isnan(out.at(1, 2)));

    // Numbers the lists already wrote into the result are coded where they lie.
    Matrix in_place = Matrix::zeros(2, 3);
    ColumnLists written(3);
    written.write_numbers_to(in_place.data(), 2);
    add_numbers(written, 0, {1.5, 7.0});
    add_numbers(written, 2, {2.0, -0.0});
    written.column_read(0);
    written.column_read(2);
    written.text_column(1).push_back("a");
    written.text_column(1).push_back("b");
    transform_columns(written, learned, in_place);
    EXPECT_EQ(in_place.at(1, 0), 7.0);
    EXPECT_EQ(in_place.at(1, 1), 1.0);
    EXPECT_TRUE(std::isnan(in_place.at(0, 2)));
    EXPECT_EQ(in_place.at(1, 2), 0.0);

    // A column of the wrong kind or length is the caller's fault: never
    // written past the matrix.
    EncodingInfo none;
    EXPECT_THROW(transform_columns(lists, none, out), InternalFailure);
    Matrix short_out = Matrix::zeros(1, 3);
    EXPECT_THROW(transform_columns(lists, learned, short_out), InternalFailure);
}

}  // namespace
}  // namespace kavrel
