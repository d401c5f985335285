#include "label_index.hpp"

#include "failure.hpp"
#include "label_encode.hpp"

#include <algorithm>
#include <limits>
#include <stdexcept>

namespace kavrel {

LabelIndex::LabelIndex(const Labels& labels) : codes_(0, ByText{&labels, {}}, ByText{&labels, {}}) {
    if (labels.size() > std::numeric_limits<std::uint32_t>::max()) throw std::length_error("label index");
    // Sized once: growing would hash every label again.
    codes_.reserve(labels.size());
    for (std::size_t k = 0; k < labels.size(); ++k) codes_.insert(static_cast<std::uint32_t>(k));
}

std::optional<std::size_t> LabelIndex::find(std::string_view text) const noexcept {
    if (is_missing_marker(text)) return std::nullopt;
    auto found = codes_.find(text);
    if (found == codes_.end()) return std::nullopt;
    return *found;
}

LabelIndexes::LabelIndexes(const EncodingInfo& learned)
    : learned_(learned), made_(new std::atomic<const LabelIndex*>[learned.object_columns.size()]) {
    for (std::size_t k = 0; k < learned.object_columns.size(); ++k) made_[k].store(nullptr, std::memory_order_relaxed);
}

LabelIndexes::~LabelIndexes() {
    for (std::size_t k = 0; k < learned_.object_columns.size(); ++k) delete made_[k].load(std::memory_order_relaxed);
}

const LabelIndex& LabelIndexes::of(std::size_t col) {
    const std::vector<std::size_t>& columns = learned_.object_columns;
    auto at = std::lower_bound(columns.begin(), columns.end(), col);
    auto labels = learned_.labels.find(col);
    if (at == columns.end() || *at != col || labels == learned_.labels.end()) fail(msg::no_entry_found);
    std::atomic<const LabelIndex*>& slot = made_[static_cast<std::size_t>(at - columns.begin())];
    if (const LabelIndex* made = slot.load(std::memory_order_acquire)) return *made;
    auto mine = std::make_unique<const LabelIndex>(labels->second);
    const LabelIndex* expected = nullptr;
    if (slot.compare_exchange_strong(expected, mine.get(), std::memory_order_acq_rel)) return *mine.release();
    return *expected;
}

}  // namespace kavrel
