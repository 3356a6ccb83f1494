// The parser of the definition patterns and what it works out once for each
// instruction of the program it makes.
#include "pattern.hpp"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <optional>
#include <stdexcept>

namespace quorlin {

namespace {

[[noreturn]] void unsupported(std::string_view pattern, const char *why) {
    throw UnsupportedPattern("unsupported definition pattern '" + std::string(pattern) + "': " + why);
}

// Parses the syntax the definition patterns use: literals, "\" before a
// punctuation character, `\w`, `\s`, bracketed classes of those (optionally
// negated), "^", groups `(...)` and `(?:...)`, "|", and the greedy "*", "+"
// and "?". Anything else is refused. Each parsing step emits the instructions
// of its piece and returns it as a fragment; the pieces are joined by filling
// the holes (the patch list), so no instruction moves once emitted.
class Compiler {
public:
    explicit Compiler(std::string_view pattern) : pattern_(pattern) {}

    Program compile() {
        const Fragment begin = single(Op::save, 0);
        Fragment body = alternation();
        if (at_ < pattern_.size())
            unsupported(pattern_, "unbalanced ')'");
        if (body.nullable)
            unsupported(pattern_, "the pattern can match the empty text");
        program_.line_anchored = program_.at(body.start).op == Op::line_start;
        program_.groups = groups_;
        Fragment whole = concatenate(concatenate(begin, std::move(body)), single(Op::save, 1));
        fill(whole.holes, emit(Op::match));
        find_guard();
        find_closures();
        find_start_literals();
        return std::move(program_);
    }

private:
    // A loose end of a fragment: the field `alt` (else `next`) of instruction
    // `pc`, which waits for the instruction that follows the fragment.
    struct Hole {
        int pc;
        bool alt;
    };
    // A piece of program under construction (Thompson's construction): its
    // first instruction and its loose ends.
    struct Fragment {
        int start;
        std::vector<Hole> holes;
        bool nullable;  // whether it can match the empty text
    };

    int emit(Op op, std::uint32_t arg = 0) {
        program_.code.push_back(Inst{op, arg});
        return static_cast<int>(program_.code.size()) - 1;
    }
    // One instruction whose `next` is loose.
    Fragment single(Op op, std::uint32_t arg = 0, bool nullable = true) {
        const int pc = emit(op, arg);
        return Fragment{pc, {Hole{pc, false}}, nullable};
    }
    void fill(const std::vector<Hole> &holes, int target) {
        for (const Hole &hole : holes) {
            Inst &inst = program_.code[static_cast<std::size_t>(hole.pc)];
            (hole.alt ? inst.alt : inst.next) = target;
        }
    }
    Fragment concatenate(Fragment first, Fragment second) {
        fill(first.holes, second.start);
        return Fragment{first.start, std::move(second.holes), first.nullable && second.nullable};
    }

    bool more() const { return at_ < pattern_.size(); }
    char peek() const { return pattern_[at_]; }

    // Branches in priority order: a split before each branch but the last,
    // its `next` the branch and its `alt` the splits of the branches after.
    Fragment alternation() {
        Fragment first = sequence();
        if (!more() || peek() != '|')
            return first;
        ++at_;
        Fragment rest = alternation();
        const int split = emit(Op::split);
        program_.code[static_cast<std::size_t>(split)].next = first.start;
        program_.code[static_cast<std::size_t>(split)].alt = rest.start;
        std::vector<Hole> holes = std::move(first.holes);
        holes.insert(holes.end(), rest.holes.begin(), rest.holes.end());
        return Fragment{split, std::move(holes), first.nullable || rest.nullable};
    }

    Fragment sequence() {
        if (!more() || peek() == '|' || peek() == ')')
            return single(Op::nop);  // an empty branch or group
        Fragment piece = repeat();
        while (more() && peek() != '|' && peek() != ')')
            piece = concatenate(std::move(piece), repeat());
        return piece;
    }

    Fragment repeat() {
        Fragment atom_piece = atom();
        if (!more() || (peek() != '*' && peek() != '+' && peek() != '?'))
            return atom_piece;
        const char quantifier = pattern_[at_++];
        if (more() && (peek() == '?' || peek() == '+' || peek() == '*'))
            unsupported(pattern_, "only greedy repetition is supported");
        if (atom_piece.nullable && quantifier != '?')
            unsupported(pattern_, "a repetition of something that can match the empty text");
        // A split that prefers the atom (again) over going on.
        const int split = emit(Op::split);
        program_.code[static_cast<std::size_t>(split)].next = atom_piece.start;
        const Hole on{split, true};
        if (quantifier == '?') {
            atom_piece.holes.push_back(on);
            return Fragment{split, std::move(atom_piece.holes), true};
        }
        fill(atom_piece.holes, split);  // the loop back
        return Fragment{quantifier == '*' ? split : atom_piece.start, {on}, quantifier == '*'};
    }

    Fragment atom() {
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
            }
            std::optional<Fragment> open;
            if (group > 0)
                open = single(Op::save, static_cast<std::uint32_t>(2 * group));
            Fragment inner = alternation();
            if (!more() || peek() != ')')
                unsupported(pattern_, "missing ')'");
            ++at_;
            if (group < 0)
                return inner;
            return concatenate(concatenate(std::move(*open), std::move(inner)),
                               single(Op::save, static_cast<std::uint32_t>(2 * group + 1)));
        }
        case '[':
            return single(Op::set, bracketed(), false);
        case '^':
            return single(Op::line_start);
        case '\\': {
            CharSet set;
            if (escape(set))
                return single(Op::set, add_set(set), false);
            return single(Op::character, static_cast<std::uint32_t>(pattern_[at_ - 1]), false);
        }
        default:
            if (std::strchr(".$*+?{}]|)", c))
                unsupported(pattern_, "an unsupported metacharacter");
            if (static_cast<unsigned char>(c) >= 0x80)
                unsupported(pattern_, "only ASCII characters are supported");
            return single(Op::character, static_cast<unsigned char>(c), false);
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

    // The first `[^)]*\)` (or `[^)]+\)`) of the program: a split whose
    // preferred way reads `[^)]` and comes back to it, and whose other way
    // reads ")". It is kept only when the rest of the pattern cannot read a
    // ")": then the check of the rest after one ")" ends before the next one.
    void find_guard() {
        const auto &code = program_.code;
        for (int pc = 0; pc < static_cast<int>(code.size()); ++pc) {
            const Inst &split = program_.at(pc);
            if (split.op != Op::split)
                continue;
            const Inst &loop = program_.at(split.next), &out = program_.at(split.alt);
            if (loop.op == Op::set && program_.sets[loop.arg].is_all_but_close() && loop.next == pc &&
                out.op == Op::character && out.arg == ')') {
                if (rest_may_read_close(out.next))
                    return;
                program_.guard_loop = pc;
                program_.guard_rest = out.next;
                return;
            }
        }
    }

    bool rest_may_read_close(int rest) const {
        std::vector<bool> seen(program_.code.size());
        std::vector<int> stack{rest};
        while (!stack.empty()) {
            const int pc = stack.back();
            stack.pop_back();
            if (seen[static_cast<std::size_t>(pc)])
                continue;
            seen[static_cast<std::size_t>(pc)] = true;
            const Inst &inst = program_.at(pc);
            if (inst.op == Op::character ? inst.arg == ')'
                                         : inst.op == Op::set && program_.sets[inst.arg].may_hold_close())
                return true;
            const Successors next = successors(program_, pc, LookSet::full());
            for (int k = 0; k < next.count; ++k)
                stack.push_back(next.pcs[static_cast<std::size_t>(k)]);
        }
        return false;
    }

    // The first-come ways from each instruction to the reading instructions,
    // as a thread would take them one after the other: an instruction reached
    // before by a way of higher priority is not taken again.
    void find_closures() {
        const std::size_t size = program_.code.size();
        program_.looks.assign(size, LookSet());
        program_.closures.assign(size * LookSet::count, {});
        std::vector<bool> seen(size);
        for (std::size_t pc = 0; pc < size; ++pc) {
            for (unsigned bits = 0; bits < LookSet::count; ++bits) {
                std::fill(seen.begin(), seen.end(), false);
                const LookSet holding = LookSet::from_bits(bits);
                follow(static_cast<int>(pc), holding, 0, seen, program_.looks[pc],
                       program_.closures[pc * LookSet::count + bits]);
            }
        }
    }

    void follow(int pc, LookSet holding, unsigned saves, std::vector<bool> &seen, LookSet &asked,
                std::vector<Target> &out) {
        if (seen[static_cast<std::size_t>(pc)])
            return;
        seen[static_cast<std::size_t>(pc)] = true;
        const Inst &inst = program_.at(pc);
        if (inst.op == Op::character || inst.op == Op::set || inst.op == Op::match) {
            out.push_back(Target{pc, static_cast<std::uint8_t>(saves)});
            return;
        }
        if (inst.op == Op::save)
            saves |= 1u << inst.arg;
        const Successors next = successors(program_, pc, holding);
        asked = asked.united(next.asked);
        for (int k = 0; k < next.count; ++k)
            follow(next.pcs[static_cast<std::size_t>(k)], holding, saves, seen, asked, out);
    }

    // When every way from the start begins with a literal text, those texts.
    void find_start_literals() {
        std::vector<std::string> literals;
        for (const Target &target : program_.closure(0, LookSet::full())) {
            std::string literal;
            for (int pc = target.pc;;) {
                const Inst &inst = program_.at(pc);
                if (inst.op == Op::character)
                    literal.push_back(static_cast<char>(inst.arg));  // patterns are ASCII
                else if (inst.op != Op::save && inst.op != Op::nop)
                    break;
                pc = successors(program_, pc, LookSet::full()).pcs[0];
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

Successors successors(const Program &program, int pc, LookSet holding) {
    const Inst &inst = program.at(pc);
    Successors next;
    switch (inst.op) {
    case Op::split:
        if (pc == program.guard_loop) {
            next.asked = next.asked.with(Look::guard);
            if (!holding.contains(Look::guard))
                return next;  // a thread here can only fail
        }
        next.pcs = {inst.next, inst.alt};
        next.count = 2;
        return next;
    case Op::line_start:
        next.asked = next.asked.with(Look::start_line);
        if (!holding.contains(Look::start_line))
            return next;
        break;
    case Op::match:
        return next;
    case Op::character:
    case Op::set:
    case Op::save:
    case Op::nop:
        break;
    }
    next.pcs[0] = inst.next;
    next.count = 1;
    return next;
}

Program compile_pattern(std::string_view pattern) { return Compiler(pattern).compile(); }

}  // namespace quorlin
