// Whether bytes that a producer hands over as text are text that Python's
// own UTF-8 decoder accepts: the roads that read strings from their
// storage (Arrow buffers, numpy's StringDType) hand anything else to the
// road that makes Python strings, which then fails as it fails.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kavrel {

// Well-formed UTF-8: no overlong forms, no surrogates, nothing above
// U+10FFFF, no truncated sequence.
inline bool is_valid_utf8(const char* text, std::size_t size) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    const unsigned char* end = p + size;
    while (p < end) {
        // Sixteen ASCII bytes at a time: most text is mostly ASCII.
        if (end - p >= 16) {
            std::uint64_t a, b;
            std::memcpy(&a, p, 8);
            std::memcpy(&b, p + 8, 8);
            if (((a | b) & 0x8080808080808080u) == 0) {
                p += 16;
                continue;
            }
        }
        // Byte by byte through the next sixteen, then blocks again.
        const unsigned char* stop = end - p > 16 ? p + 16 : end;
        while (p < stop) {
            const unsigned char lead = *p;
            if (lead < 0x80) {
                ++p;
                continue;
            }
            std::size_t length;
            unsigned char low = 0x80, high = 0xBF;  // bounds of the second byte
            if (lead >= 0xC2 && lead <= 0xDF) {
                length = 2;
            } else if (lead >= 0xE0 && lead <= 0xEF) {
                length = 3;
                if (lead == 0xE0) low = 0xA0;   // overlong
                if (lead == 0xED) high = 0x9F;  // surrogates
            } else if (lead >= 0xF0 && lead <= 0xF4) {
                length = 4;
                if (lead == 0xF0) low = 0x90;   // overlong
                if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
            } else {
                return false;
            }
            if (static_cast<std::size_t>(end - p) < length) return false;
            if (p[1] < low || p[1] > high) return false;
            for (std::size_t i = 2; i < length; ++i)
                if ((p[i] & 0xC0) != 0x80) return false;
            p += length;
        }
    }
    return true;
}

}  // namespace kavrel
