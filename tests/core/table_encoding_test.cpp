#include "core/table_encoding.hpp"
#include "core/column_worker.hpp"
#include "core/failure.hpp"
#include "core/label_encode.hpp"

#include "helpers.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <map>
#include <new>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace {

using namespace kavrel;

using kavrel::test_helpers::add_numbers;
using kavrel::test_helpers::bits_of;
using kavrel::test_helpers::column_of;
using kavrel::test_helpers::labels_of;

// Serial reference: an ordered map with its own unsigned byte comparison, so
// it shares nothing with the code under test.
struct UnsignedLess {
    bool operator()(const std::string& a, const std::string& b) const {
        return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
            return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
        });
    }
};
using ReferenceForward = std::map<std::string, std::optional<std::uint64_t>, UnsignedLess>;

struct ReferenceEncoding {
    std::vector<double> codes;
    ReferenceForward forward;
};

ReferenceEncoding reference_encode(const TextColumn& cells) {
    ReferenceEncoding r;
    for (std::size_t j = 0; j < cells.size(); ++j) r.forward.emplace(std::string(cells[j]), std::nullopt);
    std::uint64_t next = 0;
    for (auto& [text, code] : r.forward)
        if (text != "nan" && text != "NaN" && text != "<NA>") code = next++;
    for (std::size_t j = 0; j < cells.size(); ++j) {
        const auto& code = r.forward.at(std::string(cells[j]));
        r.codes.push_back(code ? static_cast<double>(*code)
                               : std::bit_cast<double>(std::uint64_t{0x7FF8000000000000}));
    }
    return r;
}

// The labels are the reference's coded strings, in code order.
void expect_labels(const Labels& actual, const ReferenceForward& expected) {
    std::vector<std::string> coded;
    for (const auto& [text, code] : expected)
        if (code) coded.push_back(text);
    EXPECT_EQ(labels_of(actual), coded);
}

// Distinct values of assorted lengths (0 to 19 bytes), with bytes from the
// whole range, NUL and >= 0x80 included, and the three markers among them.
std::vector<std::string> random_values(std::mt19937_64& rng, std::size_t count) {
    std::set<std::string> values;
    if (count >= 6) values.insert({"nan", "NaN", "<NA>"});
    std::uniform_int_distribution<int> length(0, 19), byte(0, 255), small_byte('a', 'e');
    while (values.size() < count) {
        std::string s(static_cast<std::size_t>(length(rng)), '\0');
        bool narrow = values.size() % 2 == 0;  // many shared prefixes
        for (char& c : s) c = static_cast<char>(narrow ? small_byte(rng) : byte(rng));
        values.insert(std::move(s));
    }
    return {values.begin(), values.end()};
}

TextColumn random_column(std::mt19937_64& rng, const std::vector<std::string>& values, std::size_t rows) {
    std::uniform_int_distribution<std::size_t> pick(0, values.size() - 1);
    TextColumn column;
    column.reserve(rows);
    for (std::size_t j = 0; j < rows; ++j) column.push_back(values[pick(rng)]);
    return column;
}

// Long columns take the paths that appear only when the pool splits the
// work: several segments to merge, a parallel sort, many pieces to write.
// Run under every pool size, each must agree with the reference.
TEST(LabelEncode, LongColumnsMatchTheSerialReference) {
    std::mt19937_64 rng(20240611);
    // The last is nearly all distinct: its first pass goes by partition.
    for (std::size_t cardinality : {1u, 3u, 50u, 2000u, 150000u, 1000000u}) {
        SCOPED_TRACE(cardinality);
        TextColumn cells = random_column(rng, random_values(rng, cardinality), 200000);
        auto encoded = label_encode(cells);
        auto expected = reference_encode(cells);
        ASSERT_EQ(encoded.codes.size(), cells.size());
        for (std::size_t j = 0; j < cells.size(); ++j)
            ASSERT_EQ(bits_of(encoded.codes[j]), bits_of(expected.codes[j])) << "row " << j;
        expect_labels(encoded.labels, expected.forward);
    }
}

TEST(Matrix, ZerosChecksTheSizeBeforeAllocating) {
    Matrix m = Matrix::zeros(3, 4);
    EXPECT_EQ(m.n_rows(), 3u);
    EXPECT_EQ(m.n_cols(), 4u);
    for (std::size_t i = 0; i < 12; ++i) EXPECT_EQ(bits_of(m.data()[i]), 0u);

    EXPECT_EQ(Matrix::zeros(0, 5).n_cols(), 5u);
    EXPECT_EQ(Matrix::zeros(7, 0).n_rows(), 7u);

    auto expect_overflow = [](std::size_t rows, std::size_t cols) {
        try {
            Matrix::zeros(rows, cols);
            ADD_FAILURE() << rows << " x " << cols << " was accepted";
        } catch (const InternalFailure& f) {
            EXPECT_EQ(f.message(), "capacity overflow");
        }
    };
    testing::internal::CaptureStderr();
    expect_overflow(SIZE_MAX / 2 + 1, 2);                         // count wraps
    expect_overflow(std::size_t{1} << 32, std::size_t{1} << 32);  // count wraps
    expect_overflow(PTRDIFF_MAX / 8 + 1, 1);                      // bytes too many
    std::string diagnostics = testing::internal::GetCapturedStderr();
    EXPECT_NE(diagnostics.find("capacity overflow"), std::string::npos);

    // Passes the size check, but no machine has 2^63 bytes: the caller gets
    // bad_alloc (MemoryError) rather than a crash.
    EXPECT_THROW(Matrix::zeros(PTRDIFF_MAX / 8, 1), std::bad_alloc);
}

// Columns 1 and 3 of 5 hold text; the rest are numbers.
struct MixedTable {
    MixedTable() : lists(5), out(Matrix::zeros(4, 5)) {
        add_numbers(lists, 0, {1.5, -2.0, 0.0, 1e300});
        lists.text_column(1) = column_of({"pear", "apple", "nan", "pear"});
        add_numbers(lists, 2, {7.0, 8.0, 9.0, 10.0});
        lists.text_column(3) = column_of({"", "Z", "z", "<NA>"});
        add_numbers(lists, 4, {-1.0, -2.0, -3.0, -4.0});
    }
    ColumnLists lists;
    Matrix out;
};

// Whichever columns were started early (as the table reading does with
// each column read whole), the outcome is the same.
class EncodeColumnsStarted : public testing::TestWithParam<std::vector<std::size_t>> {};

// The outcome of encoding a MixedTable, whichever way it was encoded.
void expect_mixed_table_encoded(const MixedTable& t, const EncodingInfo& info) {
    const double nan = missing_code;
    const double expected[4][5] = {
        {1.5, 1.0, 7.0, 0.0, -1.0},
        {-2.0, 0.0, 8.0, 1.0, -2.0},
        {0.0, nan, 9.0, 2.0, -3.0},
        {1e300, 1.0, 10.0, nan, -4.0},
    };
    for (std::size_t r = 0; r < 4; ++r)
        for (std::size_t c = 0; c < 5; ++c)
            EXPECT_EQ(bits_of(t.out.at(r, c)), bits_of(expected[r][c])) << r << "," << c;

    EXPECT_EQ(info.object_columns, (std::vector<std::size_t>{1, 3}));
    ASSERT_EQ(info.labels.size(), 2u);
    const MixedTable fresh;  // t's texts are freed once encoded
    for (std::size_t c : {1u, 3u}) {
        SCOPED_TRACE(c);
        ASSERT_TRUE(info.labels.contains(c));
        EXPECT_TRUE(t.lists.texts(c).empty());
        expect_labels(info.labels.at(c), reference_encode(fresh.lists.texts(c)).forward);
    }
}

TEST_P(EncodeColumnsStarted, MixedTableFillsEveryCellAndLearnsTheTextColumns) {
    MixedTable t;
    TableEncoding encoding(t.lists, t.out);
    for (std::size_t c : GetParam()) encoding.start(c);
    expect_mixed_table_encoded(t, encoding.finish());
}

// A table whose reading began on one road and starts again on another: the
// columns started from the first reading, a failing one among them, leave
// no labels, failure or cell behind.
TEST(EncodeColumns, ForgottenColumnsLeaveNothingBehind) {
    MixedTable t;
    TableEncoding encoding(t.lists, t.out);
    MixedTable whole;
    t.lists.reset();
    t.lists.text_column(0) = column_of({"w", "x", "y", "z"});
    t.lists.text_column(1) = column_of({"q", "r", "s", "t"});
    t.lists.text_column(3) = column_of({"t", "s", "r", "q"});
    t.lists.text_column(4);
    ColumnListsTesting::drop_text_lists_from(t.lists, 4);  // column 4's encoding fails: it has no list
    testing::internal::CaptureStderr();
    for (std::size_t c : {0u, 1u, 3u, 4u}) encoding.start(c);
    encoding.forget_started();
    testing::internal::GetCapturedStderr();

    t.lists = std::move(whole.lists);
    encoding.start(3);
    expect_mixed_table_encoded(t, encoding.finish());
}

INSTANTIATE_TEST_SUITE_P(Starts, EncodeColumnsStarted,
                         testing::Values(std::vector<std::size_t>{}, std::vector<std::size_t>{3},
                                         std::vector<std::size_t>{1, 3}, std::vector<std::size_t>{4, 0, 3}));

// A column's labels stay whole when they outlive the cells and the rest of
// what was learned.
TEST(EncodeColumns, LearnedLabelsOutliveTheCells) {
    Labels labels;
    ReferenceForward reference;
    {
        MixedTable t;
        reference = reference_encode(t.lists.texts(3)).forward;
        EncodingInfo info = encode_columns(t.lists, t.out);
        EXPECT_TRUE(t.lists.texts(3).empty());  // freed once encoded
        labels = info.labels.at(3);
    }
    std::vector<std::string> churn(1000, std::string(40, 'x'));  // reuse of freed memory shows here
    expect_labels(labels, reference);
}

TEST(EncodeColumns, TablesWithoutTextOrWithoutCells) {
    {
        ColumnLists lists(2);
        add_numbers(lists, 0, {1.0, 2.0});
        add_numbers(lists, 1, {3.0, 4.0});
        Matrix out = Matrix::zeros(2, 2);
        EncodingInfo info = encode_columns(lists, out);
        EXPECT_EQ(out.at(0, 0), 1.0);
        EXPECT_EQ(out.at(0, 1), 3.0);
        EXPECT_EQ(out.at(1, 0), 2.0);
        EXPECT_EQ(out.at(1, 1), 4.0);
        EXPECT_TRUE(info.object_columns.empty());
        EXPECT_TRUE(info.labels.empty());
    }
    for (auto [rows, cols] : {std::pair<std::size_t, std::size_t>{0, 3}, {6, 0}, {0, 0}}) {
        ColumnLists lists(cols);
        Matrix out = Matrix::zeros(rows, cols);
        EncodingInfo info = encode_columns(lists, out);
        EXPECT_EQ(out.n_rows(), rows);
        EXPECT_EQ(out.n_cols(), cols);
        EXPECT_TRUE(info.object_columns.empty());
        EXPECT_TRUE(info.labels.empty());
    }
}

TEST(EncodeColumns, AllMarkerColumnStillYieldsAResult) {
    ColumnLists lists(1);
    lists.text_column(0) = column_of({"nan", "<NA>", "NaN", "nan"});
    Matrix out = Matrix::zeros(4, 1);
    EncodingInfo info = encode_columns(lists, out);
    for (std::size_t r = 0; r < 4; ++r) EXPECT_EQ(bits_of(out.at(r, 0)), 0x7FF8000000000000u);
    EXPECT_EQ(info.object_columns, std::vector<std::size_t>{0});
    EXPECT_TRUE(info.labels.at(0).empty());
}

TEST(EncodeColumns, FailuresReachTheCallerWithTheirMessage) {
    testing::internal::CaptureStderr();

    // The worker's guarded lookups.
    MixedTable t;
    ColumnContext ctx{t.lists, SendPtr{t.out.data(), t.out.n_rows()}};
    try {
        encode_column(ctx, 7);
        ADD_FAILURE() << "column 7 of 5 was accepted";
    } catch (const InternalFailure& f) {
        EXPECT_EQ(f.message(), "index out of bounds: the len is 5 but the index is 7");
    }

    // Columns 2 to 5 fail at once inside the parallel loop, on whatever
    // threads ran them; the lowest one's failure is raised.
    ColumnLists lists(6);
    for (std::size_t c = 0; c < 6; ++c) lists.text_column(c);
    lists.text_column(0) = column_of({"a", "b"});
    lists.text_column(1) = column_of({"c", "d"});
    ColumnListsTesting::drop_text_lists_from(lists, 2);
    Matrix out = Matrix::zeros(2, 6);
    for (int attempt = 0; attempt < 20; ++attempt) {
        try {
            encode_columns(lists, out);
            ADD_FAILURE() << "missing column lists were accepted";
        } catch (const InternalFailure& f) {
            ASSERT_EQ(f.message(), "index out of bounds: the len is 2 but the index is 2");
        }
    }

    // A column list longer than the matrix would write past its end.
    ColumnLists tall(2);
    add_numbers(tall, 0, {1.0, 2.0});
    add_numbers(tall, 1, {3.0, 4.0, 5.0});
    Matrix small = Matrix::zeros(2, 2);
    EXPECT_THROW(encode_columns(tall, small), InternalFailure);

    testing::internal::GetCapturedStderr();
}

// The whole driver against the reference on a wide random table, with one
// long column of each kind of cardinality between numeric ones.
TEST(EncodeColumns, LargeRandomTableMatchesTheSerialReference) {
    constexpr std::size_t rows = 60000;
    const std::vector<std::size_t> cardinality = {0, 1, 7, 0, 1000, 40000, 0, 12};  // 0: numeric
    const std::size_t cols = cardinality.size();
    std::mt19937_64 rng(77);
    ColumnLists lists(cols);
    for (std::size_t c = 0; c < cols; ++c) {
        if (cardinality[c] == 0) {
            std::uniform_real_distribution<double> value(-1e6, 1e6);
            for (std::size_t r = 0; r < rows; ++r) lists.add_number(c, value(rng));
        } else {
            lists.text_column(c) = random_column(rng, random_values(rng, cardinality[c]), rows);
        }
    }
    Matrix out = Matrix::zeros(rows, cols);
    ColumnLists encoded = lists;  // whose texts are freed as they are encoded
    EncodingInfo info = encode_columns(encoded, out);

    std::vector<std::size_t> text_columns;
    for (std::size_t c = 0; c < cols; ++c) {
        SCOPED_TRACE(c);
        if (cardinality[c] == 0) {
            for (std::size_t r = 0; r < rows; ++r)
                ASSERT_EQ(bits_of(out.at(r, c)), bits_of(lists.numbers(c)[r])) << "row " << r;
            continue;
        }
        text_columns.push_back(c);
        auto reference = reference_encode(lists.texts(c));
        for (std::size_t r = 0; r < rows; ++r)
            ASSERT_EQ(bits_of(out.at(r, c)), bits_of(reference.codes[r])) << "row " << r;
        ASSERT_TRUE(info.labels.contains(c));
        expect_labels(info.labels.at(c), reference.forward);
    }
    EXPECT_EQ(info.object_columns, text_columns);
    EXPECT_EQ(info.labels.size(), text_columns.size());
}

}  // namespace
