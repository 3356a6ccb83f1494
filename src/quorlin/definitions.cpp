// The definition patterns and the matcher that runs them.
//
// A pattern is parsed once into a small program run as a Pike VM: threads are
// kept in priority order, all take one step per character, and a thread that
// reaches an instruction already reached at this character is dropped, since
// the thread there has the same future and a higher priority. This gives the
// leftmost-first matches of a backtracking engine, capture groups included,
// for patterns without back-references and look-arounds, in time linear in
// the text for one search. The threads of a position without their slots
// make a state of an automaton built as texts need it: a step from a state is
// worked out by those rules once and then only replayed on the slots. The
// automaton depends on no text and is kept, per thread, for later texts.
//
// `re.finditer` starts a new search where a match ended, and a search may have
// to read beyond the end of its match before the match is certain: a thread
// of higher priority (an earlier start, a longer repetition) may still be
// alive. The positions read past the end are read again by the next search. For
// the patterns here, only a `\([^)]*\)` can keep such a thread alive for long
// (for example "const a = (" followed by "function f" and no ")"). Such a
// thread's fate depends only on the first ")" it reaches: whether the rest of
// the pattern matches after that ")". That answer is worked out when a thread
// first needs it (the rest of the pattern never crosses a ")", so these checks
// read no character more than twice in all) and a thread that will fail is
// dropped as it enters the repetition. Every thread still alive can then finish with a match, so
// no search reads more than one character past the end of its match, and the
// whole run over a text stays linear.
#include "definitions.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <bitset>
#include <cctype>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <new>
#include <stdexcept>
#include <unordered_set>

namespace quorlin {

namespace {

// ------------------------------------------------------------- code points

// The code point at `at` (a character boundary before the end) and the number
// of bytes it takes. The text is UTF-8; a sequence cut short by the end of the
// text is read as U+FFFD up to that end.
char32_t read_code_point(std::string_view text, std::size_t at, std::size_t &length) {
    const auto byte = [&](std::size_t k) { return static_cast<char32_t>(static_cast<unsigned char>(text[at + k])); };
    const char32_t lead = byte(0);
    if (lead < 0x80) {
        length = 1;
        return lead;
    }
    length = lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    if (at + length > text.size()) {
        length = text.size() - at;
        return 0xFFFD;
    }
    char32_t c = lead & (0x7F >> length);
    for (std::size_t k = 1; k < length; ++k)
        c = c << 6 | (byte(k) & 0x3F);
    return c;
}

// --------------------------------------------------------------- programs

constexpr unsigned word_flag = 1, space_flag = 2;

// A bracketed class, `\w` or `\s`: listed ASCII characters and the two host
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

// The two questions a position may have to answer before a thread passes the
// instructions that read nothing: whether it is a line start, and whether a
// thread entering the guarded `[^)]*` there can still match.
constexpr unsigned line_start_answer = 1, guard_answer = 2, answer_count = 4;

// A reading instruction (or the match) that a thread reaches without reading,
// with the slots it sets on the way (a bit per slot).
struct Target {
    int pc;
    std::uint8_t saves;
};

struct Program {
    std::vector<Inst> code;  // starts at 0, which saves the start of the match
    std::vector<CharSet> sets;
    bool line_anchored = false;  // every match starts with "^"
    // A `[^)]*` followed by `\)`: its loop head, and the instruction after the
    // ")" where the rest of the pattern begins; -1 when the pattern has none.
    int guard_loop = -1, guard_rest = -1;
    // Worked out once for every instruction: the questions its way onward
    // asks, and for each set of answers, its targets in priority order.
    std::vector<std::uint8_t> questions;
    std::vector<std::vector<Target>> targets;  // at pc * answer_count + answers
    // Every match starts with one of these texts; empty when there is no such list.
    std::vector<std::string> start_literals;

    const std::vector<Target> &targets_of(int pc, unsigned answers) const {
        return targets[static_cast<std::size_t>(pc) * answer_count + answers];
    }
};

[[noreturn]] void unsupported(std::string_view pattern, const char *why) {
    throw std::logic_error("unsupported definition pattern '" + std::string(pattern) + "': " + why);
}

// Parses the syntax the definition patterns use: literals, "\" before a
// punctuation character, `\w`, `\s`, bracketed classes of those (optionally
// negated), "^", groups `(...)` and `(?:...)`, "|", and the greedy "*", "+"
// and "?". Anything else is refused.
class Compiler {
public:
    explicit Compiler(std::string_view pattern) : pattern_(pattern) {}

    Program compile() {
        emit(Op::save, 0);
        const std::size_t before = program_.code.size();
        bool nullable = alternation();
        if (at_ < pattern_.size())
            unsupported(pattern_, "unbalanced ')'");
        if (nullable)
            unsupported(pattern_, "the pattern can match the empty text");
        program_.line_anchored = program_.code.size() > before && program_.code[before].op == Op::line_start;
        emit(Op::save, 1);
        emit(Op::match);
        check_guard();
        find_targets();
        find_start_literals();
        return std::move(program_);
    }

private:
    int here() const { return static_cast<int>(program_.code.size()); }
    int emit(Op op, std::uint32_t arg = 0, int x = 0, int y = 0) {
        program_.code.push_back(Inst{op, arg, x, y});
        return here() - 1;
    }
    bool more() const { return at_ < pattern_.size(); }
    char peek() const { return pattern_[at_]; }

    // Each parsing step emits its code and returns whether it can match the
    // empty text.
    bool alternation() {
        std::vector<int> jumps;
        int split = -1;  // the split before the branch just compiled
        bool nullable = false;
        for (;;) {
            if (split >= 0)
                program_.code[static_cast<std::size_t>(split)].y = here();
            split = has_alternative() ? emit(Op::split, 0, here() + 1) : -1;
            nullable |= sequence();
            if (!more() || peek() != '|')
                break;
            ++at_;
            jumps.push_back(emit(Op::jump));
        }
        for (int jump : jumps)
            program_.code[static_cast<std::size_t>(jump)].x = here();
        return nullable;
    }

    // Whether a "|" of this nesting level follows before the level ends.
    bool has_alternative() const {
        int depth = 0;
        bool in_class = false;
        for (std::size_t k = at_; k < pattern_.size(); ++k) {
            char c = pattern_[k];
            if (c == '\\') {
                ++k;
            } else if (in_class) {
                in_class = c != ']';
            } else if (c == '[') {
                in_class = true;
            } else if (c == '(') {
                ++depth;
            } else if (c == ')') {
                if (depth-- == 0)
                    return false;
            } else if (c == '|' && depth == 0) {
                return true;
            }
        }
        return false;
    }

    bool sequence() {
        bool nullable = true;
        while (more() && peek() != '|' && peek() != ')')
            nullable &= repeat();
        return nullable;
    }

    bool repeat() {
        const int start = here();
        const std::size_t atom_at = at_;
        bool nullable = atom();
        if (!more() || (peek() != '*' && peek() != '+' && peek() != '?'))
            return nullable;
        const char quantifier = pattern_[at_++];
        if (more() && (peek() == '?' || peek() == '+' || peek() == '*'))
            unsupported(pattern_, "only greedy repetition is supported");
        if (nullable && quantifier != '?')
            unsupported(pattern_, "a repetition of something that can match the empty text");
        if (quantifier == '+') {
            emit(Op::split, 0, start, here() + 1);  // again, or on
            return nullable;
        }
        // A split before the atom: into it, or past it.
        program_.code.insert(program_.code.begin() + start, Inst{Op::split, 0, start + 1, 0});
        for (std::size_t k = static_cast<std::size_t>(start) + 1; k < program_.code.size(); ++k)
            if (program_.code[k].op == Op::split || program_.code[k].op == Op::jump) {
                ++program_.code[k].x;
                ++program_.code[k].y;
            }
        if (program_.guard_loop >= start) {
            ++program_.guard_loop;
            ++program_.guard_rest;
        }
        if (quantifier == '?') {
            program_.code[static_cast<std::size_t>(start)].y = here();
            return true;
        }
        emit(Op::jump, 0, start);
        program_.code[static_cast<std::size_t>(start)].y = here();
        if (program_.guard_loop < 0 && pattern_.substr(atom_at, 4) == "[^)]" && pattern_.substr(at_, 2) == "\\)") {
            // `[^)]*\)`: the rest of the pattern begins after the ")".
            program_.guard_loop = start;
            program_.guard_rest = here() + 1;
        }
        return true;
    }

    bool atom() {
        const char c = pattern_[at_++];
        switch (c) {
        case '(': {
            int group = -1;
            if (pattern_.substr(at_, 2) == "?:") {
                at_ += 2;
            } else if (more() && peek() == '?') {
                unsupported(pattern_, "only groups (...) and (?:...) are supported");
            } else {
                group = ++groups_;
                if (group > max_groups)
                    unsupported(pattern_, "too many groups");
                emit(Op::save, static_cast<std::uint32_t>(2 * group));
            }
            bool nullable = alternation();
            if (!more() || peek() != ')')
                unsupported(pattern_, "missing ')'");
            ++at_;
            if (group > 0)
                emit(Op::save, static_cast<std::uint32_t>(2 * group + 1));
            return nullable;
        }
        case '[':
            emit(Op::set, bracketed());
            return false;
        case '^':
            emit(Op::line_start);
            return true;
        case '\\': {
            CharSet set;
            if (escape(set)) {
                emit(Op::set, add_set(set));
            } else {
                emit(Op::character, static_cast<std::uint32_t>(pattern_[at_ - 1]));
            }
            return false;
        }
        default:
            if (std::strchr(".$*+?{}]|)", c))
                unsupported(pattern_, "an unsupported metacharacter");
            if (static_cast<unsigned char>(c) >= 0x80)
                unsupported(pattern_, "only ASCII characters are supported");
            emit(Op::character, static_cast<unsigned char>(c));
            return false;
        }
    }

    // After a "\": `\w` or `\s` adds to `set` and returns true; a punctuation
    // character is a literal (returns false, `at_` is just past it).
    bool escape(CharSet &set) {
        if (!more())
            unsupported(pattern_, "a trailing '\\'");
        const char c = pattern_[at_++];
        if (c == 'w' || c == 's') {
            (c == 'w' ? set.word : set.space) = true;
            return true;
        }
        const auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u >= 0x7F || std::isalnum(u))
            unsupported(pattern_, "only \\w, \\s and a '\\' before punctuation are supported");
        return false;
    }

    std::uint32_t bracketed() {
        CharSet set;
        if (more() && peek() == '^') {
            set.negated = true;
            ++at_;
        }
        bool empty = true;
        while (more() && peek() != ']') {
            const char c = pattern_[at_++];
            empty = false;
            if (c == '\\') {
                if (!escape(set))
                    set.listed.set(static_cast<unsigned char>(pattern_[at_ - 1]));
            } else if (c == '-' || c == '[' || static_cast<unsigned char>(c) >= 0x80) {
                unsupported(pattern_, "a class may list only ASCII characters, \\w and \\s");
            } else {
                set.listed.set(static_cast<unsigned char>(c));
            }
        }
        if (!more() || empty)
            unsupported(pattern_, "an empty or unterminated class");
        ++at_;
        return add_set(set);
    }

    std::uint32_t add_set(const CharSet &set) {
        program_.sets.push_back(set);
        return static_cast<std::uint32_t>(program_.sets.size() - 1);
    }

    // Keep the guard only when the rest of the pattern cannot read a ")": then
    // the check of the rest after one ")" ends before the next one.
    void check_guard() {
        if (program_.guard_loop < 0)
            return;
        std::vector<bool> seen(program_.code.size());
        std::vector<int> stack{program_.guard_rest};
        while (!stack.empty()) {
            const int pc = stack.back();
            stack.pop_back();
            if (seen[static_cast<std::size_t>(pc)])
                continue;
            seen[static_cast<std::size_t>(pc)] = true;
            const Inst &inst = program_.code[static_cast<std::size_t>(pc)];
            switch (inst.op) {
            case Op::character:
            case Op::set:
                if (inst.op == Op::character ? inst.arg == ')' : program_.sets[inst.arg].may_hold_close()) {
                    program_.guard_loop = program_.guard_rest = -1;
                    return;
                }
                stack.push_back(pc + 1);
                break;
            case Op::split:
                stack.push_back(inst.x);
                stack.push_back(inst.y);
                break;
            case Op::jump:
                stack.push_back(inst.x);
                break;
            case Op::line_start:
            case Op::save:
                stack.push_back(pc + 1);
                break;
            case Op::match:
                break;
            }
        }
    }

    // The first-come ways from each instruction to the reading instructions,
    // as a thread would take them one after the other: an instruction reached
    // before by a way of higher priority is not taken again.
    void find_targets() {
        const std::size_t size = program_.code.size();
        program_.questions.assign(size, 0);
        program_.targets.assign(size * answer_count, {});
        std::vector<bool> seen(size);
        for (std::size_t pc = 0; pc < size; ++pc) {
            for (unsigned answers = 0; answers < answer_count; ++answers) {
                std::fill(seen.begin(), seen.end(), false);
                std::uint8_t asked = 0;
                follow(static_cast<int>(pc), answers, 0, seen, asked, program_.targets[pc * answer_count + answers]);
                program_.questions[pc] |= asked;
            }
        }
    }

    void follow(int pc, unsigned answers, unsigned saves, std::vector<bool> &seen, std::uint8_t &asked,
                std::vector<Target> &out) {
        if (seen[static_cast<std::size_t>(pc)])
            return;
        seen[static_cast<std::size_t>(pc)] = true;
        const Inst &inst = program_.code[static_cast<std::size_t>(pc)];
        switch (inst.op) {
        case Op::jump:
            follow(inst.x, answers, saves, seen, asked, out);
            break;
        case Op::split:
            if (pc == program_.guard_loop) {
                asked |= guard_answer;
                if (!(answers & guard_answer))
                    break;  // a thread here can only fail
            }
            follow(inst.x, answers, saves, seen, asked, out);
            follow(inst.y, answers, saves, seen, asked, out);
            break;
        case Op::save:
            follow(pc + 1, answers, saves | 1u << inst.arg, seen, asked, out);
            break;
        case Op::line_start:
            asked |= line_start_answer;
            if (answers & line_start_answer)
                follow(pc + 1, answers, saves, seen, asked, out);
            break;
        case Op::character:
        case Op::set:
        case Op::match:
            out.push_back(Target{pc, static_cast<std::uint8_t>(saves)});
            break;
        }
    }

    // When every way from the start begins with a literal text, those texts.
    void find_start_literals() {
        std::vector<std::string> literals;
        for (const Target &target : program_.targets_of(0, answer_count - 1)) {
            std::string literal;
            for (int pc = target.pc;;) {
                const Inst &inst = program_.code[static_cast<std::size_t>(pc)];
                if (inst.op == Op::character) {
                    literal.push_back(static_cast<char>(inst.arg));  // patterns are ASCII
                    ++pc;
                } else if (inst.op == Op::save) {
                    ++pc;
                } else if (inst.op == Op::jump) {
                    pc = inst.x;
                } else {
                    break;
                }
            }
            if (literal.empty())
                return;
            literals.push_back(literal);
        }
        program_.start_literals = literals;
    }

    std::string_view pattern_;
    std::size_t at_ = 0;
    int groups_ = 0;
    Program program_;
};

// ----------------------------------------------------------------- matcher

// Marks of the instructions reached at one position.
class Marks {
public:
    explicit Marks(std::size_t size) : mark_(size, 0) {}

    void clear() {
        if (++generation_ == 0) {  // wrapped around: forget every old mark
            std::fill(mark_.begin(), mark_.end(), 0);
            generation_ = 1;
        }
    }
    // Mark `pc`; false when it was marked already.
    bool reach(int pc) {
        std::uint32_t &mark = mark_[static_cast<std::size_t>(pc)];
        if (mark == generation_)
            return false;
        mark = generation_;
        return true;
    }

private:
    std::vector<std::uint32_t> mark_;
    std::uint32_t generation_ = 1;
};

// The threads of one position, without their slots: the reading instructions
// (and the match) they are at, in priority order, and which of them share
// their slots by the way they came. The step from a state depends only on the
// state, the kind of the character read (the characters that every reading
// instruction of the pattern treats alike are of one kind), the answers at the
// next position and whether a match is known, so it is worked out by the rules
// above once, and then only replayed on the slots.
struct State {
    std::vector<int> pcs;
    std::vector<int> slots_of;  // by thread: its slots, an index into the slots kept
    int match = -1;             // the first thread at the match; the threads after it are cut
    unsigned questions = 0;     // the questions its steps may ask of the next position
    std::vector<int> steps;     // step index by key, -1 while unknown
};

// How a step makes the slots of the next state: each from the slots `from`
// of the state before (or fresh ones for a new start, -1), with the slots of
// `saves` set to the new position.
struct SlotsMove {
    int from;
    std::uint8_t saves;
};

struct Step {
    int state;
    std::vector<SlotsMove> moves;
};

// The automaton of one pattern for one table of character classes, grown as
// texts need it. It depends on no text, so later texts use it again.
class Machine {
public:
    Machine(const Program &program, const CharClasses &classes)
        : program_(program), code_(program.code), classes_id_(classes.id()), marks_(code_.size()) {
        const auto flags_of = [&](char32_t c) {
            return (classes.is_word(c) ? word_flag : 0) | (classes.is_space(c) ? space_flag : 0);
        };
        for (const Target &target : program_.targets_of(0, answer_count - 1)) {
            const Inst &inst = code_[static_cast<std::size_t>(target.pc)];
            if (inst.op == Op::character) {
                first_bytes_[inst.arg] = true;  // patterns are ASCII
            } else if (inst.op == Op::set) {
                const CharSet &set = program_.sets[inst.arg];
                for (char32_t b = 0; b < 0x80; ++b)
                    if (set.contains(b, flags_of(b)))
                        first_bytes_[b] = true;
                if (set.word || set.space || set.negated)
                    std::fill(first_bytes_.begin() + 0xC0, first_bytes_.end(), true);
            }
        }
        // The kinds: the characters that every reading instruction treats
        // alike, the ASCII ones taken one by one, the others by their flags.
        std::map<std::vector<bool>, std::uint8_t> kinds;
        const auto sort = [&](char32_t c, unsigned flags) {
            std::vector<bool> answers;
            for (const Inst &inst : code_)
                if (inst.op == Op::character || inst.op == Op::set)
                    answers.push_back(consumes(inst, c, flags));
            const auto [found, added] = kinds.emplace(answers, static_cast<std::uint8_t>(kinds.size()));
            if (added)
                kind_example_.emplace_back(c, flags);
            return found->second;
        };
        for (char32_t c = 0; c < 128; ++c)
            ascii_kind_[c] = sort(c, flags_of(c));
        for (unsigned flags = 0; flags < 4; ++flags)
            other_kind_[flags] = sort(0x80, flags);  // 0x80 stands for any character outside ASCII
        start_steps_.fill(-1);
        rest_start_steps_.fill(-1);
        empty_state_ = intern({}, {});
    }

    const Program &program() const { return program_; }
    std::uint64_t classes_id() const { return classes_id_; }
    std::size_t state_count() const { return states_.size(); }
    bool first_byte(unsigned char b) const { return first_bytes_[b]; }
    // The kind of a character and its word and space flags.
    std::size_t kind_of(char32_t c, unsigned flags) const { return c < 128 ? ascii_kind_[c] : other_kind_[flags]; }
    int empty_state() const { return empty_state_; }
    const State &state(int id) const { return states_[static_cast<std::size_t>(id)]; }
    const Step &step(int id) const { return steps_[static_cast<std::size_t>(id)]; }

    // The step from no thread to a new start at `start_pc`: 0, or the rest of
    // a guarded pattern.
    int start_step(int start_pc, unsigned answers) {
        int &step = (start_pc == 0 ? start_steps_ : rest_start_steps_)[answers];
        if (step < 0)
            step = build_step(empty_state_, 0, answers, start_pc);  // no thread reads: any kind will do
        return step;
    }

    // The step from `state` on a character of `kind`, with a new start at
    // `start_pc` (0) or none (-1).
    int step_from(int state, std::size_t kind, unsigned answers, int start_pc) {
        const std::size_t key = (kind * answer_count + answers) * 2 + (start_pc < 0 ? 0 : 1);
        int step = states_[static_cast<std::size_t>(state)].steps[key];
        if (step < 0) {
            step = build_step(state, kind, answers, start_pc);
            states_[static_cast<std::size_t>(state)].steps[key] = step;
        }
        return step;
    }

private:
    bool consumes(const Inst &inst, char32_t c, unsigned flags) const {
        return inst.op == Op::character ? inst.arg == c : program_.sets[inst.arg].contains(c, flags);
    }

    // Work out the step from `state` on a character of `kind`: the threads
    // before the first match read it in priority order, each queueing the
    // targets of its next instruction that no thread of higher priority has
    // reached, and then a new start at `start_pc` (none when -1) does the same.
    // Threads that come from the same slots with the same saves share slots.
    int build_step(int state, std::size_t kind, unsigned answers, int start_pc) {
        const auto [c, flags] = kind_example_[kind];
        Step step{0, {}};
        std::vector<int> pcs, slots_of;
        marks_.clear();
        auto queue = [&](int pc, int from) {
            for (const Target &target : program_.targets_of(pc, answers)) {
                if (!marks_.reach(target.pc))
                    continue;
                const SlotsMove move{from, target.saves};
                std::size_t k = 0;
                while (k < step.moves.size() && (step.moves[k].from != from || step.moves[k].saves != move.saves))
                    ++k;
                if (k == step.moves.size())
                    step.moves.push_back(move);
                pcs.push_back(target.pc);
                slots_of.push_back(static_cast<int>(k));
            }
        };
        const State &before = states_[static_cast<std::size_t>(state)];
        const std::size_t live = before.match >= 0 ? static_cast<std::size_t>(before.match) : before.pcs.size();
        for (std::size_t k = 0; k < live; ++k) {
            const int pc = before.pcs[k];
            if (consumes(code_[static_cast<std::size_t>(pc)], c, flags))
                queue(pc + 1, before.slots_of[k]);
        }
        if (start_pc >= 0)
            queue(start_pc, -1);
        step.state = intern(std::move(pcs), std::move(slots_of));
        steps_.push_back(std::move(step));
        return static_cast<int>(steps_.size() - 1);
    }

    int intern(std::vector<int> pcs, std::vector<int> slots_of) {
        std::vector<int> key = pcs;
        key.insert(key.end(), slots_of.begin(), slots_of.end());
        auto found = index_.find(key);
        if (found != index_.end())
            return found->second;
        State state;
        for (std::size_t k = 0; k < pcs.size(); ++k) {
            const int pc = pcs[k];
            const Inst &inst = code_[static_cast<std::size_t>(pc)];
            if (inst.op == Op::match) {
                if (state.match < 0)
                    state.match = static_cast<int>(k);
            } else if (state.match < 0) {
                state.questions |= program_.questions[static_cast<std::size_t>(pc) + 1];
            }
        }
        state.pcs = std::move(pcs);
        state.slots_of = std::move(slots_of);
        state.steps.assign(kind_example_.size() * answer_count * 2, -1);
        states_.push_back(std::move(state));
        const int id = static_cast<int>(states_.size() - 1);
        index_.emplace(std::move(key), id);
        return id;
    }

    const Program &program_;
    const std::vector<Inst> &code_;
    std::uint64_t classes_id_;
    Marks marks_;
    std::array<bool, 256> first_bytes_{};
    std::array<std::uint8_t, 128> ascii_kind_{};
    std::array<std::uint8_t, 4> other_kind_{};                    // by word and space flags
    std::vector<std::pair<char32_t, unsigned>> kind_example_;  // a character and its flags, by kind
    std::vector<State> states_;
    std::vector<Step> steps_;
    std::map<std::vector<int>, int> index_;
    std::array<int, answer_count> start_steps_{};       // from no thread to a start, by the answers there
    std::array<int, answer_count> rest_start_steps_{};  // the same for the rest of a guarded pattern
    int empty_state_ = -1;
};

// The searches of one pattern over one text.
class Searcher {
public:
    Searcher(Machine &machine, std::string_view text, const CharClasses &classes)
        : machine_(machine), program_(machine.program()), text_(text), classes_(classes),
          slots_(program_.code.size()), next_slots_(program_.code.size()) {}

    // The first match at or after `from`, as the slots of its groups.
    bool search(std::size_t from, Slots &found) {
        const std::size_t size = text_.size();
        const int empty = machine_.empty_state();
        bool matched = false;
        std::size_t at = from;
        int state = empty;
        for (;;) {
            if (state == empty) {
                if (matched)
                    return true;
                at = next_candidate(at);
                if (at >= size)
                    return false;  // no pattern matches the empty text
                state = replay(machine_.start_step(0, answers_at(at, program_.questions[0])), at);
                if (state == empty) {
                    std::size_t length = 0;
                    read_code_point(text_, at, length);
                    at += length;
                    continue;
                }
            }
            const State &current = machine_.state(state);
            if (current.match >= 0) {
                matched = true;
                found = slots_[static_cast<std::size_t>(current.slots_of[static_cast<std::size_t>(current.match)])];
            }
            if (at == size)
                return matched;  // nothing reads past the end
            std::size_t length = 0;
            const char32_t c = read_code_point(text_, at, length);
            const unsigned questions = current.questions | (matched ? 0 : program_.questions[0]);
            const unsigned answers = answers_at(at + length, questions);  // may grow the machine
            state = replay(machine_.step_from(state, kind_of(c), answers, matched ? -1 : 0), at + length);
            at += length;
        }
    }

private:
    std::size_t kind_of(char32_t c) const {
        return machine_.kind_of(c, (classes_.is_word(c) ? word_flag : 0) | (classes_.is_space(c) ? space_flag : 0));
    }

    // The answers to `questions` at position `at`.
    unsigned answers_at(std::size_t at, unsigned questions) {
        unsigned answers = 0;
        if ((questions & line_start_answer) && (at == 0 || text_[at - 1] == '\n'))
            answers |= line_start_answer;
        if ((questions & guard_answer) && rest_matches_after_close(at))
            answers |= guard_answer;
        return answers;
    }

    // Apply a step's moves to the slots, at the new position `at`.
    int replay(int step_index, std::size_t at) {
        const Step &step = machine_.step(step_index);
        for (std::size_t k = 0; k < step.moves.size(); ++k) {
            const SlotsMove move = step.moves[k];
            Slots &slots = next_slots_[k];
            if (move.from >= 0)
                slots = slots_[static_cast<std::size_t>(move.from)];
            else
                slots.fill(no_position);
            for (unsigned saves = move.saves; saves; saves &= saves - 1)
                slots[static_cast<std::size_t>(std::countr_zero(saves))] = at;
        }
        std::swap(slots_, next_slots_);
        return step.state;
    }

    // The first position at or after `at` where a match may start (the size of
    // the text when there is none). Always a character boundary: the bytes
    // that continue a character are never first bytes.
    std::size_t next_candidate(std::size_t at) const {
        const std::size_t size = text_.size();
        const char *data = text_.data();
        for (;; ++at) {
            if (program_.line_anchored && at > 0 && at < size && data[at - 1] != '\n') {
                const void *line_end = std::memchr(data + at, '\n', size - at);
                if (!line_end)
                    return size;
                at = static_cast<std::size_t>(static_cast<const char *>(line_end) - data) + 1;
            }
            if (program_.start_literals.size() == 1)
                return std::min(text_.find(program_.start_literals[0], at), size);
            while (at < size && !machine_.first_byte(static_cast<unsigned char>(data[at])))
                ++at;
            if (at >= size)
                return size;
            if (program_.start_literals.empty())
                return at;
            for (const std::string &literal : program_.start_literals)
                if (text_.compare(at, literal.size(), literal) == 0)
                    return at;
        }
    }

    // --- the check after the ")" of a `[^)]*\)`

    // Whether a thread entering the guarded `[^)]*` at `at` can still match:
    // whether the rest of the pattern matches right after the first ")" at or
    // after `at`. The positions asked about grow, except for a character or
    // so when a search starts again after a match; the last stretch that
    // leads to one ")" is kept with its answer, so each stretch is read once.
    bool rest_matches_after_close(std::size_t at) {
        const std::size_t size = text_.size();
        if (stretch_known_ && at >= stretch_from_ && at <= stretch_close_)
            return stretch_ok_;
        if (!stretch_known_ || at > stretch_close_) {
            stretch_known_ = true;
            stretch_from_ = at;
            stretch_close_ = first_close(at, size);
            stretch_ok_ = stretch_close_ < size && rest_matches(stretch_close_ + 1);
            return stretch_ok_;
        }
        const std::size_t close = first_close(at, stretch_from_);  // a little before the stretch
        if (close == stretch_from_) {
            stretch_from_ = at;
            return stretch_ok_;
        }
        return rest_matches(close + 1);
    }

    // The first ")" in [at, end), or `end`.
    std::size_t first_close(std::size_t at, std::size_t end) const {
        const void *found = at < end ? std::memchr(text_.data() + at, ')', end - at) : nullptr;
        return found ? static_cast<std::size_t>(static_cast<const char *>(found) - text_.data()) : end;
    }

    // Whether the rest of the guarded pattern matches at `at`: the same steps,
    // without slots and without new starts. The rest never reaches the
    // guarded loop (so this does not come back here) nor reads a ")".
    bool rest_matches(std::size_t at) {
        const auto rest = static_cast<std::size_t>(program_.guard_rest);
        int state = machine_.step(machine_.start_step(program_.guard_rest, answers_at(at, program_.questions[rest])))
                        .state;
        for (;;) {
            const State &current = machine_.state(state);
            if (current.match >= 0)
                return true;
            if (state == machine_.empty_state() || at >= text_.size())
                return false;
            std::size_t length = 0;
            const char32_t c = read_code_point(text_, at, length);
            const unsigned answers = answers_at(at + length, current.questions);
            state = machine_.step(machine_.step_from(state, kind_of(c), answers, -1)).state;
            at += length;
        }
    }

    Machine &machine_;
    const Program &program_;
    std::string_view text_;
    const CharClasses &classes_;
    std::vector<Slots> slots_, next_slots_;  // of the current threads, by index
    bool stretch_known_ = false;
    std::size_t stretch_from_ = 0, stretch_close_ = 0;  // no ")" from `from` until `close`
    bool stretch_ok_ = false;
};

// ---------------------------------------------------------------- the table

constexpr std::size_t group_count = 8;

constexpr std::string_view pattern_texts[group_count][2] = {
    {R"re(^\s*class\s+(\w+))re", R"re(^\s*def\s+(\w+))re"},
    {R"re((?:class|interface)\s+(\w+))re",
     R"re((?:function\s+(\w+)|(?:const|let|var)\s+(\w+)\s*=\s*(?:async\s+)?(?:function|\([^)]*\)\s*=>)))re"},
    {R"re((?:class|interface|enum)\s+(\w+))re",
     R"re((?:public|private|protected|static|\s)+[\w<>\[\]]+\s+(\w+)\s*\([^)]*\)\s*\{)re"},
    {R"re((?:class|interface|struct|enum)\s+(\w+))re",
     R"re((?:public|private|protected|internal|static|\s)+[\w<>\[\]]+\s+(\w+)\s*\([^)]*\))re"},
    {R"re((?:class|interface|trait)\s+(\w+))re", R"re(function\s+(\w+)\s*\()re"},
    {R"re(type\s+(\w+)\s+(?:struct|interface))re", R"re(func\s+(?:\([^)]*\)\s+)?(\w+)\s*\()re"},
    {R"re((?:struct|trait|enum)\s+(\w+))re", R"re(fn\s+(\w+)\s*[<(])re"},
    {R"re((?:class|struct)\s+(\w+))re", R"re([\w:<>*&\s]+\s+(\w+)\s*\([^)]*\)\s*(?:\{|;))re"},
};

struct SuffixRow {
    std::string_view suffix;
    SuffixGroup group;
};

constexpr SuffixRow suffix_rows[] = {
    {".py", SuffixGroup::python},   {".js", SuffixGroup::script},     {".ts", SuffixGroup::script},
    {".jsx", SuffixGroup::script},  {".tsx", SuffixGroup::script},    {".java", SuffixGroup::java},
    {".cs", SuffixGroup::csharp},   {".php", SuffixGroup::php},       {".go", SuffixGroup::go},
    {".rs", SuffixGroup::rust},     {".c", SuffixGroup::c_family},    {".cpp", SuffixGroup::c_family},
    {".cc", SuffixGroup::c_family}, {".cxx", SuffixGroup::c_family},  {".h", SuffixGroup::c_family},
    {".hpp", SuffixGroup::c_family},
};

constexpr std::string_view c_keywords[] = {"if", "while", "for", "switch", "return", "sizeof", "typedef"};

std::size_t index_of(SuffixGroup group, int which) {
    const auto g = static_cast<std::size_t>(group);
    if (g >= group_count || (which != 0 && which != 1))
        throw std::out_of_range("no such definition pattern");
    return g * 2 + static_cast<std::size_t>(which);
}

const Program &program(SuffixGroup group, int which) {
    static const std::vector<Program> programs = [] {
        std::vector<Program> all;
        for (const auto &pair : pattern_texts)
            for (std::string_view text : pair)
                all.push_back(Compiler(text).compile());
        return all;
    }();
    return programs[index_of(group, which)];
}

// A machine reaches about two hundred states on the texts tried; one that
// has grown far beyond that is started afresh before its next text.
constexpr std::size_t max_kept_states = 4096;

// The machine of a pattern for `classes`, kept for later texts of this thread
// (a thread of its own each, so that no two threads grow one at once).
Machine &machine(SuffixGroup group, int which, const CharClasses &classes) {
    thread_local std::array<std::unique_ptr<Machine>, group_count * 2> machines;
    std::unique_ptr<Machine> &kept = machines[index_of(group, which)];
    if (!kept || kept->classes_id() != classes.id() || kept->state_count() > max_kept_states)
        kept = std::make_unique<Machine>(program(group, which), classes);
    return *kept;
}

std::string_view group_text(std::string_view text, const Slots &slots, std::size_t group) {
    const std::size_t start = slots[2 * group], end = slots[2 * group + 1];
    if (start == no_position || end == no_position)
        return {};
    return text.substr(start, end - start);
}

// Call `emit(find)` for every match, left to right, while it returns true;
// false when it stopped the run.
template <typename Emit>
bool for_each_find(SuffixGroup group, int which, std::string_view text, const CharClasses &classes, Emit &&emit) {
    Searcher searcher(machine(group, which, classes), text, classes);
    Slots slots;
    std::size_t at = 0;
    while (searcher.search(at, slots)) {
        if (!emit(Find{group_text(text, slots, 1), group_text(text, slots, 2)}))
            return false;
        at = slots[1];  // after the match, which is never empty
    }
    return true;
}

}  // namespace

std::string_view file_suffix(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    const std::size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0 || dot + 1 == name.size())
        return {};
    return name.substr(dot);
}

std::optional<SuffixGroup> suffix_group(std::string_view suffix) {
    // ASCII lower-casing is enough: of the characters outside ASCII only the
    // Kelvin sign lower-cases to an ASCII letter ("k"), which no suffix holds.
    std::string lowered(suffix);
    for (char &c : lowered)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    for (const SuffixRow &row : suffix_rows)
        if (row.suffix == lowered)
            return row.group;
    return std::nullopt;
}

std::string_view definition_pattern(SuffixGroup group, int which) {
    const std::size_t k = index_of(group, which);
    return pattern_texts[k / 2][k % 2];
}

std::vector<Find> definition_finds(SuffixGroup group, int which, std::string_view text, const CharClasses &classes) {
    std::vector<Find> finds;
    for_each_find(group, which, text, classes, [&](const Find &find) {
        finds.push_back(find);
        return true;
    });
    return finds;
}

std::vector<std::string> extract_definitions(SuffixGroup group, std::string_view text, const CharClasses &classes) {
    std::vector<std::string> names;
    std::unordered_set<std::string_view> seen;
    // Later finds cannot change the first `max_definitions` names, so the
    // search stops once they are known.
    auto keep = [&](std::string_view name) {
        if (!name.empty() && seen.insert(name).second)
            names.emplace_back(name);
        return names.size() < max_definitions;
    };
    try {
        if (!for_each_find(group, 0, text, classes, [&](const Find &find) { return keep(find.first); }))
            return names;
        for_each_find(group, 1, text, classes, [&](const Find &find) {
            if (group == SuffixGroup::script)
                return keep(find.first.empty() ? find.second : find.first);
            if (group == SuffixGroup::c_family &&
                std::find(std::begin(c_keywords), std::end(c_keywords), find.first) != std::end(c_keywords))
                return true;
            return keep(find.first);
        });
    } catch (const std::bad_alloc &) {
        // Out of memory: the names found so far stand.
    }
    return names;
}

}  // namespace quorlin
