// Throughput of the encoding core on 10 million cells, and of its string
// hash.  The second argument of the encoding benchmarks is the length of the
// strings: 8 bytes fit the inline prefix of label_encode's local maps, 20
// bytes take the seeded string hash there and everywhere else.  The pool's
// size is fixed per process: `make bench-core` (scripts/bench-core) runs
// this once with RAYON_NUM_THREADS=1 and once with RAYON_NUM_THREADS=2 to
// read the single-thread rate and the speed-up.  items_per_second counts
// cells, or strings hashed, per second of wall time.
#include "core/hashing.hpp"
#include "core/label_encode.hpp"
#include "core/pool.hpp"
#include "core/table_encoding.hpp"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace {

using namespace kavrel;

constexpr std::size_t total_cells = 10'000'000;
constexpr std::size_t table_columns = 4;

// `distinct` values of `length` (at least 8) bytes: a number in the first 8,
// then a fixed tail, so that longer values differ where shorter ones do.
std::vector<std::string> make_values(std::size_t distinct, std::size_t length) {
    std::vector<std::string> values;
    values.reserve(distinct);
    for (std::size_t i = 0; i < distinct; ++i) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "v%07zu", i);
        std::string value(buf, 8);
        value.resize(length, '-');
        values.push_back(std::move(value));
    }
    return values;
}

// `rows` cells drawn uniformly from `distinct` values of `length` bytes.
TextColumn make_column(std::size_t rows, std::size_t distinct, std::size_t length, std::uint64_t seed) {
    const std::vector<std::string> values = make_values(distinct, length);
    std::mt19937_64 rng(seed);
    std::uniform_int_distribution<std::size_t> pick(0, distinct - 1);
    TextColumn column;
    column.reserve(rows);
    for (std::size_t j = 0; j < rows; ++j) column.push_back(values[pick(rng)]);
    return column;
}

// Built once per cardinality and length, and kept only while the
// benchmarks of that shape run: making 10M cells costs more than encoding them.
using Shape = std::pair<std::size_t, std::size_t>;  // distinct, length

Shape shape_of(const benchmark::State& state) {
    return {static_cast<std::size_t>(state.range(0)), static_cast<std::size_t>(state.range(1))};
}

const TextColumn& column_for(Shape shape) {
    static Shape made;
    static std::unique_ptr<TextColumn> column;
    if (!column || made != shape) {
        column.reset();
        column = std::make_unique<TextColumn>(make_column(total_cells, shape.first, shape.second, shape.first));
        made = shape;
    }
    return *column;
}

const ColumnLists& table_for(Shape shape) {
    static Shape made;
    static std::unique_ptr<ColumnLists> lists;
    if (!lists || made != shape) {
        lists.reset();
        lists = std::make_unique<ColumnLists>(table_columns);
        for (std::size_t c = 0; c < table_columns; ++c) {
            lists->text_column(c) =
                make_column(total_cells / table_columns, shape.first, shape.second, shape.first * 31 + c);
        }
        made = shape;
    }
    return *lists;
}

void BM_label_encode(benchmark::State& state) {
    const TextColumn& cells = column_for(shape_of(state));
    for (auto _ : state) {
        LabelEncoding encoded = label_encode(cells);
        benchmark::DoNotOptimize(encoded.codes.data());
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * cells.size()));
    state.counters["threads"] = static_cast<double>(pool::thread_count());
}

// The driver on a table of 4 text columns of 2.5M rows: columns in
// parallel, rows in parallel within each, the matrix and the labels
// included.
void BM_encode_columns(benchmark::State& state) {
    const ColumnLists& lists = table_for(shape_of(state));
    const std::size_t rows = lists.texts(0).size();
    for (auto _ : state) {
        // The encoding frees each column's texts once encoded: it gets a
        // copy, made outside the timing.
        state.PauseTiming();
        ColumnLists copy = lists;
        state.ResumeTiming();
        Matrix out = Matrix::zeros(rows, table_columns);
        EncodingInfo info = encode_columns(copy, out);
        benchmark::DoNotOptimize(out.data());
        benchmark::DoNotOptimize(info.object_columns.data());
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * rows * table_columns));
    state.counters["threads"] = static_cast<double>(pool::thread_count());
}

// The seeded string hash of the forward maps alone, over 4,096 distinct
// strings of the given length (they stay in the L1 cache).
void BM_string_hash(benchmark::State& state) {
    const std::vector<std::string> values = make_values(4'096, static_cast<std::size_t>(state.range(0)));
    const StringHash hash;
    for (auto _ : state) {
        std::size_t sum = 0;
        for (const std::string& value : values) sum += hash(value);
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * values.size()));
}

void encoding_shapes(benchmark::internal::Benchmark* b) {
    b->ArgNames({"distinct", "bytes"});
    for (std::int64_t length : {8, 20})
        for (std::int64_t distinct : {10, 1'000, 1'000'000}) b->Args({distinct, length});
    // Rates from the wall clock; the CPU column is the whole process's CPU
    // time, which other work on the machine disturbs less.
    b->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime();
}

BENCHMARK(BM_label_encode)->Apply(encoding_shapes);
BENCHMARK(BM_encode_columns)->Apply(encoding_shapes);
BENCHMARK(BM_string_hash)->ArgName("bytes")->Arg(8)->Arg(20)->Arg(64);

}  // namespace

BENCHMARK_MAIN();
