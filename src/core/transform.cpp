#include "transform.hpp"

#include "failure.hpp"
#include "hashing.hpp"
#include "label_encode.hpp"
#include "pool.hpp"

#include <boost/unordered/unordered_flat_map.hpp>

#include <algorithm>
#include <exception>
#include <vector>

namespace kavrel {

std::optional<std::size_t> find_label(const Labels& labels, std::string_view text) noexcept {
    // A marker is never learned; not searching for it keeps that true even
    // for labels handed in from elsewhere.
    if (is_missing_marker(text)) return std::nullopt;
    // string_view compares through char_traits<char>: bytes as unsigned
    // char, the order label_encode sorts by.
    std::size_t low = 0, high = labels.size();
    while (low < high) {
        const std::size_t mid = low + (high - low) / 2;
        if (labels[mid] < text)
            low = mid + 1;
        else
            high = mid;
    }
    if (low < labels.size() && labels[low] == text) return low;
    return std::nullopt;
}

namespace {

double code_of(const Labels& labels, std::string_view text) noexcept {
    std::optional<std::size_t> code = find_label(labels, text);
    // The same NaN that encode writes for a marker, so that transform gives
    // encode's result bit for bit.
    return code ? static_cast<double>(*code) : missing_code;
}

// The codes of the texts one piece of a loop has met.  A column repeats
// its texts far more often than it has labels, and a hash lookup costs less
// than the comparisons of a search; the map stops growing at `limit`, so
// that a column of texts that hardly repeat costs no more than its search.
class PieceCodes {
public:
    explicit PieceCodes(const Labels& labels) : labels_(labels) {}

    double operator()(std::string_view text) {
        if (auto known = known_.find(text); known != known_.end()) return known->second;
        const double code = code_of(labels_, text);
        if (known_.size() < limit) known_.emplace(text, code);
        return code;
    }

private:
    static constexpr std::size_t limit = 4096;
    const Labels& labels_;
    boost::unordered_flat_map<std::string_view, double, StringHash, StringEqual> known_;
};

}  // namespace

void code_by_labels(const TextColumn& cells, const Labels& labels, std::span<double> out) {
    if (out.size() != cells.size()) fail(msg::index_out_of_bounds(out.size(), cells.size()));
    const std::size_t n_entries = cells.entry_count();
    if (n_entries == cells.size()) {
        // No cell shares another's entry: cell i is entry i.
        pool::parallel_for(n_entries, [&](std::size_t begin, std::size_t end) {
            PieceCodes codes(labels);
            for (std::size_t k = begin; k != end; ++k) out[k] = codes(cells.entry(k));
        });
        return;
    }
    // Cells that repeat a text share its entry: search once per entry.
    std::vector<double> entry_codes(n_entries);
    pool::parallel_for(n_entries, [&](std::size_t begin, std::size_t end) {
        PieceCodes codes(labels);
        for (std::size_t k = begin; k != end; ++k) entry_codes[k] = codes(cells.entry(k));
    });
    pool::parallel_for(cells.size(), [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i != end; ++i) out[i] = entry_codes[cells.entry_of(i)];
    });
}

void transform_columns(const ColumnLists& lists, const EncodingInfo& learned, Matrix& out) {
    const std::size_t n_cols = lists.n_cols(), n_rows = out.n_rows();
    if (n_cols != out.n_cols()) fail(msg::index_out_of_bounds(out.n_cols(), n_cols));
    auto column = [&](std::size_t c) {
        if (lists.size(c) != n_rows) fail(msg::index_out_of_bounds(n_rows, lists.size(c)));
        std::span<double> into(out.column(c), n_rows);
        auto found = learned.labels.find(c);
        if (found != learned.labels.end()) {
            if (!lists.is_text(c)) fail(msg::no_entry_found);
            code_by_labels(lists.texts(c), found->second, into);
            return;
        }
        if (lists.is_text(c)) fail(msg::no_entry_found);
        const std::vector<double>& numbers = lists.numbers(c);
        pool::parallel_for(n_rows, [&](std::size_t begin, std::size_t end) {
            std::copy(numbers.begin() + begin, numbers.begin() + end, into.begin() + begin);
        });
    };
    // One hand-over to the pool for the whole table: the loops nested in it
    // start on pool threads.
    std::vector<std::exception_ptr> failures(n_cols);
    pool::execute([&] {
        pool::parallel_for(n_cols, [&](std::size_t begin, std::size_t end) {
            for (std::size_t c = begin; c != end; ++c) {
                try {
                    column(c);
                } catch (...) {
                    failures[c] = std::current_exception();
                }
            }
        });
    });
    // The lowest failing column's failure, however the pool ran them.
    for (const std::exception_ptr& failure : failures)
        if (failure) std::rethrow_exception(failure);
}

}  // namespace kavrel
