// Throughput of the encoding core on 10 million cells of 8-byte strings.
// The pool's size is fixed per process: run once with RAYON_NUM_THREADS=1 and
// once with RAYON_NUM_THREADS=2 to read the single-thread rate and the
// speed-up.  items_per_second counts cells.
#include "core/label_encode.hpp"
#include "core/pool.hpp"
#include "core/table_encoding.hpp"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace kavrel;

constexpr std::size_t total_cells = 10'000'000;
constexpr std::size_t table_columns = 4;

// `rows` cells drawn uniformly from `distinct` values of exactly 8 bytes.
TextColumn make_column(std::size_t rows, std::size_t distinct, std::uint64_t seed) {
    std::vector<std::string> values;
    values.reserve(distinct);
    for (std::size_t i = 0; i < distinct; ++i) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "v%07zu", i);
        values.emplace_back(buf, 8);
    }
    std::mt19937_64 rng(seed);
    std::uniform_int_distribution<std::size_t> pick(0, distinct - 1);
    TextColumn column;
    column.reserve(rows);
    for (std::size_t j = 0; j < rows; ++j) column.push_back(values[pick(rng)]);
    return column;
}

// Built once per cardinality and kept: making 10M cells costs more than
// encoding them.
const TextColumn& column_for(std::size_t distinct) {
    static std::map<std::size_t, std::unique_ptr<TextColumn>> cache;
    auto& slot = cache[distinct];
    if (!slot) slot = std::make_unique<TextColumn>(make_column(total_cells, distinct, distinct));
    return *slot;
}

const ColumnLists& table_for(std::size_t distinct) {
    static std::map<std::size_t, std::unique_ptr<ColumnLists>> cache;
    auto& slot = cache[distinct];
    if (!slot) {
        slot = std::make_unique<ColumnLists>(table_columns);
        for (std::size_t c = 0; c < table_columns; ++c) {
            slot->column_is_text[c] = 1;
            slot->text_cells[c] = make_column(total_cells / table_columns, distinct, distinct * 31 + c);
        }
    }
    return *slot;
}

void BM_label_encode(benchmark::State& state) {
    const TextColumn& cells = column_for(static_cast<std::size_t>(state.range(0)));
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
    const ColumnLists& lists = table_for(static_cast<std::size_t>(state.range(0)));
    const std::size_t rows = lists.text_cells[0].size();
    for (auto _ : state) {
        Matrix out = Matrix::zeros(rows, table_columns);
        EncodingInfo info = encode_columns(lists, out);
        benchmark::DoNotOptimize(out.data());
        benchmark::DoNotOptimize(info.object_columns.data());
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * rows * table_columns));
    state.counters["threads"] = static_cast<double>(pool::thread_count());
}

BENCHMARK(BM_label_encode)->Arg(10)->Arg(1'000)->Arg(1'000'000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_encode_columns)
    ->Arg(10)
    ->Arg(1'000)
    ->Arg(1'000'000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
