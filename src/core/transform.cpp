#include "transform.hpp"

#include "failure.hpp"
#include "label_encode.hpp"
#include "pool.hpp"
#include "render_number.hpp"

#include <algorithm>
#include <mutex>
#include <vector>

namespace kavrel {

namespace {

// By default the same NaN that encode writes for a marker, so that
// transform gives encode's result bit for bit.  Text `index` (an entry or a
// row) that is no label is offered to `first`.
inline double code_of(const LabelIndex& labels, std::string_view text, const Coding& coding, FirstUnknown& first,
                      std::size_t index) noexcept {
    std::optional<std::size_t> code = labels.find(text);
    if (code) [[likely]]
        return static_cast<double>(*code);
    if (is_missing_marker(text)) return coding.missing;
    if (coding.unknown_fails) first.offer(index);
    return coding.unknown;
}

}  // namespace

std::optional<std::string> code_by_labels(const TextColumn& cells, const LabelIndex& labels, std::span<double> out,
                                          const Coding& coding) {
    if (out.size() != cells.size()) fail(msg::index_out_of_bounds(out.size(), cells.size()));
    const std::size_t n_entries = cells.entry_count();
    // Entries are made in cell order, so the lowest entry without a label
    // is the text of the first cell without one.
    FirstUnknown first;
    if (n_entries == cells.size()) {
        // No cell shares another's entry: cell i is entry i.
        pool::parallel_for(n_entries, [&](std::size_t begin, std::size_t end) {
            for (std::size_t k = begin; k != end; ++k) out[k] = code_of(labels, cells.entry(k), coding, first, k);
        });
    } else {
        // Cells that repeat a text share its entry: look up once per entry.
        std::vector<double> entry_codes(n_entries);
        pool::parallel_for(n_entries, [&](std::size_t begin, std::size_t end) {
            for (std::size_t k = begin; k != end; ++k)
                entry_codes[k] = code_of(labels, cells.entry(k), coding, first, k);
        });
        pool::parallel_for(cells.size(), [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i != end; ++i) out[i] = entry_codes[cells.entry_of(i)];
        });
    }
    if (first.get() == FirstUnknown::none) return std::nullopt;
    return std::string(cells.entry(first.get()));
}

TableTransform::TableTransform(const ColumnLists& lists, const EncodingInfo& learned, LabelIndexes& indexes,
                               Matrix& out, const Coding& coding)
    : lists_(lists),
      learned_(learned),
      indexes_(indexes),
      out_(out),
      coding_(coding),
      unknown_(new std::optional<std::string>[lists.n_cols()]),
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
        unknown_[c] = code_by_labels(lists_.texts(c), indexes_.of(c), into, coding_);
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
    // The numbers may lie where their codes go: the first unknown one is
    // kept before its code overwrites it.
    const LabelIndex& labels = indexes_.of(c);
    FirstUnknown first;
    std::mutex kept_lock;
    double kept = 0;  // the number of row first.get(), under kept_lock
    pool::parallel_for(n_rows, [&](std::size_t begin, std::size_t end) {
        for (std::size_t r = begin; r != end; ++r) {
            const double number = numbers[r];
            const std::size_t before = first.get();
            into[r] = code_of(labels, render_number(number), coding_, first, r);
            if (first.get() != before && coding_.unknown_fails) [[unlikely]] {
                std::lock_guard<std::mutex> hold(kept_lock);
                if (first.get() == r) kept = number;
            }
        }
    });
    if (first.get() != FirstUnknown::none) unknown_[c] = render_number(kept);
}

std::optional<std::pair<std::size_t, std::string>> TableTransform::first_unknown() const {
    for (std::size_t c = 0; c < lists_.n_cols(); ++c)
        if (unknown_[c]) return std::pair{c, *unknown_[c]};
    return std::nullopt;
}

}  // namespace kavrel
