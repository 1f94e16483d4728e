// UTF-8 validation of field texts (pure).  Overlong forms, surrogates and
// code points above U+10FFFF are invalid, as Python's strict decoder has it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tv::reader {

inline bool utf8_valid(const char *text, size_t n) noexcept
{
    const unsigned char *p = reinterpret_cast<const unsigned char *>(text);
    const unsigned char *e = p + n;
    while (p < e) {
        // Eight ASCII bytes at a time.
        while (e - p >= 8) {
            uint64_t w;
            std::memcpy(&w, p, 8);
            if (w & 0x8080808080808080u)
                break;
            p += 8;
        }
        if (p == e)
            break;
        const unsigned char c = *p;
        if (c < 0x80) {
            ++p;
            continue;
        }
        size_t len;
        unsigned char lo = 0x80, hi = 0xBF;  // range of the second byte
        if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            if (c == 0xE0)
                lo = 0xA0;
            else if (c == 0xED)
                hi = 0x9F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            if (c == 0xF0)
                lo = 0x90;
            else if (c == 0xF4)
                hi = 0x8F;
        } else {
            return false;
        }
        if (static_cast<size_t>(e - p) < len || p[1] < lo || p[1] > hi)
            return false;
        for (size_t k = 2; k < len; ++k) {
            if ((p[k] & 0xC0) != 0x80)
                return false;
        }
        p += len;
    }
    return true;
}

}  // namespace tv::reader
