#include "pooled_cells.hpp"

#include "../core/pool.hpp"
#include "../core/render_number.hpp"
#include "../python/utf8.hpp"
#include "seen_strings.hpp"

#include <tbb/enumerable_thread_specific.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

namespace kavrel {

// Why the pool's threads may read these cells, on both builds.
//
// The calling thread stays attached to the interpreter while the pool reads
// and runs no Python code, and the table (an array it holds) holds every
// cell.  So no cell is freed and no Python code of this call runs during the
// reads; a cell that would need Python code (its __str__, __float__, a
// __del__ it drops) is left to the calling thread, which reads it, and all
// that follows it, only after the pool is done.
//
// - With the GIL (3.14), the calling thread holds the GIL the whole time:
//   no other Python thread runs, so nothing can write into the table, free
//   a cell or intern a str while the pool reads.
// - Without the GIL, another thread could write into the table meanwhile
//   and free the cell that it replaces: a data race that the user must
//   avoid, as numpy documents for its arrays, and one that the calling
//   thread's own borrowed reads always had.  Nothing else changes what is
//   read here: the fields read are ones CPython never writes after it made
//   the object (below), and __class__ assignment, refused for the built-in
//   types anyway, stops the world, which waits for this attached thread.
//
// What is read, and only of a cell whose type is exactly one of these:
// - the type (ob_type), compared by address with the built-in types and
//   the None, True and False singletons;
// - a float's value (ob_fval), set when it is made;
// - an int's size and sign tag and its digits, of an int of at most two
//   (below 2^60 in magnitude), set when it is made; a longer int goes to
//   the calling thread;
// - a str's length, kind, compact and ascii flags and its code units,
//   which CPython documents as fixed once the string is made
//   (Include/cpython/unicodeobject.h).  Its UTF-8 cache is not read: it is
//   made lazily under the object's lock, so the UTF-8 is written here from
//   the code units.  Interning (3.13) rewrites the word that holds these
//   flags with the same flags, as every thread's PyUnicode_KIND reads them
//   plainly; from 3.14 the interned state is a byte of its own.
// No reference count is touched, no C-API function is called and no Python
// object is made: the texts go to native arenas.

namespace {

enum class Kind : unsigned char { str, real, integer, boolean, none, caller };

static_assert(PyLong_SHIFT == 30, "two digits of an int fit 64 bits");

// Whether an exact int has at most two digits, below 2^60 in magnitude:
// its size and sign tag, fixed when it was made (cpython/longintrepr.h).
inline bool is_small_int(PyObject* cell) noexcept {
    return (reinterpret_cast<PyLongObject*>(cell)->long_value.lv_tag >> _PyLong_NON_SIZE_BITS) <= 2;
}

inline Kind kind_of(PyObject* cell) noexcept {
    PyTypeObject* type = Py_TYPE(cell);
    if (type == &PyUnicode_Type) return Kind::str;
    if (type == &PyFloat_Type) return Kind::real;
    if (type == &PyLong_Type) return is_small_int(cell) ? Kind::integer : Kind::caller;
    if (type == &PyBool_Type) return Kind::boolean;
    if (cell == Py_None) return Kind::none;
    return Kind::caller;
}

// The value of an int of at most two digits, from its tag and digits.  As
// a double (int64 to double rounds to nearest, ties to even) it is what
// PyLong_AsDouble gives, which rounds so too.
inline std::int64_t int_value(PyObject* cell) noexcept {
    auto* v = reinterpret_cast<PyLongObject*>(cell);
    if (PyUnstable_Long_IsCompact(v)) return PyUnstable_Long_CompactValue(v);
    const std::uintptr_t tag = v->long_value.lv_tag;
    const std::int64_t magnitude = static_cast<std::int64_t>(v->long_value.ob_digit[0]) |
                                   static_cast<std::int64_t>(v->long_value.ob_digit[1]) << PyLong_SHIFT;
    return (tag & _PyLong_SIGN_MASK) == 2 ? -magnitude : magnitude;  // sign: 0 positive, 2 negative
}

inline PyObject* cell_at(const ObjectColumn& column, std::size_t r) noexcept {
    PyObject* cell;
    std::memcpy(&cell, column.cells + static_cast<std::ptrdiff_t>(r) * column.stride, sizeof cell);
    return cell != nullptr ? cell : Py_None;
}

// str() of a number cell (a float, a compact int or a bool), as
// append_cell_text writes it.
void append_number_str(TextColumn& texts, PyObject* cell, Kind kind) {
    switch (kind) {
        case Kind::real:
            texts.push_back_written(float_str_max,
                                    [&](char* dst) { return write_float_str(PyFloat_AS_DOUBLE(cell), dst); });
            return;
        case Kind::integer:
            texts.push_back_written(24, [&](char* dst) {
                return static_cast<std::size_t>(std::to_chars(dst, dst + 24, int_value(cell)).ptr - dst);
            });
            return;
        default: texts.push_back(cell == Py_True ? "True" : "False"); return;
    }
}

// A block's texts start in an arena this small and grow it by doubling: a
// block of a column of few labels stores only those, once each.
constexpr std::size_t first_arena_bytes = 4096;

// One block of rows of a column, read by one task.
struct Block {
    std::size_t begin = 0, end = 0;
    // The first row not read: `end`, or the row of a cell left to the
    // calling thread.
    std::size_t stop = 0;
    // The first row of [begin, stop) that is not a number; stop if none.
    // The numbers above it are in the column's number destination.
    std::size_t first_text = 0;
    // The texts of rows [first_text, stop).
    TextColumn texts;
    // Rows [begin, first_text) as texts, when the column turns out text:
    // written after every block of the column is read.
    TextColumn numbers_as_texts;
    // Entries of `texts` that stand for a str an earlier block of the
    // column stored: the join makes their cells share that block's entry.
    struct Shared {
        std::size_t entry, block, block_entry;
    };
    std::vector<Shared> shared;
};

// A thread's str objects met, in the column whose blocks it reads: a str
// that one of the column's earlier blocks stored is not stored again, so
// that a label is stored about once for each thread, not for each block.
struct Reader {
    explicit Reader(std::size_t column_rows) : column_rows(column_rows) {}

    // The strs met in `column`: forgotten when the thread moves to another
    // column, and made when the thread first meets a text, so that a wave
    // of number columns makes none.
    SeenStrings& seen_in(const ObjectColumn& in) {
        if (!seen) seen.emplace(column_rows);
        if (column != &in) {
            seen->forget();
            column = &in;
        }
        return *seen;
    }

    std::size_t column_rows;
    std::optional<SeenStrings> seen;
    const ObjectColumn* column = nullptr;
};

// Reads block k of `column`, whose blocks are `blocks`.
void read_block(const ObjectColumn& column, std::vector<Block>& blocks, std::size_t k, double* numbers,
                Reader& reader) {
    Block& b = blocks[k];
    std::size_t r = b.begin;
    // Numbers until the first cell that is not one.
    for (; r < b.end; ++r) {
        if (r + object_ahead < b.end) prefetch_object(cell_at(column, r + object_ahead));
        PyObject* cell = cell_at(column, r);
        const Kind kind = kind_of(cell);
        if (kind == Kind::real)
            numbers[r] = PyFloat_AS_DOUBLE(cell);
        else if (kind == Kind::integer)
            numbers[r] = static_cast<double>(int_value(cell));
        else if (kind == Kind::boolean)
            numbers[r] = cell == Py_True ? 1.0 : 0.0;
        else if (kind == Kind::caller) {
            b.first_text = b.stop = r;
            return;
        } else
            break;
    }
    b.first_text = r;
    if (r == b.end) {
        b.stop = r;
        return;
    }
    SeenStrings& seen = reader.seen_in(column);
    // Texts from there on; a str met before shares its cell's entry: one
    // of this block's cells, or of an earlier block, whose texts the join
    // keeps whenever it keeps this block's.  One of a later block is read
    // again, since the join may drop that block.
    for (; r < b.end; ++r) {
        if (r + object_ahead < b.end) {
            PyObject* ahead = cell_at(column, r + object_ahead);
            prefetch_object(ahead);
            seen.prefetch(ahead);
        }
        PyObject* cell = cell_at(column, r);
        if (std::optional<SeenStrings::Where> earlier = seen.where(cell); earlier && earlier->part <= k) {
            if (earlier->part == k) {
                b.texts.push_back_shared(earlier->entry);
            } else {
                // This block's later cells of the str share this one's entry.
                const std::size_t entry = b.texts.push_back_alias();
                b.shared.push_back({entry, earlier->part, earlier->entry});
                seen.remember(cell, entry, k);
            }
            continue;
        }
        const Kind kind = kind_of(cell);
        if (kind == Kind::str) {
            if (!py::append_utf8_within_unicode(b.texts, cell)) break;
            seen.remember(cell, b.texts.entry_of(b.texts.size() - 1), k);
        } else if (kind == Kind::none) {
            b.texts.push_back("None");
        } else if (kind == Kind::caller) {
            break;
        } else {
            append_number_str(b.texts, cell, kind);
        }
    }
    b.stop = r;
}

// What the pool read of one column, once every block of it is read.
struct ColumnRead {
    std::size_t stop = 0;       // the first row not read
    std::size_t text_from = 0;  // the first row that is not a number; stop if none
    TextColumn texts;           // rows [0, stop) when text_from < stop
};

// The blocks of a column, read: its reading ends at the first block that
// stopped early, and it turns text at the first non-number before that.
// Rows above that turn keep their numbers, as render_number texts when the
// column is text; numbers below it become their str().
template <class Loop>
ColumnRead join_blocks(const ObjectColumn& column, std::vector<Block>& blocks, const double* numbers,
                       const Loop& loop) {
    std::size_t last = 0;
    while (last + 1 < blocks.size() && blocks[last].stop == blocks[last].end) ++last;
    ColumnRead read;
    read.stop = blocks[last].stop;
    std::size_t turn = 0;
    while (turn <= last && blocks[turn].first_text == blocks[turn].stop) ++turn;
    if (turn > last) {
        read.text_from = read.stop;
        return read;
    }
    read.text_from = blocks[turn].first_text;
    loop(last + 1, [&](std::size_t from, std::size_t to) {
        for (std::size_t i = from; i < to; ++i) {
            Block& b = blocks[i];
            if (b.first_text == b.begin) continue;
            b.numbers_as_texts = TextColumn(first_arena_bytes);
            for (std::size_t r = b.begin; r < b.first_text; ++r) {
                if (i <= turn)
                    b.numbers_as_texts.push_back(render_number(numbers[r]));
                else {
                    // The cell was read as a number a moment ago and
                    // nothing has run since: read it again for its str().
                    PyObject* cell = cell_at(column, r);
                    append_number_str(b.numbers_as_texts, cell, kind_of(cell));
                }
            }
        }
    });
    // Block i's texts are part 2i + 1.
    std::vector<TextColumn> parts;
    std::vector<TextColumn::Alias> aliases;
    parts.reserve(2 * (last + 1));
    for (std::size_t i = 0; i <= last; ++i) {
        parts.push_back(std::move(blocks[i].numbers_as_texts));
        parts.push_back(std::move(blocks[i].texts));
        for (const Block::Shared& shared : blocks[i].shared)
            aliases.push_back({2 * i + 1, shared.entry, 2 * shared.block + 1, shared.block_entry});
    }
    read.texts = TextColumn::join(parts, aliases);
    return read;
}

constexpr std::size_t pool_from_cells = 4096;


}  // namespace

namespace {

// Reads `n` columns from `columns` on the pool and leaves them in `lists`;
// their stops go to `stops`.  See read_cells_on_pool.
void read_wave(const ObjectColumn* columns, std::size_t n, std::size_t n_rows, ColumnLists& lists, bool in_order,
               std::size_t* stops) {
    // Some eight blocks for each of the pool's threads, the fewer the
    // columns the more blocks to a column: enough for the threads to share
    // the work, even of one column, and no more, since a label whose objects
    // several threads meet is stored once by each.
    const std::size_t wanted_blocks =
        std::min((8 * pool::thread_count() + n - 1) / n, SeenStrings::max_parts);
    const std::size_t block_rows = std::max<std::size_t>(1, (n_rows + wanted_blocks - 1) / wanted_blocks);
    const std::size_t n_blocks = (n_rows + block_rows - 1) / block_rows;

    std::vector<double*> numbers(n);
    std::vector<std::vector<Block>> blocks(n, std::vector<Block>(n_blocks));
    for (std::size_t i = 0; i < n; ++i) {
        numbers[i] = lists.number_column(columns[i].column);
        for (std::size_t k = 0; k < n_blocks; ++k) {
            Block& b = blocks[i][k];
            b.begin = k * block_rows;
            b.end = std::min(n_rows, b.begin + block_rows);
            b.texts = TextColumn(first_arena_bytes);
        }
    }
    std::vector<ColumnRead> reads(n);
    // Tables of fewer cells are read on the calling thread, by the same
    // code: handing them to the pool would cost more than it saves.  So is
    // every table of a fork() child that must not enter oneTBB (pool.hpp),
    // whose per-thread storage is oneTBB's too.
    const bool on_pool = n * n_rows >= pool_from_cells && !pool::serial();
    // Each thread's str objects met, made when it first reads a block.
    std::optional<Reader> callers_reader;
    std::optional<tbb::enumerable_thread_specific<Reader>> pool_readers;
    if (on_pool)
        pool_readers.emplace([n_rows] { return Reader(n_rows); });
    else
        callers_reader.emplace(n_rows);
    auto loop = [on_pool](std::size_t count, auto&& body) {
        if (on_pool)
            pool::parallel_for(count, body);
        else
            body(std::size_t{0}, count);
    };
    auto read_all = [&] {
        loop(n * n_blocks, [&](std::size_t from, std::size_t to) {
            Reader& mine = on_pool ? pool_readers->local() : *callers_reader;
            for (std::size_t j = from; j < to; ++j)
                read_block(columns[j / n_blocks], blocks[j / n_blocks], j % n_blocks, numbers[j / n_blocks], mine);
        });
        loop(n, [&](std::size_t from, std::size_t to) {
            for (std::size_t i = from; i < to; ++i)
                reads[i] = join_blocks(columns[i], blocks[i], numbers[i], loop);
        });
    };
    // One hand-over for both steps: the second starts on a pool thread.
    if (on_pool)
        pool::execute(read_all);
    else
        read_all();

    bool stopped = false;
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t c = columns[i].column;
        if (stopped && in_order) {
            lists.forget_column(c);
            continue;
        }
        ColumnRead& read = reads[i];
        if (read.text_from < read.stop)
            lists.adopt_texts(c, std::move(read.texts), read.text_from);
        else if (read.stop < n_rows)
            lists.keep_numbers(c, read.stop);
        stops[i] = read.stop;
        stopped |= read.stop < n_rows;
    }
}

}  // namespace

std::vector<std::size_t> read_cells_on_pool(const std::vector<ObjectColumn>& columns, std::size_t n_rows,
                                            ColumnLists& lists, bool in_order) {
    const std::size_t n = columns.size();
    std::vector<std::size_t> stops(n, 0);
    if (n == 0 || n_rows == 0) return stops;
    // A wave of columns at a time, each handed on once read: the pool
    // encodes a wave while it reads the next, and a wide table's texts are
    // not all held at once.  Some four million cells to a wave, and at
    // least two columns for each of the pool's threads.
    const std::size_t wave = std::max((std::size_t{1} << 22) / n_rows, 2 * pool::thread_count());
    for (std::size_t first = 0; first < n; first += wave) {
        const std::size_t count = std::min(wave, n - first);
        read_wave(columns.data() + first, count, n_rows, lists, in_order, stops.data() + first);
        bool stopped = false;
        for (std::size_t i = first; i < first + count; ++i) {
            if (stops[i] == n_rows) {
                if (!(stopped && in_order)) lists.column_read(columns[i].column);
            } else {
                stopped = true;
            }
        }
        if (stopped && in_order) break;
    }
    return stops;
}

}  // namespace kavrel
