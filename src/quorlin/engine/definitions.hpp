// Definition extraction: the names that a source file defines (classes,
// interfaces, structures, enumerations, traits, types, functions, methods),
// found by a fixed pair of patterns per group of file suffixes.
//
// The patterns are written in the syntax of Python's `re`. The engine finds
// exactly the matches that `re.finditer` finds for them (leftmost match,
// alternatives left to right, greedy repetition), in time linear in the text.
// It needs neither nanobind nor Python: Python's classes `\w` and `\s` come in
// as a `CharClasses` table. It may run on several threads at once; what it
// works out for a pattern (a lazy DFA, which depends on no text) is kept per
// thread for the texts that follow, within a memory budget.
//
// Texts are UTF-8. A surrogate code point written in three bytes (as the
// "surrogatepass" error handler writes a lone surrogate of a str) is read as a
// character of its own, neither a word character nor white space, as `re`
// reads it.
#pragma once

#include "classes.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorlin {

// The groups of file suffixes, each with its pair of patterns.
enum class SuffixGroup {
    python,    // .py
    script,    // .js .ts .jsx .tsx
    java,      // .java
    csharp,    // .cs
    php,       // .php
    go,        // .go
    rust,      // .rs
    c_family,  // .c .cpp .cc .cxx .h .hpp
};

// The suffix of a path: its last component from the last "." to the end, when
// that dot is neither the first nor the last character of the component;
// otherwise empty. Not lower-cased.
std::string_view file_suffix(std::string_view path);

// The group of a suffix, compared after lower-casing; nothing for a suffix of
// no group (the empty one included).
std::optional<SuffixGroup> suffix_group(std::string_view suffix);

// The text of pattern 0 (run first) or 1 (run second) of a group. The two
// patterns of the python group run in multi-line mode ("^" matches at the
// start and after every "\n"); no other pattern holds a "^".
std::string_view definition_pattern(SuffixGroup group, int which);

// One match: the texts of its capture groups, views into the searched text. A
// group that took no part in the match is empty; `second` is used by the one
// pattern with two groups (pattern 1 of the script group).
struct Find {
    std::string_view first, second;
};

// Every match of one pattern of a group in `text`, left to right, each search
// resuming where the previous match ended: what `re.finditer` gives.
std::vector<Find> definition_finds(SuffixGroup group, int which, std::string_view text, const CharClasses &classes);

// The work of `definition_finds` on `text`: the positions its searches
// looked at (see `for_each_match`), which grows with the length of the text,
// never with its square.
std::size_t definition_work(SuffixGroup group, int which, std::string_view text, const CharClasses &classes);

inline constexpr std::size_t max_definitions = 20;

// The defined names of a text of a group's files: the finds of pattern 0,
// then those of pattern 1 (for the script group the first name of a match,
// or its second when the first is empty; for the c_family group without the
// keywords if, while, for, switch, return, sizeof and typedef), without empty
// names and repeats (the first occurrence stays), at most `max_definitions`.
// Running out of memory ends the search quietly with the names found so far.
std::vector<std::string> extract_definitions(SuffixGroup group, std::string_view text, const CharClasses &classes);

// The defined names of the file at `path` (file-system bytes), as
// `extract_definitions` gives them for the text of the file: empty when the
// suffix belongs to no group or the file cannot be read (missing, a
// directory, not a regular file, no permission, memory exhausted). Bytes that
// are not UTF-8 are dropped, "\r\n" and a lone "\r" are read as "\n", and a
// byte-order mark stays in the text as a character.
std::vector<std::string> definitions_of_file(const std::string &path, const CharClasses &classes);

// The same for the `bytes` of a file read already, its group by `path`.
std::vector<std::string> definitions_of_bytes(std::string_view path, std::string_view bytes,
                                              const CharClasses &classes);

}  // namespace quorlin
