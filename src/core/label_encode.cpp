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
#include <numeric>
#include <string>

namespace kavrel {

namespace {

static_assert(std::endian::native == std::endian::little, "prefix loads assume little-endian");

// What an encoding works on: the entries of a column, each text stored once
// per str object met, by number.
struct Entries {
    const TextColumn& column;

    std::size_t size() const noexcept { return column.entry_count(); }
    std::string_view operator[](std::size_t k) const noexcept { return column.entry(k); }
};

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

using LocalMap = boost::unordered_flat_map<Key, std::uint64_t, KeyHash, KeyEqual,
                                           LargeBufferAllocator<std::pair<const Key, std::uint64_t>>>;

// Between the two passes a cell's slot of the code list holds, as raw bits,
// the segment that met the cell and the cell's id within that segment.
constexpr unsigned local_bits = 40;
constexpr std::uint64_t local_mask = (std::uint64_t{1} << local_bits) - 1;

std::uint64_t tag(std::uint64_t segment, std::uint64_t local) noexcept {
    return (segment << local_bits) | local;
}

// The distinct strings met by one body of the first pass, by local id, and
// how many of the body's cells held each: counted where each cell's string
// is found anyway, so that counting costs no pass of its own.
struct Segment {
    std::uint64_t id = 0;
    LargeVector<Key> distinct;
    LargeVector<std::uint64_t> counts;  // by local id
};

// A distinct string as the first pass's map holds it: its inline words, its
// size (held up to 2^32 - 1) and its local id, 24 bytes where a Key and
// its id take 40.  The map of a column of some 50,000 strings then still
// fits a core's L2 cache, which every cell's lookup reads.  Past sixteen
// bytes its text is found through its id, in the segment's list; such
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

// Slots hash and compare as the Keys they stand for, so that a cell's Key
// finds its Slot.
struct SlotHash {
    using is_transparent = void;
    using is_avalanching = void;
    const KeyHash* hash;
    const LargeVector<Key>* distinct;

    std::size_t operator()(const Probe& p) const noexcept { return (*hash)(p.key); }
    std::size_t operator()(const Slot& s) const noexcept {
        if (s.size > 16) [[unlikely]]
            return (*hash)((*distinct)[s.id]);
        return hash->short_hash(s.head, s.tail, s.size);
    }
};

struct SlotEqual {
    using is_transparent = void;
    const LargeVector<Key>* distinct;

    bool operator()(const Key& k, const Slot& s) const noexcept {
        return k.head == s.head && k.tail == s.tail && Slot::held_size(k.size) == s.size &&
               (k.size <= 16 || KeyEqual{}(k, (*distinct)[s.id]));
    }
    bool operator()(const Probe& p, const Slot& s) const noexcept { return (*this)(p.key, s); }
    bool operator()(const Slot& s, const Probe& p) const noexcept { return (*this)(p.key, s); }
    bool operator()(const Slot& a, const Slot& b) const noexcept {
        return a.head == b.head && a.tail == b.tail && a.size == b.size &&
               (a.size <= 16 || KeyEqual{}((*distinct)[a.id], (*distinct)[b.id]));
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
            // Fewer than 2^32 entries a column, so ids fit.  A Slot of a
            // text past sixteen bytes is hashed and compared through the
            // list, which the set may do to the new one while it inserts
            // it: such a text joins the list first, and leaves again when
            // it was there already.
            const bool listed_first = key.size > 16;
            if (listed_first) own_.distinct.push_back(key);
            const auto next = static_cast<std::uint32_t>(own_.distinct.size() - (listed_first ? 1 : 0));
            auto [it, inserted] = local_.insert(Probe{key, next});
            if (inserted != listed_first) {
                if (inserted)
                    own_.distinct.push_back(key);
                else
                    own_.distinct.pop_back();
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
        if (!own_.distinct.empty()) all.push_back(std::move(own_));
        for (Segment& s : joined_)
            if (!s.distinct.empty()) all.push_back(std::move(s));
        return all;
    }

private:
    const Entries& cells_;
    double* slots_;
    std::atomic<std::uint64_t>& next_id_;
    Segment own_;
    KeyHash hash_;
    // Over own_'s strings; not used once own_ has moved to another body.
    SlotSet local_{0, SlotHash{&hash_, &own_.distinct}, SlotEqual{&own_.distinct}};
    std::vector<Segment> joined_;
};

// A distinct string in the sort: its first sixteen bytes as two words with
// the first byte most significant, so that integer order is byte-wise order
// over them, and its id to fall back on.  Sixteen bytes tell apart most
// strings that share a prefix, such as ids, without following the pointer.
struct SortItem {
    std::uint64_t high;
    std::uint64_t low;
    std::uint64_t id;

    static SortItem of(const Key& key, std::uint64_t id) noexcept {
        return {__builtin_bswap64(key.head), __builtin_bswap64(key.tail), id};
    }
};

// The distinct strings of all segments, each once, by id, and for every
// segment the id of each of its local ids.  Parallel: keys are spread over
// partitions by a hash of their own, so each partition is merged
// independently, in a map small enough to stay in cache.
struct Merged {
    LargeVector<Key> distinct;
    LargeVector<std::uint64_t> counts;  // by id: the sum over the segments
    std::vector<LargeVector<std::uint64_t>> id_of_local;
};

Merged merge_segments(const std::vector<Segment>& segments) {
    constexpr unsigned partition_bits = 6;
    constexpr std::size_t partitions = std::size_t{1} << partition_bits;
    const std::size_t k = segments.size();
    const KeyHash spread;  // its own seed, unrelated to the partition maps'

    // buckets[s * partitions + p]: the local ids of segment s in partition p.
    std::vector<std::vector<std::uint64_t>> buckets(k * partitions);
    pool::parallel_for(k, [&](std::size_t begin, std::size_t end) {
        for (std::size_t s = begin; s != end; ++s) {
            const LargeVector<Key>& keys = segments[s].distinct;
            for (std::size_t l = 0; l < keys.size(); ++l)
                buckets[s * partitions + (spread(keys[l]) >> (64 - partition_bits))].push_back(l);
        }
    });

    Merged merged;
    merged.id_of_local.resize(k);
    for (std::size_t s = 0; s < k; ++s) merged.id_of_local[s].resize(segments[s].distinct.size());
    // Ids within their partition first: (partition << local_bits) | index.
    std::vector<LargeVector<Key>> part_distinct(partitions);
    std::vector<LargeVector<std::uint64_t>> part_counts(partitions);
    pool::parallel_for(partitions, [&](std::size_t begin, std::size_t end) {
        for (std::size_t p = begin; p != end; ++p) {
            std::size_t largest = 0;
            for (std::size_t s = 0; s < k; ++s)
                largest = std::max(largest, buckets[s * partitions + p].size());
            LocalMap map;
            map.reserve(largest);
            LargeVector<Key>& keys = part_distinct[p];
            LargeVector<std::uint64_t>& counts = part_counts[p];
            for (std::size_t s = 0; s < k; ++s) {
                for (std::uint64_t l : buckets[s * partitions + p]) {
                    const Key& key = segments[s].distinct[l];
                    auto [it, inserted] = map.try_emplace(key, keys.size());
                    if (inserted) {
                        keys.push_back(key);
                        counts.push_back(0);
                    }
                    counts[it->second] += segments[s].counts[l];
                    merged.id_of_local[s][l] = tag(p, it->second);
                }
            }
        }
    });

    std::vector<std::size_t> first(partitions + 1, 0);
    for (std::size_t p = 0; p < partitions; ++p) first[p + 1] = first[p] + part_distinct[p].size();
    merged.distinct.reserve(first[partitions]);
    merged.counts.reserve(first[partitions]);
    for (std::size_t p = 0; p < partitions; ++p) {
        merged.distinct.insert(merged.distinct.end(), part_distinct[p].begin(), part_distinct[p].end());
        merged.counts.insert(merged.counts.end(), part_counts[p].begin(), part_counts[p].end());
    }
    for (std::size_t s = 0; s < k; ++s) {
        LargeVector<std::uint64_t>& ids = merged.id_of_local[s];
        pool::parallel_for(ids.size(), [&](std::size_t begin, std::size_t end) {
            for (std::size_t l = begin; l != end; ++l)
                ids[l] = first[ids[l] >> local_bits] + (ids[l] & local_mask);
        });
    }
    return merged;
}

// The code of a distinct string that takes none: a missing-value marker.
constexpr std::uint64_t no_code = ~std::uint64_t{0};

// The labels of the distinct strings whose ids, in code order, are
// `by_code`: their bytes laid end to end in that order.
Labels make_labels(const LargeVector<Key>& distinct, const LargeVector<std::uint64_t>& by_code) {
    const std::size_t m = by_code.size();
    constexpr std::size_t ahead = 16;
    std::vector<std::uint64_t> ends(m);
    std::uint64_t end = 0;
    for (std::size_t k = 0; k < m; ++k) {
        if (k + ahead < m) __builtin_prefetch(&distinct[by_code[k + ahead]]);
        end += distinct[by_code[k]].size;
        ends[k] = end;
    }
    std::string text(end, '\0');
    char* bytes = text.data();
    pool::parallel_for(m, [&](std::size_t begin, std::size_t stop) {
        for (std::size_t k = begin; k != stop; ++k) {
            if (k + ahead < stop) __builtin_prefetch(distinct[by_code[k + ahead]].data);
            const Key& key = distinct[by_code[k]];
            std::memcpy(bytes + (k == 0 ? 0 : ends[k - 1]), key.data, key.size);
        }
    });
    return Labels(std::move(text), std::move(ends));
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
std::vector<Segment> find_by_partition(const Entries& strings, double* slots) {
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
            segment.distinct.reserve(cells);
            segment.counts.reserve(cells);
            LocalMap map;
            map.reserve(cells);
            for (std::size_t k = 0; k < chunks; ++k) {
                std::vector<std::uint32_t>& bucket = buckets[k * partitions + p];
                for (std::size_t i = 0; i < bucket.size(); ++i) {
                    if (i + ahead < bucket.size()) __builtin_prefetch(strings[bucket[i + ahead]].data());
                    const std::uint32_t row = bucket[i];
                    const Key key = key_of(strings[row]);
                    auto [it, inserted] = map.try_emplace(key, segment.distinct.size());
                    if (inserted) {
                        segment.distinct.push_back(key);
                        segment.counts.push_back(0);
                    }
                    ++segment.counts[it->second];
                    slots[row] = std::bit_cast<double>(tag(p, it->second));
                }
                release(bucket);
            }
        }
    });
    return segments;
}

// The label encoding of `strings`: their codes into `slots` (one per text),
// which first hold the tagged local ids and then, in place, the codes; how
// many texts hold each label into `counts`.
Labels encode_texts(const Entries& strings, double* slots, Counts& counts) {
    const std::size_t n = strings.size();
    counts.clear();
    if (n == 0) return {};

    std::vector<Segment> segments;
    Merged merged;
    if (many_distinct(strings)) {
        // Partitions share no string: their ids follow one another.
        segments = find_by_partition(strings, slots);
        merged.id_of_local.resize(segments.size());
        std::size_t total = 0;
        for (const Segment& s : segments) total += s.distinct.size();
        merged.distinct.reserve(total);
        merged.counts.reserve(total);
        for (std::size_t p = 0; p < segments.size(); ++p) {
            LargeVector<std::uint64_t>& ids = merged.id_of_local[p];
            ids.resize(segments[p].distinct.size());
            std::iota(ids.begin(), ids.end(), std::uint64_t{merged.distinct.size()});
            merged.distinct.insert(merged.distinct.end(), segments[p].distinct.begin(),
                                   segments[p].distinct.end());
            merged.counts.insert(merged.counts.end(), segments[p].counts.begin(), segments[p].counts.end());
            release(segments[p].distinct);  // held once is enough
            release(segments[p].counts);
        }
    } else {
        std::atomic<std::uint64_t> next_id{0};
        DistinctFinder finder(strings, slots, next_id);
        pool::parallel_reduce(n, finder);
        segments = finder.take_segments();
        // With one segment its local ids are the ids.
        if (segments.size() == 1) {
            merged.distinct = std::move(segments.front().distinct);
            merged.counts = std::move(segments.front().counts);
        } else {
            merged = merge_segments(segments);
            for (Segment& segment : segments) release(segment.distinct);  // held once is enough
        }
    }
    const LargeVector<Key>& distinct = merged.distinct;
    const std::size_t d = distinct.size();

    // Ranks: sort the ids by their strings, byte-wise.
    LargeVector<SortItem> order(d);
    pool::parallel_for(d, [&](std::size_t begin, std::size_t end) {
        for (std::size_t g = begin; g != end; ++g) order[g] = SortItem::of(distinct[g], g);
    });
    pool::parallel_sort(order.begin(), order.end(), [&](const SortItem& a, const SortItem& b) {
        // One 128-bit comparison, without a branch on which word differs.
        const unsigned __int128 x = static_cast<unsigned __int128>(a.high) << 64 | a.low;
        const unsigned __int128 y = static_cast<unsigned __int128>(b.high) << 64 | b.low;
        if (x != y) [[likely]]
            return x < y;
        // string_view compares through char_traits<char>: bytes as
        // unsigned char, a prefix first.
        return distinct[a.id].view() < distinct[b.id].view();
    });
    // Counted in sorted order; a marker takes no code and leaves the count.
    LargeVector<std::uint64_t> code(d);
    LargeVector<std::uint64_t> by_code;
    by_code.reserve(d);
    counts.reserve(d);
    for (const SortItem& item : order) {
        if (is_missing_marker(distinct[item.id].view())) {
            code[item.id] = no_code;
        } else {
            code[item.id] = by_code.size();
            by_code.push_back(item.id);
            counts.push_back(merged.counts[item.id]);
        }
    }
    release(order);
    Labels labels = make_labels(distinct, by_code);
    release(by_code);

    // One flat table from tagged local id to code.
    auto as_double = [](std::uint64_t c) { return c == no_code ? missing_code : static_cast<double>(c); };
    std::uint64_t max_id = 0;
    for (const Segment& s : segments) max_id = std::max(max_id, s.id);
    std::vector<std::size_t> offset(max_id + 1, 0);
    LargeVector<double> table;
    if (segments.size() == 1) {
        table.resize(d);
        pool::parallel_for(d, [&](std::size_t begin, std::size_t end) {
            for (std::size_t g = begin; g != end; ++g) table[g] = as_double(code[g]);
        });
    } else {
        std::size_t total = 0;
        for (const LargeVector<std::uint64_t>& ids : merged.id_of_local) total += ids.size();
        table.reserve(total);
        for (std::size_t s = 0; s < segments.size(); ++s) {
            offset[segments[s].id] = table.size();
            for (std::uint64_t g : merged.id_of_local[s]) table.push_back(as_double(code[g]));
        }
    }

    // Second pass: every slot from its tagged local id to its code.
    pool::parallel_for(n, [&](std::size_t begin, std::size_t end) {
        const std::size_t* off = offset.data();
        const double* codes = table.data();
        for (std::size_t j = begin; j != end; ++j) {
            std::uint64_t bits = std::bit_cast<std::uint64_t>(slots[j]);
            slots[j] = codes[off[bits >> local_bits] + (bits & local_mask)];
        }
    });
    return labels;
}

// Hands every cell its entry's code and counts the cells of each of the
// `m` codes, as a parallel_reduce body.  With few codes each body counts
// into a list of its own, so no count is shared between threads; a list
// per body of a column of many labels would cost more memory than the
// codes (a body for each steal), so there every body adds to one list, and
// two threads rarely meet on a count.
class CellCoder {
public:
    // Up to this many codes a body has its own counts: 256 KiB, a core's
    // share of the cache.
    static constexpr std::size_t own_counts_up_to = std::size_t{1} << 15;

    // Counts the `m` codes into `counts` once the reduction is done (collect).
    CellCoder(const TextColumn& cells, const double* entry_code, std::span<double> codes, std::size_t m,
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
            const double code = entry_code_[cells_.entry_of(j)];
            codes_[j] = code;
            if (code == code) count(static_cast<std::size_t>(code));  // a marker's NaN is not counted
        }
    }

    const TextColumn& cells_;
    const double* entry_code_;
    std::span<double> codes_;
    Counts& shared_;  // sized m when the bodies share it, else empty until collect
    Counts own_;
};

}  // namespace

Labels label_encode(const TextColumn& cells, std::span<double> codes, Counts& counts) {
    if (cells.size() > codes.size()) fail(msg::index_out_of_bounds(codes.size(), cells.size() - 1));
    const Entries entries{cells};
    if (entries.size() == cells.size()) return encode_texts(entries, codes.data(), counts);  // cell k is entry k
    // Cells share entries: each entry is encoded once, and every cell gets
    // its entry's code; the cells are counted, not the entries.
    CodeList entry_codes(entries.size());
    Labels labels = encode_texts(entries, entry_codes.data(), counts);
    CellCoder coder(cells, entry_codes.data(), codes, labels.size(), counts);
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
