// UTF-8 from str: the text of Python strings, read straight from the
// string's own storage (no Python object is created, and no UTF-8 copy is
// cached inside the caller's string), and str from UTF-8.
#pragma once

#include <Python.h>

#include "../core/text_column.hpp"
#include "ref.hpp"

#include <string>
#include <string_view>

namespace kavrel::py {

// Appends the text of `str` (a str or subclass) to `column` as UTF-8.  A
// surrogate code point cannot be encoded: it becomes three U+FFFD, as
// encoding with "surrogatepass" and decoding with "replace" gives.  A code
// point above U+10FFFF (a str that CPython should not have built) throws
// PythonError (UnicodeEncodeError), with nothing appended.
void append_utf8(TextColumn& column, PyObject* str);

// The same for an exact str, except that a code point above U+10FFFF
// returns false with nothing appended.  Reads only the string's length,
// kind and code units, calls no C-API function and touches no reference
// count: a pool thread may run it (see input/pooled_cells.cpp for when).
bool append_utf8_within_unicode(TextColumn& column, PyObject* str);

// Writes code point `c` as UTF-8 (a surrogate as three U+FFFD, 9 bytes;
// never more); returns the end of what it wrote.
char* put_utf8(char* out, Py_UCS4 c) noexcept;

// The same text as a std::string; fails as append_utf8 fails.
std::string utf8_of(PyObject* str);

// New reference: the str of valid UTF-8 `text`; throws PythonError
// (UnicodeDecodeError) for any other bytes.
Ref to_str(std::string_view text);

}  // namespace kavrel::py
