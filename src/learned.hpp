// What an encoder learned, as Python objects: the `labels` attribute, the
// learned state that from_labels builds, and the state that pickling keeps.
#pragma once

#include <Python.h>

#include "core/encoding_info.hpp"
#include "output/label_strs.hpp"
#include "python/ref.hpp"

#include <memory>

namespace kavrel {

// New reference: a new dict {column position: tuple of label strs in code
// order}; empty without a learned state.
py::Ref labels_dict(LearnedState* learned);

// New reference: a new dict {column position: tuple of label counts in code
// order}; empty without a learned state.
py::Ref counts_dict(LearnedState* learned);

// The state that Encoder.from_labels(labels, n_columns, counts=, sort=)
// gives: per column position, its labels, with their counts (`counts` null:
// every count 0).  Sorted, a column's labels are de-duplicated (a label
// given twice has the sum of its counts) and sorted byte-wise by their UTF-8
// text, as an encode of an ndarray of that width would have learned them;
// unsorted, they keep the order given and must differ.  Raises TypeError
// or ValueError for anything else.
EncodingInfo info_from_labels(py::Handle labels, py::Handle n_columns, PyObject* counts = nullptr,
                              bool sort = true);

// The state that pickling and copying keep: None when nothing was learned,
// else a tuple (format version, n_columns, the learned frame's column labels
// as a tuple of str or None, labels_dict(), counts_dict()).  States of
// version 1 have no counts and sorted labels.
py::Ref state_of(LearnedState* learned);

// The learned state that state_of gave (null for None).  Refuses a state of
// a newer format version, and checks the rest as from_labels checks its
// arguments: a damaged or hand-made state raises TypeError or ValueError.
std::unique_ptr<LearnedState> learned_from_state(py::Handle state);

}  // namespace kavrel
