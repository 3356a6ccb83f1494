// Python's character classes `\w` and `\s` as a table over all code points,
// the one thing the definition finder needs to know of Python.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

namespace quorlin {

// Python's character classes over all code points: `\w` (a letter or digit
// of any script, or "_") and `\s` (white space, line breaks included).
class CharClasses {
public:
    static constexpr char32_t code_point_count = 0x110000;

    // The table of two predicates over code points, each called once for every
    // code point.
    template <typename IsWord, typename IsSpace>
    static CharClasses from(IsWord &&is_word, IsSpace &&is_space) {
        CharClasses classes;
        classes.id_ = next_id();
        for (char32_t c = 0; c < code_point_count; ++c) {
            if (is_word(c))
                classes.word_[c >> 6] |= std::uint64_t(1) << (c & 63);
            if (is_space(c))
                classes.space_[c >> 6] |= std::uint64_t(1) << (c & 63);
        }
        return classes;
    }

    bool is_word(char32_t c) const { return c < code_point_count && (word_[c >> 6] >> (c & 63) & 1); }
    bool is_space(char32_t c) const { return c < code_point_count && (space_[c >> 6] >> (c & 63) & 1); }
    // Tables with one id (copies of one table) hold the same classes; the
    // engine keeps what it works out for a pattern by this id.
    std::uint64_t id() const { return id_; }

private:
    CharClasses() : word_(code_point_count / 64), space_(code_point_count / 64) {}
    // One counter for every table, whatever predicates made it.
    static std::uint64_t next_id() {
        static std::atomic<std::uint64_t> made{0};
        return ++made;
    }
    std::vector<std::uint64_t> word_, space_;
    std::uint64_t id_ = 0;
};

}  // namespace quorlin
