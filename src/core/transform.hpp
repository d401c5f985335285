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

#include <cstddef>
#include <span>

namespace kavrel {

// out[i] := the code of cell i's text, NaN when it has none.  Each entry of
// the column is looked up once, on the pool.
void code_by_labels(const TextColumn& cells, const LabelIndex& labels, std::span<double> out);

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
    TableTransform(const ColumnLists& lists, const EncodingInfo& learned, LabelIndexes& indexes, Matrix& out);

    // Column c will not change any more: its coding starts on the pool.
    void start(std::size_t c) { jobs_.start(c); }
    // As TableEncoding::forget_started.
    void forget_started() { jobs_.forget_started(); }
    // Codes the columns not started yet and waits for every column; the
    // lowest failing column's internal failure is raised again here.
    void finish() { jobs_.finish(); }

private:
    void column(std::size_t c);
    // Where column c's numbers are: its list, or already in `out`.
    std::span<const double> numbers_of(std::size_t c) const;

    const ColumnLists& lists_;
    const EncodingInfo& learned_;
    LabelIndexes& indexes_;
    Matrix& out_;
    ColumnJobs jobs_;  // last: destroyed, so waited for, first
};

}  // namespace kavrel
