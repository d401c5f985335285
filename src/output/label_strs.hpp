// The learned labels as Python strs, made once per learned state and shared
// by every call that hands them out (the `labels` attribute and decode), so
// that a call costs references, not new strings.
#pragma once

#include <Python.h>

#include "../core/encoding_info.hpp"
#include "../core/label_index.hpp"
#include "../python/ref.hpp"

#include <atomic>
#include <cstddef>
#include <memory>
#include <string_view>

namespace kavrel {

// New reference: the str of a label's UTF-8 text.
py::Ref label_str(std::string_view text);

// One tuple of strs per learned text column, in code order, made the first
// time a call asks for it.  Any number of threads may ask at once: each
// that finds none makes one and offers it, the first offer wins and the
// others drop theirs.  No lock is held while strs are made, so a thread
// making them never waits for another (which, on a free-threaded
// interpreter, could be waiting for this one to let the collector run).
class LabelStrs {
public:
    explicit LabelStrs(std::size_t n_text_columns);
    // Releases the tuples: the calling thread must be attached.
    ~LabelStrs();
    LabelStrs(const LabelStrs&) = delete;
    LabelStrs& operator=(const LabelStrs&) = delete;

    // Borrowed (alive as long as this): the tuple of the k-th text column,
    // whose labels are `labels`, made now if no call made it before.
    PyObject* tuple(std::size_t k, const Labels& labels);
    // Borrowed: that tuple if a call made it already, else null.
    PyObject* made(std::size_t k) const noexcept { return tuples_[k].load(std::memory_order_acquire); }

private:
    std::unique_ptr<std::atomic<PyObject*>[]> tuples_;
    std::size_t size_;
};

// What an encoder keeps of the last table it learned: the native state and
// its strs.  Shared by readers under the encoder's borrow; replaced whole.
struct LearnedState {
    explicit LearnedState(EncodingInfo learned)
        : info(std::move(learned)), strs(info.object_columns.size()), indexes(info) {}

    // The labels of text column `col`; an internal failure for any other.
    const Labels& labels_of(std::size_t col) const;
    // Borrowed: the tuple of text column `col`.
    PyObject* tuple_of(std::size_t col);
    // Borrowed: that tuple if already made, else null.
    PyObject* made_tuple_of(std::size_t col) const;

    const EncodingInfo info;
    LabelStrs strs;
    LabelIndexes indexes;  // what transform looks labels up in

private:
    std::size_t rank_of(std::size_t col) const;
};

}  // namespace kavrel
