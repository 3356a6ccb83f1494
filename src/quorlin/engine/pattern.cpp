// The parser of the definition patterns and what it works out once for each
// instruction of the program it makes.
#include "pattern.hpp"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <stdexcept>

namespace quorlin {

namespace {

[[noreturn]] void unsupported(std::string_view pattern, const char *why) {
    throw UnsupportedPattern("unsupported definition pattern '" + std::string(pattern) + "': " + why);
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
        program_.groups = groups_;
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

}  // namespace

Program compile_pattern(std::string_view pattern) { return Compiler(pattern).compile(); }

}  // namespace quorlin
