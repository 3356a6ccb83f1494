// Fuzz target: every pattern of the comment tables on the input as text, with
// and without the dot taking line breaks. The matches must lie in the text,
// in order and apart, each the pattern's opening literal, group and closing
// literal, and be exactly those of a plain backtracking search as Python's
// `re.finditer` makes it. Extraction over the same text, in every language,
// must give each comment the lines its places lie on.
#include "fuzz_target.hpp"
#include "nestrel/engine.hpp"
#include "orvo/languages.hpp"
#include "orvo/text.hpp"

#include <algorithm>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace {

void require(bool condition, const char *what, std::string_view pattern) {
    if (!condition)
        fuzz::fail("fuzz_matcher", std::string(what) + " (pattern " + std::string(pattern) + ")");
}

std::vector<std::string> table_patterns() {
    std::set<std::string> found;
    for (const orvo::LanguageRow &row : orvo::LANGUAGE_ROWS) {
        for (const char *text : row.single)
            if (text)
                found.insert(text);
        for (const char *text : row.multi)
            if (text)
                found.insert(text);
    }
    return {found.begin(), found.end()};
}

// The matches of `pattern` as a backtracking search finds them: at each
// position in turn the opening literal, then the group as long (greedy) or
// as short (lazy) as lets the closing literal follow, the dot taking "\n"
// only with `dotall`; after a match the search goes on at its end.
std::vector<nestrel::Match> reference(const nestrel::Pattern &pattern, std::string_view text, bool dotall) {
    std::vector<nestrel::Match> found;
    std::size_t at = 0;
    while (at <= text.size()) {
        bool matched = false;
        if (text.substr(at).starts_with(pattern.open)) {
            const std::size_t group = at + pattern.open.size();
            std::size_t longest = 0;  // how far the dot may go
            while (group + longest < text.size() && (dotall || text[group + longest] != '\n'))
                ++longest;
            for (std::size_t k = 0; k <= longest && !matched; ++k) {
                const std::size_t length = pattern.lazy ? k : longest - k;
                if (text.substr(group + length).starts_with(pattern.close)) {
                    const std::size_t end = group + length + pattern.close.size();
                    found.push_back({at, end, group, group + length});
                    at = end;
                    matched = true;
                }
            }
        }
        if (!matched)
            ++at;
    }
    return found;
}

void check_pattern(const std::string &text_of_pattern, const nestrel::Pattern &pattern, std::string_view text) {
    for (bool dotall : {false, true}) {
        std::vector<nestrel::Match> matches;
        nestrel::for_each_match(pattern, text, dotall, [&](const nestrel::Match &m) { matches.push_back(m); });
        std::size_t last_end = 0;
        for (const nestrel::Match &m : matches) {
            require(m.start >= last_end, "matches overlap or go backwards", text_of_pattern);
            require(m.start <= m.group_start && m.group_start <= m.group_end && m.group_end <= m.end &&
                        m.end <= text.size(),
                    "a match out of bounds", text_of_pattern);
            require(text.substr(m.start, m.group_start - m.start) == pattern.open, "no opening literal",
                    text_of_pattern);
            require(text.substr(m.group_end, m.end - m.group_end) == pattern.close, "no closing literal",
                    text_of_pattern);
            require(dotall || text.substr(m.start, m.end - m.start).find('\n') == std::string_view::npos,
                    "a line break without the dot taking it", text_of_pattern);
            last_end = m.end;
        }
        const std::vector<nestrel::Match> expected = reference(pattern, text, dotall);
        bool same = expected.size() == matches.size();
        for (std::size_t i = 0; same && i < matches.size(); ++i)
            same = matches[i].start == expected[i].start && matches[i].end == expected[i].end &&
                   matches[i].group_start == expected[i].group_start && matches[i].group_end == expected[i].group_end;
        require(same, "the matches differ from the backtracking search", text_of_pattern);
    }
}

// The lines of each extracted comment: its start's, and its end's for one
// that the dot lets cross lines; its text the stripped group, never empty.
void check_extraction(std::string_view content) {
    for (const orvo::LanguageRow &row : orvo::LANGUAGE_ROWS) {
        nestrel::Comments comments;
        nestrel::extract(*nestrel::patterns_of(row.language), content, comments);
        for (const nestrel::Comment &c : comments.items) {
            const auto line_of = [&](std::size_t at) {
                return 1 + (std::size_t) std::count(content.begin(), content.begin() + (std::ptrdiff_t) at, '\n');
            };
            require(c.start < c.group && c.group <= c.end && c.end <= content.size(), "places out of order",
                    row.language);
            require(c.start_line == line_of(c.start), "the wrong start line", row.language);
            require(c.end_line == (c.start_line == c.end_line ? c.start_line : line_of(c.end)), "the wrong end line",
                    row.language);
            const std::string_view text = comments.text(c);
            require(!text.empty() && orvo::strip(text) == text, "a text not stripped", row.language);
            require(content.substr(c.group, c.end - c.group).find(text) != std::string_view::npos,
                    "a text that is not the group's", row.language);
        }
    }
}

const std::vector<std::string> &patterns() {
    static const std::vector<std::string> all = table_patterns();
    return all;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    fuzz::remember(data, size);
    const std::string_view text((const char *) data, size);
    for (const std::string &text_of_pattern : patterns())
        check_pattern(text_of_pattern, nestrel::Pattern::compile(text_of_pattern), text);
    // Extraction reads text: valid UTF-8 with "\n" line ends.
    check_extraction(orvo::normalize_newlines(orvo::decode_utf8_lossy(text)));
    return 0;
}

// Every literal of every pattern, and each of their characters.
extern "C" const char *const *orvo_fuzz_tokens(std::size_t *count) {
    static const std::vector<std::string> pieces = [] {
        std::set<std::string> found{"\n", "\r\n", " ", "x"};
        for (const std::string &text : patterns()) {
            const nestrel::Pattern pattern = nestrel::Pattern::compile(text);
            for (const std::string &literal : {pattern.open, pattern.close}) {
                if (literal.empty())
                    continue;
                found.insert(literal);
                for (char c : literal)
                    found.insert(std::string(1, c));
            }
        }
        return std::vector<std::string>(found.begin(), found.end());
    }();
    return fuzz::token_list(pieces, count);
}
