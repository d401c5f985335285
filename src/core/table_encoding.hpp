// The native half of the table driver: from the per-column lists to the
// result matrix and the learned state.  No Python object is involved, so it
// runs on the pool and is tested without an interpreter.
#pragma once

#include "column_jobs.hpp"
#include "column_lists.hpp"
#include "column_worker.hpp"
#include "encoding_info.hpp"
#include "matrix.hpp"

#include <cstddef>
#include <optional>
#include <vector>

namespace kavrel {

// The encoding of one table's columns into `out` (n_rows x the lists'
// columns).  A column may be started as soon as it is read whole, so that
// the pool encodes it while the caller reads the next ones; finish() runs
// the rest and gathers what was learned.  The lists and `out` must outlive
// the encoding; its destruction waits for every column started.  A text
// column's texts are freed as soon as it is encoded.
class TableEncoding {
public:
    TableEncoding(ColumnLists& lists, Matrix& out);

    // Column c will not change any more: its encoding starts on the pool.
    // Fails at once for a column list longer than the matrix.
    void start(std::size_t c);

    // Waits for every column started and forgets what they gave, failures
    // included, as if none had been: for a table that turns to being read
    // again from its first cell, into lists emptied after this returns.
    void forget_started();

    // Encodes the columns not started yet, all at once, waits for every
    // column, and gathers the text columns' labels.  An internal failure
    // of any column is raised again here, on the calling thread: the
    // lowest failing column's, however the pool scheduled them.
    EncodingInfo finish();

private:
    void check_fits(std::size_t c) const;

    ColumnLists& lists_;
    const ColumnContext ctx_;  // the lists and the result
    const std::size_t n_cols_;
    // Indexed by column, so the results come out in column order whichever
    // thread ran which column.
    std::vector<std::optional<ColumnResult>> results_;
    ColumnJobs jobs_;  // last: destroyed, so waited for, first
};

// The whole table at once: TableEncoding(lists, out).finish().
EncodingInfo encode_columns(ColumnLists& lists, Matrix& out);

}  // namespace kavrel
