// The definition patterns of each group of file suffixes, and the rule that
// makes a file's list of defined names from their finds.
#include "definitions.hpp"
#include "search.hpp"

#include <orvo/files.hpp>
#include <orvo/text.hpp>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <unordered_set>

namespace quorlin {

namespace {

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
    {".py", SuffixGroup::python},    {".js", SuffixGroup::script},    {".ts", SuffixGroup::script},
    {".jsx", SuffixGroup::script},   {".tsx", SuffixGroup::script},   {".java", SuffixGroup::java},
    {".cs", SuffixGroup::csharp},    {".php", SuffixGroup::php},      {".go", SuffixGroup::go},
    {".rs", SuffixGroup::rust},      {".c", SuffixGroup::c_family},   {".cpp", SuffixGroup::c_family},
    {".cc", SuffixGroup::c_family},  {".cxx", SuffixGroup::c_family}, {".h", SuffixGroup::c_family},
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
                all.push_back(compile_pattern(text));
        return all;
    }();
    return programs[index_of(group, which)];
}

// The lazy DFA of a pattern for `classes`, kept for later texts of this
// thread (a thread of its own each, so that no two threads grow one at once);
// its memory budget holds within every search.
LazyDfa &lazy_dfa(SuffixGroup group, int which, const CharClasses &classes) {
    thread_local std::array<std::unique_ptr<LazyDfa>, group_count * 2> dfas;
    std::unique_ptr<LazyDfa> &kept = dfas[index_of(group, which)];
    if (!kept || kept->classes_id() != classes.id())
        kept = std::make_unique<LazyDfa>(program(group, which), classes);
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
    return for_each_match(lazy_dfa(group, which, classes), text, classes, [&](const Slots &slots) {
        return emit(Find{group_text(text, slots, 1), group_text(text, slots, 2)});
    });
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

std::size_t definition_work(SuffixGroup group, int which, std::string_view text, const CharClasses &classes) {
    SearchStats stats;
    for_each_match(lazy_dfa(group, which, classes), text, classes, [](const Slots &) { return true; }, &stats);
    return stats.work;
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

std::vector<std::string> definitions_of_file(const std::string &path, const CharClasses &classes) {
    if (!suffix_group(file_suffix(path)))
        return {};
    try {
        std::string bytes;
        if (!orvo::read_regular_file(path, bytes))
            return {};
        return definitions_of_bytes(path, bytes, classes);
    } catch (const std::bad_alloc &) {
        return {};
    }
}

std::vector<std::string> definitions_of_bytes(std::string_view path, std::string_view bytes,
                                              const CharClasses &classes) {
    const std::optional<SuffixGroup> group = suffix_group(file_suffix(path));
    if (!group)
        return {};
    try {
        std::string decoded, normalized;
        std::string_view text = bytes;
        if (!orvo::is_valid_utf8(text))
            text = decoded = orvo::decode_utf8_lossy(text);
        if (std::memchr(text.data(), '\r', text.size()))
            text = normalized = orvo::normalize_newlines(text);
        return extract_definitions(*group, text, classes);
    } catch (const std::bad_alloc &) {
        return {};
    }
}

}  // namespace quorlin
