// What ColumnLists keeps true whichever road writes it.
#include "core/column_lists.hpp"
#include "core/failure.hpp"
#include "helpers.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

namespace kavrel {
namespace {

using test_helpers::add_numbers;

std::vector<std::string> texts_of(const ColumnLists& lists, std::size_t c) {
    std::vector<std::string> all;
    for (std::size_t i = 0; i < lists.texts(c).size(); ++i) all.emplace_back(lists.texts(c)[i]);
    return all;
}

TEST(ColumnLists, TurningTextRendersTheNumbersReadSoFarOnce) {
    ColumnLists lists(2);
    add_numbers(lists, 0, {1.0, 1e23, std::nan(""), -0.0});
    add_numbers(lists, 1, {2.5});
    lists.reserve_texts(1, 8);  // room only: a column turns at its first text
    lists.text_column(0).push_back("x");
    // A text column stays one: asking again renders nothing twice.
    lists.text_column(0).push_back("1.0");
    EXPECT_TRUE(lists.is_text(0));
    EXPECT_TRUE(lists.numbers(0).empty());
    EXPECT_EQ(texts_of(lists, 0),
              (std::vector<std::string>{"1", "100000000000000000000000", "NaN", "-0", "x", "1.0"}));
    EXPECT_EQ(lists.size(0), 6u);
    // The other column is untouched.
    EXPECT_FALSE(lists.is_text(1));
    EXPECT_EQ(lists.numbers(1), NumberList{2.5});
    EXPECT_TRUE(lists.texts(1).empty());
}

// Transform names the row that made a column of numbers text.
TEST(ColumnLists, TextFromIsTheFirstNonNumber) {
    ColumnLists lists(2);
    add_numbers(lists, 0, {1.0, 2.0});
    lists.text_column(0).push_back("x");
    lists.text_column(1).push_back("y");
    EXPECT_EQ(lists.text_from(0), 2u);
    EXPECT_EQ(lists.text_from(1), 0u);
    EXPECT_THROW(lists.text_from(2), InternalFailure);
}

TEST(ColumnLists, ColumnReadHandsNumbersToTheResultAndTextsOn) {
    std::vector<double> result(3 * 3, -1.0);
    std::vector<std::size_t> told;
    ColumnLists lists(3);
    lists.write_numbers_to(result.data(), 3);
    lists.on_text_read([&](std::size_t c) { told.push_back(c); });

    add_numbers(lists, 0, {1.0, 2.0, 3.0});
    lists.column_read(0);
    EXPECT_EQ(std::vector<double>(result.begin(), result.begin() + 3), (std::vector<double>{1.0, 2.0, 3.0}));
    EXPECT_TRUE(lists.numbers(0).empty());  // freed once in the result

    lists.text_column(1) = test_helpers::column_of({"a", "b", "c"});
    lists.column_read(1);
    EXPECT_EQ(told, std::vector<std::size_t>{1});
    EXPECT_EQ(result[3], -1.0);

    // A column read whole at once is written where it belongs.
    EXPECT_EQ(lists.number_column(2), result.data() + 6);

    // Without a result the numbers stay in their list, n_rows long.
    ColumnLists kept(2);
    kept.write_numbers_to(nullptr, 4);
    const double* in_list = kept.number_column(1);
    EXPECT_EQ(in_list, kept.numbers(1).data());
    EXPECT_EQ(kept.numbers(1).size(), 4u);
    kept.column_read(1);
    EXPECT_EQ(kept.numbers(1).size(), 4u);
}

TEST(ColumnLists, ResetForgetsCellsAndOwnersButKeepsWhereThingsGo) {
    std::vector<double> result(2, -1.0);
    std::vector<std::size_t> told;
    auto owner = std::make_shared<int>(7);
    std::weak_ptr<int> watched = owner;
    ColumnLists lists(1);
    lists.write_numbers_to(result.data(), 2);
    lists.on_text_read([&](std::size_t c) { told.push_back(c); });
    lists.keep_alive(std::move(owner));
    lists.text_column(0).push_back("a");
    EXPECT_FALSE(watched.expired());

    lists.reset();
    EXPECT_TRUE(watched.expired());
    EXPECT_FALSE(lists.is_text(0));
    EXPECT_EQ(lists.size(0), 0u);
    add_numbers(lists, 0, {5.0, 6.0});
    lists.column_read(0);
    EXPECT_EQ(result, (std::vector<double>{5.0, 6.0}));
    lists.text_column(0);
    lists.column_read(0);
    EXPECT_EQ(told, std::vector<std::size_t>{0});
}

TEST(ColumnLists, ColumnsItDoesNotHaveAreInternalFailures) {
    testing::internal::CaptureStderr();
    ColumnLists lists(2);
    EXPECT_THROW(lists.is_text(2), InternalFailure);
    EXPECT_THROW(lists.numbers(2), InternalFailure);
    EXPECT_THROW(lists.texts(5), InternalFailure);
    testing::internal::GetCapturedStderr();
}

}  // namespace
}  // namespace kavrel
