#include "arrow_strings.hpp"

#include "../core/pool.hpp"
#include "../python/errors.hpp"
#include "../python/held_objects.hpp"
#include "cell_rules.hpp"
#include "utf8_check.hpp"

#include <atomic>
#include <cstring>
#include <limits>

namespace kavrel {

namespace {

// Whether `chunk` has the buffers that `format` says it has, and nothing
// that a plain string array does not have.
bool well_formed(const ArrowArray& chunk, bool view) noexcept {
    if (chunk.length < 0 || chunk.offset < 0 || chunk.n_children != 0 || chunk.dictionary != nullptr)
        return false;
    // Rows offset to offset + length are addressed (one more offset).
    if (chunk.offset > std::numeric_limits<std::int64_t>::max() / 16 - chunk.length - 1) return false;
    // Validity, offsets (or views) and data; views add their data buffers
    // and a last buffer holding their sizes.
    if (view ? chunk.n_buffers < 3 : chunk.n_buffers != 3) return false;
    if (chunk.buffers == nullptr) return false;
    // A missing value needs the validity bitmap that marks it.  (Its size
    // is not passed: that it covers the rows is the producer's promise.)
    if (chunk.null_count > chunk.length || (chunk.null_count > 0 && chunk.buffers[0] == nullptr)) return false;
    if (chunk.length == 0) return true;
    if (chunk.buffers[1] == nullptr) return false;
    if (!view && chunk.buffers[2] == nullptr) return false;
    return true;
}

}  // namespace

template <class Offset>
bool ArrowStrings::offsets_readable(const ArrowArray& chunk) noexcept {
    // The interface passes no size for the data buffer of these layouts:
    // that the last offset lies within it is the producer's promise
    // (pyarrow checks the first and the last offset against it when it
    // builds an array from raw buffers).  What is checked here is all the
    // rest that each string's bounds rely on, null rows included.
    const auto* offsets = static_cast<const Offset*>(chunk.buffers[1]) + chunk.offset;
    // Without an early exit the loop vectorises: a whole column is checked.
    bool ordered = offsets[0] >= 0;
    for (std::int64_t i = 0; i < chunk.length; ++i) ordered &= offsets[i] <= offsets[i + 1];
    return ordered;
}

bool ArrowStrings::views_readable(const ArrowArray& chunk) noexcept {
    // After the validity bitmap and the views come the data buffers, then
    // one buffer holding their sizes as 64-bit integers.
    const std::int64_t n_data = chunk.n_buffers - 3;
    const auto* sizes = static_cast<const std::int64_t*>(chunk.buffers[chunk.n_buffers - 1]);
    if (n_data > 0 && sizes == nullptr) return false;
    const auto* views = static_cast<const char*>(chunk.buffers[1]) + 16 * chunk.offset;
    for (std::int64_t i = 0; i < chunk.length; ++i) {
        if (!is_valid(chunk, i)) continue;  // never read
        const char* view = views + 16 * i;
        std::int32_t size, buffer, offset;
        std::memcpy(&size, view, 4);
        if (size < 0) return false;
        if (size <= 12) continue;  // inline: within the view itself
        std::memcpy(&buffer, view + 8, 4);
        std::memcpy(&offset, view + 12, 4);
        if (buffer < 0 || buffer >= n_data || offset < 0 || chunk.buffers[2 + buffer] == nullptr) return false;
        // 32-bit offset and size: their sum does not overflow 64 bits.
        if (std::int64_t{offset} + size > sizes[buffer]) return false;
    }
    return true;
}

bool ArrowStrings::readable(const ArrowArray& chunk, Layout layout) noexcept {
    if (chunk.length == 0) return true;
    switch (layout) {
        case Layout::string: return offsets_readable<std::int32_t>(chunk);
        case Layout::large_string: return offsets_readable<std::int64_t>(chunk);
        case Layout::string_view: return views_readable(chunk);
    }
    return false;
}

std::optional<ArrowStrings::Layout> ArrowStrings::layout_of(const ArrowSchema& schema) noexcept {
    const char* format = schema.format;
    if (format == nullptr || schema.dictionary != nullptr || schema.n_children != 0) return std::nullopt;
    if (std::strcmp(format, "u") == 0) return Layout::string;
    if (std::strcmp(format, "U") == 0) return Layout::large_string;
    if (std::strcmp(format, "vu") == 0) return Layout::string_view;
    return std::nullopt;
}

bool ArrowStrings::chunk_readable(const ArrowArray& chunk, Layout layout) noexcept {
    return well_formed(chunk, layout == Layout::string_view) && readable(chunk, layout);
}

bool arrow_text_is_valid(const char* text, std::size_t size) {
    // Large buffers are checked in pieces on the pool.  Each cut is moved
    // forward past continuation bytes, so no piece starts inside a
    // character: the buffer is well-formed exactly when every piece is (a
    // stray continuation byte stays at the end of the piece before).
    constexpr std::size_t piece = std::size_t{1} << 20;
    if (size < 2 * piece) return is_valid_utf8(text, size);
    auto cut = [&](std::size_t at) {
        if (at >= size) return size;
        while (at < size && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80) ++at;
        return at;
    };
    // Rounded up without adding first: no size wraps round to no piece.
    const std::size_t pieces = size / piece + (size % piece != 0);
    std::atomic<bool> valid{true};
    pool::parallel_for(pieces, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i != end && valid.load(std::memory_order_relaxed); ++i) {
            const std::size_t from = cut(i * piece), to = cut((i + 1) * piece);
            if (from < to && !is_valid_utf8(text + from, to - from)) valid.store(false, std::memory_order_relaxed);
        }
    });
    return valid.load();
}

std::optional<ArrowStream> read_arrow_stream(py::Handle exporter) {
    py::Ref capsule = py::Ref::steal(PyObject_CallMethodNoArgs(exporter.get(), py::names().arrow_c_stream.get()));
    if (!capsule) {
        py::clear_ordinary_error();
        return std::nullopt;
    }
    auto* exported =
        static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule.get(), arrow::stream_capsule_name));
    if (exported == nullptr) {
        py::clear_ordinary_error();
        return std::nullopt;
    }
    if (exported->release == nullptr) return std::nullopt;  // taken by someone else
    ArrowStream read;
    // Ours from here on; the capsule's destructor sees it released.
    read.stream = arrow::Stream::take(exported);
    if (read.stream->get_schema(read.stream.get(), read.schema.get()) != 0 || read.schema.released())
        return std::nullopt;
    for (;;) {
        arrow::Array chunk;
        if (read.stream->get_next(read.stream.get(), chunk.get()) != 0) return std::nullopt;
        if (chunk.released()) break;  // the end of the stream
        read.chunks.push_back(std::move(chunk));
    }
    return read;
}

std::optional<ArrowStrings> ArrowStrings::open(py::Handle exporter) {
    std::optional<ArrowStream> stream = read_arrow_stream(exporter);
    if (!stream) return std::nullopt;
    return of(std::move(*stream));
}

std::optional<ArrowStrings> ArrowStrings::of(ArrowStream stream) {
    std::optional<Layout> layout = layout_of(*stream.schema);
    if (!layout) return std::nullopt;
    ArrowStrings column;
    column.layout_ = *layout;
    for (const arrow::Array& chunk : stream.chunks) {
        if (!chunk_readable(*chunk, column.layout_) ||
            static_cast<std::size_t>(chunk->length) > std::numeric_limits<std::size_t>::max() - column.length_)
            return std::nullopt;
        column.length_ += static_cast<std::size_t>(chunk->length);
    }
    column.data_ = std::move(stream);
    return column;
}

}  // namespace kavrel
