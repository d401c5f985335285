// The table driver: reads every cell of a table on the calling thread, then
// encodes its columns on the pool.
#pragma once

#include <Python.h>

#include "../conversion.hpp"
#include "../core/label_index.hpp"
#include "../core/transform.hpp"
#include "../python/ref.hpp"

namespace kavrel {

struct DriverResult {
    ResultMatrix result;
    EncodingInfo info;
};

// `kind` says whether `obj` is a frame, whose cells are read through its
// "values".  Every failure is an internal failure.
DriverResult encode_object_array(py::Handle obj, const OUT& kind);

// Codes `obj` with what `learned` holds, read as encode_object_array reads
// it: a learned text column by its labels (a column of numbers here by
// their render_number texts), any other column as its numbers.  ValueError
// for a table of another width, a frame whose column labels differ from
// the learned frame's, and a cell that is not a number in a column learned
// as numbers; any other failure is an internal failure.
// A text without a code becomes what `coding` says; with
// coding.unknown_fails, a text that is no label raises ValueError naming it
// and its column (the lowest such column, its first such text).
ResultMatrix transform_object_array(py::Handle obj, const OUT& kind, const EncodingInfo& learned,
                                    LabelIndexes& indexes, const Coding& coding);

}  // namespace kavrel
