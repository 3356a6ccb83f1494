// A table of `\w` and `\s` for the native tests of the definition finder,
// close to Python's without asking Python: ASCII letters, digits and "_",
// and the letters of the Latin, Greek, Cyrillic and CJK blocks are word
// characters; Python's white space is white space.
#pragma once

#include "quorlin/engine/classes.hpp"

inline const quorlin::CharClasses &test_char_classes() {
    static const quorlin::CharClasses classes = quorlin::CharClasses::from(
        [](char32_t c) {
            return c == U'_' || (c >= U'0' && c <= U'9') || (c >= U'a' && c <= U'z') || (c >= U'A' && c <= U'Z') ||
                   (c >= 0xC0 && c <= 0x24F && c != 0xD7 && c != 0xF7) || (c >= 0x370 && c <= 0x4FF) ||
                   (c >= 0x4E00 && c <= 0x9FFF);
        },
        [](char32_t c) {
            return (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x20) || c == 0x85 || c == 0xA0 || c == 0x1680 ||
                   (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
                   c == 0x3000;
        });
    return classes;
}
