#include "utf8.hpp"

#include "errors.hpp"

#include <cstring>

namespace kavrel::py {

namespace {

constexpr bool is_surrogate(Py_UCS4 c) noexcept {
    return c >= 0xD800 && c <= 0xDFFF;
}

constexpr std::size_t utf8_width(Py_UCS4 c) noexcept {
    if (c < 0x80) return 1;
    if (c < 0x800) return 2;
    if (is_surrogate(c)) return 9;  // three U+FFFD
    if (c < 0x10000) return 3;
    return 4;
}

}  // namespace

char* put_utf8(char* out, Py_UCS4 c) noexcept {
    if (c < 0x80) {
        *out++ = static_cast<char>(c);
    } else if (c < 0x800) {
        *out++ = static_cast<char>(0xC0 | (c >> 6));
        *out++ = static_cast<char>(0x80 | (c & 0x3F));
    } else if (is_surrogate(c)) {
        for (int i = 0; i < 3; ++i) {
            *out++ = '\xEF';
            *out++ = '\xBF';
            *out++ = '\xBD';
        }
    } else if (c < 0x10000) {
        *out++ = static_cast<char>(0xE0 | (c >> 12));
        *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (c & 0x3F));
    } else {
        *out++ = static_cast<char>(0xF0 | (c >> 18));
        *out++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (c & 0x3F));
    }
    return out;
}

namespace {

// A str can hold a code point above U+10FFFF: CPython's constructors scan
// only until they know the string needs four bytes a unit, and numpy's item
// read of a fixed-width unicode element hands over what they built.  UTF-8
// has no form for it (CPython's own encoder writes F4 90 80 80, which no
// decoder takes back), so the text is refused.
[[noreturn]] void raise_beyond_unicode(PyObject* str, std::size_t at) {
    const auto start = static_cast<Py_ssize_t>(at);
    Ref error = check(PyObject_CallFunction(PyExc_UnicodeEncodeError, "sOnns", "utf-8", str, start, start + 1,
                                            msg::beyond_unicode));
    PyErr_SetObject(PyExc_UnicodeEncodeError, error.get());
    throw PythonError{};
}

// Code units of one width at a time: the width test stays out of the loops.
template <class Unit, class Sink>
void write_units(PyObject* str, const Unit* units, std::size_t length, Sink&& sink) {
    std::size_t size = 0;
    for (std::size_t i = 0; i < length; ++i) {
        if constexpr (sizeof(Unit) == 4)
            if (units[i] > 0x10FFFF) [[unlikely]]
                raise_beyond_unicode(str, i);
        size += utf8_width(units[i]);
    }
    sink(size, [&](char* dst) {
        char* out = dst;
        for (std::size_t i = 0; i < length; ++i) out = put_utf8(out, units[i]);
        return static_cast<std::size_t>(out - dst);
    });
}

template <class Sink>
void write_text(PyObject* str, Sink&& sink) {
    const auto length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(str));
    const void* data = PyUnicode_DATA(str);
    if (PyUnicode_IS_ASCII(str)) {
        sink(length, [&](char* dst) {
            std::memcpy(dst, data, length);
            return length;
        });
        return;
    }
    switch (PyUnicode_KIND(str)) {
        case PyUnicode_1BYTE_KIND: return write_units(str, static_cast<const Py_UCS1*>(data), length, sink);
        case PyUnicode_2BYTE_KIND: return write_units(str, static_cast<const Py_UCS2*>(data), length, sink);
        default: return write_units(str, static_cast<const Py_UCS4*>(data), length, sink);
    }
}

}  // namespace

void append_utf8(TextColumn& column, PyObject* str) {
    write_text(str, [&](std::size_t size, auto&& write) { column.push_back_written(size, write); });
}

bool append_utf8_within_unicode(TextColumn& column, PyObject* str) {
    if (PyUnicode_KIND(str) == PyUnicode_4BYTE_KIND) {
        const auto* units = static_cast<const Py_UCS4*>(PyUnicode_DATA(str));
        const auto length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(str));
        for (std::size_t i = 0; i < length; ++i)
            if (units[i] > 0x10FFFF) return false;
    }
    // Nothing left for write_text to refuse: it raises nothing.
    append_utf8(column, str);
    return true;
}

std::string utf8_of(PyObject* str) {
    std::string out;
    write_text(str, [&](std::size_t size, auto&& write) {
        out.resize(size);
        out.resize(write(out.data()));
    });
    return out;
}

Ref to_str(std::string_view text) {
    return check(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
}

}  // namespace kavrel::py
