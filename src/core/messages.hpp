// Every text the module shows its users, beside the condition that shows
// it.  Texts with "%" are formats for the interpreter's PyUnicode_FromFormat
// (the Python side fills them); the others are used as they stand or are
// filled by the functions at the end.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kavrel::msg {

// --- TypeError, ValueError and RuntimeError of the entry points ------------

// An object of the wrong type: its type's name, then the expected name.
inline constexpr const char* not_an_instance = "'%U' object is not an instance of '%s'";
// Note added to the error of a bad constructor argument: its name.
inline constexpr const char* argument_note = "while processing '%s'";
// RuntimeError when the Encoder class cannot be made; the cause is attached.
inline constexpr const char* class_init_failed = "An error occurred while initializing class %s";
// ImportError in any interpreter but the main one; CPython's own words for
// the interpreters whose configuration checks extensions.
inline constexpr const char* subinterpreters_unsupported =
    "module %s does not support loading in subinterpreters";

// Argument handling; the first "%s" is the callable, e.g. "Encoder.encode()".
inline constexpr const char* missing_argument = "%s missing 1 required positional argument: '%s'";
inline constexpr const char* unexpected_keyword = "%s got an unexpected keyword argument '%U'";
inline constexpr const char* multiple_values = "%s got multiple values for argument '%s'";
// More positional arguments than the method has: allowed count, given count,
// "was" or "were".
inline constexpr const char* too_many_positional = "%s takes %s positional arguments but %zd %s given";
inline constexpr const char* too_many_positional_range =
    "%s takes from %d to %d positional arguments but %zd %s given";

// ValueError: an encoding strategy other than "label"; the string given.
inline constexpr const char* unsupported_strategy = "%U is not a supported encoding strategy for strings!";

// Encoder.from_labels (and a kept state, which is checked the same way).
// TypeError: the labels of a column given as one str (an iterable of its
// characters); the position.
inline constexpr const char* labels_are_one_str = "the labels of column %zd must be an iterable of str, not a str";
// ValueError: a position outside 0 .. n_columns - 1; the position, the width.
inline constexpr const char* position_out_of_range = "column position %R is out of range for %zd columns";
// TypeError: an item of the labels (or counts) mapping's items() that is
// not a pair: "labels" twice, then a tuple's length or another type's name.
inline constexpr const char* item_not_a_pair = "each item of the %s must be a (position, %s) pair, not a tuple of %zd";
inline constexpr const char* item_not_a_tuple = "each item of the %s must be a (position, %s) pair, not '%U'";
// ValueError: one position given twice (a mapping whose items repeat a key).
inline constexpr const char* position_repeated = "column position %zd is given more than once";
// ValueError: a negative table width; the width.
inline constexpr const char* negative_width = "n_columns must be at least 0, not %zd";
// ValueError: a label that encode would read as a missing value; the label,
// the position.
inline constexpr const char* marker_as_label = "%R is a missing-value marker, not a label (column %zd)";
// ValueError: a label without a UTF-8 form (a lone surrogate); the label,
// the position.
inline constexpr const char* label_not_utf8 = "label %R of column %zd cannot be encoded as UTF-8";
// ValueError: with sort=False, a label given twice; the label, the position.
inline constexpr const char* label_repeated = "label %R is given more than once in column %zd";
// ValueError: counts of a column that has other labels; the position, the
// number of labels, the number of counts.
inline constexpr const char* counts_length = "column %zd has %zd labels but %zd counts";
// ValueError: a count below 0; the count, the position.
inline constexpr const char* negative_count = "count %R of column %zd is negative";
// OverflowError: counts of one label that add up past 2**64 - 1; the position.
inline constexpr const char* count_overflow = "the counts of a label of column %zd add up to more than 2**64 - 1";
// ValueError: counts at a position that has no labels; the position.
inline constexpr const char* counts_without_labels = "counts are given for column %R, which has no labels";

// A kept Encoder state (pickling): (version, n_columns, column labels,
// labels).  ValueError: a state of another length; its length.
inline constexpr const char* state_length = "an Encoder state of format version %d has %zd items, not %zd";
// ValueError: a state kept by a later version of the module; the version
// given, the one this module writes.
inline constexpr const char* state_too_new =
    "the Encoder state has format version %R, newer than this kavrel reads (%d): it was kept by a newer kavrel";
// ValueError: a version that no module writes; the version given.
inline constexpr const char* state_version_unknown = "unknown Encoder state format version %R";
// ValueError: column labels of a frame that do not fit the width; their
// count, the width.
inline constexpr const char* state_column_count = "the Encoder state names %zd columns of a table of %zd";

// Encoder.transform.  ValueError: an encoder that has learned no table.
inline constexpr const char* nothing_learned =
    "this Encoder has learned nothing to transform with: encode a table that is not float64 first";
// ValueError: a table of another width; its width, the learned one.
inline constexpr const char* width_differs = "the table has %zd columns, but the Encoder learned a table of %zd";
// ValueError: a frame's column label that differs from the learned frame's;
// the position, the label given, the label learned.
inline constexpr const char* frame_column_differs =
    "column %zd of the frame is labelled '%s', but the Encoder learned '%s' there";
// ValueError: a cell that is not a number in a column learned as numbers;
// the position, the row.
inline constexpr const char* not_a_number_in_numeric_column =
    "column %zd was learned as numbers, but its cell in row %zd is not a number";
// ValueError: with unknown="error", a text that is no learned label; the
// text, the position.
inline constexpr const char* unknown_label = "%R in column %zd is not a learned label";
// ValueError: a str other than "error" for `unknown`; the str.
inline constexpr const char* unknown_not_error = "unknown must be a number or 'error', not %R";

// RuntimeError: encode meets any other call on the same encoder.
inline constexpr const char* already_borrowed = "Already borrowed";
// RuntimeError: decode meets an encode on the same encoder.
inline constexpr const char* already_mutably_borrowed = "Already mutably borrowed";

// TypeError: an input whose type is named neither ndarray, memmap nor
// DataFrame (its name is printed on standard output first).
inline constexpr const char* unsupported_type = "Unsupported type: '%s'. Supported types are: %s";
inline constexpr const char* supported_types = "numpy.ndarray, pandas.DataFrame";

// SystemError: a Python operation reported failure without an exception.
inline constexpr const char* no_exception_set = "attempted to fetch exception but none was set";

// UnicodeEncodeError (codec "utf-8"): a str holding a code point above
// U+10FFFF, which has no UTF-8 form; the reason Python's codecs give.
inline constexpr const char* beyond_unicode = "code point not in range(0x110000)";

// MemoryError: the system would not start a single thread for the pool.
// The next call tries again.
inline constexpr std::string_view threads_unavailable =
    "the system cannot start a thread for the worker pool";

// --- PanicException: internal failures --------------------------------------

// Opens the message of a failed step whose success is taken for granted
// (reading "shape", "values" or a cell), before ": " and the Python error.
inline constexpr std::string_view mandatory_step_failed = "a required step failed";
// The cause of a failed "shape" read that raised nothing itself.
inline constexpr const char* shape_not_a_pair = "shape %R is not a pair of integers";
// str() of a cell of a text column raised.
inline constexpr std::string_view cant_convert_to_str = "cant convert to str";
// The result's element count or byte size does not fit.
inline constexpr std::string_view capacity_overflow = "capacity overflow";
// A learned text column without its labels.
inline constexpr std::string_view no_entry_found = "no entry found for key";
// A learned text column beyond the columns of the table being decoded.
inline constexpr std::string_view ndarray_index_out_of_bounds = "ndarray: index out of bounds";
// "Encoder" could not be appended to the module's __all__.
inline constexpr std::string_view append_to_all_failed = "could not append __name__ to __all__";
// A polars frame whose columns disagree with its shape.
inline constexpr std::string_view polars_columns_differ = "the columns of a polars frame do not match its shape";
// A failure of a kind the module does not know reached an entry point.
inline constexpr std::string_view unknown_failure = "an unexpected internal failure";

// A column index outside a per-column list, or outside a frame's labels.
inline std::string index_out_of_bounds(std::size_t len, std::size_t index) {
    return "index out of bounds: the len is " + std::to_string(len) + " but the index is " +
           std::to_string(index);
}

// Standard error, where an internal failure happens: the thread, the source
// position of the check and the message.
inline std::string panic_diagnostic(std::string_view thread, std::string_view file, unsigned line,
                                    unsigned column, std::string_view message) {
    std::string out = "thread '";
    out.append(thread).append("' panicked at ").append(file);
    out.append(":").append(std::to_string(line));
    out.append(":").append(std::to_string(column));
    out.append(":\n").append(message).append("\n");
    return out;
}

// Standard error, just before the process aborts: an internal failure while
// another one was being raised as PanicException.
inline constexpr const char* uncaught_panic = "uncaught panic at ffi boundary\n";

}  // namespace kavrel::msg
