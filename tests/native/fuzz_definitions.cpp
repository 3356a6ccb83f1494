// The definition finder's lazy DFA against itself under smaller budgets:
// the DFA kept across inputs (the default budget), one whose budget holds a
// few states (its cache cleared within the search), and one with no budget at
// all (the Pike VM after three clears), on the sixteen patterns of the
// definition tables and on patterns of the finder's syntax built from the
// input. None may crash; every match must lie within the text, after the one
// before it, with its groups inside it; all three must find the same matches
// with the same work.
#include "char_classes.hpp"

#include "quorlin/engine/automaton.hpp"
#include "quorlin/engine/definitions.hpp"
#include "quorlin/engine/search.hpp"

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

using namespace quorlin;

namespace {

[[noreturn]] void fail(const char *what, const std::string &pattern) {
    std::fprintf(stderr, "fuzz_definitions: %s for the pattern %s\n", what, pattern.c_str());
    std::abort();
}

// The input's bytes, one at a time; zero once they are used up.
struct Reader {
    const std::uint8_t *data;
    std::size_t size, at = 0;
    unsigned next() { return at < size ? data[at++] : 0; }
};

// A pattern of the finder's syntax, shaped by the input.
void alternation(Reader &in, std::string &out, int depth);

void atom(Reader &in, std::string &out, int depth) {
    static const char *const pieces[] = {"a", "b", "x", "\\(", "\\)", "\\w", "\\s", "[^)]", "[ab]", "[^a\\s]",
                                         "^", " ", "[\\w)]", "\\="};
    const unsigned choice = in.next() % (depth < 3 ? 18 : 14);
    if (choice < 14) {
        out += pieces[choice];
        return;
    }
    out += choice < 16 ? "(" : "(?:";
    alternation(in, out, depth + 1);
    out += ")";
}

void alternation(Reader &in, std::string &out, int depth) {
    for (unsigned branches = 1 + in.next() % 3, b = 0; b < branches; ++b) {
        if (b > 0)
            out += "|";
        for (unsigned items = 1 + in.next() % 4; items > 0; --items) {
            atom(in, out, depth);
            static const char *const quantifiers[] = {"", "", "", "*", "+", "?"};
            out += quantifiers[in.next() % 6];
        }
    }
}

struct Found {
    std::vector<Slots> matches;
    std::size_t work = 0;
};

Found run(LazyDfa &dfa, std::string_view text, const std::string &pattern) {
    Found found;
    SearchStats stats;
    std::size_t previous_end = 0;
    for_each_match(dfa, text, test_char_classes(), [&](const Slots &slots) {
        if (!(previous_end <= slots[0] && slots[0] < slots[1] && slots[1] <= text.size()))
            fail("a match out of bounds", pattern);
        for (std::size_t group = 1; group <= max_groups; ++group) {
            const std::size_t start = slots[2 * group], end = slots[2 * group + 1];
            if ((start == no_position) != (end == no_position))
                fail("a group with one end", pattern);
            if (start != no_position && !(slots[0] <= start && start <= end && end <= slots[1]))
                fail("a group outside its match", pattern);
        }
        previous_end = slots[1];
        found.matches.push_back(slots);
        return true;
    }, &stats);
    found.work = stats.work;
    return found;
}

void compare(LazyDfa &kept, const Program &program, std::string_view text, const std::string &pattern) {
    const Found reference = run(kept, text, pattern);
    LazyDfa small(program, test_char_classes(), 2048), none(program, test_char_classes(), 0);
    const Found with_small = run(small, text, pattern), with_none = run(none, text, pattern);
    if (with_small.matches != reference.matches || with_none.matches != reference.matches)
        fail("other matches under a smaller budget", pattern);
    if (with_small.work != reference.work || with_none.work != reference.work)
        fail("other work under a smaller budget", pattern);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size == 0)
        return 0;
    const unsigned selector = data[0];
    if ((selector & 3) != 3) {
        // A pattern of the tables, on the input's bytes as they are.
        static const std::vector<Program> programs = [] {
            std::vector<Program> all;
            for (int k = 0; k < 16; ++k)
                all.push_back(compile_pattern(definition_pattern(static_cast<SuffixGroup>(k / 2), k % 2)));
            return all;
        }();
        static std::array<std::unique_ptr<LazyDfa>, 16> kept;
        const unsigned k = selector % 16;
        if (!kept[k])
            kept[k] = std::make_unique<LazyDfa>(programs[k], test_char_classes());
        const std::string_view text(reinterpret_cast<const char *>(data) + 1, size - 1);
        compare(*kept[k], programs[k], text, std::string(definition_pattern(static_cast<SuffixGroup>(k / 2), k % 2)));
        return 0;
    }
    // A pattern (for a quarter of the inputs) built from the first half of the input, on a text of the
    // characters it reads made from the second half.
    Reader pattern_bytes{data + 1, (size - 1) / 2};
    std::string pattern;
    alternation(pattern_bytes, pattern, 0);
    Program program;
    try {
        program = compile_pattern(pattern);
    } catch (const UnsupportedPattern &) {
        return 0;  // one that can match the empty text, or has too many groups
    }
    static const char *const letters[] = {"a", "b", "(", ")", "x", " ", "\n", "=", "_", "\xc3\xa9", "\xff", "\t"};
    std::string text;
    for (std::size_t k = 1 + (size - 1) / 2; k < size; ++k)
        text += letters[data[k] % 12];
    LazyDfa kept(program, test_char_classes());
    compare(kept, program, text, pattern);
    return 0;
}

extern "C" const char *const *orvo_fuzz_tokens(std::size_t *count) {
    static const char *const tokens[] = {
        "class ", "def ", "function ", "const ", "let ", "var ", "async ", "interface ", "enum ", "struct ",
        "trait ", "type ", "func ", "fn ", "public ", "static ", "internal ", "(", ")", "{", ";", "=>", " = ",
        "<", ">", "[", "]", "::", "*", "&", "\n", "\t", "\xc3\xa9", "\xe5\x90\x8d", "\xed\xa0\x80", "\xc0",
    };
    *count = sizeof tokens / sizeof *tokens;
    return tokens;
}
