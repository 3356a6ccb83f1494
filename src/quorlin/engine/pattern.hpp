// A definition pattern as a Pike VM program: its instructions and character
// sets, the one successor function that says where a thread goes from an
// instruction, and what is worked out once for every instruction with it: its
// epsilon closure (the reading instructions, or the match, that a thread
// reaches from it without reading, with the tags it sets on the way), which
// depends on the look-around assertions that hold at the position, and the
// literal texts that every match starts with (the prefilter).
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
    // Whether this is `[^)]`: every character but ")".
    bool is_all_but_close() const {
        std::bitset<128> close;
        close.set(')');
        return negated && !word && !space && listed == close;
    }
};

// `character` and `set` read one character; `split` goes on to `next` first,
// then to `alt`; `line_start` is an assertion; `save` records the position in
// a tag; `nop` (the code of an empty group) goes on to `next`.
enum class Op : std::uint8_t { character, set, line_start, split, save, nop, match };

struct Inst {
    Op op;
    std::uint32_t arg = 0;  // character: code point; set: index; save: slot
    int next = -1;          // where a thread goes on (after reading, for a reading instruction)
    int alt = -1;           // split: the target of lower priority
};

constexpr int max_groups = 2;
constexpr std::size_t slot_count = 2 + 2 * max_groups;
constexpr std::size_t no_position = std::numeric_limits<std::size_t>::max();
using Slots = std::array<std::size_t, slot_count>;

// The look-around assertions that a position may have to satisfy before a
// thread passes through the instructions that read nothing: whether it is a
// line start (`^` in multi-line mode), and whether a thread entering the
// guarded `[^)]*` there can still match (see `Program::guard_loop`).
enum class Look : std::uint8_t { start_line = 1, guard = 2 };

// A set of assertions: those an instruction may ask about, or those that
// hold at a position.
class LookSet {
public:
    static constexpr unsigned count = 4;  // the number of sets, as table indices

    constexpr LookSet() = default;
    static constexpr LookSet full() { return LookSet(count - 1); }
    static constexpr LookSet from_bits(unsigned bits) { return LookSet(bits & (count - 1)); }

    constexpr bool contains(Look look) const { return bits_ & static_cast<unsigned>(look); }
    constexpr LookSet with(Look look) const { return LookSet(bits_ | static_cast<unsigned>(look)); }
    constexpr LookSet united(LookSet other) const { return LookSet(bits_ | other.bits_); }
    constexpr bool empty() const { return bits_ == 0; }
    constexpr unsigned bits() const { return bits_; }
    constexpr bool operator==(const LookSet &) const = default;

private:
    constexpr explicit LookSet(unsigned bits) : bits_(static_cast<std::uint8_t>(bits)) {}
    std::uint8_t bits_ = 0;
};

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
    // A `[^)]*` (or `[^)]+`) loop whose way out reads a ")": its split, and
    // the instruction after the ")" where the rest of the pattern begins; -1
    // when the program has none whose rest cannot read a ")". A thread that
    // enters the split can only match when the rest matches after the first
    // ")" ahead (the assertion `Look::guard`).
    int guard_loop = -1, guard_rest = -1;
    // Worked out once for every instruction: the assertions its epsilon
    // closure depends on, and for each set of assertions that hold, the
    // closure in priority order.
    std::vector<LookSet> looks;
    std::vector<std::vector<Target>> closures;  // at pc * LookSet::count + holding.bits()
    // Every match starts with one of these texts; empty when there is no such list.
    std::vector<std::string> start_literals;

    const std::vector<Target> &closure(int pc, LookSet holding) const {
        return closures[static_cast<std::size_t>(pc) * LookSet::count + holding.bits()];
    }
    const Inst &at(int pc) const { return code[static_cast<std::size_t>(pc)]; }
};

// Where a thread at one instruction goes on, in priority order: a split's two
// targets, the instruction after a save, a `nop`, an assertion that holds, or
// (after reading its character) a reading instruction; nowhere from the
// match, an assertion that fails or a guarded loop whose guard fails. `asked`
// gets the assertions that decided it. Every walk over a program goes by this
// one function.
struct Successors {
    std::array<int, 2> pcs{};
    int count = 0;
    LookSet asked;
};
Successors successors(const Program &program, int pc, LookSet holding);

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
