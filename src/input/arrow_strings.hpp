// An Arrow string column read from its own buffers: the producer exports it
// through the Arrow PyCapsule interface (__arrow_c_stream__), and the
// strings are read in place, chunk by chunk, without a Python object per
// string.
#pragma once

#include <Python.h>

#include "../python/ref.hpp"
#include "arrow_c_data.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

namespace kavrel {

// A stream taken over from its producer's capsule, with its schema and all
// its chunks, read to its end.  Released in reverse order: the chunks, the
// schema, then the stream.
struct ArrowStream {
    arrow::Stream stream;
    arrow::Schema schema;
    std::vector<arrow::Array> chunks;
};

// The stream that `exporter.__arrow_c_stream__()` exports, read whole.
// Nothing when the export raises an ordinary exception (cleared), or the
// stream reports a failure; MemoryError and what is not an Exception throw
// py::PythonError.  Nothing of a chunk is checked here.
std::optional<ArrowStream> read_arrow_stream(py::Handle exporter);

class ArrowStrings {
public:
    // The column that `exporter` (e.g. a pyarrow ChunkedArray) streams, when
    // it streams one of the string layouts (string, large_string,
    // string_view) in well-formed chunks.  Nothing otherwise, also when the
    // export raises an ordinary exception (cleared); MemoryError and what
    // is not an Exception throw py::PythonError.
    static std::optional<ArrowStrings> open(py::Handle exporter);
    // The same, of a stream already read.
    static std::optional<ArrowStrings> of(ArrowStream stream);

    std::size_t length() const noexcept { return length_; }

    // Calls text(std::string_view) for each string and null() for each
    // missing one, in row order.  Stops and returns false at a string that
    // is not well-formed UTF-8 (no Python string could hold it).
    template <class Text, class Null>
    bool for_each(Text&& text, Null&& null) const;

    // When the column is one chunk of the string or large_string layout
    // without a missing value: calls texts(data, offsets, length), string i
    // lying from data + offsets[i] to data + offsets[i + 1], and returns
    // true.  The offsets are checked as for_each checks them.
    template <class Texts>
    bool as_offsets(Texts&& texts) const;

    // A string array that comes otherwise than as a stream's chunk (the
    // values of a dictionary array), described by `schema`: checked as
    // open() checks a chunk, then read as for_each reads.  False when it is
    // not one of the string layouts, not readable, or not UTF-8.
    template <class Text, class Null>
    static bool for_each_in(const ArrowSchema& schema, const ArrowArray& array, Text&& text, Null&& null);

private:
    enum class Layout { string, large_string, string_view };

    // The layout that `schema` describes, if it is a plain string type.
    static std::optional<Layout> layout_of(const ArrowSchema& schema) noexcept;
    // Whether `chunk` has the buffers of `layout` and reading it stays
    // within them.
    static bool chunk_readable(const ArrowArray& chunk, Layout layout) noexcept;
    template <class Text, class Null>
    static bool for_each_in_chunk(const ArrowArray& chunk, Layout layout, Text& text, Null& null);

    // Whether reading `chunk` as `layout` stays within its buffers.
    static bool readable(const ArrowArray& chunk, Layout layout) noexcept;
    template <class Offset>
    static bool offsets_readable(const ArrowArray& chunk) noexcept;
    static bool views_readable(const ArrowArray& chunk) noexcept;

    template <class Offset, class Text, class Null>
    static bool for_each_offset_string(const ArrowArray& chunk, Text& text, Null& null);
    template <class Text, class Null>
    static bool for_each_view_string(const ArrowArray& chunk, Text& text, Null& null);

    static bool is_valid(const ArrowArray& chunk, std::int64_t i) noexcept {
        if (chunk.null_count == 0 || chunk.buffers[0] == nullptr) return true;
        const auto* bits = static_cast<const std::uint8_t*>(chunk.buffers[0]);
        const std::int64_t j = chunk.offset + i;
        return (bits[j >> 3] >> (j & 7)) & 1;
    }

    Layout layout_ = Layout::string;
    std::size_t length_ = 0;
    // Every chunk was found readable when it was opened.
    ArrowStream data_;
};

// Whether `text` is well-formed UTF-8; a large text is checked on the pool.
bool arrow_text_is_valid(const char* text, std::size_t size);

template <class Offset, class Text, class Null>
bool ArrowStrings::for_each_offset_string(const ArrowArray& chunk, Text& text, Null& null) {
    const auto* offsets = static_cast<const Offset*>(chunk.buffers[1]) + chunk.offset;
    const char* data = static_cast<const char*>(chunk.buffers[2]);
    const std::int64_t n = chunk.length;
    if (n == 0) return true;
    // The strings lie end to end (the offsets never decrease).  When their
    // bytes are well-formed UTF-8 as a whole and no string starts inside a
    // character (on a continuation byte), each string is well-formed on its
    // own.
    const char* all_begin = data + offsets[0];
    const char* all_end = data + offsets[n];
    if (!arrow_text_is_valid(all_begin, static_cast<std::size_t>(all_end - all_begin))) return false;
    for (std::int64_t i = 0; i < n; ++i) {
        const char* begin = data + offsets[i];
        const char* end = data + offsets[i + 1];
        if (!is_valid(chunk, i)) {
            null();
            continue;
        }
        if ((begin < all_end && (static_cast<unsigned char>(*begin) & 0xC0) == 0x80) ||
            (end < all_end && (static_cast<unsigned char>(*end) & 0xC0) == 0x80))
            return false;
        text(std::string_view(begin, static_cast<std::size_t>(end - begin)));
    }
    return true;
}

template <class Text, class Null>
bool ArrowStrings::for_each_view_string(const ArrowArray& chunk, Text& text, Null& null) {
    // 16 bytes per string: its length, then the string itself when it has
    // at most 12 bytes, else a 4-byte prefix, the index of the data buffer
    // (counted from the third buffer) and the offset in it.  views_readable
    // has checked that each lies within its buffer.
    const auto* views = static_cast<const char*>(chunk.buffers[1]) + 16 * chunk.offset;
    const auto* data_buffers = reinterpret_cast<const char* const*>(chunk.buffers + 2);
    for (std::int64_t i = 0; i < chunk.length; ++i) {
        if (!is_valid(chunk, i)) {
            null();
            continue;
        }
        const char* view = views + 16 * i;
        std::int32_t size;
        std::memcpy(&size, view, 4);
        const char* begin = view + 4;
        if (size > 12) {
            std::int32_t buffer, offset;
            std::memcpy(&buffer, view + 8, 4);
            std::memcpy(&offset, view + 12, 4);
            begin = data_buffers[buffer] + offset;
        }
        if (!arrow_text_is_valid(begin, static_cast<std::size_t>(size))) return false;
        text(std::string_view(begin, static_cast<std::size_t>(size)));
    }
    return true;
}

template <class Text, class Null>
bool ArrowStrings::for_each_in_chunk(const ArrowArray& chunk, Layout layout, Text& text, Null& null) {
    switch (layout) {
        case Layout::string: return for_each_offset_string<std::int32_t>(chunk, text, null);
        case Layout::large_string: return for_each_offset_string<std::int64_t>(chunk, text, null);
        case Layout::string_view: return for_each_view_string(chunk, text, null);
    }
    return false;
}

template <class Text, class Null>
bool ArrowStrings::for_each(Text&& text, Null&& null) const {
    for (const arrow::Array& chunk : data_.chunks)
        if (!for_each_in_chunk(*chunk, layout_, text, null)) return false;
    return true;
}

template <class Text, class Null>
bool ArrowStrings::for_each_in(const ArrowSchema& schema, const ArrowArray& array, Text&& text, Null&& null) {
    std::optional<Layout> layout = layout_of(schema);
    return layout && chunk_readable(array, *layout) && for_each_in_chunk(array, *layout, text, null);
}

template <class Texts>
bool ArrowStrings::as_offsets(Texts&& texts) const {
    if (data_.chunks.size() != 1 || layout_ == Layout::string_view) return false;
    const ArrowArray& chunk = *data_.chunks.front();
    if (chunk.length == 0 || (chunk.null_count != 0 && chunk.buffers[0] != nullptr)) return false;
    if (!for_each([](std::string_view) {}, [] {})) return false;
    const char* data = static_cast<const char*>(chunk.buffers[2]);
    if (layout_ == Layout::string)
        texts(data, static_cast<const std::int32_t*>(chunk.buffers[1]) + chunk.offset, chunk.length);
    else
        texts(data, static_cast<const std::int64_t*>(chunk.buffers[1]) + chunk.offset, chunk.length);
    return true;
}

}  // namespace kavrel
