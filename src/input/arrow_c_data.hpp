// The Arrow C data and C stream interfaces: the structs through which a
// producer (pyarrow, here) hands over its columns without a library on our
// side.  Their layout is a stable public ABI, written out here from the
// published definition; nothing of Arrow is linked.  Owners at the end
// release every struct through its own release callback.
#pragma once

#include <cstdint>
#include <utility>

extern "C" {

#ifndef ARROW_C_DATA_INTERFACE
#define ARROW_C_DATA_INTERFACE

#define ARROW_FLAG_DICTIONARY_ORDERED 1
#define ARROW_FLAG_NULLABLE 2
#define ARROW_FLAG_MAP_KEYS_SORTED 4

struct ArrowSchema {
    // Type description: a format string ("u" string, "U" large_string, "vu"
    // string_view, ...), an optional name and metadata.
    const char* format;
    const char* name;
    const char* metadata;
    int64_t flags;
    int64_t n_children;
    struct ArrowSchema** children;
    struct ArrowSchema* dictionary;
    // Null once released; the consumer calls it exactly once.
    void (*release)(struct ArrowSchema*);
    void* private_data;
};

struct ArrowArray {
    // Logical length and null count (-1: not computed); `offset` is the
    // first element of the buffers that belongs to the array.
    int64_t length;
    int64_t null_count;
    int64_t offset;
    int64_t n_buffers;
    int64_t n_children;
    const void** buffers;
    struct ArrowArray** children;
    struct ArrowArray* dictionary;
    void (*release)(struct ArrowArray*);
    void* private_data;
};

#endif  // ARROW_C_DATA_INTERFACE

#ifndef ARROW_C_STREAM_INTERFACE
#define ARROW_C_STREAM_INTERFACE

struct ArrowArrayStream {
    // 0 on success, an errno value otherwise.  get_next leaves `out`
    // released (its release null) at the end of the stream.
    int (*get_schema)(struct ArrowArrayStream*, struct ArrowSchema* out);
    int (*get_next)(struct ArrowArrayStream*, struct ArrowArray* out);
    const char* (*get_last_error)(struct ArrowArrayStream*);
    void (*release)(struct ArrowArrayStream*);
    void* private_data;
};

#endif  // ARROW_C_STREAM_INTERFACE

}  // extern "C"

namespace kavrel::arrow {

// Owns one of the structs above: moved out of its producer's capsule (or
// filled by a producer's callback) and released exactly once, on scope exit.
template <class Struct>
class Owned {
public:
    Owned() noexcept : s_{} {}
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    ~Owned() {
        if (s_.release != nullptr) s_.release(&s_);
    }

    // Takes the struct at `source` over and marks `source` released, as a
    // consumer that moves it out of a capsule must.
    static Owned take(Struct* source) noexcept {
        Owned owned;
        owned.s_ = *source;
        source->release = nullptr;
        return owned;
    }
    Owned(Owned&& other) noexcept : s_(other.s_) { other.s_.release = nullptr; }
    Owned& operator=(Owned&& other) noexcept {
        if (this != &other) {
            if (s_.release != nullptr) s_.release(&s_);
            s_ = other.s_;
            other.s_.release = nullptr;
        }
        return *this;
    }

    Struct* get() noexcept { return &s_; }
    const Struct& operator*() const noexcept { return s_; }
    const Struct* operator->() const noexcept { return &s_; }
    Struct* operator->() noexcept { return &s_; }
    bool released() const noexcept { return s_.release == nullptr; }

private:
    Struct s_;
};

using Schema = Owned<ArrowSchema>;
using Array = Owned<ArrowArray>;
using Stream = Owned<ArrowArrayStream>;

// PyCapsule names of the Arrow PyCapsule interface.
inline constexpr const char* stream_capsule_name = "arrow_array_stream";

}  // namespace kavrel::arrow
