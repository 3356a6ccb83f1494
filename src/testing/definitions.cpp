// The definition finder's work on a text, so that the tests can hold it
// against Python's `re`.
#include "bindings.hpp"

#include "quorlin/engine/definitions.hpp"
#include "quorlin/engine/search.hpp"
#include "quorlin/python_classes.hpp"

#include <orvo/text.hpp>

#include <map>

namespace orvo_testing {

using namespace nb::literals;
using namespace quorlin;

namespace {

nb::list str_list(const std::vector<std::string> &names) {
    nb::list list;
    for (const std::string &name : names)
        list.append(orvo::to_str(name));
    return list;
}

std::optional<SuffixGroup> group_of(nb::handle suffix) { return suffix_group(orvo::arg_str(suffix, "suffix")); }

// The group and pattern number of a check's arguments.
std::pair<SuffixGroup, int> pattern_of(nb::handle suffix, nb::handle pattern) {
    const std::optional<SuffixGroup> group = group_of(suffix);
    if (!group)
        orvo::raise(PyExc_ValueError, orvo::joined("no definition patterns for the suffix ", nb::repr(suffix)));
    const long long which = orvo::clamp_int64(orvo::arg_int(pattern, "pattern"));
    if (which != 0 && which != 1)
        orvo::raise(PyExc_ValueError, orvo::joined("pattern must be 0 or 1, not ", nb::repr(pattern)));
    return {*group, static_cast<int>(which)};
}

// Python's `\w` and `\s` with the characters of `words` taken as word
// characters too: a table of its own for each text of `words`, kept for the
// process as Python's own table is.
const CharClasses &classes_with_words(const std::string &words) {
    static std::map<std::string, CharClasses> tables;
    auto found = tables.find(words);
    if (found == tables.end()) {
        std::u32string extra;
        for (std::size_t i = 0; i < words.size();)
            extra.push_back(orvo::next_code_point(words, i));
        found = tables
                    .emplace(words, CharClasses::from(
                                        [&](char32_t c) {
                                            return c == U'_' || Py_UNICODE_ISALNUM(static_cast<Py_UCS4>(c)) ||
                                                   extra.find(c) != std::u32string::npos;
                                        },
                                        [](char32_t c) { return Py_UNICODE_ISSPACE(static_cast<Py_UCS4>(c)) != 0; }))
                    .first;
    }
    return found->second;
}

nb::list finds_in(nb::handle suffix, nb::handle pattern, nb::handle text, const CharClasses &classes) {
    const auto [group, which] = pattern_of(suffix, pattern);
    const std::string utf8 = orvo::arg_str(text, "text");
    const bool pairs = group == SuffixGroup::script && which == 1;
    const std::vector<Find> finds = definition_finds(group, which, utf8, classes);
    nb::list list;
    for (const Find &find : finds) {
        if (pairs)
            list.append(nb::make_tuple(orvo::to_str(find.first), orvo::to_str(find.second)));
        else
            list.append(orvo::to_str(find.first));
    }
    return list;
}

nb::list finds_of(nb::handle suffix, nb::handle pattern, nb::handle text) {
    return finds_in(suffix, pattern, text, python_char_classes());
}

nb::list finds_with_words(nb::handle suffix, nb::handle pattern, nb::handle text, nb::handle words) {
    return finds_in(suffix, pattern, text, classes_with_words(orvo::arg_str(words, "words")));
}

std::size_t work_of(nb::handle suffix, nb::handle pattern, nb::handle text) {
    const auto [group, which] = pattern_of(suffix, pattern);
    const std::string utf8 = orvo::arg_str(text, "text");
    return definition_work(group, which, utf8, python_char_classes());
}

// The matches of any pattern of the finder's syntax, "^" matching at every
// line start, as the spans of its groups in code points; (-1, -1) for a group
// that took no part.
nb::list pattern_spans(nb::handle pattern, nb::handle text) {
    const std::string utf8_pattern = orvo::arg_str(pattern, "pattern");
    const std::string utf8 = orvo::arg_str(text, "text");
    const CharClasses &classes = python_char_classes();
    std::vector<Slots> matches;
    int groups = 0;
    const bool compiled = [&] {
        Program program;
        try {
            program = compile_pattern(utf8_pattern);
        } catch (const UnsupportedPattern &) {
            return false;
        }
        groups = program.groups;
        LazyDfa dfa(program, classes);
        for_each_match(dfa, utf8, classes, [&](const Slots &slots) {
            matches.push_back(slots);
            return true;
        });
        return true;
    }();
    if (!compiled)
        orvo::raise(PyExc_ValueError, orvo::joined("the definition finder cannot run the pattern ", nb::repr(pattern)));
    // The code point at each byte offset of the text.
    std::vector<std::size_t> offset(utf8.size() + 1, 0);
    for (std::size_t i = 0, count = 0; i < utf8.size(); ++count) {
        const std::size_t start = i;
        orvo::next_code_point(utf8, i);
        for (std::size_t k = start; k < i; ++k)
            offset[k] = count;
        offset[i] = count + 1;
    }
    nb::list list;
    for (const Slots &slots : matches) {
        nb::list spans;
        for (int group = 0; group <= groups; ++group) {
            const std::size_t start = slots[2 * group], end = slots[2 * group + 1];
            if (start == no_position || end == no_position)
                spans.append(nb::make_tuple(-1, -1));
            else
                spans.append(nb::make_tuple(offset[start], offset[end]));
        }
        list.append(nb::tuple(spans));
    }
    return list;
}

nb::list definitions_of_text(nb::handle suffix, nb::handle text) {
    const std::optional<SuffixGroup> group = group_of(suffix);
    const std::string utf8 = orvo::arg_str(text, "text");
    if (!group)
        return nb::list();
    return str_list(extract_definitions(*group, utf8, python_char_classes()));
}

}  // namespace

void register_definitions(nb::module_ &m) {
    m.def("definition_finds", &finds_of,
          nb::sig("def definition_finds(suffix: str, pattern: int, text: str) -> list[str] | list[tuple[str, str]]"),
          "suffix"_a.none(), "pattern"_a.none(), "text"_a.none(),
          "The finds of pattern 0 or 1 of the suffix's group in a text, as re.finditer gives them: the "
          "group's text, or the pair of group texts for the pattern with two groups (a group that took no "
          "part counts as ''). Serves to check the finder against Python's re.");
    m.def("definition_finds_with_words", &finds_with_words,
          nb::sig("def definition_finds_with_words(suffix: str, pattern: int, text: str, words: str) -> "
                  "list[str] | list[tuple[str, str]]"),
          "suffix"_a.none(), "pattern"_a.none(), "text"_a.none(), "words"_a.none(),
          "The finds of definition_finds where the characters of words are word characters (\\w) too.");
    m.def("definition_work", &work_of, nb::sig("def definition_work(suffix: str, pattern: int, text: str) -> int"),
          "suffix"_a.none(), "pattern"_a.none(), "text"_a.none(),
          "The work of definition_finds on a text: the characters its searches read and the bytes its scans "
          "passed over.");
    m.def("pattern_spans", &pattern_spans,
          nb::sig("def pattern_spans(pattern: str, text: str) -> list[tuple[tuple[int, int], ...]]"),
          "pattern"_a.none(), "text"_a.none(),
          "The matches of a pattern of the definition finder's syntax in a text, as re.finditer gives them "
          "with re.MULTILINE: the span of the match and of each group, (-1, -1) for a group that took no "
          "part. A pattern outside that syntax is a ValueError.");
    m.def("extract_definitions_from_text", &definitions_of_text,
          nb::sig("def extract_definitions_from_text(suffix: str, text: str) -> list[str]"), "suffix"_a.none(),
          "text"_a.none(),
          "The defined names of a text with the given file suffix: at most 20, without repeats, in the "
          "order found.");
}

}  // namespace orvo_testing
