// Label encoding, hash first: one pass over the cells finds the distinct
// strings with small local hash maps, only the d distinct strings are
// sorted, and a second pass turns each cell's local id into its code.  For
// the usual column (d much smaller than n) this does O(n) hashing instead of
// sorting n views.  A column with so many distinct strings that the local
// maps would outgrow the caches is first spread over hash partitions, each
// of which then finds its own strings in a map that fits.
#include "label_encode.hpp"

#include "failure.hpp"
#include "pool.hpp"

#include <tbb/blocked_range.h>
#include <tbb/parallel_reduce.h>
#include <tbb/parallel_sort.h>

#include <boost/unordered/unordered_flat_map.hpp>
#include <boost/unordered/unordered_flat_set.hpp>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <numeric>
#include <stdexcept>
#include <string>

namespace kavrel {

namespace {

static_assert(std::endian::native == std::endian::little, "prefix loads assume little-endian");

// A cell as the local maps hold it: its first sixteen bytes (zero-padded)
// stored inline as two words, so that telling two strings of up to sixteen
// bytes apart, hashing them or ordering them never has to follow the
// pointer into the column's text, which is a cache miss when the map is
// large, nor call memcmp.
struct Key {
    std::uint64_t head;  // bytes 0 to 7
    std::uint64_t tail;  // bytes 8 to 15
    const char* data;
    std::size_t size;

    std::string_view view() const noexcept { return {data, size}; }
};

// The first min(n, 8) bytes of p, byte i in bits 8i..8i+7, the rest zero;
// never reads past p + n.
inline std::uint64_t load_prefix(const char* p, std::size_t n) noexcept {
    std::uint64_t v = 0;
    if (n >= 8) {
        std::memcpy(&v, p, 8);
    } else if (n >= 4) {
        std::uint32_t lo, hi;
        std::memcpy(&lo, p, 4);
        std::memcpy(&hi, p + n - 4, 4);
        v = lo | (std::uint64_t{hi} << (8 * (n - 4)));  // the overlap holds equal bytes
    } else if (n > 0) {
        v = std::uint64_t{static_cast<unsigned char>(p[0])} |
            std::uint64_t{static_cast<unsigned char>(p[n / 2])} << (8 * (n / 2)) |
            std::uint64_t{static_cast<unsigned char>(p[n - 1])} << (8 * (n - 1));
    }
    return v;
}

inline Key key_of(std::string_view s) noexcept {
    const char* p = s.data();
    const std::size_t n = s.size();
    if (n <= 8) return {load_prefix(p, n), 0, p, n};
    std::uint64_t head, tail;
    std::memcpy(&head, p, 8);
    if (n >= 16) {
        std::memcpy(&tail, p + 8, 8);
    } else {
        // Bytes n-8 .. n-1, shifted so that byte 8 comes first: the bytes
        // before it, which the head holds, fall out.
        std::memcpy(&tail, p + n - 8, 8);
        tail >>= 8 * (16 - n);
    }
    return {head, tail, p, n};
}

// What an encoding works on: the entries of a column, each text stored once
// per str object met, by number.
struct Entries {
    const TextColumn& column;

    std::size_t size() const noexcept { return column.entry_count(); }
    std::string_view operator[](std::size_t k) const noexcept { return column.entry(k); }
    Key key(std::size_t k) const noexcept { return key_of(column.entry(k)); }
    void prefetch(std::size_t k) const noexcept { column.prefetch_entry(k); }
    // For a loop over the entries listed in `listed`, at position i of
    // [.., end): the view of the one `ahead` twice further on, then the text
    // of the one `ahead` further on, which needs that view.
    void prefetch_listed(const std::uint32_t* listed, std::size_t i, std::size_t end,
                         std::size_t ahead) const noexcept {
        if (i + 2 * ahead < end) column.prefetch_entry(listed[i + 2 * ahead]);
        if (i + ahead < end) __builtin_prefetch(column.entry(listed[i + ahead]).data());
    }
};

// Seeded per map.  Up to sixteen bytes the inline words are the whole
// string: they and the size are mixed with two secret words; longer strings
// take the seeded string hash.
struct KeyHash {
    using is_avalanching = void;
    std::uint64_t seed = random_seed();
    std::uint64_t seed2 = random_seed();

    [[gnu::always_inline]] std::size_t operator()(const Key& k) const noexcept {
        if (k.size > 16) [[unlikely]]
            return hash_bytes(k.view(), seed);
        return short_hash(k.head, k.tail, k.size);
    }

    // A string of up to sixteen bytes, from its inline words.
    [[gnu::always_inline]] std::size_t short_hash(std::uint64_t head, std::uint64_t tail,
                                                  std::uint64_t size) const noexcept {
        // The high and low halves of a 128-bit product, folded (as in
        // Boost's mulx), twice, so that every input bit reaches every
        // output bit.
        auto fold = [](std::uint64_t a, std::uint64_t b) {
            const unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
            return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
        };
        const std::uint64_t x = fold(head ^ seed, tail ^ seed2 ^ (size * 0x9E3779B97F4A7C15ull));
        return fold(x ^ seed2, 0xBF58476D1CE4E5B9ull);
    }
};

struct KeyEqual {
    bool operator()(const Key& a, const Key& b) const noexcept {
        return a.head == b.head && a.tail == b.tail && a.size == b.size &&
               (a.size <= 16 || std::memcmp(a.data + 16, b.data + 16, a.size - 16) == 0);
    }
};

// Vectors whose resize leaves new elements unset, for lists written in full
// before they are read.
template <class T>
using Uninitialised = std::vector<T, LargeBufferAllocator<T, /*value_initialize=*/false>>;

using LocalMap = boost::unordered_flat_map<Key, std::uint64_t, KeyHash, KeyEqual,
                                           LargeBufferAllocator<std::pair<const Key, std::uint64_t>>>;

// Between the two passes a cell's slot of the code list holds, as raw bits,
// the segment that met the cell and the cell's id within that segment.
constexpr unsigned local_bits = 40;
constexpr std::uint64_t local_mask = (std::uint64_t{1} << local_bits) - 1;

std::uint64_t tag(std::uint64_t segment, std::uint64_t local) noexcept {
    return (segment << local_bits) | local;
}

// The distinct strings met by one body of the first pass, by local id: an
// entry that holds each, and how many of the body's cells held it, counted
// where each cell's string is found anyway, so that counting costs no pass
// of its own.  Four bytes each (a column has fewer than 2^32 entries): a
// distinct string's Key is made again from its entry when it is needed,
// which costs less than holding the Keys of a column of many distinct
// strings until the sort.
struct Segment {
    std::uint64_t id = 0;
    LargeVector<std::uint32_t> entries;
    Uninitialised<std::uint32_t> counts;  // by local id
};

// A distinct string as the first pass's map holds it: its inline words, its
// size (held up to 2^32 - 1) and its local id, 24 bytes where a Key and
// its id take 40.  The map of a column of some 50,000 strings then still
// fits a core's L2 cache, which every cell's lookup reads.  Past sixteen
// bytes its text is found through its id, in the segment's entries; such
// strings are told apart by their first sixteen bytes but rarely.
struct Slot {
    std::uint64_t head;
    std::uint64_t tail;
    std::uint32_t size;
    std::uint32_t id;

    static std::uint32_t held_size(std::size_t size) noexcept {
        return static_cast<std::uint32_t>(std::min<std::size_t>(size, UINT32_MAX));
    }
};

// A cell's Key looking for its Slot, and the Slot it makes when it finds
// none: the next local id's.
struct Probe {
    const Key& key;
    std::uint32_t id;

    operator Slot() const noexcept { return {key.head, key.tail, Slot::held_size(key.size), id}; }
};

// The Key of a Slot's string, from the segment's entries.
struct SlotKeys {
    const Entries* strings;
    const LargeVector<std::uint32_t>* entries;

    Key operator()(const Slot& s) const noexcept { return strings->key((*entries)[s.id]); }
};

// Slots hash and compare as the Keys they stand for, so that a cell's Key
// finds its Slot.
struct SlotHash {
    using is_transparent = void;
    using is_avalanching = void;
    const KeyHash* hash;
    SlotKeys key;

    std::size_t operator()(const Probe& p) const noexcept { return (*hash)(p.key); }
    std::size_t operator()(const Slot& s) const noexcept {
        if (s.size > 16) [[unlikely]]
            return (*hash)(key(s));
        return hash->short_hash(s.head, s.tail, s.size);
    }
};

struct SlotEqual {
    using is_transparent = void;
    SlotKeys key;

    bool operator()(const Key& k, const Slot& s) const noexcept {
        return k.head == s.head && k.tail == s.tail && Slot::held_size(k.size) == s.size &&
               (k.size <= 16 || KeyEqual{}(k, key(s)));
    }
    bool operator()(const Probe& p, const Slot& s) const noexcept { return (*this)(p.key, s); }
    bool operator()(const Slot& s, const Probe& p) const noexcept { return (*this)(p.key, s); }
    bool operator()(const Slot& a, const Slot& b) const noexcept {
        return a.head == b.head && a.tail == b.tail && a.size == b.size &&
               (a.size <= 16 || KeyEqual{}(key(a), key(b)));
    }
};

using SlotSet = boost::unordered_flat_set<Slot, SlotHash, SlotEqual, LargeBufferAllocator<Slot>>;

// First pass, as a parallel_reduce body.  oneTBB splits a body only when
// another thread steals part of its range, so there are about as many
// segments as steals: one on a pool of one thread.  A body keeps its own
// segment while it joins the segments of the bodies split from it.
class DistinctFinder {
public:
    DistinctFinder(const Entries& cells, double* slots, std::atomic<std::uint64_t>& next_id)
        : cells_(cells), slots_(slots), next_id_(next_id) {
        own_.id = next_id_.fetch_add(1, std::memory_order_relaxed);
    }
    DistinctFinder(DistinctFinder& other, tbb::split)
        : DistinctFinder(other.cells_, other.slots_, other.next_id_) {}

    [[gnu::flatten]] void operator()(const tbb::blocked_range<std::size_t>& rows) {
        const std::uint64_t segment = own_.id;
        for (std::size_t j = rows.begin(); j != rows.end(); ++j) {
            const Key key = key_of(cells_[j]);
            // Fewer than 2^32 entries a column, so entries and ids fit.  A
            // Slot of a text past sixteen bytes is hashed and compared
            // through the entries, which the set may do to the new one
            // while it inserts it: such a text's entry is listed first, and
            // leaves again when the text was there already.
            const auto entry = static_cast<std::uint32_t>(j);
            const bool listed_first = key.size > 16;
            if (listed_first) own_.entries.push_back(entry);
            const auto next = static_cast<std::uint32_t>(own_.entries.size() - (listed_first ? 1 : 0));
            auto [it, inserted] = local_.insert(Probe{key, next});
            if (inserted != listed_first) {
                if (inserted)
                    own_.entries.push_back(entry);
                else
                    own_.entries.pop_back();
            }
            if (inserted) own_.counts.push_back(0);
            ++own_.counts[it->id];
            slots_[j] = std::bit_cast<double>(tag(segment, it->id));
        }
    }

    void join(DistinctFinder& right) {
        joined_.push_back(std::move(right.own_));
        for (Segment& s : right.joined_) joined_.push_back(std::move(s));
        right.joined_.clear();
    }

    // Every segment, this body's own among them; empty ones left out.
    std::vector<Segment> take_segments() {
        std::vector<Segment> all;
        all.reserve(joined_.size() + 1);
        if (!own_.entries.empty()) all.push_back(std::move(own_));
        for (Segment& s : joined_)
            if (!s.entries.empty()) all.push_back(std::move(s));
        return all;
    }

private:
    const Entries& cells_;
    double* slots_;
    std::atomic<std::uint64_t>& next_id_;
    Segment own_;
    KeyHash hash_;
    // Over own_'s strings; not used once own_ has moved to another body.
    SlotSet local_{0, SlotHash{&hash_, {&cells_, &own_.entries}}, SlotEqual{{&cells_, &own_.entries}}};
    std::vector<Segment> joined_;
};

// A distinct string in the sort: its first sixteen bytes as two words with
// the first byte most significant, so that integer order is byte-wise order
// over them, its id, and an entry that holds it, to fall back on.  Sixteen
// bytes tell apart most strings that share a prefix, such as ids, without
// following the entry.
struct SortItem {
    std::uint64_t high;
    std::uint64_t low;
    std::uint32_t id;
    std::uint32_t entry;

    static SortItem of(const Key& key, std::uint32_t id, std::uint32_t entry) noexcept {
        return {__builtin_bswap64(key.head), __builtin_bswap64(key.tail), id, entry};
    }
};

// A code in four bytes, as the lists by id and by entry hold it, or no_code
// for a marker's (a column has fewer than 2^32 - 1 entries, so fewer codes).
constexpr std::uint32_t no_code = UINT32_MAX;
inline double as_code(std::uint32_t code) noexcept {
    return code == no_code ? missing_code : static_cast<double>(code);
}
// The inverse of as_code, for a code below 2^32 - 1 or a marker's NaN.
inline std::uint32_t held_code(double code) noexcept {
    return code == code ? static_cast<std::uint32_t>(code) : no_code;
}

// Whether a sorted string is a missing-value marker.  Only a string whose
// first sixteen bytes are a marker's, zero-padded, can be one, and its text
// settles it.
bool is_marker(const SortItem& item, const Entries& strings) noexcept {
    static const SortItem markers[] = {SortItem::of(key_of("<NA>"), 0, 0), SortItem::of(key_of("nan"), 0, 0),
                                       SortItem::of(key_of("NaN"), 0, 0)};
    for (const SortItem& m : markers)
        if (item.high == m.high && item.low == m.low) return is_missing_marker(strings[item.entry]);
    return false;
}

// What the first pass found: the distinct strings of the column, each once,
// by id, ready to sort, and how many cells held each; and the id of each of
// the first pass's tagged local ids.  Segment `segment_ids[s]`'s local id l
// is id id_of_local[s][l], or, where the segments share no string and their
// ids follow one another, first_id[s] + l.
struct Distinct {
    Uninitialised<SortItem> order;     // by id, until sorted
    Uninitialised<std::uint32_t> counts;  // by id; then each id's code
    std::vector<std::uint64_t> segment_ids;
    std::vector<LargeVector<std::uint32_t>> id_of_local;
    std::vector<std::size_t> first_id;  // when id_of_local is empty
};

// Segments that share no string, their lists end to end, and where each
// segment's ids begin: the ids of its local ones follow.  Each segment's
// lists are given back once copied (a lone segment's are taken over).
struct Concatenated {
    LargeVector<std::uint32_t> entries;  // by id: an entry that holds it
    Uninitialised<std::uint32_t> counts;
    std::vector<std::size_t> first_id;   // by segment
};

Concatenated concatenate(std::vector<Segment>& segments) {
    Concatenated out;
    if (segments.size() == 1) {
        out.entries = std::move(segments.front().entries);
        out.counts = std::move(segments.front().counts);
        out.first_id = {0};
        return out;
    }
    std::size_t d = 0;
    for (const Segment& segment : segments) d += segment.entries.size();
    out.entries.reserve(d);
    out.counts.reserve(d);
    for (Segment& segment : segments) {
        out.first_id.push_back(out.entries.size());
        out.entries.insert(out.entries.end(), segment.entries.begin(), segment.entries.end());
        out.counts.insert(out.counts.end(), segment.counts.begin(), segment.counts.end());
        release(segment.entries);
        release(segment.counts);
    }
    return out;
}

// The distinct strings of segments that may share strings, each once, by
// id, and into `id_of_local`, for every segment, the id of each of its
// local ids.  Parallel: strings are spread over partitions by a hash of
// their own, so each partition is merged independently, in a map small
// enough to stay in cache; the partitions share no string.
Concatenated merge_segments(const Entries& strings, std::vector<Segment>& segments,
                            std::vector<LargeVector<std::uint32_t>>& id_of_local) {
    constexpr unsigned partition_bits = 6;
    constexpr std::size_t partitions = std::size_t{1} << partition_bits;
    const std::size_t k = segments.size();
    const KeyHash spread;  // its own seed, unrelated to the partition maps'

    // buckets[s * partitions + p]: the local ids of segment s in partition p.
    std::vector<std::vector<std::uint32_t>> buckets(k * partitions);
    pool::parallel_for(k, [&](std::size_t begin, std::size_t end) {
        for (std::size_t s = begin; s != end; ++s) {
            const LargeVector<std::uint32_t>& entries = segments[s].entries;
            for (std::size_t l = 0; l < entries.size(); ++l)
                buckets[s * partitions + (spread(strings.key(entries[l])) >> (64 - partition_bits))].push_back(
                    static_cast<std::uint32_t>(l));
        }
    });

    id_of_local.resize(k);
    for (std::size_t s = 0; s < k; ++s) id_of_local[s].resize(segments[s].entries.size());
    // Ids within their partition first.
    std::vector<Segment> parts(partitions);
    pool::parallel_for(partitions, [&](std::size_t begin, std::size_t end) {
        for (std::size_t p = begin; p != end; ++p) {
            std::size_t largest = 0;
            for (std::size_t s = 0; s < k; ++s)
                largest = std::max(largest, buckets[s * partitions + p].size());
            LocalMap map;
            map.reserve(largest);
            LargeVector<std::uint32_t>& entries = parts[p].entries;
            Uninitialised<std::uint32_t>& counts = parts[p].counts;
            for (std::size_t s = 0; s < k; ++s) {
                for (std::uint32_t l : buckets[s * partitions + p]) {
                    const std::uint32_t entry = segments[s].entries[l];
                    auto [it, inserted] = map.try_emplace(strings.key(entry), entries.size());
                    if (inserted) {
                        entries.push_back(entry);
                        counts.push_back(0);
                    }
                    counts[it->second] += segments[s].counts[l];
                    id_of_local[s][l] = static_cast<std::uint32_t>(it->second);
                }
            }
        }
    });
    for (Segment& segment : segments) {
        release(segment.entries);
        release(segment.counts);
    }

    Concatenated merged = concatenate(parts);
    pool::parallel_for(k * partitions, [&](std::size_t begin, std::size_t end) {
        for (std::size_t b = begin; b != end; ++b) {
            LargeVector<std::uint32_t>& ids = id_of_local[b / partitions];
            const auto base = static_cast<std::uint32_t>(merged.first_id[b % partitions]);
            for (std::uint32_t l : buckets[b]) ids[l] += base;
        }
    });
    return merged;
}

// The sort item of every id, whose entries are `entries`.
Uninitialised<SortItem> sort_items(const Entries& strings, const LargeVector<std::uint32_t>& entries) {
    Uninitialised<SortItem> order(entries.size());
    pool::parallel_for(entries.size(), [&](std::size_t begin, std::size_t end) {
        constexpr std::size_t ahead = 16;
        for (std::size_t g = begin; g != end; ++g) {
            strings.prefetch_listed(entries.data(), g, end, ahead);
            order[g] = SortItem::of(strings.key(entries[g]), static_cast<std::uint32_t>(g), entries[g]);
        }
    });
    return order;
}

// First pass for the usual column: local maps over the cells, in parallel,
// then their segments merged.
Distinct find_by_segments(const Entries& strings, double* slots) {
    std::atomic<std::uint64_t> next_id{0};
    DistinctFinder finder(strings, slots, next_id);
    pool::parallel_reduce(strings.size(), finder);
    std::vector<Segment> segments = finder.take_segments();

    Distinct found;
    for (const Segment& s : segments) found.segment_ids.push_back(s.id);
    Concatenated distinct;
    if (segments.size() == 1) {  // its local ids are the ids
        distinct = concatenate(segments);
        found.first_id = std::move(distinct.first_id);
    } else {
        distinct = merge_segments(strings, segments, found.id_of_local);
    }
    found.counts = std::move(distinct.counts);
    found.order = sort_items(strings, distinct.entries);
    return found;
}

// Whether the column likely holds more distinct strings than a local map
// can keep in the caches.  Estimated from the repeats within a sample spread
// over the column: among s cells drawn from d equally common strings, about
// s * s / (2 * d) repeat an earlier one.
bool many_distinct(const Entries& strings) {
    constexpr std::size_t sample = 16384;
    constexpr std::size_t many = std::size_t{1} << 18;
    const std::size_t n = strings.size();
    if (n < 2 * sample) return false;
    boost::unordered_flat_set<std::string_view, StringHash, StringEqual> seen;
    seen.reserve(sample);
    for (std::size_t i = 0; i < sample; ++i) seen.insert(strings[i * n / sample]);
    const std::size_t repeats = sample - seen.size();
    return repeats < sample * sample / (2 * many);
}

// First pass for a column of many distinct strings, whose local maps would
// outgrow the caches and miss on nearly every cell.  Each cell goes to one of
// 256 partitions by a hash of its own, in parallel over chunks of rows; then
// each partition, in parallel, finds its distinct strings in a map small
// enough for the caches.  A partition is a segment whose strings no other
// segment holds.
Distinct find_by_partition(const Entries& strings, double* slots) {
    constexpr unsigned partition_bits = 8;
    constexpr std::size_t partitions = std::size_t{1} << partition_bits;
    constexpr std::size_t chunk = std::size_t{1} << 16;
    const std::size_t n = strings.size();
    const std::size_t chunks = (n + chunk - 1) / chunk;
    const KeyHash spread;  // its own seed, unrelated to the partition maps'

    // buckets[k * partitions + p]: the rows of chunk k in partition p, in
    // row order, four bytes each (a column has fewer than 2^32 entries):
    // the partition finds their texts again, which costs less than holding
    // every cell's Key meanwhile.
    std::vector<std::vector<std::uint32_t>> buckets(chunks * partitions);
    pool::parallel_for(chunks, [&](std::size_t begin, std::size_t end) {
        for (std::size_t k = begin; k != end; ++k) {
            std::vector<std::uint32_t>* mine = &buckets[k * partitions];
            const std::size_t first = k * chunk, last = std::min(n, first + chunk);
            // Room for an even share and then some, so that few buckets grow.
            for (std::size_t p = 0; p < partitions; ++p)
                mine[p].reserve((last - first) / partitions * 5 / 4 + 16);
            for (std::size_t j = first; j != last; ++j)
                mine[spread(key_of(strings[j])) >> (64 - partition_bits)].push_back(static_cast<std::uint32_t>(j));
        }
    });

    std::vector<Segment> segments(partitions);
    pool::parallel_for(partitions, [&](std::size_t begin, std::size_t end) {
        constexpr std::size_t ahead = 8;
        for (std::size_t p = begin; p != end; ++p) {
            std::size_t cells = 0;
            for (std::size_t k = 0; k < chunks; ++k) cells += buckets[k * partitions + p].size();
            Segment& segment = segments[p];
            segment.id = p;
            // Nearly every text of such a column is distinct: room for all.
            segment.entries.reserve(cells);
            segment.counts.reserve(cells);
            LocalMap map;
            map.reserve(cells);
            for (std::size_t k = 0; k < chunks; ++k) {
                std::vector<std::uint32_t>& bucket = buckets[k * partitions + p];
                for (std::size_t i = 0; i < bucket.size(); ++i) {
                    if (i + ahead < bucket.size()) __builtin_prefetch(strings[bucket[i + ahead]].data());
                    const std::uint32_t row = bucket[i];
                    auto [it, inserted] = map.try_emplace(strings.key(row), segment.entries.size());
                    if (inserted) {
                        segment.entries.push_back(row);
                        segment.counts.push_back(0);
                    }
                    ++segment.counts[it->second];
                    slots[row] = std::bit_cast<double>(tag(p, it->second));
                }
                release(bucket);
            }
        }
    });

    // Partitions share no string: their ids follow one another.
    Distinct found;
    for (const Segment& segment : segments) found.segment_ids.push_back(segment.id);
    Concatenated distinct = concatenate(segments);
    const LargeVector<std::uint32_t>& entries = distinct.entries;
    const std::size_t d = entries.size();
    found.counts = std::move(distinct.counts);
    found.first_id = std::move(distinct.first_id);
    // Where most cells hold a string of their own, each id's sort item is
    // made by the cell that is its listed entry (its first), in a pass over
    // the cells in order: the texts are read in the order they lie, not
    // partition by partition.  Where most cells repeat one, that pass would
    // look at every cell for a few: the entries are followed instead.
    if (2 * d <= n) {
        found.order = sort_items(strings, entries);
        return found;
    }
    found.order.resize(d);
    pool::parallel_for(n, [&](std::size_t begin, std::size_t end) {
        const std::size_t* first_id = found.first_id.data();
        for (std::size_t j = begin; j != end; ++j) {
            const std::uint64_t bits = std::bit_cast<std::uint64_t>(slots[j]);
            const std::size_t id = first_id[bits >> local_bits] + (bits & local_mask);
            if (entries[id] == j)
                found.order[id] = SortItem::of(strings.key(j), static_cast<std::uint32_t>(id), entries[id]);
        }
    });
    return found;
}

// Writes the text of a sorted string of at most sixteen bytes, `size`
// bytes, from the first sixteen bytes its item holds: the item stands in
// for the text, which lies elsewhere in the column, a cache miss away.
// Stores only within [dst, dst + size).
inline void write_held_text(const SortItem& item, char* dst, std::size_t size) noexcept {
    char held[16];
    const std::uint64_t head = __builtin_bswap64(item.high), tail = __builtin_bswap64(item.low);
    std::memcpy(held, &head, 8);
    std::memcpy(held + 8, &tail, 8);
    if (size >= 8) {  // two stores that overlap where size < 16
        std::memcpy(dst, held, 8);
        std::memcpy(dst + size - 8, held + size - 8, 8);
    } else if (size >= 4) {
        std::memcpy(dst, held, 4);
        std::memcpy(dst + size - 4, held + size - 4, 4);
    } else {
        for (std::size_t i = 0; i < size; ++i) dst[i] = held[i];
    }
}

// The codes in sorted order, in parallel over chunks of it: the labels by
// code, their bytes end to end, with how many cells held each into `counts`,
// taken from `by_id`, how many held each id, which then holds each id's
// code instead (no_code for a marker).  A chunk's first code is the count
// of the labels before it.
Labels code_in_order(const Entries& strings, const Uninitialised<SortItem>& order,
                     Uninitialised<std::uint32_t>& by_id, Counts& counts) {
    constexpr std::size_t chunk = std::size_t{1} << 14, ahead = 16;
    const std::size_t d = order.size();
    const std::size_t chunks = (d + chunk - 1) / chunk;
    auto each_chunk = [&](auto&& body) {
        pool::parallel_for(chunks, [&](std::size_t begin, std::size_t end) {
            for (std::size_t c = begin; c != end; ++c) body(c * chunk, std::min(d, (c + 1) * chunk), c);
        });
    };
    std::vector<std::size_t> first_code(chunks + 1, 0);
    each_chunk([&](std::size_t begin, std::size_t end, std::size_t c) {
        std::size_t labels = 0;
        for (std::size_t i = begin; i != end; ++i) labels += is_marker(order[i], strings) ? 0 : 1;
        first_code[c + 1] = labels;
    });
    std::partial_sum(first_code.begin(), first_code.end(), first_code.begin());
    const std::size_t m = first_code.back();

    counts.resize(m);
    std::vector<std::uint64_t> ends(m);
    each_chunk([&](std::size_t begin, std::size_t end, std::size_t c) {
        std::size_t k = first_code[c];
        for (std::size_t i = begin; i != end; ++i) {
            if (i + ahead < end) strings.prefetch(order[i + ahead].entry);
            const SortItem& item = order[i];
            if (is_marker(item, strings)) {
                by_id[item.id] = no_code;
                continue;
            }
            counts[k] = by_id[item.id];
            by_id[item.id] = static_cast<std::uint32_t>(k);  // fewer codes than entries, so below 2^32 - 1
            ends[k] = strings[item.entry].size();
            ++k;
        }
    });
    std::inclusive_scan(ends.begin(), ends.end(), ends.begin());

    std::string text(m == 0 ? 0 : ends.back(), '\0');
    char* bytes = text.data();
    each_chunk([&](std::size_t begin, std::size_t end, std::size_t c) {
        std::size_t k = first_code[c];
        for (std::size_t i = begin; i != end; ++i) {
            const SortItem& item = order[i];
            if (is_marker(item, strings)) continue;
            const std::size_t from = k == 0 ? 0 : ends[k - 1], size = ends[k] - from;
            if (size <= 16)
                write_held_text(item, bytes + from, size);
            else
                std::memcpy(bytes + from, strings[item.entry].data(), size);
            ++k;
        }
    });
    return Labels(std::move(text), std::move(ends));
}

// The label encoding of `strings`: their codes into `slots` (one per text),
// which first hold the tagged local ids and then, in place, the codes; how
// many texts hold each label into `counts`.
Labels encode_texts(const Entries& strings, double* slots, Counts& counts) {
    const std::size_t n = strings.size();
    counts.clear();
    if (n == 0) return {};

    Distinct found = many_distinct(strings) ? find_by_partition(strings, slots) : find_by_segments(strings, slots);
    Uninitialised<SortItem>& order = found.order;

    // Ranks: sort the ids by their strings, byte-wise.
    pool::parallel_sort(order.begin(), order.end(), [&](const SortItem& a, const SortItem& b) {
        // One 128-bit comparison, without a branch on which word differs.
        const unsigned __int128 x = static_cast<unsigned __int128>(a.high) << 64 | a.low;
        const unsigned __int128 y = static_cast<unsigned __int128>(b.high) << 64 | b.low;
        if (x != y) [[likely]]
            return x < y;
        // string_view compares through char_traits<char>: bytes as
        // unsigned char, a prefix first.
        return strings[a.entry] < strings[b.entry];
    });
    // Each id's code, counted in sorted order; a marker takes no code and
    // leaves the count.  The ids' counts become their codes.
    Uninitialised<std::uint32_t>& code_of_id = found.counts;
    Labels labels = code_in_order(strings, order, code_of_id, counts);
    release(order);

    // One flat table from tagged local id to code: where the segments' ids
    // follow one another, the codes by id are that table.
    const std::vector<std::uint64_t>& segments = found.segment_ids;
    std::vector<std::size_t> offset(*std::max_element(segments.begin(), segments.end()) + 1, 0);
    Uninitialised<std::uint32_t> table;
    if (found.id_of_local.empty()) {
        for (std::size_t s = 0; s < segments.size(); ++s) offset[segments[s]] = found.first_id[s];
        table = std::move(code_of_id);
    } else {
        std::size_t total = 0;
        for (const LargeVector<std::uint32_t>& ids : found.id_of_local) total += ids.size();
        table.reserve(total);
        for (std::size_t s = 0; s < segments.size(); ++s) {
            offset[segments[s]] = table.size();
            for (std::uint32_t g : found.id_of_local[s]) table.push_back(code_of_id[g]);
        }
    }

    // Second pass: every slot from its tagged local id to its code.
    pool::parallel_for(n, [&](std::size_t begin, std::size_t end) {
        const std::size_t* off = offset.data();
        const std::uint32_t* codes = table.data();
        for (std::size_t j = begin; j != end; ++j) {
            std::uint64_t bits = std::bit_cast<std::uint64_t>(slots[j]);
            slots[j] = as_code(codes[off[bits >> local_bits] + (bits & local_mask)]);
        }
    });
    return labels;
}

// Hands every cell its entry's code and counts the cells of each of the
// `m` codes, as a parallel_reduce body.  With few codes each body counts
// into a list of its own, so no count is shared between threads; a list per
// body of a column of many labels would cost more memory than the codes (a
// body for each steal), so there every body adds to one list, and two
// threads rarely meet on a count.
class CellCoder {
public:
    // Up to this many codes a body has its own counts: 256 KiB, a core's
    // share of the cache.
    static constexpr std::size_t own_counts_up_to = std::size_t{1} << 15;

    // Counts the `m` codes into `counts` once the reduction is done (collect).
    CellCoder(const TextColumn& cells, const std::uint32_t* entry_code, std::span<double> codes, std::size_t m,
              Counts& counts)
        : cells_(cells), entry_code_(entry_code), codes_(codes), shared_(counts),
          own_(m <= own_counts_up_to ? m : 0, 0) {
        shared_.assign(m <= own_counts_up_to ? 0 : m, 0);
    }
    CellCoder(CellCoder& other, tbb::split)
        : cells_(other.cells_), entry_code_(other.entry_code_), codes_(other.codes_), shared_(other.shared_),
          own_(other.own_.size(), 0) {}

    void operator()(const tbb::blocked_range<std::size_t>& rows) {
        if (!shared_.empty()) {
            std::uint64_t* counts = shared_.data();
            code(rows, [counts](std::size_t k) {
                std::atomic_ref<std::uint64_t>(counts[k]).fetch_add(1, std::memory_order_relaxed);
            });
        } else {
            std::uint64_t* counts = own_.data();
            code(rows, [counts](std::size_t k) { ++counts[k]; });
        }
    }
    void join(const CellCoder& right) {
        for (std::size_t k = 0; k < own_.size(); ++k) own_[k] += right.own_[k];
    }
    // Leaves every count in the list given to the constructor, once the
    // reduction is done: this body's own counts are all of them.
    void collect() {
        if (shared_.empty()) shared_ = std::move(own_);
    }

private:
    template <class Count>
    void code(const tbb::blocked_range<std::size_t>& rows, Count count) {
        for (std::size_t j = rows.begin(); j != rows.end(); ++j) {
            const std::uint32_t code = entry_code_[cells_.entry_of(j)];
            codes_[j] = as_code(code);
            if (code != no_code) count(code);  // a marker is not counted
        }
    }

    const TextColumn& cells_;
    const std::uint32_t* entry_code_;
    std::span<double> codes_;
    Counts& shared_;  // sized m when the bodies share it, else empty until collect
    Counts own_;
};

}  // namespace

Labels label_encode(const TextColumn& cells, std::span<double> codes, Counts& counts) {
    if (cells.size() > codes.size()) fail(msg::index_out_of_bounds(codes.size(), cells.size() - 1));
    const Entries entries{cells};
    // Entries and ids are held in four bytes.
    if (entries.size() >= std::numeric_limits<std::uint32_t>::max()) throw std::length_error("label encoding");
    if (entries.size() == cells.size()) return encode_texts(entries, codes.data(), counts);  // cell k is entry k
    // Cells share entries: each entry is encoded once, and every cell gets
    // its entry's code; the cells are counted, not the entries.  The
    // entries' codes go to the first slots (a column has no more entries
    // than cells), and from there to a list of their own, four bytes each,
    // which is made only once the encoding's own lists are given back.
    if (entries.size() > cells.size()) throw std::logic_error("label encoding");
    Labels labels = encode_texts(entries, codes.data(), counts);
    Uninitialised<std::uint32_t> entry_code(entries.size());
    pool::parallel_for(entries.size(), [&](std::size_t begin, std::size_t end) {
        for (std::size_t k = begin; k != end; ++k) entry_code[k] = held_code(codes[k]);  // fewer codes than entries
    });
    CellCoder coder(cells, entry_code.data(), codes, labels.size(), counts);
    pool::parallel_reduce(cells.size(), coder);
    coder.collect();
    return labels;
}

LabelEncoding label_encode(const TextColumn& cells) {
    LabelEncoding result;
    result.codes.resize(cells.size());
    result.labels = label_encode(cells, result.codes, result.counts);
    return result;
}

}  // namespace kavrel
