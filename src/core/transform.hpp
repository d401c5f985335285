// Coding a table with labels learned before, without learning: the native
// half of Encoder.transform.  No Python object is involved, so it runs on
// the pool and is tested without an interpreter.
#pragma once

#include "column_jobs.hpp"
#include "column_lists.hpp"
#include "encoding_info.hpp"
#include "label_index.hpp"
#include "matrix.hpp"
#include "text_column.hpp"

#include <atomic>
#include <cstddef>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "label_encode.hpp"

namespace kavrel {

// What a text without a code becomes: a missing-value marker `missing`, a
// text that is no label `unknown`; the NaN that encode writes unless said.
// With unknown_fails, a text that is no label is an error, which the coding
// reports after it has written every code.
struct Coding {
    double unknown = missing_code;
    double missing = missing_code;
    bool unknown_fails = false;
};

// The first text without a label that a coding met, as an index (an entry
// or row) that any number of threads lower at once.
class FirstUnknown {
public:
    static constexpr std::size_t none = std::numeric_limits<std::size_t>::max();
    void offer(std::size_t index) noexcept {
        std::size_t seen = first_.load(std::memory_order_relaxed);
        while (index < seen && !first_.compare_exchange_weak(seen, index, std::memory_order_relaxed)) {
        }
    }
    std::size_t get() const noexcept { return first_.load(std::memory_order_relaxed); }

private:
    std::atomic<std::size_t> first_{none};
};

// out[i] := the code of cell i's text, or what `coding` gives a text
// without one.  Each entry of the column is looked up once, on the pool.
// With coding.unknown_fails, returns the text of the first cell (in cell
// order) that is no label, if any.
std::optional<std::string> code_by_labels(const TextColumn& cells, const LabelIndex& labels, std::span<double> out,
                                          const Coding& coding = {});

// The coding of every column of `lists` into `out` (n_rows x n_cols): a
// column that `learned` has labels for is coded by them, from its texts or,
// for a column read as numbers, from their render_number texts; any other
// keeps its numbers and must have been read as numbers (the caller refuses
// a text column first).  A column's numbers are taken from its list or,
// when the lists wrote them into `out`, where they lie.  A column of another
// length than the matrix's, or of the wrong kind, is an internal failure.
// As with TableEncoding, a column may start as soon as it is read whole;
// the lists, `learned`, `indexes` and `out` must outlive the coding.
class TableTransform {
public:
    TableTransform(const ColumnLists& lists, const EncodingInfo& learned, LabelIndexes& indexes, Matrix& out,
                   const Coding& coding = {});

    // Column c will not change any more: its coding starts on the pool.
    void start(std::size_t c) { jobs_.start(c); }
    // As TableEncoding::forget_started.
    void forget_started() { jobs_.forget_started(); }
    // Codes the columns not started yet and waits for every column; the
    // lowest failing column's internal failure is raised again here.
    void finish() { jobs_.finish(); }

    // After finish(), with coding.unknown_fails: the lowest column that
    // holds a text which is no label, and the first such text in it.
    std::optional<std::pair<std::size_t, std::string>> first_unknown() const;

private:
    void column(std::size_t c);
    // Where column c's numbers are: its list, or already in `out`.
    std::span<const double> numbers_of(std::size_t c) const;

    const ColumnLists& lists_;
    const EncodingInfo& learned_;
    LabelIndexes& indexes_;
    Matrix& out_;
    const Coding coding_;
    // By column: the first text without a label, written by the column's job.
    std::unique_ptr<std::optional<std::string>[]> unknown_;
    ColumnJobs jobs_;  // last: destroyed, so waited for, first
};

}  // namespace kavrel
