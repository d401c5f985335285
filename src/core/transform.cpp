#include "transform.hpp"

#include "failure.hpp"
#include "label_encode.hpp"
#include "pool.hpp"
#include "render_number.hpp"

#include <algorithm>
#include <vector>

namespace kavrel {

namespace {

// The same NaN that encode writes for a marker, so that transform gives
// encode's result bit for bit.
double code_of(const LabelIndex& labels, std::string_view text) noexcept {
    std::optional<std::size_t> code = labels.find(text);
    return code ? static_cast<double>(*code) : missing_code;
}

}  // namespace

void code_by_labels(const TextColumn& cells, const LabelIndex& labels, std::span<double> out) {
    if (out.size() != cells.size()) fail(msg::index_out_of_bounds(out.size(), cells.size()));
    const std::size_t n_entries = cells.entry_count();
    if (n_entries == cells.size()) {
        // No cell shares another's entry: cell i is entry i.
        pool::parallel_for(n_entries, [&](std::size_t begin, std::size_t end) {
            for (std::size_t k = begin; k != end; ++k) out[k] = code_of(labels, cells.entry(k));
        });
        return;
    }
    // Cells that repeat a text share its entry: look up once per entry.
    std::vector<double> entry_codes(n_entries);
    pool::parallel_for(n_entries, [&](std::size_t begin, std::size_t end) {
        for (std::size_t k = begin; k != end; ++k) entry_codes[k] = code_of(labels, cells.entry(k));
    });
    pool::parallel_for(cells.size(), [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i != end; ++i) out[i] = entry_codes[cells.entry_of(i)];
    });
}

TableTransform::TableTransform(const ColumnLists& lists, const EncodingInfo& learned, LabelIndexes& indexes,
                               Matrix& out)
    : lists_(lists),
      learned_(learned),
      indexes_(indexes),
      out_(out),
      jobs_(lists.n_cols(), [this](std::size_t c) { column(c); }) {
    if (lists.n_cols() != out.n_cols()) fail(msg::index_out_of_bounds(out.n_cols(), lists.n_cols()));
}

std::span<const double> TableTransform::numbers_of(std::size_t c) const {
    const std::size_t n_rows = out_.n_rows();
    const NumberList& listed = lists_.numbers(c);
    if (listed.size() == n_rows) return listed;
    // A column read whole whose numbers the lists sent to the result.
    if (listed.empty() && lists_.numbers_out() == out_.data() && lists_.n_rows() == n_rows)
        return {out_.column(c), n_rows};
    fail(msg::index_out_of_bounds(n_rows, listed.size()));
}

void TableTransform::column(std::size_t c) {
    const std::size_t n_rows = out_.n_rows();
    std::span<double> into(out_.column(c), n_rows);
    const bool learned_text = learned_.labels.contains(c);
    if (lists_.is_text(c)) {
        if (!learned_text) fail(msg::no_entry_found);
        code_by_labels(lists_.texts(c), indexes_.of(c), into);
        return;
    }
    std::span<const double> numbers = numbers_of(c);
    if (!learned_text) {
        if (numbers.data() == into.data()) return;
        pool::parallel_for(n_rows, [&](std::size_t begin, std::size_t end) {
            std::copy(numbers.begin() + begin, numbers.begin() + end, into.begin() + begin);
        });
        return;
    }
    // Numbers of a column learned as text: coded by the texts they would
    // have had in a column that turned text, in place where they lie.
    const LabelIndex& labels = indexes_.of(c);
    pool::parallel_for(n_rows, [&](std::size_t begin, std::size_t end) {
        for (std::size_t r = begin; r != end; ++r) into[r] = code_of(labels, render_number(numbers[r]));
    });
}

}  // namespace kavrel
