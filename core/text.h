// Fixed text fields: every name, path, port and address kept in a record is a
// 256-byte field holding a NUL-terminated text of at most 255 characters.
#pragma once

#include <cstddef>
#include <cstring>

constexpr std::size_t orvane_text_size = 256;

// Copies src into a fixed field, always terminated. Returns false, leaving a
// cut text, when src does not fit.
template <std::size_t N>
bool orvane_copy_text(char (&dst)[N], const char* src) {
    std::size_t length = std::strlen(src);
    bool fits = length < N;
    std::size_t count = fits ? length : N - 1;
    std::memcpy(dst, src, count);
    dst[count] = '\0';
    return fits;
}
