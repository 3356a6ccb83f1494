// The definition finder's engine: the compiler's programs, the successor
// function, the guarded loop, the lazy DFA's memory budget and its fallback
// to the Pike VM, and the finds of the definition tables.
#include "char_classes.hpp"
#include "check.hpp"

#include "quorlin/engine/automaton.hpp"
#include "quorlin/engine/definitions.hpp"
#include "quorlin/engine/search.hpp"

#include <random>
#include <string>
#include <vector>

using namespace quorlin;
using namespace std::string_literals;

namespace {

struct Run {
    std::vector<Slots> matches;
    SearchStats stats;
};

Run run(LazyDfa &dfa, std::string_view text) {
    Run result;
    for_each_match(dfa, text, test_char_classes(), [&](const Slots &slots) {
        result.matches.push_back(slots);
        return true;
    }, &result.stats);
    return result;
}

Run run(const Program &program, std::string_view text, std::size_t budget = LazyDfa::default_memory_budget) {
    LazyDfa dfa(program, test_char_classes(), budget);
    return run(dfa, text);
}

// The texts of group 1 of each match.
std::vector<std::string> names(const Program &program, std::string_view text) {
    std::vector<std::string> found;
    for (const Slots &slots : run(program, text).matches)
        found.emplace_back(text.substr(slots[2], slots[3] - slots[2]));
    return found;
}

bool same_matches(const std::vector<Slots> &a, const std::vector<Slots> &b) { return a == b; }

}  // namespace

TEST(the_compiler_joins_fragments_into_leftmost_first_programs) {
    CHECK(names(compile_pattern("(a+)b"), "aab ab b aaab") == (std::vector<std::string>{"aa", "a", "aaa"}));
    CHECK(names(compile_pattern("(ab|a)c?"), "abc ac a") == (std::vector<std::string>{"ab", "a", "a"}));
    CHECK(names(compile_pattern("x(a*)(?:)y"), "xy xaay") == (std::vector<std::string>{"", "aa"}));
    CHECK(names(compile_pattern("(?:|q)(z)"), "qz z") == (std::vector<std::string>{"z", "z"}));
    // An empty group, an empty branch, an optional anchor.
    const Run anchored = run(compile_pattern("^?(b)"), "ab\nb");
    CHECK_EQ(anchored.matches.size(), 2u);
    CHECK_EQ(anchored.matches[0][0], 1u);
    CHECK(!compile_pattern("^?b").line_anchored);
    CHECK(compile_pattern("(?:^a)").line_anchored);
    CHECK(!compile_pattern("^a|b").line_anchored);
    for (const char *refused : {"", "a|", "(?:a?)*", "a**", "a*?", "(a", "a)", "[a-z]", ".", "(a)(b)(c)", "\\d"})
        CHECK_THROWS(UnsupportedPattern, compile_pattern(refused));
}

TEST(the_successor_function_opens_an_assertion_only_where_it_holds) {
    const Program program = compile_pattern("^a");
    int anchor = -1;
    for (int pc = 0; pc < static_cast<int>(program.code.size()); ++pc)
        if (program.at(pc).op == Op::line_start)
            anchor = pc;
    CHECK(anchor >= 0);
    const Successors closed = successors(program, anchor, LookSet());
    CHECK_EQ(closed.count, 0);
    CHECK(closed.asked.contains(Look::start_line));
    const Successors open = successors(program, anchor, LookSet().with(Look::start_line));
    CHECK_EQ(open.count, 1);
    CHECK(program.at(open.pcs[0]).op == Op::character);
    CHECK(program.looks[0].contains(Look::start_line));
    CHECK_EQ(program.closure(0, LookSet()).size(), 0u);
    CHECK_EQ(program.closure(0, LookSet::full()).size(), 1u);
}

TEST(the_guarded_loop_is_found_on_the_program) {
    for (const char *guarded : {R"(\([^)]*\)\s*=>)", R"(f[^)]+\)x)", R"(\([^\)]*\)y)"}) {
        const Program program = compile_pattern(guarded);
        CHECK(program.guard_loop >= 0);
        if (program.guard_loop < 0)
            continue;
        CHECK(program.at(program.guard_loop).op == Op::split);
        const Inst &close = program.at(program.at(program.guard_loop).alt);
        CHECK(close.op == Op::character && close.arg == ')' && close.next == program.guard_rest);
    }
    // No guard where the rest may read a ")", where the loop reads more, or
    // where no ")" closes it.
    for (const char *plain : {R"([^)]*\)x\))", R"([^)]*\)[^a])", R"([^)a]*\)x)", R"([^)]*x)", R"([^(]*\)x)"})
        CHECK_EQ(compile_pattern(plain).guard_loop, -1);
    for (SuffixGroup group : {SuffixGroup::script, SuffixGroup::java, SuffixGroup::csharp, SuffixGroup::go,
                              SuffixGroup::c_family})
        CHECK(compile_pattern(definition_pattern(group, 1)).guard_loop >= 0);
    // The guard drops the thread that cannot match, with the same finds.
    const Program arrow = compile_pattern(R"((\w+)\s*=\s*\([^)]*\)\s*=>)");
    const std::string text = "f = (a) => 1; g = (b); h = (" + std::string(2000, 'x') + ") => 2";
    const Run guarded = run(arrow, text);
    CHECK_EQ(guarded.matches.size(), 2u);
    CHECK_EQ(std::string(text.substr(guarded.matches[1][2], 1)), "h"s);
    CHECK(guarded.stats.work < 3 * text.size());
}

TEST(a_sparse_set_clears_at_once_and_keeps_each_member_once) {
    SparseSet set(8);
    CHECK(set.insert(3));
    CHECK(set.insert(7));
    CHECK(!set.insert(3));
    CHECK(set.contains(7) && !set.contains(0));
    CHECK_EQ(set.size(), 2u);
    set.clear();
    CHECK(!set.contains(3) && !set.contains(7));
    CHECK(set.insert(7));
    CHECK_EQ(set.size(), 1u);
}

// `((?:a|b)*)(a)` and fourteen more of a or b, then "c": its DFA remembers
// the last fifteen characters, some thirty thousand states, far past the
// budget. In a text of runs of a and b each closed by a "c", a run matches
// when the fifteenth character before its "c" is an "a".
TEST(a_pattern_that_blows_the_budget_finds_the_same_matches) {
    std::string pattern = "((?:a|b)*)(a)";
    for (int k = 0; k < 14; ++k)
        pattern += "(?:a|b)";
    pattern += "c";
    const Program program = compile_pattern(pattern);
    std::mt19937 random(7);
    std::string text;
    std::vector<Slots> expected;
    while (text.size() < 200000) {
        const std::size_t start = text.size(), length = 5 + random() % 40;
        for (std::size_t k = 0; k < length; ++k)
            text += random() % 2 ? 'a' : 'b';
        if (length >= 15 && text[text.size() - 15] == 'a') {
            Slots slots;
            slots.fill(no_position);
            slots[0] = slots[2] = start;
            slots[3] = slots[4] = text.size() - 15;
            slots[5] = text.size() - 14;
            slots[1] = text.size() + 1;
            expected.push_back(slots);
        }
        text += 'c';
    }
    const Run fitting = run(program, text, std::size_t(1) << 30);
    CHECK_EQ(fitting.stats.cache_clears, 0u);
    CHECK(same_matches(fitting.matches, expected));

    LazyDfa dfa(program, test_char_classes());
    const Run budgeted = run(dfa, text);
    CHECK(budgeted.stats.cache_clears > 0);
    CHECK(dfa.memory_usage() <= 2 * LazyDfa::default_memory_budget);
    CHECK(same_matches(budgeted.matches, expected));

    // A budget too small for any state: three clears per search, then the
    // Pike VM.
    const Run pike = run(program, text, 0);
    CHECK(pike.stats.pike_vm_searches > 0);
    // Every search (one per match, and the last one) clears at most three
    // times, and goes on with the Pike VM only after three.
    CHECK(pike.stats.cache_clears >= pike.stats.pike_vm_searches * LazyDfa::clears_before_pike_vm);
    CHECK(pike.stats.cache_clears <= (pike.matches.size() + 1) * LazyDfa::clears_before_pike_vm);
    CHECK(same_matches(pike.matches, expected));
    CHECK_EQ(pike.stats.work, fitting.stats.work);
}

TEST(every_table_pattern_finds_the_same_under_any_budget) {
    const std::string text =
        "class A:\n  def b(self):\n    pass\nconst c = async (x) => x\nlet d = function() {}\n"
        "public static void e(int a) {\n}\nfunc (s *S) f(x int) {\ntype G struct {}\nfn h<T>() {}\n"
        "int main(int argc, char **argv);\nstatic const char *k(void) {\nif (x) { return y(z); }\n"
        "const q = (" + std::string(300, 'z') + " function r() {}\n\xc3\xa9t\xc3\xa9 class \xe5\x90\x8d {}\n";
    for (int group = 0; group < 8; ++group) {
        for (int which = 0; which < 2; ++which) {
            const Program program = compile_pattern(definition_pattern(static_cast<SuffixGroup>(group), which));
            const Run reference = run(program, text);
            CHECK_EQ(reference.stats.cache_clears, 0u);
            for (std::size_t budget : {std::size_t(0), std::size_t(512), std::size_t(4096)}) {
                const Run other = run(program, text, budget);
                CHECK(same_matches(other.matches, reference.matches));
                CHECK_EQ(other.stats.work, reference.stats.work);
            }
        }
    }
    CHECK(extract_definitions(SuffixGroup::script, text, test_char_classes()) == (std::vector<std::string>{"A", "\xe5\x90\x8d", "c", "d", "r"}));
    CHECK(extract_definitions(SuffixGroup::python, text, test_char_classes()) == (std::vector<std::string>{"A", "b"}));
    CHECK(extract_definitions(SuffixGroup::go, text, test_char_classes()) == (std::vector<std::string>{"G", "f"}));
}
