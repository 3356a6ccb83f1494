// Text over UTF-8, in plain C++: no Python is needed, so engines that include
// only this header (and files.hpp) can be built, tested and fuzzed without an
// interpreter.
//
// Texts that come from Python may hold lone surrogates in their three-byte
// form (see `to_utf8` in python.hpp): the readers here take them as the code
// points they stand for, and `is_valid_utf8` refuses them.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>

namespace orvo {

// The code point whose encoding starts at byte `i` of UTF-8 text; `i` moves
// past it. The text must be valid UTF-8 (surrogate forms allowed); a sequence
// cut short by the end of the text ends there, so `i` never passes the end.
inline char32_t next_code_point(std::string_view utf8, std::size_t &i) {
    auto byte = [&](std::size_t k) { return (unsigned char) utf8[k]; };
    unsigned char c = byte(i);
    if (c < 0x80) {
        ++i;
        return c;
    }
    int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : 1;
    char32_t code = c & (0x3F >> extra);
    const std::size_t end = std::min(i + (std::size_t) extra + 1, utf8.size());
    for (++i; i < end; ++i)
        code = (code << 6) | (byte(i) & 0x3F);
    return code;
}

// The number of code points of UTF-8 text.
std::size_t code_points(std::string_view utf8);
// The first `count` code points of UTF-8 text (all of it when it is shorter).
std::string_view first_code_points(std::string_view utf8, std::size_t count);

// White space as Python's `str.isspace()` and `str.strip()` know it.
bool is_space(char32_t c);
// The characters at which Python's `str.splitlines()` breaks a line: "\n",
// "\r", "\v", "\f", "\x1c" to "\x1e", U+0085, U+2028 and U+2029.
bool is_line_break(char32_t c);
bool has_line_break(std::string_view utf8);

// The text without white space at both ends (`str.strip()`), or at its end.
std::string_view strip(std::string_view utf8);
std::string_view rstrip(std::string_view utf8);

// The text with each lone surrogate (in its three-byte form) replaced by
// U+FFFD, for a text that leaves the process and must be valid UTF-8.
std::string without_surrogates(std::string_view utf8);

// The decoding rules for bytes read from files, names and child processes:
// the length of the valid UTF-8 sequence at byte `i` (a code point up to
// U+10FFFF in its shortest form, not a surrogate), or 0 when the bytes there
// do not start one; then `bad` is the length of the maximal invalid prefix
// (at least 1), where Python's decoder puts the end of the error. A valid
// sequence is read with `next_code_point`.
std::size_t valid_sequence_length(std::string_view bytes, std::size_t i, std::size_t &bad);
bool is_valid_utf8(std::string_view bytes);
// Decode, dropping every byte that is not part of a valid sequence (Python's
// `errors="ignore"`).
std::string decode_utf8_lossy(std::string_view bytes);
// "\r\n" and then every remaining "\r" become "\n".
std::string normalize_newlines(std::string_view text);

}  // namespace orvo
