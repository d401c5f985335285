#include "column_worker.hpp"

#include "failure.hpp"
#include "label_encode.hpp"
#include "pool.hpp"
#include "slot_order.hpp"

#include <tbb/blocked_range.h>
#include <tbb/parallel_reduce.h>

#include <algorithm>
#include <string>
#include <utility>

namespace kavrel {

namespace {

using ForwardEntry = std::pair<std::string_view, const std::optional<std::uint64_t>*>;
using ReverseEntry = std::pair<std::uint64_t, std::string_view>;

// The filter of build_reverse_map as a parallel_reduce body: each body
// gathers the coded entries of its pieces; oneTBB joins a body with the body
// of the range to its right, so the joined list keeps the snapshot's order.
class CodedEntries {
public:
    explicit CodedEntries(const std::vector<ForwardEntry>& snapshot) : snapshot_(snapshot) {}
    CodedEntries(CodedEntries& other, tbb::split) : snapshot_(other.snapshot_) {}

    void operator()(const tbb::blocked_range<std::size_t>& r) {
        for (std::size_t i = r.begin(); i != r.end(); ++i) {
            const auto& [text, code] = snapshot_[i];
            if (*code) gathered.emplace_back(**code, text);
        }
    }
    void join(CodedEntries& right) {
        if (gathered.empty()) {
            gathered = std::move(right.gathered);
            return;
        }
        gathered.insert(gathered.end(), std::make_move_iterator(right.gathered.begin()),
                        std::make_move_iterator(right.gathered.end()));
    }

    std::vector<ReverseEntry> gathered;

private:
    const std::vector<ForwardEntry>& snapshot_;
};

}  // namespace

std::optional<ColumnResult> encode_column(const ColumnContext& ctx, std::size_t col) {
    const ColumnLists& lists = ctx.lists;
    if (!checked_at(lists.column_is_text, col)) {
        copy_numbers(ctx, col, checked_at(lists.number_cells, col));
        return std::nullopt;
    }
    // No bounds check per element: every column list holds at most n_rows
    // values (encode_columns checks this once before its loop).
    const TextColumn& cells = checked_at(lists.text_cells, col);
    ForwardMap forward = label_encode(cells, std::span<double>(ctx.out.column(col), cells.size()));
    // Holds references into the forward map, so it runs before the map moves.
    ReverseMap reverse = build_reverse_map(forward);
    return ColumnResult{col, std::move(forward), std::move(reverse)};
}

void copy_numbers(const ColumnContext& ctx, std::size_t col, const std::vector<double>& values) {
    double* out = ctx.out.column(col);
    pool::parallel_for(values.size(), [&](std::size_t begin, std::size_t end) {
        std::copy(values.begin() + begin, values.begin() + end, out + begin);
    });
}

ReverseMap build_reverse_map(const ForwardMap& forward) {
    std::vector<ForwardEntry> snapshot;
    snapshot.reserve(forward.size());
    for (const auto& [text, code] : forward) snapshot.emplace_back(text, &code);

    CodedEntries filter(snapshot);
    if (!snapshot.empty()) {
        pool::execute(
            [&] { tbb::parallel_reduce(tbb::blocked_range<std::size_t>(0, snapshot.size()), filter); });
    }

    // Inserted in slot order; its strings are the forward map's: the same
    // block, shared.
    const std::vector<ReverseEntry>& gathered = filter.gathered;
    ReverseMap reverse;
    reverse.text = forward.text;
    const auto hasher = reverse.hash_function();
    const std::vector<SlotItem> by_slot =
        in_slot_order(gathered.size(), [&](std::size_t i) { return hasher(gathered[i].first); });
    reverse.reserve(gathered.size());
    constexpr std::size_t ahead = 8;
    for (std::size_t i = 0; i < by_slot.size(); ++i) {
        if (i + ahead < by_slot.size()) __builtin_prefetch(&gathered[by_slot[i + ahead].index]);
        const auto& [code, text] = gathered[by_slot[i].index];
        reverse.emplace(code, text);
    }
    return reverse;
}

}  // namespace kavrel
