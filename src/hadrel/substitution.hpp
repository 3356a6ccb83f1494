// The substitution of API keys, in plain C++: a fixed permutation of 64 ASCII
// characters, applied character by character to what follows the prefix
// "sk-". Every other character (any byte of a multi-byte UTF-8 sequence is
// 0x80 or above) passes unchanged, so the length in code points is kept and
// the two directions undo each other for every text.
#pragma once

#include <string>
#include <string_view>

namespace hadrel {

// The 64 characters of the tables: "-", the digits, the capitals, "_" and
// the small letters.
inline constexpr std::string_view ALPHABET = "-0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ_abcdefghijklmnopqrstuvwxyz";
// What each character of ALPHABET becomes, at the same place: each of the 64
// once, and none itself. Keys scrambled with another table cannot be read
// back, so this never changes.
inline constexpr std::string_view SCRAMBLED = "soQP-krEtauniwgGRxX1h6VSYBbm5yedFqIWp8L9fj3024UKv_JzDNcZ7HlOTMAC";

inline constexpr std::string_view PREFIX = "sk-";

enum class Direction { scramble, unscramble };

// `key` (UTF-8) with every character after the prefix substituted; a key
// without the prefix is returned as it stands.
std::string substitute(std::string_view key, Direction direction);

}  // namespace hadrel
