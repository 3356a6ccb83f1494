// A definition pattern as a Pike VM program: its instructions and character
// sets, and what is worked out once for every instruction: its epsilon
// closure (the reading instructions, or the match, that a thread reaches from
// it without reading, with the tags it sets on the way), which depends on the
// empty-width assertions that hold at the position, and the literal texts
// that every match starts with (the prefilter).
#pragma once

#include <array>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace quorlin {

// --------------------------------------------------------------- programs

constexpr unsigned word_flag = 1, space_flag = 2;

// A bracketed class, `\w` or `\s`: listed ASCII characters and Python's two
// classes, possibly negated.
struct CharSet {
    std::bitset<128> listed;
    bool word = false, space = false, negated = false;

    // `flags` holds word_flag and space_flag for `c`.
    bool contains(char32_t c, unsigned flags) const {
        bool in = (c < 128 && listed[c]) || (word && (flags & word_flag)) || (space && (flags & space_flag));
        return in != negated;
    }
    // Whether ")" may be in the set (")" is neither a word character nor white space).
    bool may_hold_close() const { return listed[')'] != negated; }
};

enum class Op : std::uint8_t { character, set, line_start, split, jump, save, match };

struct Inst {
    Op op;
    std::uint32_t arg = 0;  // character: code point; set: index; save: slot
    int x = 0, y = 0;       // split: preferred and other target; jump: target
};

constexpr int max_groups = 2;
constexpr std::size_t slot_count = 2 + 2 * max_groups;
constexpr std::size_t no_position = std::numeric_limits<std::size_t>::max();
using Slots = std::array<std::size_t, slot_count>;

// The two empty-width assertions ("questions") that a position may have to
// answer before a thread passes through the instructions that read nothing:
// whether it is a line start, and whether a thread entering the guarded
// `[^)]*` there can still match. A set of their truth values is "answers".
constexpr unsigned line_start_answer = 1, guard_answer = 2, answer_count = 4;

// A member of an epsilon closure: a reading instruction (or the match) that a
// thread reaches without reading, with the tags ("slots") it sets on the way,
// a bit per slot.
struct Target {
    int pc;
    std::uint8_t saves;
};

struct Program {
    std::vector<Inst> code;  // starts at 0, which saves the start of the match
    std::vector<CharSet> sets;
    int groups = 0;              // the capture groups, at most `max_groups`
    bool line_anchored = false;  // every match starts with "^"
    // A `[^)]*` followed by `\)`: its loop head, and the instruction after the
    // ")" where the rest of the pattern begins; -1 when the pattern has none.
    int guard_loop = -1, guard_rest = -1;
    // Worked out once for every instruction: the assertions its epsilon
    // closure depends on, and for each set of answers, the closure in
    // priority order.
    std::vector<std::uint8_t> questions;
    std::vector<std::vector<Target>> targets;  // at pc * answer_count + answers
    // Every match starts with one of these texts; empty when there is no such list.
    std::vector<std::string> start_literals;

    const std::vector<Target> &targets_of(int pc, unsigned answers) const {
        return targets[static_cast<std::size_t>(pc) * answer_count + answers];
    }
};

// What `compile_pattern` throws for a pattern outside its syntax.
struct UnsupportedPattern : std::invalid_argument {
    using std::invalid_argument::invalid_argument;
};

// Parse a pattern of the syntax the definition patterns use: literals, "\"
// before a punctuation character, `\w`, `\s`, bracketed classes of those
// (optionally negated), "^", groups `(...)` and `(?:...)`, "|", and the greedy
// "*", "+" and "?". Anything else is refused with `UnsupportedPattern`.
Program compile_pattern(std::string_view pattern);

}  // namespace quorlin
